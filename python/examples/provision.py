#!/usr/bin/env python3
"""Provisions a board: users from a CSV file, the clock from this computer, the
configuration record, and a log record, which is read back.

    provision.py --users users.csv [--format 0x1234] [--config byte0=7 --config word9=0x1234]
                 [--board IMAGE [--create-board]]

The CSV file has a header line and the columns number, name, name2, key, password,
access_word (key and password: 8 bytes in hex; access_word like 0x8005; name2 and
access_word may be empty). Every line is checked before anything is sent to the board.
Without --board the library's own transport is used; --board IMAGE serves a virtual board's
image file instead (--create-board makes it when it does not exist).

Exit codes: 0 done, 1 the board or the library refused, 2 bad input.
"""

from __future__ import annotations

import argparse
import csv
import dataclasses
import datetime as dt
import os
import sys
from typing import Any, Optional

import mviahlp
from mviahlp import vboard

CONFIG_FIELDS = {field.name for field in dataclasses.fields(mviahlp.ConfigRecord)}


class BadInput(Exception):
    pass


def number(text: str, what: str) -> int:
    try:
        return int(text, 0)
    except ValueError:
        raise BadInput(f"{what}: {text!r} is not a number") from None


def block(text: str, what: str) -> bytes:
    try:
        value = bytes.fromhex(text)
    except ValueError:
        raise BadInput(f"{what}: {text!r} is not hex") from None
    if len(value) != 8:
        raise BadInput(f"{what}: {len(value)} bytes; a logon block is 8")
    return value


def read_users(path: str) -> list[tuple[int, mviahlp.UserRecord]]:
    users = []
    try:
        with open(path, newline="", encoding="utf-8") as file:
            reader = csv.DictReader(file)
            for row in reader:
                users.append(user_of(row, f"{path}, line {reader.line_num}"))
    except OSError as error:
        raise BadInput(f"{path}: {error.strerror}") from None
    except UnicodeDecodeError:
        raise BadInput(f"{path}: not UTF-8 text") from None
    if not users:
        raise BadInput(f"{path}: no users")
    return users


def user_of(row: dict[str, str], where: str) -> tuple[int, mviahlp.UserRecord]:
    missing = [column for column in ("number", "name", "key", "password") if not row.get(column)]
    if missing:
        raise BadInput(f"{where}: no {', '.join(missing)}")
    key, password = block(row["key"], f"{where}, key"), block(row["password"], f"{where}, password")
    try:
        record = mviahlp.UserRecord(
            name=row["name"], name2=row.get("name2") or "",
            data28=key[:4], data32=key[4:], data36=password[:4], data40=password[4:],
            access_word=number(row.get("access_word") or "0", f"{where}, access_word"))
    except (TypeError, ValueError) as error:
        raise BadInput(f"{where}: {error}") from None
    return number(row["number"], f"{where}, number"), record


def config_changes(settings: list[str]) -> dict[str, Any]:
    changes: dict[str, Any] = {}  # numbers; flags as 0 or 1
    for setting in settings:
        name, _, value = setting.partition("=")
        if name not in CONFIG_FIELDS or not value:
            raise BadInput(f"--config {setting!r}: give NAME=VALUE with NAME one of {', '.join(sorted(CONFIG_FIELDS))}")
        changes[name] = number(value, f"--config {name}")
    try:
        mviahlp.ConfigRecord(**changes)  # every value checked before the board is touched
    except (TypeError, ValueError) as error:
        raise BadInput(f"--config: {error}") from None
    return changes


def provision(board: mviahlp.Board, users: list[tuple[int, mviahlp.UserRecord]], check_word: Optional[int],
              changes: dict[str, Any]) -> None:
    if check_word is not None:
        board.format(check_word, lambda message: print(message, end="", file=sys.stderr, flush=True))
        print(file=sys.stderr)
    info = board.info()
    if not info.formatted:
        raise mviahlp.MviahlpError("provisioning", board.error_state(),
                                   "the board is not formatted: run again with --format CHECKWORD")
    for user_number, record in users:
        if not 1 <= user_number <= info.user_count:
            raise BadInput(f"user {user_number}: this board has users 1 to {info.user_count}")
    for user_number, record in users:
        board.write_user(user_number, record)
        print(f"user {user_number}: {record.name}")
    now = dt.datetime.now().replace(microsecond=0)
    board.set_clock(now)
    print(f"clock: {now.isoformat(sep=' ')}")
    config = dataclasses.replace(board.read_config() or mviahlp.ConfigRecord(), **changes)
    board.write_config(config)
    print(f"configuration: {config}")
    board.append_log(f"provisioned {len(users)} users".encode("ascii"))
    log = board.read(mviahlp.AREA_LOG, 0, board.info().log_used_bytes)
    print(f"log: {log!r}")


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--users", required=True, help="CSV file of users")
    parser.add_argument("--format", metavar="CHECKWORD", help="format the board first, with this check word")
    parser.add_argument("--config", action="append", default=[], metavar="NAME=VALUE",
                        help="a field of the configuration record (repeatable)")
    parser.add_argument("--board", metavar="IMAGE", help="serve this virtual board image")
    parser.add_argument("--create-board", action="store_true", help="create the image when it does not exist")
    arguments = parser.parse_args(argv)
    try:
        users = read_users(arguments.users)
        check_word = None if arguments.format is None else number(arguments.format, "--format")
        changes = config_changes(arguments.config)
        if arguments.board:
            if not os.path.exists(arguments.board) and not arguments.create_board:
                raise BadInput(f"{arguments.board}: no such image (add --create-board to create it)")
            vboard.open_image(arguments.board)
        with mviahlp.open() as board:
            provision(board, users, check_word, changes)
    except BadInput as error:
        print(f"provision: {error}", file=sys.stderr)
        return 2
    except ValueError as error:  # a value the binding refused before sending anything
        print(f"provision: {error}", file=sys.stderr)
        return 2
    except (mviahlp.MviahlpError, vboard.VirtualBoardError, OSError) as error:
        print(f"provision: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

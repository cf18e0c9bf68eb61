"""Failures of the library as exceptions, with the library's error state in numbers and words.

The words are those that ``klia`` prints: both read the one table of meanings,
``error-meanings.json`` (packaged with this module; in a source checkout it is
``share/error-meanings.json``).
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from functools import lru_cache
from importlib import resources
from typing import Any, Optional

MEANINGS_FILE = "error-meanings.json"

# The codes of the library's error state (public header).
ERR_NOT_BOUND = 7500
ERR_LOGON_UNKNOWN = 7504
ERR_LOGON_REFUSED = 7505
ERR_OUT_OF_RANGE = 7506
ERR_PAGE_FAILED = 7507
ERR_WRITE_FAILED = 7508
ERR_LOGON_BLOCKED = 7511
STATUS_TRANSPORT_FAILED = 255


class LibraryNotFoundError(OSError):
    """The library (or its transport) could not be loaded."""


@lru_cache(maxsize=1)
def _meanings() -> dict[str, Any]:
    try:
        text = resources.files(__package__).joinpath(MEANINGS_FILE).read_text(encoding="utf-8")
    except (OSError, TypeError, ValueError):
        # A source checkout: the table lives in the repository's share/ folder.
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "share", MEANINGS_FILE)
        try:
            with open(source, encoding="utf-8") as file:
                text = file.read()
        except OSError as error:
            raise LibraryNotFoundError(
                f"the table of error meanings ({MEANINGS_FILE}) is missing from the mviahlp package: "
                "reinstall it") from error
    table: dict[str, Any] = json.loads(text)
    return table


def _entry(section: str, code: int) -> Optional[str]:
    words = _meanings()[section].get(str(code))
    return None if words is None else str(words)


def _board_status_words(status: int) -> str:
    words = _entry("board_status", status)
    if words is not None:
        return words
    other = str(_meanings()["board_status_other"])
    return other.replace("{decimal}", str(status)).replace("{hex}", f"{status:02X}")


def meaning_of_last_error(code: int) -> str:
    """What a LastError code means, in words."""
    words = _entry("last_error", code)
    if words is not None:
        return words
    if 1 <= code <= 255:
        return _board_status_words(code)
    return str(_meanings()["unknown_code"])


def meaning_of_device_status(status: int) -> str:
    """What a DeviceStatus (the board's raw status) means, in words."""
    words = _entry("device_status", status)
    if words is not None:
        return words
    return _board_status_words(status)


def meaning_of_bind_error(code: int) -> str:
    """What a BindError code means, in words."""
    words = _entry("bind_error", code)
    return words if words is not None else str(_meanings()["unknown_code"])


@dataclass(frozen=True)
class ErrorState:
    """The library's error state, as KLIAGetErrorState hands it out."""

    bind_error: int = 0
    last_error: int = 0
    device_status: int = 0

    @property
    def bind_error_meaning(self) -> str:
        return meaning_of_bind_error(self.bind_error)

    @property
    def last_error_meaning(self) -> str:
        return meaning_of_last_error(self.last_error)

    @property
    def device_status_meaning(self) -> str:
        return meaning_of_device_status(self.device_status)

    def describe(self) -> str:
        return (f"LastError {self.last_error} ({self.last_error_meaning}), "
                f"DeviceStatus {self.device_status} ({self.device_status_meaning}), "
                f"BindError {self.bind_error} ({self.bind_error_meaning})")


class MviahlpError(Exception):
    """A library operation failed.

    ``operation`` names the export and its main arguments, e.g. ``KLIAReadUserData(5)``;
    ``state`` is the error state right after the failure. ``done`` is the count of bytes a
    data-area request completed before it failed (``None`` for other operations), ``data``
    the bytes a read delivered before it failed. ``note`` says what to do next, or why the
    error state does not describe this failure. ``called`` is false when the binding refused
    the operation before calling the library: the message then leaves out the library's
    error state, which says nothing about it.
    """

    def __init__(self, operation: str, state: ErrorState, note: str = "", *, done: Optional[int] = None,
                 data: Optional[bytes] = None, called: bool = True) -> None:
        self.operation = operation
        self.state = state
        self.note = note
        self.done = done
        self.data = data
        self.called = called
        if not called:
            super().__init__(f"{operation} was not called: {note}")
            return
        text = f"{operation} failed: {state.describe()}"
        if done is not None:
            text += f"; {done} bytes done"
        if note:
            text += f". {note}"
        super().__init__(text)

    @property
    def bind_error(self) -> int:
        return self.state.bind_error

    @property
    def last_error(self) -> int:
        return self.state.last_error

    @property
    def device_status(self) -> int:
        return self.state.device_status

    @property
    def bind_error_meaning(self) -> str:
        return self.state.bind_error_meaning

    @property
    def last_error_meaning(self) -> str:
        return self.state.last_error_meaning

    @property
    def device_status_meaning(self) -> str:
        return self.state.device_status_meaning


class NotBoundError(MviahlpError):
    """The board object is not bound (never opened, or closed): the library was not called."""


class BindFailedError(MviahlpError):
    """KLIADriverPresent failed: the library could not bind, or the board did not answer its probe."""


class OutOfRangeError(MviahlpError):
    """LastError 7506: no such user number, or a request outside its data area."""


class PageFailedError(MviahlpError):
    """LastError 7507: the board refused a page read or write."""


class WriteFailedError(MviahlpError):
    """LastError 7508: a user write or a formatting stage failed."""


class LogonRefusedError(MviahlpError):
    """LastError 7505 (and the base of the other logon refusals): the board refused the logon."""


class LogonUnknownError(LogonRefusedError):
    """LastError 7504: the board knows no such user (or a password change named no user)."""


class LogonBlockedError(LogonRefusedError):
    """LastError 7511: the board blocks the logon, a user is already logged on."""


class BoardStatusError(MviahlpError):
    """LastError 1-255: the board's own status for a refused command."""


class TransportFailedError(BoardStatusError):
    """LastError 255: the transport call itself failed, no exchange with the board took place."""


_BY_LAST_ERROR: dict[int, type[MviahlpError]] = {
    ERR_LOGON_UNKNOWN: LogonUnknownError,
    ERR_LOGON_REFUSED: LogonRefusedError,
    ERR_OUT_OF_RANGE: OutOfRangeError,
    ERR_PAGE_FAILED: PageFailedError,
    ERR_WRITE_FAILED: WriteFailedError,
    ERR_LOGON_BLOCKED: LogonBlockedError,
    STATUS_TRANSPORT_FAILED: TransportFailedError,
}


def error_for(operation: str, state: ErrorState, note: str = "", *, done: Optional[int] = None,
              data: Optional[bytes] = None) -> MviahlpError:
    """The exception for a failed operation, of the class its LastError names."""
    cls = _BY_LAST_ERROR.get(state.last_error)
    if cls is None:
        cls = BoardStatusError if 1 <= state.last_error <= 255 else MviahlpError
    return cls(operation, state, note, done=done, data=data)

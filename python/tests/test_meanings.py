"""The words for the error codes: those klia prints, from the one shared table."""

from __future__ import annotations

import json
import subprocess
from pathlib import Path

import pytest

import mviahlp
from mviahlp import vboard

from conftest import CHECK_WORD, SMALL, klia_program

# code: (LastError, DeviceStatus, BindError) as klia has always shown them.
KLIA_WORDS = {
    0: ("no error", "no board status recorded", "bound"),
    1: ("board status 1 (0x01), the board's own code",) * 2 + ("unknown code",),
    80: ("board status 0x50: the board knows no such user",) * 2 + ("unknown code",),
    96: ("board status 0x60: the board refused the logon or password block",) * 2 + ("unknown code",),
    97: ("board status 0x61: the board blocks the logon (a user is already logged on)",) * 2 + ("unknown code",),
    254: ("board status 254 (0xFE), the board's own code",) * 2 + ("unknown code",),
    255: ("the transport call failed: no exchange with the board took place",) * 2 + ("unknown code",),
    256: ("unknown code", "board status 256 (0x100), the board's own code", "unknown code"),
    7500: ("unknown code", "board status 7500 (0x1D4C), the board's own code",
           "not bound: a function was called before the library was bound"),
    7504: ("logon unknown: the board knows no such user, or no such user number",
           "board status 7504 (0x1D50), the board's own code", "unknown code"),
    7505: ("logon refused by the board", "board status 7505 (0x1D51), the board's own code", "unknown code"),
    7506: ("out of range: no such user number, or the request lies outside its area",
           "board status 7506 (0x1D52), the board's own code", "unknown code"),
    7507: ("the board refused a page read or write", "board status 7507 (0x1D53), the board's own code",
           "unknown code"),
    7508: ("a user write or a formatting step failed", "board status 7508 (0x1D54), the board's own code",
           "unknown code"),
    7509: ("unknown code", "board status 7509 (0x1D55), the board's own code", "unknown code"),
    7511: ("logon blocked by the board", "board status 7511 (0x1D57), the board's own code", "unknown code"),
    65535: ("unknown code", "board status 65535 (0xFFFF), the board's own code", "unknown code"),
}


@pytest.mark.parametrize("code", sorted(KLIA_WORDS))
def test_every_kind_of_code_has_klia_s_words(code: int) -> None:
    assert (mviahlp.meaning_of_last_error(code), mviahlp.meaning_of_device_status(code),
            mviahlp.meaning_of_bind_error(code)) == KLIA_WORDS[code]


def klia_failure(image: Path, *arguments: str, stdin: str = "") -> dict[str, object]:
    program = klia_program()
    assert program is not None
    run = subprocess.run([program, "--board", str(image), "--json", *arguments], capture_output=True, text=True,
                         input=stdin, timeout=60, check=False)
    assert run.returncode == 1, run.stderr
    error: dict[str, object] = json.loads(run.stdout or run.stderr)["error"]
    return error


@pytest.mark.skipif(klia_program() is None, reason="the build's klia is not named (MVIAHLP_KLIA)")
def test_the_same_failure_has_the_same_words_in_klia_and_in_python(tmp_path: Path) -> None:
    image = tmp_path / "board.img"
    vboard.open_image(image, vboard.Geometry.standard(*SMALL))
    # The key and the password on standard input, as a script gives them.
    logon = ("login", "--key-file", "-", "--password-file", "-")
    logon_input = b"KLIA-001".hex() + "\n" + b"secret-1".hex() + "\n"

    def same_words(failure: mviahlp.MviahlpError, *arguments: str) -> None:
        shown = klia_failure(image, *arguments, stdin=logon_input if arguments == logon else "")
        for field in ("last_error", "device_status", "bind_error"):
            assert shown[field] == {"code": getattr(failure, field), "meaning": getattr(failure, field + "_meaning")}

    with mviahlp.open() as board:
        with pytest.raises(mviahlp.BoardStatusError) as not_formatted:
            board.login(b"KLIA-001", b"secret-1")
        same_words(not_formatted.value, *logon)
        with pytest.raises(mviahlp.OutOfRangeError) as outside:
            board.read(mviahlp.AREA_CONFIG, 500, 40)  # area 0: pages 1 and 2, 512 bytes
        same_words(outside.value, "data", "read", "0", "500", "40")
        board.format(CHECK_WORD)
        with pytest.raises(mviahlp.LogonUnknownError) as unknown:
            board.login(b"KLIA-001", b"secret-1")
        same_words(unknown.value, *logon)
    vboard.create()  # let go of the image

"""The virtual board's control interface from Python."""

from __future__ import annotations

import os
import stat
import subprocess
import sys
from pathlib import Path

import pytest

import mviahlp
from mviahlp import vboard
from mviahlp.vboard import Fault, Geometry

from conftest import CHECK_WORD, SMALL

INFORMATION, READ_MEMORY = 16, 21


def test_the_standard_geometry_follows_the_memory_map() -> None:
    geometry = Geometry.standard(users=10, data_pages=30, log_pages=5, page_size=512)
    assert (geometry.log_first_page, geometry.page_count, geometry.page_size, geometry.version) == (
        10 + 8 + 30, 10 + 8 + 30 + 5 - 1, 512, 0x123)
    assert vboard.create(geometry) == geometry == vboard.geometry_of_board()
    with mviahlp.open() as board:
        assert board.info().user_count == 10  # the library talks to this very board


def test_a_board_too_large_to_serve_is_refused() -> None:
    with pytest.raises(vboard.VirtualBoardError):
        vboard.create(Geometry.standard(users=100, data_pages=65000, log_pages=100, page_size=4096))


def test_an_image_keeps_the_board_between_openings(tmp_path: Path) -> None:
    image = tmp_path / "board.img"
    assert vboard.open_image(image, Geometry.standard(*SMALL)).user_count == SMALL[0]
    with mviahlp.open() as board:
        board.format(CHECK_WORD)
        board.write_user(2, mviahlp.UserRecord(name="Петров"))
    vboard.create()
    assert vboard.open_image(image).user_count == SMALL[0]  # its own geometry
    with mviahlp.open() as board:
        assert board.read_user(2).name == "Петров"
    vboard.create()


def test_files_that_are_not_images_are_refused(tmp_path: Path) -> None:
    other = tmp_path / "notes.txt"
    other.write_text("not a board")
    with pytest.raises(vboard.VirtualBoardError, match="notes.txt"):
        vboard.open_image(other)
    assert other.read_text() == "not a board"
    with pytest.raises(ValueError):
        vboard.open_image("bad\0name")


def test_memory_outside_the_board_is_refused() -> None:
    vboard.create(Geometry.standard(*SMALL))
    page_count = vboard.geometry_of_board().page_count
    vboard.poke(page_count, 250, b"\x01\x02")
    assert vboard.peek(page_count, 250, 3) == b"\x01\x02\xff"
    with pytest.raises(vboard.VirtualBoardError):
        vboard.peek(page_count + 1, 0, 1)
    with pytest.raises(vboard.VirtualBoardError):
        vboard.poke(0, 255, b"ab")
    assert vboard.peek(0, 0, 0) == b""
    with pytest.raises(vboard.VirtualBoardError):
        vboard.peek(0, 0, 0xFFFFFFFF)


def test_the_trace_shows_each_transport_call(fresh_board: mviahlp.Board) -> None:
    fresh_board.info()
    information = vboard.trace()[0]
    assert (information.command, information.in_length, information.status, information.transport_ok) == (
        INFORMATION, 51, 0, True)
    vboard.clear_trace()
    fresh_board.write(mviahlp.AREA_1, 3, b"xyz")
    fresh_board.flush()
    write = vboard.trace()[-1]
    assert write.command == 22 and write.out[3:6] == b"xyz" and write.param == bytes([4, 0, 0, 0, 0, 1])
    vboard.enable_trace(False)
    fresh_board.info()
    assert len(vboard.trace()) == 2
    vboard.enable_trace(True)


def test_faults_and_info_patches_change_what_the_library_sees(fresh_board: mviahlp.Board) -> None:
    vboard.patch_info(16, 3, first=1, count=1)  # UserCount, low byte, in the next answer only
    assert fresh_board.info().user_count == 3
    assert fresh_board.info().user_count == SMALL[0]
    vboard.add_fault(Fault(nth=1, command=INFORMATION, status=0x44, times=1))
    with pytest.raises(mviahlp.BoardStatusError) as failure:
        fresh_board.info()
    assert failure.value.last_error == 0x44
    assert vboard.trace()[-1].status == 0x44
    fresh_board.info()


def test_live_state_is_set_directly(fresh_board: mviahlp.Board) -> None:
    vboard.set_state(2)
    vboard.set_logon(3, 1)
    assert fresh_board.current_user() == mviahlp.CurrentUser(3, True)
    vboard.set_logon(0)
    assert fresh_board.current_user().number == 0
    vboard.set_log_position(SMALL[0] + 8 + SMALL[1], 10)
    assert fresh_board.info().log_used_bytes == 10
    fresh_board.set_watchdog(42)
    assert vboard.watchdog() == 42


def test_a_hostile_information_block_does_not_upset_the_binding() -> None:
    block = bytearray(b"\xff" * 51)
    vboard.create_raw(bytes(block), memory_pages=4, memory_page_size=256)
    with mviahlp.open() as board:
        info = board.info()
        assert info.user_count == 0xFFFF and info.signature_ok
        with pytest.raises(mviahlp.MviahlpError):
            board.read(mviahlp.AREA_DATA, 0, 16)
    with pytest.raises(ValueError):
        vboard.create_raw(b"short", 1, 256)
    vboard.create()


def test_control_arguments_are_checked() -> None:
    with pytest.raises(ValueError):
        vboard.patch_info(51, 0)
    with pytest.raises(ValueError):
        Fault(command=256)
    with pytest.raises(TypeError):
        vboard.add_fault("fault")  # type: ignore[arg-type]
    with pytest.raises(ValueError):
        vboard.freeze_clock(b"\x00" * 5)


def _bind_in_a_new_process(image: Path, **environment: str) -> subprocess.CompletedProcess[str]:
    """A fresh process, whose virtual board has served nothing yet, binds with only the
    environment naming the image."""
    env = {name: value for name, value in os.environ.items() if not name.startswith("HWLINK_VBOARD_")}
    env.update(HWLINK_VBOARD_IMAGE=str(image), **environment)
    script = "import mviahlp\nwith mviahlp.open() as board:\n    print(board.info().user_count)\n"
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, env=env,
                          check=False)


def test_a_missing_image_is_made_only_when_asked(tmp_path: Path) -> None:
    image = tmp_path / "mistyped.img"
    run = _bind_in_a_new_process(image)
    assert run.returncode != 0
    assert f"cannot open {image}: no such image" in run.stderr and "HWLINK_VBOARD_CREATE" in run.stderr
    assert not image.exists()

    old_umask = os.umask(0o022)
    try:
        run = _bind_in_a_new_process(image, HWLINK_VBOARD_CREATE="1")
    finally:
        os.umask(old_umask)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "32"
    # It holds users' keys and passwords: its owner's alone, whatever the umask allows.
    assert stat.S_IMODE(image.stat().st_mode) == 0o600


def test_an_image_made_through_the_control_interface_is_its_owners_alone(tmp_path: Path) -> None:
    image = tmp_path / "board.img"
    old_umask = os.umask(0)
    try:
        vboard.open_image(image, Geometry.standard(*SMALL))
    finally:
        os.umask(old_umask)
        vboard.create()
    assert stat.S_IMODE(image.stat().st_mode) == 0o600

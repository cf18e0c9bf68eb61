"""Finding and loading the library."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import mviahlp

SOURCE = Path(__file__).resolve().parents[2]


def run_python(code: str, **environment: str) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, **environment)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60,
                          check=False)


def test_a_library_named_in_the_environment_that_is_missing_is_reported(tmp_path: Path) -> None:
    missing = tmp_path / "libmviahlp.so.1"
    run = run_python("import mviahlp; mviahlp.open()", MVIAHLP_LIBRARY=str(missing))
    assert run.returncode == 1
    assert "LibraryNotFoundError" in run.stderr and str(missing) in run.stderr and "MVIAHLP_LIBRARY" in run.stderr


def test_a_file_that_is_not_the_library_is_refused(tmp_path: Path) -> None:
    other = tmp_path / "not-a-library.so"
    other.write_bytes(b"\x7fELF but not really")
    run = run_python("import mviahlp; mviahlp.open()", MVIAHLP_LIBRARY=str(other))
    assert run.returncode == 1 and "LibraryNotFoundError" in run.stderr and "Traceback" in run.stderr


def test_the_package_states_the_library_s_version() -> None:
    header = (SOURCE / "include" / "mviahlp.h").read_text(encoding="utf-8")
    stated = re.search(r'#define MVIAHLP_VERSION_STRING "([^"]+)"', header)
    assert stated is not None
    project = (SOURCE / "python" / "pyproject.toml").read_text(encoding="utf-8")
    assert mviahlp.__version__ == stated.group(1)
    assert f'version = "{stated.group(1)}"' in project


def test_the_error_state_can_be_read_before_binding() -> None:
    # Today and KLIAGetErrorState work bound or not, and send nothing.
    run = run_python("import mviahlp; s = mviahlp.error_state(); print(s.last_error, s.bind_error); mviahlp.today()")
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["0", "0"]


def test_the_plain_data_exports_take_their_16_bit_offsets_unsigned() -> None:
    # The Board reads through KLIAReadDataEx; the declarations of the plain forms and of
    # KLIAFlush are checked here, through the library itself.
    import ctypes

    from mviahlp import _library, vboard

    vboard.create(vboard.Geometry.standard(users=2, data_pages=300, log_pages=1))
    data_first_page = 2 + 8
    vboard.poke(data_first_page + 0xFFFF // 256, 0xFFFF % 256, b"\x5a")
    with mviahlp.open() as board:
        library = _library.native()
        byte, done = (ctypes.c_uint8 * 1)(), ctypes.c_uint16()
        assert library.KLIAReadData(mviahlp.AREA_DATA, byte, 0xFFFF, 1, ctypes.byref(done)) & 0xFF
        assert (byte[0], done.value) == (0x5A, 1)
        assert library.KLIAWriteData(mviahlp.AREA_DATA, b"\xa5", 0xFFFF, 1, ctypes.byref(done)) & 0xFF
        library.KLIAFlush()
        assert vboard.peek(data_first_page + 0xFFFF // 256, 0xFFFF % 256, 1) == b"\xa5"
        assert board.error_state().last_error == 0

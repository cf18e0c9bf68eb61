"""Loading the library and declaring its functions for ctypes.

Every export of the public header is declared here with its argument and result types, and
nothing else in the package calls the library except through :func:`native`.

Where the library is looked for, in order:

1. the file named by the environment variable ``MVIAHLP_LIBRARY`` (and nothing else then);
2. the installed tree this package was installed into by ``cmake --install`` (the install
   writes the library's folder, relative to the package, into ``library-dir.txt``);
3. the system's loader path (``libmviahlp.so.1``; on Windows ``mviahlp.dll``).

On 32-bit Windows the library is ``mviahlp.dll`` with the standard calling convention
(``WinDLL``, and ``WINFUNCTYPE`` for the progress procedure); it needs a 32-bit Python.
Elsewhere it is ``libmviahlp.so`` with the C convention (``CDLL``, ``CFUNCTYPE``).
"""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from importlib import resources
from typing import Any, Callable, Optional

from .errors import LibraryNotFoundError

LIBRARY_VARIABLE = "MVIAHLP_LIBRARY"

WINDOWS = sys.platform == "win32"
LIBRARY_NAME = "mviahlp.dll" if WINDOWS else "libmviahlp.so.1"
TRANSPORT_NAME = "HWLINK32.DLL" if WINDOWS else "libhwlink32.so"

# The library keeps one process-wide state and is not thread-safe: every call, together with
# the reading of the error state that follows it, runs under this lock.
LOCK = threading.RLock()

u8 = ctypes.c_uint8
u16 = ctypes.c_uint16
i32 = ctypes.c_int32
u32 = ctypes.c_uint32
ptr = ctypes.c_void_p
p_u8 = ctypes.POINTER(ctypes.c_uint8)
p_u16 = ctypes.POINTER(ctypes.c_uint16)

# typedef void (KLIA_CALL *KLIA_PROGRESS_PROC)(const uint8_t *message);
if sys.platform == "win32":
    ProgressProc: Any = ctypes.WINFUNCTYPE(None, ctypes.c_void_p)  # __stdcall
else:
    ProgressProc: Any = ctypes.CFUNCTYPE(None, ctypes.c_void_p)

# name: (result type, argument types), as the public header declares them. KLIA_BOOL is a
# 32-bit result of which only the low byte counts.
PROTOTYPES: dict[str, tuple[Any, list[Any]]] = {
    "Today": (i32, []),
    "KLIAMakeUserXID": (u32, [u16, ptr, ptr]),
    "KLIASetRTCDateTime": (u32, [ptr]),
    "KLIAGetRTCDateTime": (u32, [ptr]),
    "KLIASetWDTimeout": (u32, [u16]),
    "KLIAGetWDTimeout": (u32, [p_u16]),
    "KLIAClearLog": (u32, []),
    "KLIAWriteConfigData": (u32, [ptr]),
    "KLIAReadConfigData": (u32, [ptr]),
    "KLIAReadHwStep": (u32, [p_u8]),
    "KLIAWriteHwStep": (u32, [u8]),
    "KLIASetIaResult": (u32, [u8, ptr]),
    "KLIAChangeUserPassword": (u32, [u16, ptr]),
    "KLIAFormatDatabase": (u32, [u16, ProgressProc]),
    "KLIAFlush": (None, []),
    "KLIAWriteDataEx": (u32, [u8, ptr, i32, u16, p_u16]),
    "KLIAWriteData": (u32, [u8, ptr, u16, u16, p_u16]),
    "KLIAReadDataEx": (u32, [u8, ptr, i32, u16, p_u16]),
    "KLIAReadData": (u32, [u8, ptr, u16, u16, p_u16]),
    "KLIAWriteUserData": (u32, [u16, ptr]),
    "KLIAReadUserData": (u32, [u16, ptr]),
    "KLIALogout": (None, []),
    "KLIALogin": (u32, [ptr, ptr, u8]),
    "KLIAGetCurrentUser": (u32, [p_u16, p_u8]),
    "KLIAGetInfo": (u32, [ptr]),
    "KLIADriverPresent": (u32, []),
    "KLIAGetErrorState": (None, [p_u16, p_u16, p_u16]),
}


def succeeded(result: int) -> bool:
    """A KLIA_BOOL result: success when its low byte is not 0."""
    return (result & 0xFF) != 0


class Library:
    """The loaded library: one attribute per export, typed as declared above."""

    def __init__(self, handle: ctypes.CDLL, path: str) -> None:
        self.handle = handle
        self.path = path
        missing = [name for name in PROTOTYPES if not hasattr(handle, name)]
        if missing:
            raise LibraryNotFoundError(f"{path} is not the mviahlp library: it lacks {', '.join(missing)}")
        for name, (restype, argtypes) in PROTOTYPES.items():
            function = getattr(handle, name)
            function.restype = restype
            function.argtypes = argtypes

    def __getattr__(self, name: str) -> Callable[..., Any]:
        if name in PROTOTYPES:
            function: Callable[..., Any] = getattr(self.handle, name)
            return function
        raise AttributeError(name)


def _installed_library_dir() -> Optional[str]:
    """The library's folder in the tree that ``cmake --install`` put this package into."""
    try:
        text = resources.files(__package__).joinpath("library-dir.txt").read_text(encoding="utf-8")
    except (OSError, TypeError, ValueError):
        return None
    relative = text.strip()
    if not relative:
        return None
    return os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), relative))


def _load(path: str) -> ctypes.CDLL:
    if sys.platform == "win32":
        if ctypes.sizeof(ctypes.c_void_p) != 4:
            raise LibraryNotFoundError(
                "mviahlp.dll is a 32-bit library: run this program with a 32-bit (x86) Python")
        # The standard calling convention (__stdcall) of the exports.
        return ctypes.WinDLL(path)
    return ctypes.CDLL(path)


def candidates() -> list[str]:
    """Where the library is looked for, in order."""
    named = os.environ.get(LIBRARY_VARIABLE)
    if named:
        return [named]
    found = []
    installed = _installed_library_dir()
    if installed:
        found.append(os.path.join(installed, LIBRARY_NAME))
    found.append(LIBRARY_NAME)
    return found


_library: Optional[Library] = None


def native() -> Library:
    """The library, loaded at the first call."""
    global _library
    with LOCK:
        if _library is None:
            reasons = []
            for candidate in candidates():
                if os.sep in candidate and not os.path.exists(candidate):
                    reasons.append(f"{candidate}: no such file")
                    continue
                try:
                    handle = _load(candidate)
                except OSError as error:
                    reasons.append(f"{candidate}: {error}")
                    continue
                _library = Library(handle, candidate)
                break
            else:
                raise LibraryNotFoundError(
                    "the mviahlp library could not be loaded (" + "; ".join(reasons) + "). Install it "
                    f"(cmake --install), or name the library file in {LIBRARY_VARIABLE}.")
        return _library


def transport_handle() -> ctypes.CDLL:
    """The transport that the loaded library uses, for the virtual board's control interface.

    The library is loaded first, so that its transport is already in the process: asking the
    loader for it by the name the library imports it under then gives the same module (and
    so the same board), not a second copy.
    """
    library = native()
    names = [TRANSPORT_NAME]
    if WINDOWS:
        names.insert(0, os.path.join(os.path.dirname(os.path.abspath(library.path)), TRANSPORT_NAME))
    reasons = []
    for name in names:
        try:
            # The control interface has the C convention on every platform.
            return ctypes.CDLL(name)
        except OSError as error:
            reasons.append(f"{name}: {error}")
    raise LibraryNotFoundError("the library's transport could not be found: " + "; ".join(reasons))

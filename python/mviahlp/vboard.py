"""The virtual board's control interface (``vboard.h``), for test rigs.

The virtual board stands in for the board transport and the board behind it. These
functions reach the very board that the library talks to in this process: make a board of
a given geometry or serve an image file, look at its memory and state, read the trace of
transport calls, and make commands fail. None of them goes through the library. They work
only while the library's transport is the virtual board.
"""

from __future__ import annotations

import ctypes
import datetime as _dt
import os
from dataclasses import dataclass
from typing import Any, Optional, Union

from ._library import LOCK, transport_handle
from .errors import LibraryNotFoundError
from .records import check_bytes, check_flag, check_uint

INFO_BLOCK_SIZE = 51
CLOCK_BLOCK_SIZE = 6
MEMORY_MAX = 64 << 20  # a virtual board holds at most 64 MiB


class _Geometry(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint16), ("user_count", ctypes.c_uint16), ("page_count", ctypes.c_uint16),
                ("data_page_count", ctypes.c_uint16), ("log_first_page", ctypes.c_uint16),
                ("log_page_count", ctypes.c_uint16), ("page_size", ctypes.c_uint16),
                ("device_count", ctypes.c_uint8), ("reserved", ctypes.c_uint8), ("ext_info", ctypes.c_uint32)]


class _Fault(ctypes.Structure):
    _fields_ = [("nth", ctypes.c_uint32), ("command", ctypes.c_uint8), ("status", ctypes.c_uint8),
                ("transport_fails", ctypes.c_uint8), ("scribble", ctypes.c_uint8), ("times", ctypes.c_uint32)]


class _TraceEntry(ctypes.Structure):
    _fields_ = [("command", ctypes.c_uint8), ("extended", ctypes.c_uint8), ("param_length", ctypes.c_uint8),
                ("param", ctypes.c_uint8 * 16), ("out_length", ctypes.c_uint16),
                ("out", ctypes.c_void_p), ("in_length", ctypes.c_uint16), ("status", ctypes.c_uint8),
                ("transport_ok", ctypes.c_uint8)]


_p = ctypes.POINTER
_u8p = ctypes.c_void_p
_PROTOTYPES: dict[str, tuple[Any, list[Any]]] = {
    "VBoardMakeGeometry": (None, [ctypes.c_uint16, ctypes.c_uint16, ctypes.c_uint16, ctypes.c_uint16,
                                  _p(_Geometry)]),
    "VBoardDefaultGeometry": (None, [_p(_Geometry)]),
    "VBoardCreate": (ctypes.c_int, [_p(_Geometry)]),
    "VBoardCreateRaw": (ctypes.c_int, [_u8p, ctypes.c_uint32, ctypes.c_uint16]),
    "VBoardOpenImage": (ctypes.c_int, [ctypes.c_char_p, _p(_Geometry)]),
    "VBoardReset": (None, []),
    "VBoardGetGeometry": (None, [_p(_Geometry)]),
    "VBoardPeek": (ctypes.c_int, [ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint32, _u8p]),
    "VBoardPoke": (ctypes.c_int, [ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint32, _u8p]),
    "VBoardGetInfoBlock": (None, [_u8p]),
    "VBoardSetState": (None, [ctypes.c_uint8]),
    "VBoardSetLogon": (None, [ctypes.c_uint16, ctypes.c_uint8]),
    "VBoardSetLogPosition": (None, [ctypes.c_uint16, ctypes.c_uint16]),
    "VBoardSetErrorPage": (None, [ctypes.c_uint16]),
    "VBoardFreezeClock": (None, [_u8p]),
    "VBoardGetClock": (None, [_u8p]),
    "VBoardGetWatchdog": (ctypes.c_uint16, []),
    "VBoardPatchInfo": (None, [ctypes.c_uint8, ctypes.c_uint8, ctypes.c_uint32, ctypes.c_uint32]),
    "VBoardAddFault": (None, [_p(_Fault)]),
    "VBoardClearFaults": (None, []),
    "VBoardTraceCount": (ctypes.c_uint32, []),
    "VBoardTraceGet": (ctypes.c_int, [ctypes.c_uint32, _p(_TraceEntry)]),
    "VBoardTraceClear": (None, []),
    "VBoardTraceEnable": (None, [ctypes.c_int]),
    "VBoardInCommand": (ctypes.c_int, []),
    "VBoardUnplugAfter": (None, [ctypes.c_uint32]),
}

_control: Optional[ctypes.CDLL] = None


def _api() -> ctypes.CDLL:
    global _control
    with LOCK:
        if _control is None:
            handle = transport_handle()
            missing = [name for name in _PROTOTYPES if not hasattr(handle, name)]
            if missing:
                raise LibraryNotFoundError("the library's transport is not the virtual board (it lacks "
                                           + ", ".join(missing) + ")")
            for name, (restype, argtypes) in _PROTOTYPES.items():
                function = getattr(handle, name)
                function.restype, function.argtypes = restype, argtypes
            _control = handle
        return _control


class VirtualBoardError(Exception):
    """The virtual board refused a control request (a geometry it cannot serve, an image it
    cannot open, an address outside its memory)."""


@dataclass(frozen=True)
class Geometry:
    """A board's geometry, as its information block reports it. Its memory holds pages 0 to
    ``page_count``, each ``page_size`` bytes."""

    version: int
    user_count: int
    page_count: int
    data_page_count: int
    log_first_page: int
    log_page_count: int
    page_size: int
    device_count: int = 4
    ext_info: int = 0

    def __post_init__(self) -> None:
        for name in ("version", "user_count", "page_count", "data_page_count", "log_first_page", "log_page_count",
                     "page_size"):
            check_uint(getattr(self, name), 16, name)
        check_uint(self.device_count, 8, "device_count")
        check_uint(self.ext_info, 32, "ext_info")

    @classmethod
    def standard(cls, users: int, data_pages: int, log_pages: int, page_size: int = 256) -> Geometry:
        """The standard layout: fixed pages 0-7, users, data area 2, then the log; version 0x123."""
        for value, what in ((users, "users"), (data_pages, "data_pages"), (log_pages, "log_pages"),
                            (page_size, "page_size")):
            check_uint(value, 16, what)
        raw = _Geometry()
        with LOCK:
            _api().VBoardMakeGeometry(users, data_pages, log_pages, page_size, ctypes.byref(raw))
        return cls._of(raw)

    @classmethod
    def default(cls) -> Geometry:
        """The default board: 32 users, 200 data pages, 16 log pages of 256 bytes, 4 devices."""
        raw = _Geometry()
        with LOCK:
            _api().VBoardDefaultGeometry(ctypes.byref(raw))
        return cls._of(raw)

    @classmethod
    def _of(cls, raw: _Geometry) -> Geometry:
        return cls(raw.version, raw.user_count, raw.page_count, raw.data_page_count, raw.log_first_page,
                   raw.log_page_count, raw.page_size, raw.device_count, raw.ext_info)

    def _raw(self) -> _Geometry:
        return _Geometry(self.version, self.user_count, self.page_count, self.data_page_count, self.log_first_page,
                         self.log_page_count, self.page_size, self.device_count, 0, self.ext_info)


@dataclass(frozen=True)
class Fault:
    """A fault: fires for the `nth` matching transport call counted from when it is added
    (only calls of board command `command` match, unless it is 0; `nth` 0 fires on every
    match), at most `times` times (0: no limit). A fired command has no effect on the board:
    it answers `status`, or with `transport_fails` the transport call itself fails.
    `scribble` fills the incoming buffer with 0xA5."""

    nth: int = 1
    command: int = 0
    status: int = 0
    transport_fails: bool = False
    scribble: bool = False
    times: int = 0

    def __post_init__(self) -> None:
        check_uint(self.nth, 32, "nth")
        check_uint(self.command, 8, "command")
        check_uint(self.status, 8, "status")
        check_flag(self.transport_fails, "transport_fails")
        check_flag(self.scribble, "scribble")
        check_uint(self.times, 32, "times")


@dataclass(frozen=True)
class TraceEntry:
    """One transport call: the board command, its parameter block (at most the first 16
    bytes), the outgoing bytes, the incoming length, the status and whether the call worked."""

    command: int
    extended: bool
    param_length: int
    param: bytes
    out: bytes
    in_length: int
    status: int
    transport_ok: bool


def create(geometry: Optional[Geometry] = None) -> Geometry:
    """Serves a fresh in-memory board (erased memory, not formatted) of `geometry` (default:
    the default board). Forgets the trace, the faults and the info patches."""
    if geometry is not None and not isinstance(geometry, Geometry):
        raise TypeError(f"geometry must be a Geometry, not {type(geometry).__name__}")
    raw = (geometry or Geometry.default())._raw()
    with LOCK:
        if not _api().VBoardCreate(ctypes.byref(raw)):
            raise VirtualBoardError(f"the virtual board cannot serve {geometry} (at most 64 MiB of memory)")
    return geometry_of_board()


def create_raw(info: bytes, memory_pages: int, memory_page_size: int) -> None:
    """A board whose information command answers exactly `info` (51 bytes) every time, with
    `memory_pages` pages of `memory_page_size` bytes: for hostile-board tests."""
    block = check_bytes(info, INFO_BLOCK_SIZE, "info")
    check_uint(memory_pages, 32, "memory_pages")
    check_uint(memory_page_size, 16, "memory_page_size")
    buffer = (ctypes.c_uint8 * INFO_BLOCK_SIZE).from_buffer_copy(block)
    with LOCK:
        if not _api().VBoardCreateRaw(buffer, memory_pages, memory_page_size):
            raise VirtualBoardError(f"the virtual board cannot serve {memory_pages} pages of {memory_page_size} bytes")


def open_image(path: Union[str, os.PathLike[str]], geometry: Optional[Geometry] = None) -> Geometry:
    """Serves the board image file at `path`, creating it with `geometry` (default: the
    default board) when it does not exist. Returns the served board's geometry."""
    name = os.fsencode(path)
    if b"\0" in name:
        raise ValueError("the image path contains a NUL character")
    if geometry is not None and not isinstance(geometry, Geometry):
        raise TypeError(f"geometry must be a Geometry, not {type(geometry).__name__}")
    raw = geometry._raw() if geometry is not None else None
    with LOCK:
        if not _api().VBoardOpenImage(name, ctypes.byref(raw) if raw is not None else None):
            raise VirtualBoardError(f"{os.fsdecode(name)}: cannot be opened as a board image")
    return geometry_of_board()


def reset() -> None:
    """Resets the served board as :func:`create` would, keeping its geometry."""
    with LOCK:
        _api().VBoardReset()


def geometry_of_board() -> Geometry:
    """The served board's geometry."""
    raw = _Geometry()
    with LOCK:
        _api().VBoardGetGeometry(ctypes.byref(raw))
    return Geometry._of(raw)


def peek(page: int, offset: int, length: int) -> bytes:
    """Bytes of board memory, bypassing the trace and the faults."""
    check_uint(page, 32, "page")
    check_uint(offset, 32, "offset")
    check_uint(length, 32, "length")
    if length > MEMORY_MAX:
        raise VirtualBoardError(f"{length} bytes: more than a board's memory holds")
    buffer = (ctypes.c_uint8 * max(length, 1))()
    with LOCK:
        if not _api().VBoardPeek(page, offset, length, buffer):
            raise VirtualBoardError(f"page {page}, offset {offset}, {length} bytes: outside the board's memory")
    return bytes(buffer[:length])


def poke(page: int, offset: int, data: bytes) -> None:
    """Stores bytes in board memory, bypassing the trace and the faults."""
    check_uint(page, 32, "page")
    check_uint(offset, 32, "offset")
    content = check_bytes(data, 0xFFFFFFFF, "data", exact=False)
    buffer = (ctypes.c_uint8 * max(len(content), 1)).from_buffer_copy(content.ljust(1, b"\0"))
    with LOCK:
        if not _api().VBoardPoke(page, offset, len(content), buffer):
            raise VirtualBoardError(f"page {page}, offset {offset}, {len(content)} bytes: outside the board's memory")


def info_block() -> bytes:
    """The 51 bytes that the board's information command would answer now."""
    buffer = (ctypes.c_uint8 * INFO_BLOCK_SIZE)()
    with LOCK:
        _api().VBoardGetInfoBlock(buffer)
    return bytes(buffer)


def set_state(state: int) -> None:
    check_uint(state, 8, "state")
    with LOCK:
        _api().VBoardSetState(state)


def set_logon(user: int, flags: int = 0) -> None:
    """Logs `user` on (state 4) directly; user 0 logs everybody off."""
    check_uint(user, 16, "user")
    check_uint(flags, 8, "flags")
    with LOCK:
        _api().VBoardSetLogon(user, flags)


def set_log_position(page: int, offset: int) -> None:
    check_uint(page, 16, "page")
    check_uint(offset, 16, "offset")
    with LOCK:
        _api().VBoardSetLogPosition(page, offset)


def set_error_page(page: int) -> None:
    check_uint(page, 16, "page")
    with LOCK:
        _api().VBoardSetErrorPage(page)


def clock_block_of(when: _dt.datetime) -> bytes:
    """The clock block (second, minute, hour, day, month, year - 2000; packed BCD) of a time
    of the years 2000-2099."""
    if not isinstance(when, _dt.datetime):
        raise TypeError(f"when must be a datetime.datetime, not {type(when).__name__}")
    if not 2000 <= when.year <= 2099:
        raise ValueError(f"a clock block holds the years 2000-2099, not {when.year}")
    values = (when.second, when.minute, when.hour, when.day, when.month, when.year - 2000)
    return bytes((value // 10) << 4 | value % 10 for value in values)


def freeze_clock(when: Union[_dt.datetime, bytes]) -> None:
    """Stops the board's clock at `when` (a datetime, or a raw 6-byte clock block sent as is,
    even when invalid) until the next set-clock command."""
    block = clock_block_of(when) if isinstance(when, _dt.datetime) else check_bytes(when, CLOCK_BLOCK_SIZE, "block")
    buffer = (ctypes.c_uint8 * CLOCK_BLOCK_SIZE).from_buffer_copy(block)
    with LOCK:
        _api().VBoardFreezeClock(buffer)


def clock_block() -> bytes:
    """The clock block that the board's get-clock command would answer now."""
    buffer = (ctypes.c_uint8 * CLOCK_BLOCK_SIZE)()
    with LOCK:
        _api().VBoardGetClock(buffer)
    return bytes(buffer)


def watchdog() -> int:
    with LOCK:
        return int(_api().VBoardGetWatchdog())


def patch_info(offset: int, value: int, first: int = 1, count: int = 0) -> None:
    """Answers `first` to `first` + `count` - 1 of the information command (counted from 1
    from now; `count` 0: all from `first` on) carry `value` at byte `offset` (0-50)."""
    if check_uint(offset, 8, "offset") >= INFO_BLOCK_SIZE:
        raise ValueError(f"offset must be 0-{INFO_BLOCK_SIZE - 1}, not {offset}")
    check_uint(value, 8, "value")
    check_uint(first, 32, "first")
    check_uint(count, 32, "count")
    with LOCK:
        _api().VBoardPatchInfo(offset, value, first, count)


def add_fault(fault: Fault) -> None:
    if not isinstance(fault, Fault):
        raise TypeError(f"fault must be a Fault, not {type(fault).__name__}")
    raw = _Fault(fault.nth, fault.command, fault.status, int(fault.transport_fails), int(fault.scribble), fault.times)
    with LOCK:
        _api().VBoardAddFault(ctypes.byref(raw))


def clear_faults() -> None:
    with LOCK:
        _api().VBoardClearFaults()


def unplug_after(calls: int) -> None:
    """Unplugs the board after ``calls`` more transport calls: every later call answers "no
    exchange", as when the board loses power or its cable, until this is called again. 0 keeps
    the board plugged in; a new board starts plugged in; clear_faults leaves the plug alone."""
    check_uint(calls, 32, "calls")
    with LOCK:
        _api().VBoardUnplugAfter(calls)


def trace() -> list[TraceEntry]:
    """Every transport call since the trace was last cleared, in order."""
    entries = []
    with LOCK:
        api = _api()
        for index in range(api.VBoardTraceCount()):
            raw = _TraceEntry()
            if not api.VBoardTraceGet(index, ctypes.byref(raw)):
                break
            out = ctypes.string_at(raw.out, raw.out_length) if raw.out and raw.out_length else b""
            entries.append(TraceEntry(raw.command, bool(raw.extended), raw.param_length,
                                      bytes(raw.param[:min(raw.param_length, 16)]), out, raw.in_length, raw.status,
                                      bool(raw.transport_ok)))
    return entries


def clear_trace() -> None:
    with LOCK:
        _api().VBoardTraceClear()


def enable_trace(enabled: bool = True) -> None:
    with LOCK:
        _api().VBoardTraceEnable(1 if check_flag(enabled, "enabled") else 0)

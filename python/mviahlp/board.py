"""The board, bound through the library: every export as a method.

The library keeps one process-wide state, so a program normally has one open board. Calls
are serialised by a process-wide lock (the library itself is not thread-safe). Every
argument is checked before anything is sent to the board: a wrong type raises
``TypeError``, a value that does not fit ``ValueError``. A refused operation raises an
:class:`~mviahlp.errors.MviahlpError` of the class its ``LastError`` names.
"""

from __future__ import annotations

import ctypes
import datetime as _dt
from types import TracebackType
from typing import Callable, Optional, Union

from ._library import LOCK, ProgressProc, native, succeeded
from .days import NO_DAY, date_of_day_number, day_number_of, seconds_of, time_of_seconds
from .errors import (BindFailedError, ErrorState, MviahlpError, NotBoundError, error_for)
from .records import (CODEC, CONFIG_RECORD_SIZE, DATETIME_RECORD_SIZE, INFO_RECORD_SIZE, USER_RECORD_SIZE,
                      ConfigRecord, CurrentUser, InfoRecord, UserRecord, check_bytes, check_uint)

AREA_CONFIG = 0
AREA_1 = 1
AREA_DATA = 2
AREA_LOG = 3
AREA_HWSTEP = 5
APPEND_OFFSET = 0xFFFF
# Clock years the board holds.
CLOCK_FIRST_YEAR = 2000
CLOCK_LAST_YEAR = 2099
# Requests longer than one call can carry (16-bit counts) are split into pieces of this size.
PIECE = 0x8000
OFFSET_MAX = 0x7FFFFFFF
# What KLIAReadHwStep leaves in the step when no step is stored.
HW_STEP_NONE = 254
# Bytes of an IA result record that each kind sends or keeps.
IA_RESULT_BYTES = {2: 32, 4: 13, 255: 174}

ProgressCallback = Callable[[str], object]

# Set while KLIAFormatDatabase runs a progress procedure, which must not call the library.
_in_progress = False


def error_state() -> ErrorState:
    """The library's error state now (KLIAGetErrorState). Sends nothing to the board."""
    bind_error, last_error, device_status = ctypes.c_uint16(), ctypes.c_uint16(), ctypes.c_uint16()
    with LOCK:
        native().KLIAGetErrorState(ctypes.byref(bind_error), ctypes.byref(last_error), ctypes.byref(device_status))
    return ErrorState(bind_error.value, last_error.value, device_status.value)


def today() -> _dt.date:
    """The current local date as the library reads it (Today), bound or not."""
    with LOCK:
        day_number = int(native().Today())
    date = date_of_day_number(day_number) if day_number != NO_DAY else None
    if date is None:
        raise MviahlpError("Today", error_state(), "the system's date lies outside the years 1600-3999")
    return date


def _buffer(size: int, content: bytes = b"") -> ctypes.Array[ctypes.c_uint8]:
    buffer = (ctypes.c_uint8 * max(size, 1))()
    ctypes.memmove(buffer, content, len(content))
    return buffer


def _check_area(area: object) -> int:
    return check_uint(area, 8, "area")


def _check_offset(offset: object) -> int:
    if isinstance(offset, bool) or not isinstance(offset, int):
        raise TypeError(f"offset must be an int, not {type(offset).__name__}")
    if not 0 <= offset <= OFFSET_MAX:
        raise ValueError(f"offset must be 0-{OFFSET_MAX}, not {offset}")
    return offset


class Board:
    """The board behind the library. Use :func:`mviahlp.open`, or bind it yourself::

        with mviahlp.open() as board:       # binds; the block's end flushes the cache
            print(board.info())

    The data-area writes of areas 0, 1, 2 and 5 go through the library's one-page cache:
    they reach the board at :meth:`flush`, when the board is closed (also when the ``with``
    block raises), or when the library unloads.
    """

    def __init__(self) -> None:
        self._bound = False
        self._closed = False

    # ---- binding ---------------------------------------------------------------------------

    @property
    def bound(self) -> bool:
        return self._bound and not self._closed

    def bind(self) -> None:
        """Binds the library and probes the board (KLIADriverPresent); raises when it fails."""
        if self._closed:
            raise NotBoundError("KLIADriverPresent", error_state(), "this board object is closed: open a new one",
                                called=False)
        with self._calling("KLIADriverPresent"):
            if not succeeded(native().KLIADriverPresent()):
                raise BindFailedError(
                    "KLIADriverPresent", error_state(),
                    "the board did not answer the library's probe: check that it is connected (the virtual "
                    "board: that HWLINK_VBOARD_IMAGE names a usable image)")
        self._bound = True

    def close(self) -> None:
        """Flushes the library's cache and closes this object. Closing twice does nothing."""
        if self._closed:
            return
        try:
            if self._bound:
                self.flush()
        finally:
            self._closed = True

    def __enter__(self) -> Board:
        if not self._bound:
            self.bind()
        return self

    def __exit__(self, kind: Optional[type[BaseException]], error: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        if error is None:
            self.close()
            return
        # The block's own exception stays the one raised; a failed flush is added to it.
        try:
            self.close()
        except MviahlpError as flush_error:
            if hasattr(error, "add_note"):
                error.add_note(f"and closing the board failed too: {flush_error}")

    # ---- calling the library ---------------------------------------------------------------

    class _Call:
        def __init__(self, board: Board, operation: str, needs_binding: bool) -> None:
            self.board, self.operation, self.needs_binding = board, operation, needs_binding

        def __enter__(self) -> None:
            LOCK.acquire()
            try:
                if _in_progress:
                    raise MviahlpError(self.operation, ErrorState(),
                                       "called from inside a progress procedure, which must not call the library")
                if self.needs_binding and not self.board.bound:
                    note = ("this board object is closed: open a new one" if self.board._closed
                            else "bind the board first: mviahlp.open()")
                    raise NotBoundError(self.operation, error_state(), note, called=False)
            except BaseException:
                LOCK.release()
                raise

        def __exit__(self, *exc: object) -> None:
            LOCK.release()

    def _calling(self, operation: str, needs_binding: bool = False) -> Board._Call:
        return Board._Call(self, operation, needs_binding)

    def _check(self, result: int, operation: str, note: str = "") -> None:
        if not succeeded(result):
            raise error_for(operation, error_state(), note)

    # ---- information and users -------------------------------------------------------------

    def info(self) -> InfoRecord:
        """The board's information record (KLIAGetInfo)."""
        record = _buffer(INFO_RECORD_SIZE)
        with self._calling("KLIAGetInfo", True):
            self._check(native().KLIAGetInfo(record), "KLIAGetInfo")
        return InfoRecord.decode(bytes(record))

    def error_state(self) -> ErrorState:
        """The library's error state now (KLIAGetErrorState)."""
        return error_state()

    def current_user(self) -> CurrentUser:
        """Who is logged on (KLIAGetCurrentUser); number 0 when nobody is."""
        user, flag = ctypes.c_uint16(), ctypes.c_uint8()
        with self._calling("KLIAGetCurrentUser", True):
            self._check(native().KLIAGetCurrentUser(ctypes.byref(user), ctypes.byref(flag)), "KLIAGetCurrentUser")
        return CurrentUser(user.value, flag.value != 0)

    def login(self, key: bytes, password: bytes) -> None:
        """Logs a user on with two 8-byte logon blocks (KLIALogin)."""
        first = _buffer(8, check_bytes(key, 8, "key"))
        second = _buffer(8, check_bytes(password, 8, "password"))
        with self._calling("KLIALogin", True):
            self._check(native().KLIALogin(first, second, 0), "KLIALogin")

    def logout(self) -> None:
        """Ends the board's logon (KLIALogout)."""
        with self._calling("KLIALogout", True):
            native().KLIALogout()

    def read_user(self, user: int) -> UserRecord:
        """User `user`'s record (1..UserCount; 0 = the logged-on user) (KLIAReadUserData)."""
        check_uint(user, 16, "user")
        record = _buffer(USER_RECORD_SIZE)
        operation = f"KLIAReadUserData({user})"
        with self._calling(operation, True):
            self._check(native().KLIAReadUserData(user, record), operation)
        return UserRecord.decode(bytes(record))

    def write_user(self, user: int, record: UserRecord) -> None:
        """Replaces user `user`'s record (0 = the logged-on user), straight on the board."""
        check_uint(user, 16, "user")
        if not isinstance(record, UserRecord):
            raise TypeError(f"record must be a UserRecord, not {type(record).__name__}")
        buffer = _buffer(USER_RECORD_SIZE, record.encode())
        operation = f"KLIAWriteUserData({user})"
        with self._calling(operation, True):
            self._check(native().KLIAWriteUserData(user, buffer), operation)

    def change_password(self, user: int, block: bytes) -> None:
        """Changes a password with a 16-byte block sent to the board unchanged (the virtual
        board takes the current password in bytes 0-7, the new one in 8-15)."""
        check_uint(user, 16, "user")
        buffer = _buffer(16, check_bytes(block, 16, "block"))
        operation = f"KLIAChangeUserPassword({user})"
        with self._calling(operation, True):
            self._check(native().KLIAChangeUserPassword(user, buffer), operation)

    # ---- data areas and the log ------------------------------------------------------------

    def read(self, area: int, offset: int, length: int) -> bytes:
        """`length` bytes of data area `area` from byte `offset` (KLIAReadDataEx).

        A request longer than one call carries is read in pieces. When it fails, the
        exception's ``done`` is the count of bytes read and ``data`` those bytes.
        """
        _check_area(area)
        _check_offset(offset)
        if isinstance(length, bool) or not isinstance(length, int):
            raise TypeError(f"length must be an int, not {type(length).__name__}")
        if not 0 <= length <= OFFSET_MAX + 1 - offset:
            raise ValueError(f"length must be 0-{OFFSET_MAX + 1 - offset} at offset {offset}, not {length}")
        # One piece at a time: a request past the end of its area fails at its first piece,
        # before memory for all of it is taken.
        piece = _buffer(min(PIECE, length))
        content = bytearray()
        with self._calling("KLIAReadDataEx", True):
            while len(content) < length:
                count = min(PIECE, length - len(content))
                at = offset + len(content)
                done = ctypes.c_uint16()
                result = native().KLIAReadDataEx(area, piece, at, count, ctypes.byref(done))
                if not succeeded(result):
                    content += bytes(piece[:min(done.value, count)])
                    raise error_for(f"KLIAReadDataEx({area}, {at}, {count})", error_state(), done=len(content),
                                    data=bytes(content))
                content += bytes(piece[:count])
        return bytes(content)

    def write(self, area: int, offset: int, data: bytes) -> None:
        """Writes `data` into data area `area` at byte `offset` (KLIAWriteDataEx).

        Areas 0, 1, 2 and 5 are written into the library's cache (see :meth:`flush`); area 3,
        the log, goes to the board at once. When it fails, the exception's ``done`` is the
        count of bytes written. Offset 65535 of area 3 is the library's append offset: use
        :meth:`append_log` to append.
        """
        _check_area(area)
        _check_offset(offset)
        data = check_bytes(data, OFFSET_MAX + 1, "data", exact=False)
        if len(data) > OFFSET_MAX + 1 - offset:
            raise ValueError(f"{len(data)} bytes do not fit at offset {offset}")
        if area == AREA_LOG and offset == APPEND_OFFSET and data:
            raise ValueError("offset 65535 of area 3 appends a log record: use append_log(), "
                             "or begin the write one byte earlier")
        buffer = _buffer(len(data), data)
        base = ctypes.addressof(buffer)
        total = 0
        with self._calling("KLIAWriteDataEx", True):
            while total < len(data):
                count = min(PIECE, len(data) - total)
                # No piece of the log may begin at the append offset.
                if area == AREA_LOG and offset + total + count == APPEND_OFFSET and total + count < len(data):
                    count -= 1
                at = offset + total
                done = ctypes.c_uint16()
                result = native().KLIAWriteDataEx(area, base + total, at, count, ctypes.byref(done))
                if not succeeded(result):
                    total += min(done.value, count)
                    raise error_for(f"KLIAWriteDataEx({area}, {at}, {count})", error_state(), done=total)
                total += count

    def append_log(self, record: bytes) -> None:
        """Appends a record to the event log (KLIAWriteData at the append offset)."""
        data = check_bytes(record, 0xFFFF, "record", exact=False)
        buffer = _buffer(len(data), data)
        with self._calling("KLIAWriteData", True):
            self._check(native().KLIAWriteData(AREA_LOG, buffer, APPEND_OFFSET, len(data), None),
                        "KLIAWriteData(3, append)",
                        "the board refused the log record (the library records no code for it): the log may be "
                        "full, or have no write position before the board is formatted")

    def flush(self) -> None:
        """Writes the library's modified cached page to the board.

        This is KLIAWriteDataEx with no data, which flushes like KLIAFlush and, unlike it,
        reports whether the page reached the board.
        """
        done = ctypes.c_uint16()
        with self._calling("KLIAFlush", True):
            self._check(native().KLIAWriteDataEx(AREA_CONFIG, None, 0, 0, ctypes.byref(done)),
                        "KLIAWriteDataEx(flush)", "the modified page stays in the cache for the next flush")

    def clear_log(self) -> None:
        """Has the board clear the event log (KLIAClearLog)."""
        with self._calling("KLIAClearLog", True):
            self._check(native().KLIAClearLog(), "KLIAClearLog",
                        "the board refused (the library records no code for it): the log has no write position "
                        "before the board is formatted")

    # ---- formatting ------------------------------------------------------------------------

    def format(self, check_word: int, progress: Optional[ProgressCallback] = None) -> None:
        """Formats the board's database and stores `check_word` (1-65534) (KLIAFormatDatabase).

        `progress` receives each progress message as ``str`` (the library's messages are in
        Russian; page messages begin with a lone carriage return). An exception raised by
        `progress` does not pass through the library: it is kept, no further messages are
        delivered, formatting finishes, and then it is raised.
        """
        check_uint(check_word, 16, "check_word")
        if check_word in (0, 0xFFFF):
            raise ValueError("check_word must be 1-65534: 0 reads back as no check word, 65535 as unreadable")
        if progress is not None and not callable(progress):
            raise TypeError(f"progress must be callable, not {type(progress).__name__}")
        kept: list[BaseException] = []

        def relay(message: Optional[int]) -> None:
            # Runs inside the library's call: nothing may leave it by an exception (ctypes would
            # only print it), so whatever is raised here, even KeyboardInterrupt, is kept.
            global _in_progress
            try:
                if kept or progress is None:
                    return
                text = ""
                if message:
                    length = ctypes.string_at(message, 1)[0]
                    text = ctypes.string_at(message + 1, length).decode(CODEC)
                _in_progress = True
                try:
                    progress(text)
                finally:
                    _in_progress = False
            except BaseException as error:
                kept.append(error)

        procedure = ProgressProc(relay) if progress is not None else ProgressProc()  # a null procedure
        operation = f"KLIAFormatDatabase(0x{check_word:04X})"
        with self._calling(operation, True):
            result = native().KLIAFormatDatabase(check_word, procedure)
            failure = None if succeeded(result) else error_for(
                operation, error_state(), "the progress messages show the stage that failed")
        if kept:
            if failure is not None and hasattr(kept[0], "add_note"):
                kept[0].add_note(f"formatting went on without the progress procedure and failed: {failure}")
            raise kept[0]
        if failure is not None:
            raise failure

    # ---- clock, watchdog, records of the data areas ----------------------------------------

    def clock_record(self) -> tuple[int, int]:
        """The board's clock as (DayNumber, TimeOfDay) (KLIAGetRTCDateTime)."""
        record = _buffer(DATETIME_RECORD_SIZE)
        with self._calling("KLIAGetRTCDateTime", True):
            self._check(native().KLIAGetRTCDateTime(record), "KLIAGetRTCDateTime")
        raw = bytes(record)
        return (int.from_bytes(raw[0:4], "little", signed=True), int.from_bytes(raw[4:8], "little", signed=True))

    def clock(self) -> Optional[_dt.datetime]:
        """The board's clock as naive local time; ``None`` when the board holds no valid date."""
        day_number, seconds = self.clock_record()
        try:
            date = date_of_day_number(day_number)
            time = time_of_seconds(seconds)
        except ValueError:
            return None
        if date is None or time is None:
            return None
        return _dt.datetime.combine(date, time)

    def set_clock_record(self, day_number: int, time_of_day: int) -> None:
        """Sets the board's clock from a DayNumber and a TimeOfDay, as they are (KLIASetRTCDateTime)."""
        for value, what in ((day_number, "day_number"), (time_of_day, "time_of_day")):
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{what} must be an int, not {type(value).__name__}")
            if not -(1 << 31) <= value < (1 << 31):
                raise ValueError(f"{what} must fit in 32 signed bits, not {value}")
        record = _buffer(DATETIME_RECORD_SIZE,
                         day_number.to_bytes(4, "little", signed=True) + time_of_day.to_bytes(4, "little", signed=True))
        with self._calling("KLIASetRTCDateTime", True):
            self._check(native().KLIASetRTCDateTime(record), "KLIASetRTCDateTime")

    def set_clock(self, when: _dt.datetime) -> None:
        """Sets the board's clock (years 2000-2099), to the second. An aware datetime is
        converted to local time first."""
        if not isinstance(when, _dt.datetime):
            raise TypeError(f"when must be a datetime.datetime, not {type(when).__name__}")
        if when.tzinfo is not None:
            when = when.astimezone().replace(tzinfo=None)
        if not CLOCK_FIRST_YEAR <= when.year <= CLOCK_LAST_YEAR:
            raise ValueError(f"the board's clock holds the years {CLOCK_FIRST_YEAR}-{CLOCK_LAST_YEAR}, not {when.year}")
        self.set_clock_record(day_number_of(when.date()), seconds_of(when.time()))

    def watchdog(self) -> int:
        """The board's watchdog timeout (KLIAGetWDTimeout)."""
        value = ctypes.c_uint16()
        with self._calling("KLIAGetWDTimeout", True):
            self._check(native().KLIAGetWDTimeout(ctypes.byref(value)), "KLIAGetWDTimeout")
        return value.value

    def set_watchdog(self, timeout: int) -> None:
        """Sets the board's watchdog timeout, 0-65535 in the board's units (KLIASetWDTimeout)."""
        check_uint(timeout, 16, "timeout")
        operation = f"KLIASetWDTimeout({timeout})"
        with self._calling(operation, True):
            self._check(native().KLIASetWDTimeout(timeout), operation)

    def read_config(self) -> Optional[ConfigRecord]:
        """The configuration record; ``None`` when none is stored (KLIAReadConfigData)."""
        record = _buffer(CONFIG_RECORD_SIZE)
        with self._calling("KLIAReadConfigData", True):
            if not succeeded(native().KLIAReadConfigData(record)):
                state = error_state()
                if state.last_error == 0:
                    return None
                raise error_for("KLIAReadConfigData", state)
        return ConfigRecord.decode(bytes(record[:CONFIG_RECORD_SIZE]))

    def write_config(self, record: ConfigRecord) -> None:
        """Stores the configuration record and flushes it to the board (KLIAWriteConfigData)."""
        if not isinstance(record, ConfigRecord):
            raise TypeError(f"record must be a ConfigRecord, not {type(record).__name__}")
        buffer = _buffer(CONFIG_RECORD_SIZE, record.encode())
        with self._calling("KLIAWriteConfigData", True):
            self._check(native().KLIAWriteConfigData(buffer), "KLIAWriteConfigData")

    def read_hw_step(self) -> Optional[int]:
        """The hardware step; ``None`` when none is stored (KLIAReadHwStep)."""
        step = ctypes.c_uint8()
        with self._calling("KLIAReadHwStep", True):
            if not succeeded(native().KLIAReadHwStep(ctypes.byref(step))):
                state = error_state()
                if state.last_error == 0 and step.value == HW_STEP_NONE:
                    return None
                raise error_for("KLIAReadHwStep", state)
        return step.value

    def write_hw_step(self, step: int) -> None:
        """Stores the hardware step (0-255) and flushes it to the board (KLIAWriteHwStep)."""
        check_uint(step, 8, "step")
        operation = f"KLIAWriteHwStep({step})"
        with self._calling(operation, True):
            self._check(native().KLIAWriteHwStep(step), operation)

    # ---- access control --------------------------------------------------------------------

    def set_ia_result(self, kind: int, record: Union[UserRecord, bytes, None] = None) -> None:
        """Hands an IA result to the board (KLIASetIaResult).

        Kind 2 sends bytes 0-31 of the user record, kind 4 bytes 0-12 (the first name); kind
        255 keeps its DeviceAccessWord (bytes 172-173). `record` is a :class:`UserRecord` or
        at least that many bytes of one; other kinds need none.
        """
        check_uint(kind, 8, "kind")
        needed = IA_RESULT_BYTES.get(kind, 0)
        if isinstance(record, UserRecord):
            content = record.encode()
        elif record is None:
            if needed:
                raise ValueError(f"IA result kind {kind} needs a record")
            content = b""
        else:
            content = check_bytes(record, USER_RECORD_SIZE, "record", exact=False)
            if len(content) < needed:
                raise ValueError(f"IA result kind {kind} reads {needed} bytes of the record, not {len(content)}")
        buffer = _buffer(USER_RECORD_SIZE, content)
        operation = f"KLIASetIaResult({kind})"
        with self._calling(operation, True):
            self._check(native().KLIASetIaResult(kind, buffer), operation)

    def make_user_xid(self, data: bytes) -> bytes:
        """The 4-byte user identifier the board derives from up to 255 bytes (KLIAMakeUserXID)."""
        content = check_bytes(data, 255, "data", exact=False)
        source = _buffer(len(content), content)
        xid = _buffer(4)
        with self._calling("KLIAMakeUserXID", True):
            self._check(native().KLIAMakeUserXID(len(content), source, xid), "KLIAMakeUserXID")
        return bytes(xid)


def open() -> Board:  # noqa: A001 - mviahlp.open(), like io.open
    """Binds the library to the board and returns it; use it in a ``with`` block."""
    board = Board()
    board.bind()
    return board


__all__ = ["Board", "open", "today", "error_state"]

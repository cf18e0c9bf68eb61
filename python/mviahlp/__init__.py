"""mviahlp: the IA board's interface library from Python.

    import mviahlp

    with mviahlp.open() as board:         # binds the library; flushes its cache at the end
        info = board.info()
        board.write_user(1, mviahlp.UserRecord(name="Иванов"))
        board.set_clock(datetime.datetime.now())

A pure-Python binding over ctypes: it calls the library's public interface and nothing else.
``mviahlp.vboard`` drives the virtual board that stands in for the board transport.
"""

from .board import (APPEND_OFFSET, AREA_1, AREA_CONFIG, AREA_DATA, AREA_HWSTEP, AREA_LOG, Board, ProgressCallback,
                    error_state, open, today)
from .days import date_of_day_number, day_number_of, seconds_of, time_of_seconds
from .errors import (BindFailedError, BoardStatusError, ErrorState, LibraryNotFoundError, LogonBlockedError,
                     LogonRefusedError, LogonUnknownError, MviahlpError, NotBoundError, OutOfRangeError,
                     PageFailedError, TransportFailedError, WriteFailedError, meaning_of_bind_error,
                     meaning_of_device_status, meaning_of_last_error)
from .records import (CHECK_WORD_NONE, CHECK_WORD_UNREADABLE, SIGNATURE, ConfigRecord, CurrentUser, InfoRecord,
                      StateClass, UserRecord)

__version__ = "1.0.0"

__all__ = [
    "APPEND_OFFSET", "AREA_1", "AREA_CONFIG", "AREA_DATA", "AREA_HWSTEP", "AREA_LOG", "Board", "BindFailedError",
    "BoardStatusError", "CHECK_WORD_NONE", "CHECK_WORD_UNREADABLE", "ConfigRecord", "CurrentUser", "ErrorState",
    "InfoRecord", "LibraryNotFoundError", "LogonBlockedError", "LogonRefusedError", "LogonUnknownError",
    "MviahlpError", "NotBoundError", "OutOfRangeError", "PageFailedError", "ProgressCallback", "SIGNATURE",
    "StateClass", "TransportFailedError", "UserRecord", "WriteFailedError", "date_of_day_number", "day_number_of",
    "error_state", "meaning_of_bind_error", "meaning_of_device_status", "meaning_of_last_error", "open",
    "seconds_of", "time_of_seconds", "today",
]

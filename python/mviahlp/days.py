"""Day numbers and times of day, as the library's clock record holds them.

A ``DayNumber`` counts days from 1 January 1600 (day 0) in the Gregorian calendar, up to
31 December 3999 (day 876581); -1 means no date. A ``TimeOfDay`` counts seconds since
midnight, 0-86399; -1 means no time.
"""

from __future__ import annotations

import datetime as _dt
from typing import Optional

NO_DAY = -1
NO_TIME = -1
FIRST_YEAR = 1600
LAST_YEAR = 3999
LAST_DAY_NUMBER = 876581
SECONDS_PER_DAY = 86400

_DAY_ZERO = _dt.date(FIRST_YEAR, 1, 1).toordinal()


def day_number_of(date: _dt.date) -> int:
    """The day number of a date of 1600-3999."""
    if not isinstance(date, _dt.date):
        raise TypeError(f"a date is needed, not {type(date).__name__}")
    if not FIRST_YEAR <= date.year <= LAST_YEAR:
        raise ValueError(f"{date.isoformat()} has no day number: the years are {FIRST_YEAR}-{LAST_YEAR}")
    return date.toordinal() - _DAY_ZERO


def date_of_day_number(day_number: int) -> Optional[_dt.date]:
    """The date of a day number; ``None`` for -1 (no date)."""
    _check_int(day_number, "day number")
    if day_number == NO_DAY:
        return None
    if not 0 <= day_number <= LAST_DAY_NUMBER:
        raise ValueError(f"day number {day_number} lies outside 0-{LAST_DAY_NUMBER} (and is not -1, no date)")
    return _dt.date.fromordinal(day_number + _DAY_ZERO)


def seconds_of(time: _dt.time) -> int:
    """The time of day of a time, in whole seconds (fractions are dropped)."""
    return time.hour * 3600 + time.minute * 60 + time.second


def time_of_seconds(seconds: int) -> Optional[_dt.time]:
    """The time of a time of day; ``None`` for -1 (no time)."""
    _check_int(seconds, "time of day")
    if seconds == NO_TIME:
        return None
    if not 0 <= seconds < SECONDS_PER_DAY:
        raise ValueError(f"time of day {seconds} lies outside 0-{SECONDS_PER_DAY - 1} (and is not -1, no time)")
    return _dt.time(seconds // 3600, seconds // 60 % 60, seconds % 60)


def _check_int(value: object, what: str) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"the {what} must be an int, not {type(value).__name__}")

"""Properties over any field values: records round-trip through the library and the virtual
board, data areas behave as plain memory behind the cache, and day numbers agree with the
calendar over the whole supported range."""

from __future__ import annotations

import dataclasses
import datetime as dt

import pytest
from hypothesis import given
from hypothesis import strategies as st

import mviahlp
from mviahlp import vboard
from mviahlp.records import _Kind

from conftest import SMALL

CLOCK = 28
CP866 = bytes(range(256)).decode("cp866")
DATA_SIZE = SMALL[1] * 256
DATA_FIRST_PAGE = SMALL[0] + 8


def field_strategy(field: dataclasses.Field[object]) -> st.SearchStrategy[object]:
    kind, width = field.metadata["kind"], field.metadata["width"]
    strategies: dict[_Kind, st.SearchStrategy[object]] = {
        _Kind.STRING: st.text(alphabet=CP866, max_size=12),
        _Kind.FLAG: st.booleans(),
        _Kind.NIBBLE: st.integers(0, 15),
        _Kind.BYTE: st.integers(0, 255),
        _Kind.WORD: st.integers(0, 65535),
        _Kind.FLAGS8: st.tuples(*[st.booleans()] * 8),
        _Kind.DATA: st.binary(min_size=width, max_size=width),
    }
    return strategies[kind]


def records(cls: type) -> st.SearchStrategy[object]:
    return st.builds(cls, **{f.name: field_strategy(f) for f in dataclasses.fields(cls)})


@given(record=records(mviahlp.UserRecord), number=st.integers(1, SMALL[0]))
def test_any_user_record_reads_back_as_written(board: mviahlp.Board, record: mviahlp.UserRecord, number: int) -> None:
    board.write_user(number, record)
    # The board keeps the DeviceAccessWord's device mask and one flag for bits 8-15.
    word = record.access_word
    expected = dataclasses.replace(record, access_word=(word & 0xFF) | (0x8000 if word & 0xFF00 else 0))
    assert board.read_user(number) == expected


@given(record=records(mviahlp.ConfigRecord))
def test_any_configuration_record_reads_back_as_written(board: mviahlp.Board, record: mviahlp.ConfigRecord) -> None:
    board.write_config(record)
    expected = dataclasses.replace(record, byte2=20 if record.byte2 == 255 else record.byte2,
                                   byte3=20 if record.byte3 == 255 else record.byte3)
    assert board.read_config() == expected


@given(writes=st.lists(st.tuples(st.integers(0, DATA_SIZE - 1), st.binary(min_size=1, max_size=700)), max_size=8))
def test_data_area_2_behaves_as_plain_memory_behind_the_cache(board: mviahlp.Board,
                                                             writes: list[tuple[int, bytes]]) -> None:
    model = bytearray(board.read(mviahlp.AREA_DATA, 0, DATA_SIZE))
    for offset, data in writes:
        data = data[:DATA_SIZE - offset]
        board.write(mviahlp.AREA_DATA, offset, data)
        model[offset:offset + len(data)] = data
        assert board.read(mviahlp.AREA_DATA, offset, len(data)) == data
    assert board.read(mviahlp.AREA_DATA, 0, DATA_SIZE) == model
    board.flush()
    assert b"".join(vboard.peek(DATA_FIRST_PAGE + page, 0, 256) for page in range(SMALL[1])) == model


# Day numbers: worked values of the calendar (day 0 is 1 January 1600).
DAY_NUMBERS = [
    (dt.date(1600, 1, 1), 0), (dt.date(1600, 1, 31), 30), (dt.date(1600, 2, 29), 59), (dt.date(1600, 3, 1), 60),
    (dt.date(1900, 1, 1), 109573), (dt.date(1970, 1, 1), 135140), (dt.date(2000, 1, 1), 146097),
    (dt.date(2024, 12, 31), 155228), (dt.date(2100, 1, 1), 182622), (dt.date(3999, 12, 31), 876581),
]


@pytest.mark.parametrize("date,day_number", DAY_NUMBERS)
def test_day_numbers_of_known_dates(date: dt.date, day_number: int) -> None:
    assert mviahlp.day_number_of(date) == day_number
    assert mviahlp.date_of_day_number(day_number) == date


@given(st.dates(dt.date(1600, 1, 1), dt.date(3999, 12, 31)))
def test_day_numbers_and_dates_agree_over_the_whole_range(date: dt.date) -> None:
    day_number = mviahlp.day_number_of(date)
    assert 0 <= day_number <= 876581
    assert mviahlp.date_of_day_number(day_number) == date
    assert day_number - mviahlp.day_number_of(date.replace(day=1)) == date.day - 1


def test_dates_outside_the_range_have_no_day_number() -> None:
    for bad in (dt.date(1599, 12, 31), dt.date(4000, 1, 1)):
        with pytest.raises(ValueError):
            mviahlp.day_number_of(bad)
    for bad_number in (-2, 876582):
        with pytest.raises(ValueError):
            mviahlp.date_of_day_number(bad_number)
    assert mviahlp.date_of_day_number(-1) is None and mviahlp.time_of_seconds(-1) is None


@given(st.datetimes(dt.datetime(2000, 1, 1), dt.datetime(2099, 12, 31, 23, 59, 59)))
def test_any_clock_time_reaches_the_board_and_reads_back(board: mviahlp.Board, when: dt.datetime) -> None:
    when = when.replace(microsecond=0)
    vboard.clear_trace()
    board.set_clock(when)
    sent = [entry.param for entry in vboard.trace() if entry.command == CLOCK]
    bcd = [int(f"{value:02d}", 16) for value in
           (when.second, when.minute, when.hour, when.day, when.month, when.year - 2000)]
    assert sent == [bytes(bcd)]
    vboard.freeze_clock(when)
    assert board.clock() == when

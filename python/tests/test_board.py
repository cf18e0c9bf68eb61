"""The board through the library: records, errors, data areas, formatting and the clock,
checked against what the virtual board holds and answers."""

from __future__ import annotations

import dataclasses
import datetime as dt
import subprocess
import sys
import threading
from pathlib import Path
from typing import Any, Callable

import pytest

import mviahlp
from mviahlp import vboard
from mviahlp.vboard import Fault

from conftest import CHECK_WORD, SMALL

READ_MEMORY, WRITE_MEMORY, INFORMATION, IA_RESULT, LOGON = 21, 22, 16, 13, 17
USERS, DATA_PAGES, LOG_PAGES = SMALL
DATA_FIRST_PAGE = USERS + 8
LOG_FIRST_PAGE = DATA_FIRST_PAGE + DATA_PAGES


def commands() -> list[int]:
    return [entry.command for entry in vboard.trace()]


def user(name: str = "Иванов", key: bytes = b"KLIA-001", password: bytes = b"secret-1",
         **changes: Any) -> mviahlp.UserRecord:
    record = mviahlp.UserRecord(name=name, data28=key[:4], data32=key[4:], data36=password[:4], data40=password[4:])
    return dataclasses.replace(record, **changes)


# ---- binding ----------------------------------------------------------------------------

def test_a_board_object_that_is_not_bound_refuses_every_call_and_sends_nothing() -> None:
    vboard.create(vboard.Geometry.standard(*SMALL))
    unbound = mviahlp.Board()
    vboard.clear_trace()
    with pytest.raises(mviahlp.NotBoundError, match="mviahlp.open"):
        unbound.info()
    with pytest.raises(mviahlp.NotBoundError):
        unbound.write(2, 0, b"x")
    assert vboard.trace() == []


def test_a_closed_board_refuses_calls(fresh_board: mviahlp.Board) -> None:
    fresh_board.close()
    fresh_board.close()  # twice is harmless
    with pytest.raises(mviahlp.NotBoundError, match="closed"):
        fresh_board.current_user()


@pytest.mark.parametrize("close", [True, False], ids=["closed", "never-bound"])
def test_a_refused_call_says_why_without_the_librarys_state(close: bool) -> None:
    # The library is bound (by another board object), so its error state reads "bound": the
    # refusal must not quote it beside "closed" or "bind the board first".
    vboard.create(vboard.Geometry.standard(*SMALL))
    with mviahlp.open() as other:
        board = mviahlp.open() if close else mviahlp.Board()
        if close:
            board.close()
        with pytest.raises(mviahlp.NotBoundError) as refusal:
            board.info()
        assert other.bound
    text = str(refusal.value)
    assert ("closed" if close else "mviahlp.open()") in text
    assert "BindError" not in text and "(bound)" not in text
    assert not refusal.value.called


def test_open_raises_when_the_board_does_not_answer_the_probe() -> None:
    vboard.create(vboard.Geometry.standard(*SMALL))
    vboard.add_fault(Fault(nth=1, command=INFORMATION, transport_fails=True))
    with pytest.raises(mviahlp.BindFailedError) as failure:
        mviahlp.open()
    assert failure.value.last_error == 255
    assert "no exchange" in failure.value.last_error_meaning


def test_an_unplugged_board_answers_no_exchange_until_it_is_plugged_in_again() -> None:
    vboard.create(vboard.Geometry.standard(*SMALL))
    board = mviahlp.open()
    vboard.unplug_after(1)
    board.current_user()  # the last call that gets through
    with pytest.raises(mviahlp.MviahlpError) as failure:
        board.current_user()
    assert "no exchange" in str(failure.value)
    vboard.clear_faults()
    with pytest.raises(mviahlp.MviahlpError):
        board.current_user()
    vboard.unplug_after(0)
    board.current_user()
    board.close()


def test_the_with_block_flushes_the_cache_also_when_it_raises() -> None:
    vboard.create(vboard.Geometry.standard(*SMALL))
    with pytest.raises(KeyError):
        with mviahlp.open() as board:
            board.write(mviahlp.AREA_DATA, 10, b"kept")
            assert vboard.peek(DATA_FIRST_PAGE, 10, 4) == b"\xff" * 4  # still in the cache
            raise KeyError("the block fails")
    assert vboard.peek(DATA_FIRST_PAGE, 10, 4) == b"kept"


def test_a_failed_flush_at_the_end_of_a_failing_block_keeps_the_block_s_exception() -> None:
    vboard.create(vboard.Geometry.standard(*SMALL))
    with pytest.raises(KeyError) as failure:
        with mviahlp.open() as board:
            board.write(mviahlp.AREA_DATA, 0, b"lost?")
            vboard.add_fault(Fault(nth=0, command=WRITE_MEMORY, status=7))
            raise KeyError("the block fails")
    assert any("closing the board failed" in note for note in getattr(failure.value, "__notes__", []))
    vboard.clear_faults()


# ---- information ------------------------------------------------------------------------

def test_info_decodes_every_field_of_a_fresh_and_a_formatted_board(fresh_board: mviahlp.Board) -> None:
    info = fresh_board.info()
    assert info.signature_ok and info.signature[-3:] == b"AVR"
    assert (info.check_word, info.state_class, info.formatted) == (0, mviahlp.StateClass.NOT_FORMATTED, False)
    assert (info.user_count, info.devices, info.version, info.byte30, info.word34) == (USERS, 4, 0x123, 0xFF, 128)
    assert (info.data_area_size, info.data_area_size_ex) == (DATA_PAGES * 256, 0)
    assert info.log_area_bytes == info.log_used_bytes == LOG_PAGES * 256  # no log position yet
    fresh_board.format(0xBEEF)
    info = fresh_board.info()
    assert (info.check_word, info.state_class, info.formatted, info.log_used_bytes) == (
        0xBEEF, mviahlp.StateClass.READY, True, 0)


def test_info_reports_large_sizes_in_the_32_bit_fields() -> None:
    vboard.create(vboard.Geometry.standard(users=2, data_pages=300, log_pages=1))
    with mviahlp.open() as board:
        info = board.info()
    assert (info.data_area_size, info.data_area_size_ex, info.data_area_bytes) == (0, 76800, 76800)


def test_info_shows_the_current_user_and_flag(board: mviahlp.Board) -> None:
    vboard.set_logon(5, 1)
    info = board.info()
    assert (info.current_user, info.current_user_flag, info.state_class) == (5, True, mviahlp.StateClass.USER_LOGGED_ON)
    assert board.current_user() == mviahlp.CurrentUser(5, True)


# ---- users and logon --------------------------------------------------------------------

def test_a_user_record_written_reads_back_and_is_stored_where_the_board_keeps_it(board: mviahlp.Board) -> None:
    record = user(name2="Admin", flag26=True, access_word=0x8005, nibble115=9, flags177=(True,) + (False,) * 7)
    board.write_user(3, record)
    assert board.read_user(3) == record
    stored = vboard.peek(3 + 7, 0, 16)
    assert stored == b"KLIA-001secret-1"  # the logon blocks, where the board matches them


def test_a_user_never_written_reads_as_erased(board: mviahlp.Board) -> None:
    record = board.read_user(2)
    assert record.data44 == b"\xff" * 64 and record.flag114 is False and record.nibble115 == 0


def test_logon_answers_become_their_exceptions(board: mviahlp.Board) -> None:
    board.write_user(1, user())
    cases: list[tuple[bytes, bytes, type[mviahlp.MviahlpError], int]] = [
        (b"KLIA-999", b"secret-1", mviahlp.LogonUnknownError, 7504),
        (b"KLIA-001", b"wrong-pw", mviahlp.LogonRefusedError, 7505),
    ]
    for key, password, error, code in cases:
        with pytest.raises(error) as failure:
            board.login(key, password)
        assert type(failure.value) is error and failure.value.last_error == code
    board.login(b"KLIA-001", b"secret-1")
    assert board.current_user().number == 1
    with pytest.raises(mviahlp.LogonBlockedError) as blocked:
        board.login(b"KLIA-001", b"secret-1")
    assert isinstance(blocked.value, mviahlp.LogonRefusedError) and blocked.value.device_status == 0x61
    board.change_password(0, b"secret-1" + b"secret-2")
    board.logout()
    assert not board.current_user().logged_on
    board.login(b"KLIA-001", b"secret-2")


def test_logon_on_a_board_that_is_not_formatted_gives_the_board_s_own_status(fresh_board: mviahlp.Board) -> None:
    with pytest.raises(mviahlp.BoardStatusError) as failure:
        fresh_board.login(b"KLIA-001", b"secret-1")
    assert failure.value.last_error == 0x30
    assert failure.value.last_error_meaning == "board status 48 (0x30), the board's own code"


def test_a_user_number_that_names_no_user_is_out_of_range(board: mviahlp.Board) -> None:
    with pytest.raises(mviahlp.OutOfRangeError) as failure:
        board.read_user(USERS + 1)
    assert failure.value.last_error == 7506
    with pytest.raises(mviahlp.OutOfRangeError):
        board.write_user(0, user())  # nobody logged on
    with pytest.raises(mviahlp.LogonUnknownError):
        board.change_password(USERS + 1, bytes(16))


# ---- data areas, the log and the cache --------------------------------------------------

def test_writes_reach_the_board_at_the_flush(board: mviahlp.Board) -> None:
    board.write(mviahlp.AREA_DATA, 300, b"abc")
    assert board.read(mviahlp.AREA_DATA, 299, 5) == b"\xffabc\xff"
    assert vboard.peek(DATA_FIRST_PAGE + 1, 44, 3) == b"\xff" * 3
    board.flush()
    assert vboard.peek(DATA_FIRST_PAGE + 1, 44, 3) == b"abc"


def test_requests_longer_than_one_call_are_split_and_complete() -> None:
    vboard.create(vboard.Geometry.standard(users=2, data_pages=300, log_pages=1))
    content = bytes(range(256)) * 300
    with mviahlp.open() as board:
        board.write(mviahlp.AREA_DATA, 0, content)
        assert board.read(mviahlp.AREA_DATA, 0, len(content)) == content
    assert b"".join(vboard.peek(10 + page, 0, 256) for page in range(300)) == content


def test_a_request_past_the_end_of_the_area_fails_before_any_command(board: mviahlp.Board) -> None:
    size = DATA_PAGES * 256
    with pytest.raises(mviahlp.OutOfRangeError) as failure:
        board.read(mviahlp.AREA_DATA, size - 2, 3)
    assert failure.value.done == 0 and failure.value.data == b""
    assert commands() == []


def test_a_request_that_fails_part_way_carries_its_done_count_and_bytes(board: mviahlp.Board) -> None:
    vboard.poke(DATA_FIRST_PAGE, 0, b"A" * 256)
    vboard.poke(DATA_FIRST_PAGE + 1, 0, b"B" * 256)
    vboard.add_fault(Fault(nth=3, command=READ_MEMORY, status=3))
    with pytest.raises(mviahlp.PageFailedError) as failure:
        board.read(mviahlp.AREA_DATA, 100, 600)
    assert failure.value.done == 412  # pages 0 and 1 of the area, from offset 100
    assert failure.value.data == b"A" * 156 + b"B" * 256
    assert failure.value.device_status == 3
    vboard.clear_faults()
    vboard.add_fault(Fault(nth=2, command=WRITE_MEMORY, status=7))
    with pytest.raises(mviahlp.PageFailedError) as write_failure:
        board.write(mviahlp.AREA_LOG, 200, b"x" * 400)
    assert write_failure.value.done == 56


def test_log_records_append_where_the_board_keeps_its_position(board: mviahlp.Board) -> None:
    board.append_log(b"door 1")
    board.append_log(b"")
    board.append_log(b"door 2")
    assert board.read(mviahlp.AREA_LOG, 0, 14) == b"door 1door 2\xff\xff"
    assert board.info().log_used_bytes == 12
    board.clear_log()
    assert vboard.peek(LOG_FIRST_PAGE, 0, 6) == b"\xff" * 6


def test_a_log_that_is_full_or_has_no_position_refuses_records(fresh_board: mviahlp.Board) -> None:
    with pytest.raises(mviahlp.MviahlpError, match="no write position") as failure:
        fresh_board.append_log(b"x")
    assert type(failure.value) is mviahlp.MviahlpError
    with pytest.raises(mviahlp.MviahlpError, match="refused"):
        fresh_board.clear_log()
    fresh_board.format(CHECK_WORD)
    fresh_board.append_log(b"y" * (LOG_PAGES * 256))
    with pytest.raises(mviahlp.MviahlpError, match="full"):
        fresh_board.append_log(b"z")


def test_offset_65535_of_the_log_is_not_taken_for_an_append() -> None:
    vboard.create(vboard.Geometry.standard(users=2, data_pages=2, log_pages=300))
    with mviahlp.open() as board:
        board.format(CHECK_WORD)
        with pytest.raises(ValueError, match="append_log"):
            board.write(mviahlp.AREA_LOG, 0xFFFF, b"x")
        board.write(mviahlp.AREA_LOG, 0xFFFF - 0x8000, b"\x01" * 0x8002)  # a piece would begin at 65535
        assert board.read(mviahlp.AREA_LOG, 0xFFFE, 4) == b"\x01\x01\x01\xff"
        assert board.info().log_used_bytes == 0  # nothing was appended


def test_a_transport_failure_is_reported_as_such(board: mviahlp.Board) -> None:
    vboard.add_fault(Fault(nth=1, transport_fails=True))
    with pytest.raises(mviahlp.TransportFailedError) as failure:
        board.watchdog()
    assert failure.value.last_error == 255
    assert str(failure.value).startswith("KLIAGetWDTimeout failed: LastError 255 (the transport call failed")


# ---- formatting -------------------------------------------------------------------------

def test_formatting_reports_its_progress_as_text(fresh_board: mviahlp.Board) -> None:
    messages: list[str] = []
    fresh_board.format(0x4321, messages.append)
    assert all(isinstance(message, str) for message in messages)
    assert any("OK" in message for message in messages)
    page_count = vboard.geometry_of_board().page_count
    assert f"\r  Страница:1 из {page_count} " in messages  # a page line, decoded from code page 866
    assert fresh_board.info().check_word == 0x4321


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("raised", [ValueError("stop"), Interrupt()])
def test_an_exception_in_the_progress_procedure_waits_until_formatting_has_finished(
        fresh_board: mviahlp.Board, raised: BaseException) -> None:
    calls = 0

    def progress(message: str) -> None:
        nonlocal calls
        calls += 1
        if calls == 2:
            raise raised

    with pytest.raises(type(raised)) as failure:
        fresh_board.format(0x4321, progress)
    assert failure.value is raised and calls == 2
    assert fresh_board.info().check_word == 0x4321  # formatting went on to the end


def test_a_progress_procedure_that_calls_the_library_is_stopped(fresh_board: mviahlp.Board) -> None:
    def progress(message: str) -> None:
        fresh_board.info()

    with pytest.raises(mviahlp.MviahlpError, match="inside a progress procedure"):
        fresh_board.format(0x4321, progress)
    assert fresh_board.info().check_word == 0x4321


def test_a_failed_formatting_stage_raises_with_the_board_s_status(fresh_board: mviahlp.Board) -> None:
    vboard.add_fault(Fault(nth=1, command=23, status=0x42))
    messages: list[str] = []
    with pytest.raises(mviahlp.WriteFailedError) as failure:
        fresh_board.format(0x4321, messages.append)
    assert (failure.value.last_error, failure.value.device_status) == (7508, 0x42)
    assert fresh_board.info().check_word == 0


# ---- clock, watchdog, IA result, XID, configuration, hardware step ----------------------

def test_the_clock_is_set_and_read_as_local_datetime(board: mviahlp.Board) -> None:
    board.set_clock(dt.datetime(2024, 12, 31, 14, 30, 5, 999999))
    assert vboard.clock_block() == bytes([0x05, 0x30, 0x14, 0x31, 0x12, 0x24])
    vboard.freeze_clock(bytes([0x05, 0x30, 0x14, 0x31, 0x12, 0x24]))
    assert board.clock() == dt.datetime(2024, 12, 31, 14, 30, 5)
    assert board.clock_record() == (155228, 52205)
    vboard.freeze_clock(bytes([0x05, 0x30, 0x14, 0x3A, 0x12, 0x24]))  # day 3A: no date
    assert board.clock() is None


def test_an_aware_datetime_is_set_as_local_time(board: mviahlp.Board) -> None:
    when = dt.datetime(2030, 6, 1, 12, 0, 0, tzinfo=dt.timezone.utc)
    board.set_clock(when)
    vboard.freeze_clock(vboard.clock_block())
    assert board.clock() == when.astimezone().replace(tzinfo=None)


def test_watchdog_ia_result_and_xid_reach_the_board(board: mviahlp.Board) -> None:
    board.set_watchdog(600)
    assert board.watchdog() == 600 == vboard.watchdog()
    record = user()
    board.set_ia_result(2, record)
    board.set_ia_result(4, record)
    board.set_ia_result(255, record)
    board.set_ia_result(7)
    sent = [(entry.param, entry.out) for entry in vboard.trace() if entry.command == IA_RESULT]
    assert sent == [(b"\x82\x20", record.encode()[:32]), (b"\x84\x0d", record.encode()[:13])]
    # FNV-1a (32-bit) of the data, little-endian: the virtual board's identifier.
    value = 0x811C9DC5
    for byte in b"some data":
        value = ((value ^ byte) * 0x01000193) & 0xFFFFFFFF
    assert board.make_user_xid(b"some data") == value.to_bytes(4, "little")
    assert board.make_user_xid(b"") == (0x811C9DC5).to_bytes(4, "little")


def test_configuration_and_hardware_step_read_none_until_stored(fresh_board: mviahlp.Board) -> None:
    assert fresh_board.read_config() is None and fresh_board.read_hw_step() is None
    config = mviahlp.ConfigRecord(byte0=0x12, flag1=True, byte2=255, word9=0x1234, byte13=7)
    fresh_board.write_config(config)
    assert fresh_board.read_config() == dataclasses.replace(config, byte2=20)
    fresh_board.write_hw_step(7)
    assert fresh_board.read_hw_step() == 7
    assert vboard.peek(0, 8, 3) == b"WH\x07"


def test_a_refused_configuration_read_raises(board: mviahlp.Board) -> None:
    vboard.add_fault(Fault(nth=0, command=READ_MEMORY, status=3))
    with pytest.raises(mviahlp.PageFailedError):
        board.read_config()
    with pytest.raises(mviahlp.PageFailedError):
        board.read_hw_step()


def test_today_is_the_host_s_date() -> None:
    before = dt.date.today()
    assert mviahlp.today() in (before, dt.date.today())


# ---- bad input --------------------------------------------------------------------------

BAD_CALLS: list[tuple[str, Callable[[mviahlp.Board], object], type[Exception]]] = [
    ("user number above 16 bits", lambda b: b.read_user(65536), ValueError),
    ("negative user number", lambda b: b.read_user(-1), ValueError),
    ("user number as text", lambda b: b.read_user("1"), TypeError),  # type: ignore[arg-type]
    ("user number as bool", lambda b: b.read_user(True), TypeError),
    ("record of another type", lambda b: b.write_user(1, b"x" * 189), TypeError),  # type: ignore[arg-type]
    ("short logon key", lambda b: b.login(b"short", b"secret-1"), ValueError),
    ("logon key as text", lambda b: b.login("KLIA-001", b"secret-1"), TypeError),  # type: ignore[arg-type]
    ("long password block", lambda b: b.change_password(1, bytes(17)), ValueError),
    ("area above 8 bits", lambda b: b.read(256, 0, 1), ValueError),
    ("negative offset", lambda b: b.read(2, -1, 1), ValueError),
    ("offset above 31 bits", lambda b: b.write(2, 1 << 31, b"x"), ValueError),
    ("negative length", lambda b: b.read(2, 0, -1), ValueError),
    ("data as text", lambda b: b.write(2, 0, "text"), TypeError),  # type: ignore[arg-type]
    ("no data", lambda b: b.write(2, 0, None), TypeError),  # type: ignore[arg-type]
    ("no logon key", lambda b: b.login(None, b"secret-1"), TypeError),  # type: ignore[arg-type]
    ("no log record", lambda b: b.append_log(None), TypeError),  # type: ignore[arg-type]
    ("no XID data", lambda b: b.make_user_xid(None), TypeError),  # type: ignore[arg-type]
    ("no user record", lambda b: b.write_user(1, None), TypeError),  # type: ignore[arg-type]
    ("user name too long", lambda b: b.write_user(1, mviahlp.UserRecord(name="x" * 13)), ValueError),
    ("user name not in code page 866", lambda b: b.write_user(1, mviahlp.UserRecord(name="名")), ValueError),
    ("user DATA field of the wrong size", lambda b: b.write_user(1, mviahlp.UserRecord(data28=b"abc")), ValueError),
    ("user nibble above 15", lambda b: b.write_user(1, mviahlp.UserRecord(nibble115=16)), ValueError),
    ("user flag as text", lambda b: b.write_user(1, mviahlp.UserRecord(flag26="yes")),  # type: ignore[arg-type]
     TypeError),
    ("user flags177 too few", lambda b: b.write_user(1, mviahlp.UserRecord(flags177=(True,))),  # type: ignore[arg-type]
     TypeError),
    ("configuration word above 16 bits", lambda b: b.write_config(mviahlp.ConfigRecord(word9=65536)), ValueError),
    ("log record above 16 bits", lambda b: b.append_log(bytes(65536)), ValueError),
    ("check word 0", lambda b: b.format(0), ValueError),
    ("check word 65535", lambda b: b.format(0xFFFF), ValueError),
    ("progress not callable", lambda b: b.format(1, "print"), TypeError),  # type: ignore[arg-type]
    ("clock year 2100", lambda b: b.set_clock(dt.datetime(2100, 1, 1)), ValueError),
    ("clock as a date", lambda b: b.set_clock(dt.date(2024, 1, 1)), TypeError),  # type: ignore[arg-type]
    ("clock record above 32 bits", lambda b: b.set_clock_record(1 << 31, 0), ValueError),
    ("watchdog above 16 bits", lambda b: b.set_watchdog(65536), ValueError),
    ("hardware step above 8 bits", lambda b: b.write_hw_step(256), ValueError),
    ("IA result without its record", lambda b: b.set_ia_result(2), ValueError),
    ("IA result record too short", lambda b: b.set_ia_result(2, bytes(31)), ValueError),
    ("XID data above 255 bytes", lambda b: b.make_user_xid(bytes(256)), ValueError),
    ("configuration of another type", lambda b: b.write_config(None), TypeError),  # type: ignore[arg-type]
]


@pytest.mark.parametrize("call,error", [(call, error) for _, call, error in BAD_CALLS],
                         ids=[name for name, _, _ in BAD_CALLS])
def test_bad_input_is_refused_before_any_board_command(board: mviahlp.Board, call: Callable[[mviahlp.Board], object],
                                                       error: type[Exception]) -> None:
    with pytest.raises(error):
        call(board)
    assert commands() == []


def test_empty_requests_need_no_buffer(board: mviahlp.Board) -> None:
    assert board.read(mviahlp.AREA_DATA, 0, 0) == b""
    board.write(mviahlp.AREA_DATA, 0, b"")
    assert commands() == []


def test_records_too_short_to_decode_are_refused() -> None:
    for decode, size in ((mviahlp.InfoRecord.decode, 58), (mviahlp.UserRecord.decode, 189),
                         (mviahlp.ConfigRecord.decode, 14)):
        for short in (b"", bytes(size - 1)):
            with pytest.raises(ValueError):
                decode(short)


def test_calls_from_several_threads_do_not_mix(tmp_path: Path) -> None:
    # The library is not thread-safe and ctypes lets go of the interpreter lock during a call
    # (here a board image, read and written by every command): the binding serialises the
    # calls of all threads.
    vboard.open_image(tmp_path / "board.img", vboard.Geometry.standard(*SMALL))
    failures: list[str] = []

    def work(board: mviahlp.Board, worker: int) -> None:
        for round_ in range(100):
            data = bytes([worker, round_]) * 200
            offset = worker * 1200 + (round_ % 2) * 400
            board.write(mviahlp.AREA_DATA, offset, data)
            if board.read(mviahlp.AREA_DATA, offset, len(data)) != data:
                failures.append(f"worker {worker}, round {round_}")

    with mviahlp.open() as board:
        board.format(CHECK_WORD)
        threads = [threading.Thread(target=work, args=(board, worker)) for worker in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    vboard.create()
    assert failures == []


def test_a_huge_read_past_the_end_fails_without_taking_its_memory() -> None:
    # In a process that may not take 1 GiB, a read of 2 GiB past the end of the area must fail
    # with the library's out-of-range error, not with MemoryError.
    code = """
import resource, mviahlp
from mviahlp import vboard
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
vboard.create(vboard.Geometry.standard(2, 2, 1))
with mviahlp.open() as board:
    try:
        board.read(mviahlp.AREA_DATA, 0, (1 << 31) - 1)
    except mviahlp.OutOfRangeError as error:
        print("refused", error.done)
"""
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, check=False)
    assert run.returncode == 0 and run.stdout.split() == ["refused", "0"], run.stderr

"""Fixtures: a fresh virtual board of a small geometry, bound through the library."""

from __future__ import annotations

import os
from typing import Iterator

import pytest
from hypothesis import HealthCheck, settings

import mviahlp
from mviahlp import vboard

# No example database: the tests leave nothing behind in the tree they run from.
settings.register_profile("mviahlp", database=None, deadline=None, max_examples=60,
                          suppress_health_check=[HealthCheck.function_scoped_fixture])
settings.load_profile("mviahlp")

# 7 users, 20 data pages, 4 log pages of 256 bytes: users in pages 8-14, data area 2 in
# pages 15-34, the log in pages 35-38.
SMALL = (7, 20, 4)
CHECK_WORD = 0x1234


@pytest.fixture
def fresh_board() -> Iterator[mviahlp.Board]:
    """A bound board that was never formatted."""
    vboard.create(vboard.Geometry.standard(*SMALL))
    with mviahlp.open() as board:
        vboard.clear_trace()
        yield board


@pytest.fixture
def board(fresh_board: mviahlp.Board) -> mviahlp.Board:
    """A bound, formatted board; the trace starts empty."""
    fresh_board.format(CHECK_WORD)
    vboard.clear_trace()
    return fresh_board


@pytest.fixture(autouse=True)
def _no_image_from_environment(monkeypatch: pytest.MonkeyPatch) -> None:
    # Every test makes its own board; an image named in the environment must not be touched.
    monkeypatch.delenv("HWLINK_VBOARD_IMAGE", raising=False)
    monkeypatch.delenv("HWLINK_VBOARD_GEOMETRY", raising=False)


def klia_program() -> str | None:
    """The build's klia, when the test run names it."""
    return os.environ.get("MVIAHLP_KLIA") or None

"""The provisioning example, run as a person runs it, against a virtual board image."""

from __future__ import annotations

import datetime as dt
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import mviahlp
from mviahlp import vboard

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
README = Path(__file__).resolve().parents[2] / "README.md"


def provision(*arguments: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(EXAMPLES / "provision.py"), *arguments], capture_output=True,
                          text=True, timeout=120, env=dict(os.environ), check=False)


def test_provisioning_a_new_board(tmp_path: Path) -> None:
    image = tmp_path / "board.img"
    run = provision("--users", str(EXAMPLES / "users.csv"), "--board", str(image), "--create-board",
                    "--format", "0x1234", "--config", "byte0=7", "--config", "word9=0x1234")
    assert run.returncode == 0, run.stderr
    assert "log: b'provisioned 3 users'" in run.stdout
    vboard.open_image(image)
    with mviahlp.open() as board:
        assert board.info().check_word == 0x1234
        assert [board.read_user(n).name for n in (1, 2, 3)] == ["Иванов", "Петрова", "Guard"]
        assert board.read_user(1).access_word == 0x8005 and board.read_user(3).name2 == "Night shift"
        config = board.read_config()
        assert config is not None and (config.byte0, config.word9) == (7, 0x1234)
        clock = board.clock()
        assert clock is not None and abs(clock - dt.datetime.now()) < dt.timedelta(minutes=1)
        board.login(bytes.fromhex("4b4c49412d303032"), bytes.fromhex("7365637265742d32"))
        assert board.current_user().number == 2
        board.logout()
    vboard.create()


def test_bad_input_is_refused_before_the_board_changes(tmp_path: Path) -> None:
    image = tmp_path / "board.img"
    assert provision("--users", str(EXAMPLES / "users.csv"), "--board", str(image), "--create-board",
                     "--format", "0x1234").returncode == 0
    before = image.read_bytes()
    cases = {
        "too long": "number,name,key,password\n1,Abcdefghijklm,4b4c49412d303031,7365637265742d31\n",
        "not in code page 866": "number,name,key,password\n1,名前,4b4c49412d303031,7365637265742d31\n",
        "short key": "number,name,key,password\n1,Ann,4b4c,7365637265742d31\n",
        "no such user": "number,name,key,password\n99,Ann,4b4c49412d303031,7365637265742d31\n",
        "no password": "number,name,key\n1,Ann,4b4c49412d303031\n",
    }
    users = tmp_path / "users.csv"
    for name, text in cases.items():
        users.write_text(text, encoding="utf-8")
        run = provision("--users", str(users), "--board", str(image))
        assert run.returncode == 2, (name, run.stderr)
        assert run.stderr.startswith("provision: ") and "Traceback" not in run.stderr, name
    for setting in ("byte0=256", "word9=x", "nosuch=1", "flag1=2"):
        run = provision("--users", str(EXAMPLES / "users.csv"), "--board", str(image), "--config", setting)
        assert run.returncode == 2 and run.stderr.startswith("provision: --config"), (setting, run.stderr)
    assert image.read_bytes()[512:] == before[512:]  # the pages are as they were
    assert provision("--users", str(users), "--board", str(tmp_path / "missing.img")).returncode == 2
    assert not (tmp_path / "missing.img").exists()


def test_the_readme_example_shows_the_stages_and_one_line_of_pages(capsys: pytest.CaptureFixture[str]) -> None:
    section = README.read_text(encoding="utf-8").split("## Using the library from Python", 1)[1]
    example = re.search(r"```python\n(.*?)```", section, re.DOTALL)
    assert example is not None
    vboard.create(vboard.Geometry.standard(4, 10, 2))
    try:
        exec(compile(example.group(1), str(README), "exec"), {})
    finally:
        vboard.create()
    shown = capsys.readouterr().out
    for stage in ("Инициализация страниц памяти...OK", "Тестирование страниц памяти", "Инициализация связи с БД...OK"):
        assert stage in shown
    # The page messages begin with a carriage return: they rewrite one line, not one each.
    assert re.search(r"Страница:(\d+) из \1 OK", shown)
    assert sum("Страница" in line for line in shown.split("\n")) == 1

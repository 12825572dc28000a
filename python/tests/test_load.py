"""FPGA downloads through zol: a good file loads, a corrupt one fails with the player's exit
code, and a register call during a long download says the board is busy."""

import threading
import time

import pytest

from conftest import FPGA
import zol


def has_reports(world) -> bool:
    info = {b.name: b for b in zol.boards()}[world.board]
    return f"/ZOL/{world.board}/SVC/FPGALoadReport" in info.services


def test_good_file_loads(world):
    b = zol.Board(world.board, timeout=10)
    reports = []
    result = b.load_fpga(FPGA / "configure_good.jbc", progress=reports.append)
    assert result.loaded, result
    assert result.exit_code == 0
    if has_reports(world):
        assert result.lines, "the report carries the printed lines"
        assert reports, "progress reports reach the function"
        assert all(isinstance(p, zol.Progress) and p.action == "configure" for p in reports)


def test_corrupt_file_fails(world):
    b = zol.Board(world.board, timeout=10)
    result = b.load_fpga(FPGA / "configure_corrupt.jbc")
    assert not result.loaded
    assert result.exit_code != 0
    assert result.exit_text


def test_missing_file_and_bad_arguments_raise(world, tmp_path):
    b = zol.Board(world.board)
    with pytest.raises(zol.Error, match="cannot read"):
        b.load_fpga(tmp_path / "absent.jbc")
    with pytest.raises(zol.Error, match="NAME=value"):
        b.load_fpga(FPGA / "configure_good.jbc", defines=["NOEQUALS"])


def test_register_call_during_a_long_download_is_board_busy(world):
    if not has_reports(world):
        pytest.skip("this server runs downloads without progress reports")
    b = zol.Board(world.board, timeout=0.5)
    done = {}
    loader = threading.Thread(
        target=lambda: done.setdefault("r", zol.Board(world.board, timeout=10).load_fpga(
            FPGA / "configure_big.jbc")))
    loader.start()
    try:
        busy = None
        deadline = time.monotonic() + 60
        while busy is None and loader.is_alive() and time.monotonic() < deadline:
            try:
                b.read(0x38)
                time.sleep(0.02)
            except zol.BoardBusy as e:
                busy = e
            except zol.Timeout:
                pass
        assert busy is not None and "is busy with a download" in str(busy)
    finally:
        loader.join(timeout=120)
    assert not loader.is_alive()
    assert done["r"].loaded

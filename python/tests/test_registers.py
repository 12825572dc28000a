"""Register and I2C access through zol against a ZOL_server on a simulated board."""

import os
import subprocess
import sys
import threading
import time

import pytest

import zol

REG = 0x38  # the bridge's test register: a plain read/write register


def test_read_write_and_masked_write(world):
    b = zol.Board(world.board, timeout=5)
    world.poke(REG, 0xAABBCCDD)
    assert b.read(REG) == 0xAABBCCDD
    assert b.write(REG, 0x1234, mask=0x0000FF00) == 0xAABB12DD
    assert world.peek(REG) == 0xAABB12DD
    assert b.write(REG, 0xCAFEF00D) == 0xCAFEF00D
    assert world.peek(REG) == 0xCAFEF00D


def test_i2c_bytes_of_the_eeprom(world):
    b = zol.Board(world.board)
    identity = [b.read_i2c(0xA000 + i) for i in range(4)]
    assert identity == [int(world.boardsim("i2c-peek", "0xA0", hex(i)).split()[0], 0)
                        for i in range(4)]
    b.write_i2c(0xA010, 0x5A)
    assert b.read_i2c(0xA010) == 0x5A
    b.write_i2c(0xA010, 0xA5)
    assert b.read_i2c(0xA010) == 0xA5
    with pytest.raises(ValueError):
        b.write_i2c(0xA010, 0x100)


def test_hundred_requests_in_one_transaction_answer_in_order(world):
    b = zol.Board(world.board)
    requests = []
    for i in range(50):
        requests.append(zol.Request.writing(REG, 3 * i + 1))
        requests.append(zol.Request.reading(0x3C if i % 2 else REG))
    assert len(requests) == zol.MAX_REQUESTS
    world.boardsim("trace", "on")
    answers = b.transact(requests)
    assert len(answers) == 100
    vorl_version = world.peek(0x3C)
    for i in range(50):
        assert answers[2 * i] == zol.Answer(1, REG, 3 * i + 1, 0xFFFFFFFF)
        expected = vorl_version if i % 2 else 3 * i + 1
        assert answers[2 * i + 1].value == expected, i
    assert world.peek(REG) == 3 * 49 + 1
    with pytest.raises(zol.Error):
        b.transact([zol.Request.reading(REG)] * 101)


def test_tuples_and_dicts_as_requests(world):
    b = zol.Board(world.board)
    answers = b.transact([(REG, 0x77, 0xFF, True), {"addr": REG}, (0xA000, 0, 0xFFFFFFFF, False, zol.I2C)])
    assert answers[0].value & 0xFF == 0x77
    assert answers[1].value == answers[0].value
    assert answers[2].method == zol.I2C


def test_threads_share_a_board(world):
    b = zol.Board(world.board)
    world.poke(REG, 0)
    errors = []

    def worker(k: int) -> None:
        shift = 8 * k
        try:
            for i in range(20):
                value = b.write(REG, i << shift, mask=0xFF << shift)
                if (value >> shift) & 0xFF != i:
                    errors.append((k, i, hex(value)))
        except zol.Error as e:
            errors.append((k, repr(e)))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    assert world.peek(REG) == 0x13131313


def test_boards_lists_the_server(world):
    listed = {b.name: b for b in zol.boards()}
    assert world.board in listed
    info = listed[world.board]
    assert info.pid == world.server.pid
    assert info.port > 0
    assert f"/ZOL/{world.board}/CMD/ReadWriteRegisters" in info.services


def test_unknown_board_raises_no_link(world):
    b = zol.Board("NoSuchV2_25", timeout=10)
    with pytest.raises(zol.NoLink, match="does not know board NoSuchV2_25"):
        b.read(REG)


def test_stopped_server_raises_timeout_and_answers_again_after(world):
    b = zol.Board(world.board, timeout=1)
    assert b.read(REG) == world.peek(REG)
    world.pause_server()
    try:
        with pytest.raises(zol.Timeout):
            b.read(REG)
    finally:
        world.resume_server()
    # The late answer to the timed-out read comes while nothing waits for it.
    time.sleep(0.5)
    world.poke(REG, 0x600D)
    assert b.read(REG) == 0x600D


def test_ended_server_raises_no_link(world):
    b = zol.Board(world.board, timeout=3)
    assert b.read(REG) == world.peek(REG)
    world.stop_server()
    with pytest.raises(zol.NoLink):
        b.read(REG)


def test_no_name_server_raises_no_link(tmp_path):
    # A process of its own: the name server is one per process.
    script = (
        "import socket, zol\n"
        "s = socket.socket(); s.bind(('127.0.0.1', 0)); port = s.getsockname()[1]; s.close()\n"
        "b = zol.Board('KeshV2_00', timeout=2, dns_node='127.0.0.1', dns_port=port)\n"
        "try:\n"
        "    b.read(0x38)\n"
        "except zol.NoLink as e:\n"
        "    print('NoLink', e)\n"
        "try:\n"
        "    zol.boards(timeout=2)\n"
        "except zol.NoLink as e:\n"
        "    print('NoLink', e)\n"
    )
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                       env=dict(os.environ))
    assert r.returncode == 0, r.stderr
    assert r.stdout.count("NoLink") == 2, r.stdout + r.stderr

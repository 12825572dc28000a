"""Watching registers through zol: samples as the server publishes them, a change of value,
and a server restart in the middle."""

import threading
import time

import zol

A, B = 0x38, 0x3C


def wait_for_value(watch: zol.Watch, addr: int, value: int, within: float) -> zol.Sample:
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        s = watch.get(timeout=max(0.0, deadline - time.monotonic()))
        if s is not None and s.addr == addr and s.value == value:
            return s
    raise AssertionError(f"no sample {value:#x} of {addr:#x} within {within} s")


def test_watch_sees_changes_and_survives_a_server_restart(world):
    b = zol.Board(world.board)
    world.poke(A, 0x1111)
    with b.watch([A, B], interval=1) as w:
        first = wait_for_value(w, A, 0x1111, within=10)
        assert abs(first.timestamp - time.time()) < 60
        world.poke(A, 0x2222)
        changed = wait_for_value(w, A, 0x2222, within=10)
        assert changed.timestamp >= first.timestamp

        world.stop_server()
        world.start_server()
        world.poke(A, 0x3333)
        after = wait_for_value(w, A, 0x3333, within=20)
        assert after.timestamp > changed.timestamp
        assert w.linked
        b_seen = wait_for_value(w, B, world.peek(B), within=10)
        assert b_seen.addr == B
    assert w._queue.stopped


def test_watch_as_an_iterator_yields_tuples(world):
    b = zol.Board(world.board)
    world.poke(A, 0x55)
    w = b.watch([A], interval=1)
    try:
        got = []
        for t, addr, value in w:
            got.append((addr, value))
            if len(got) == 2:
                break
        assert got == [(A, 0x55), (A, 0x55)]
    finally:
        w.stop()


def test_watch_with_a_callback(world):
    b = zol.Board(world.board)
    world.poke(A, 0x77)
    seen = []
    arrived = threading.Event()

    def on_sample(s: zol.Sample) -> None:
        seen.append(s)
        if s.value == 0x78:
            arrived.set()

    w = b.watch([A], interval=1, callback=on_sample)
    try:
        world.poke(A, 0x78)
        assert arrived.wait(timeout=10), seen
        assert all(s.addr == A for s in seen)
    finally:
        w.stop()
    count = len(seen)
    time.sleep(1.5)
    assert len(seen) == count, "a stopped watch calls no more"

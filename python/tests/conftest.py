"""Real processes for the tests of zol: one name server for the session (the messaging
library of a process follows one), and per test a simulated board of its own with a
ZOL_server on it. Everything started here is stopped here."""

from __future__ import annotations

import itertools
import os
import re
import signal
import subprocess
import time
from pathlib import Path

import pytest

import zol

BIN = Path(os.environ.get("ZOL_BIN_DIR", Path(__file__).resolve().parents[2] / "build" / "bin"))
FPGA = Path(os.environ.get("ZOL_FPGA_DIR", BIN.parent / "fpga"))
_boards = itertools.count()


def _stop(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=5)


def _wait_text(path: Path, pattern: str, proc: subprocess.Popen, timeout: float = 10.0) -> re.Match:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        m = re.search(pattern, path.read_text(errors="replace"))
        if m:
            return m
        if proc.poll() is not None:
            break
        time.sleep(0.05)
    raise AssertionError(f"{pattern!r} not seen in {path}: {path.read_text(errors='replace')}")


@pytest.fixture(scope="session")
def dns_port(tmp_path_factory):
    log = tmp_path_factory.mktemp("dns") / "dim_dns.out"
    with open(log, "w") as out:
        proc = subprocess.Popen([str(BIN / "dim_dns"), "-p", "0", "--grace", "0"], stdout=out,
                                stderr=subprocess.STDOUT, start_new_session=True)
    try:
        port = int(_wait_text(log, r"listening on port (\d+)", proc).group(1))
        # Every Board and zol.boards() of this process asks this name server.
        os.environ["DIM_DNS_NODE"] = "127.0.0.1"
        os.environ["DIM_DNS_PORT"] = str(port)
        yield port
    finally:
        _stop(proc)


class SimWorld:
    """A simulated board of the test's own with a ZOL_server on it."""

    def __init__(self, dns_port: int, folder: Path):
        self.dns_port = dns_port
        self.folder = folder
        self.lb_sim = f"zolpy_{os.getpid()}_{next(_boards)}"
        self.env = dict(os.environ, LB_SIM=self.lb_sim, DIM_DNS_NODE="127.0.0.1",
                        DIM_DNS_PORT=str(dns_port))
        self.server: subprocess.Popen | None = None
        self.board = ""
        self.starts = 0
        self.boardsim("reset")

    def boardsim(self, *args: str) -> str:
        r = subprocess.run([str(BIN / "boardsim"), *args], env=self.env, capture_output=True,
                           text=True, timeout=20)
        assert r.returncode == 0, f"boardsim {args}: {r.stdout}{r.stderr}"
        return r.stdout

    def peek(self, addr: int) -> int:
        return int(self.boardsim("peek", hex(addr)).split()[0], 0)

    def poke(self, addr: int, value: int) -> None:
        self.boardsim("poke", hex(addr), hex(value))

    def start_server(self) -> str:
        self.starts += 1
        log = self.folder / f"ZOL_server.{self.starts}.out"
        with open(log, "w") as out:
            self.server = subprocess.Popen([str(BIN / "ZOL_server")], env=self.env, stdout=out,
                                           stderr=subprocess.STDOUT, start_new_session=True)
        prefix = _wait_text(log, r"Starting up server /ZOL/(\S+)/SERVER", self.server).group(1)
        self.board = prefix
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                # Its server may be listed before all its services are.
                if any(b.name == prefix and b.pid == self.server.pid and
                       f"/ZOL/{prefix}/SVC/UpdateRegisters" in b.services
                       for b in zol.boards(timeout=2)):
                    return prefix
            except zol.Error:
                pass
            time.sleep(0.05)
        raise AssertionError(f"{prefix} never appeared at the name server")

    def stop_server(self) -> None:
        if self.server is not None:
            _stop(self.server)
            self.server = None

    def pause_server(self) -> None:
        # The stop reaches a running process a little later: wait until every thread of it
        # has stopped, or a command sent next could still be answered.
        os.kill(self.server.pid, signal.SIGSTOP)
        tasks = Path(f"/proc/{self.server.pid}/task")
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            states = []
            for t in tasks.iterdir():
                try:
                    states.append((t / "stat").read_text().rsplit(")", 1)[1].split()[0])
                except OSError:
                    pass
            if states and all(st in ("T", "t") for st in states):
                return
            time.sleep(0.002)
        raise AssertionError(f"ZOL_server {self.server.pid} did not stop")

    def resume_server(self) -> None:
        os.kill(self.server.pid, signal.SIGCONT)

    def close(self) -> None:
        if self.server is not None:
            self.resume_server()
        self.stop_server()
        subprocess.run([str(BIN / "boardsim"), "remove"], env=self.env, capture_output=True,
                       timeout=20)


@pytest.fixture
def world(dns_port, tmp_path):
    w = SimWorld(dns_port, tmp_path)
    try:
        w.start_server()
        yield w
    finally:
        w.close()

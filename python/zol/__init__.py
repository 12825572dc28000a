"""Station access to the board's register servers.

    import zol
    for info in zol.boards():
        print(info.name, info.host)
    b = zol.Board("KeshV2_00")
    b.write(0x38, 0x1234)
    print(hex(b.read(0x38)))
    for t, addr, value in b.watch([0x38, 0x3C], interval=1):
        ...

The name server comes from DIM_DNS_NODE / DIM_DNS_PORT, or from the dns_node / dns_port
arguments (one name server per process: the latest given applies to every board). Every
call that waits has a time limit and raises NoLink, Timeout or BoardBusy (all subclasses
of Error) instead of returning a stale value. Calls release the interpreter lock while they
wait, and a Board may be used from several threads.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass, field
from typing import Callable, Iterable, Iterator, NamedTuple, Optional, Sequence, Union

from . import _zol

__all__ = [
    "Answer", "Board", "BoardBusy", "BoardInfo", "Error", "LoadResult", "NoLink", "Progress",
    "Request", "Sample", "Timeout", "Watch", "boards", "LOCAL_BUS", "I2C",
]

Error = _zol.Error
Error.__doc__ = "Every failure of a call to a board."
NoLink = _zol.NoLink
NoLink.__doc__ = "The board's server cannot be reached, or the name server does not know it."
Timeout = _zol.Timeout
Timeout.__doc__ = "The board's server was reached but did not answer in time."
BoardBusy = _zol.BoardBusy
BoardBusy.__doc__ = "The board's server did not answer in time because it runs a download."

LOCAL_BUS = 1
I2C = 2
ALL_BITS = 0xFFFFFFFF
MAX_REQUESTS = 100


class BoardInfo(NamedTuple):
    """A board server the name server knows."""

    name: str  # what Board() takes
    host: str
    port: int
    pid: int
    services: tuple  # full names of its services and commands


class Request(NamedTuple):
    """One request of a transaction; Request.reading(addr), .writing(addr, value, mask),
    .reading_i2c(addr) and .writing_i2c(addr, byte) make the usual ones."""

    addr: int
    value: int = 0
    mask: int = ALL_BITS
    write: bool = False
    method: int = LOCAL_BUS

    @classmethod
    def reading(cls, addr: int) -> "Request":
        return cls(addr)

    @classmethod
    def writing(cls, addr: int, value: int, mask: int = ALL_BITS) -> "Request":
        return cls(addr, value, mask, True)

    @classmethod
    def reading_i2c(cls, addr: int) -> "Request":
        return cls(addr, method=I2C)

    @classmethod
    def writing_i2c(cls, addr: int, value: int) -> "Request":
        return cls(addr, value, write=True, method=I2C)


class Answer(NamedTuple):
    """The answer to one request: its method, address and mask with the value read (back)."""

    method: int
    addr: int
    value: int
    mask: int


class Sample(NamedTuple):
    """One delivered value of a watched register; timestamp in seconds since the epoch (UTC),
    taken when the value arrived."""

    timestamp: float
    addr: int
    value: int


class Progress(NamedTuple):
    """A progress report of a running download."""

    state: int  # 0 idle, 1 running, 2 loaded, 3 failed
    download: int
    action: str
    file_size: int
    file_crc: int
    bits_shifted: int
    bits_total: int  # 0 when the server does not know it yet
    elapsed_ms: int

    @property
    def percent(self) -> Optional[float]:
        """Share of the expected bits shifted so far, or None when the total is not known."""
        if self.bits_total <= 0:
            return None
        return min(100.0, 100.0 * self.bits_shifted / self.bits_total)


@dataclass
class LoadResult:
    """Outcome of Board.load_fpga. exit_code is the player's (0 success)."""

    exit_code: int
    exit_text: str
    lines: list = field(default_factory=list)
    loaded: bool = False


def _timeout_ms(timeout: float) -> int:
    if timeout <= 0:
        raise ValueError("a timeout is more than 0 seconds")
    return max(1, int(round(timeout * 1000)))


def _name_server(dns_node: Optional[str], dns_port: Optional[int]) -> None:
    if dns_node is not None:
        _zol.use_name_server(dns_node, dns_port or 0)
    elif dns_port is not None:
        raise ValueError("dns_port needs dns_node")


def boards(timeout: float = 5.0, dns_node: Optional[str] = None,
           dns_port: Optional[int] = None) -> list:
    """The boards the name server knows, as BoardInfo, sorted by name."""
    _name_server(dns_node, dns_port)
    return [BoardInfo(n, h, p, pid, tuple(s)) for n, h, p, pid, s in _zol.boards(_timeout_ms(timeout))]


class Watch:
    """Values of watched registers as the server publishes them.

    Iterate over it for Sample tuples (timestamp, addr, value), or call get(timeout). Ends
    with stop(), at the end of a with block, or when garbage-collected. With a callback it
    calls callback(sample) on a thread of its own instead, and is not iterated."""

    def __init__(self, queue, callback: Optional[Callable[[Sample], None]] = None):
        self._queue = queue
        self._thread: Optional[threading.Thread] = None
        if callback is not None:
            self._thread = threading.Thread(target=self._pump, args=(callback,),
                                            name="zol-watch", daemon=True)
            self._thread.start()

    def _pump(self, callback: Callable[[Sample], None]) -> None:
        while True:
            item = self._queue.get(-1.0)
            if item is None:
                return
            callback(Sample(*item))

    def get(self, timeout: Optional[float] = None) -> Optional[Sample]:
        """The next sample; None after timeout seconds (None: no limit) or once stopped."""
        if timeout is None:
            # Waits in short turns so that Ctrl-C reaches the program.
            while not self._queue.stopped:
                item = self._queue.get(0.2)
                if item is not None:
                    return Sample(*item)
            return None
        item = self._queue.get(max(0.0, timeout))
        return Sample(*item) if item is not None else None

    def __iter__(self) -> Iterator[Sample]:
        return self

    def __next__(self) -> Sample:
        sample = self.get()
        if sample is None:
            raise StopIteration
        return sample

    @property
    def linked(self) -> bool:
        """Whether the server's publications currently arrive."""
        return self._queue.linked

    @property
    def dropped(self) -> int:
        """Samples dropped because they were not taken in time (the oldest go first)."""
        return self._queue.dropped

    def stop(self) -> None:
        """Ends the watch; a callback thread ends after its current call."""
        self._queue.stop()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join()

    close = stop

    def __enter__(self) -> "Watch":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    def __del__(self) -> None:
        queue = getattr(self, "_queue", None)
        if queue is not None:
            queue.stop()


RequestLike = Union[Request, tuple, dict]


def _request(r: RequestLike) -> tuple:
    if isinstance(r, dict):
        r = Request(**r)
    elif not isinstance(r, Request):
        r = Request(*r)
    return (int(r.method), int(r.addr), int(r.value), int(r.mask), bool(r.write))


class Board:
    """One board, by name ("KeshV2_00", or a whole prefix such as "/BEX/KeshV2_00").

    Creating it waits for nothing; each call waits at most `timeout` seconds."""

    def __init__(self, name: str, timeout: float = 5.0, dns_node: Optional[str] = None,
                 dns_port: Optional[int] = None):
        _name_server(dns_node, dns_port)
        self._board = _zol.Board(name, _timeout_ms(timeout))

    @property
    def name(self) -> str:
        return self._board.name

    @property
    def timeout(self) -> float:
        return self._board.timeout_ms / 1000.0

    def __repr__(self) -> str:
        return f"zol.Board({self.name!r})"

    def read(self, addr: int) -> int:
        """The value of local-bus register addr."""
        return self._board.read(addr)

    def write(self, addr: int, value: int, mask: int = ALL_BITS) -> int:
        """Writes the bits of value under mask; returns the register's value read back."""
        return self._board.write(addr, value, mask)

    def read_i2c(self, addr: int) -> int:
        """The I2C byte at addr (chip << 8 | offset)."""
        return self._board.read_i2c(addr)

    def write_i2c(self, addr: int, value: int) -> None:
        """Writes one I2C byte at addr (chip << 8 | offset)."""
        if not 0 <= value <= 0xFF:
            raise ValueError("an I2C value is a byte")
        self._board.write_i2c(addr, value)

    def transact(self, requests: Iterable[RequestLike]) -> list:
        """Sends up to 100 requests (Request, tuple in Request's order, or dict) as one command
        and returns their Answers in order."""
        rs = [_request(r) for r in requests]
        return [Answer(*a) for a in self._board.transact(rs)]

    def watch(self, addrs: Sequence[int], interval: int = 1,
              callback: Optional[Callable[[Sample], None]] = None, limit: int = 10000) -> Watch:
        """Watches local-bus registers: the server publishes them every `interval` seconds
        (whole seconds; the server keeps one interval, the latest asked by any station).
        Subscribes again after a server restart. Keeps at most `limit` samples not yet
        taken."""
        if int(interval) != interval or interval < 1:
            raise ValueError("the interval is a whole number of seconds, at least 1")
        queue = self._board.watch([int(a) for a in addrs], int(interval), int(limit))
        return Watch(queue, callback)

    def load_fpga(self, path: str, action: str = "configure",
                  defines: Optional[Iterable[str]] = None,
                  progress: Optional[Callable[[Progress], None]] = None) -> LoadResult:
        """Runs `action` of the byte-code file at `path` on the board and waits for its end.
        defines are "NAME=value" entries; progress(Progress) is called on each report, on a
        thread of the messaging library. A server without the report service runs
        "configure" only and tells success or failure without lines."""
        call = None
        if progress is not None:
            def call(d: dict) -> None:
                progress(Progress(**d))
        r = self._board.load_fpga(str(path), action, list(defines or []), call)
        return LoadResult(r["exit_code"], r["exit_text"], list(r["lines"]), r["loaded"])

    def last_progress(self) -> Optional[Progress]:
        """The server's latest download progress, or None when it publishes none."""
        d = self._board.last_progress()
        return Progress(**d) if d is not None else None

    def close(self) -> None:
        """Ends the board's subscriptions; the object is unusable afterwards."""
        self._board = None

    def __enter__(self) -> "Board":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

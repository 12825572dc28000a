#!/usr/bin/env python3
"""Watch two registers of a board while an FPGA file loads on it.

    PYTHONPATH=build/python examples/watch_and_load.py KeshV2_00 build/fpga/configure_good.jbc

The name server comes from DIM_DNS_NODE / DIM_DNS_PORT (or --dns-node / --dns-port). Each
watched value is printed with its arrival time; the load prints its progress and, at the
end, its exit code and text and, when it failed, the last lines the player printed. Exits 0
when the file loaded, 1 when it did not, 2 when the board could not be reached.
"""

import argparse
import datetime
import sys
import time

import zol


def stamp(t: float) -> str:
    return datetime.datetime.fromtimestamp(t, datetime.timezone.utc).isoformat(timespec="milliseconds")


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("board", help="board name, for example KeshV2_00")
    p.add_argument("file", help="Jam STAPL byte-code file")
    p.add_argument("--action", default="configure")
    p.add_argument("--watch", type=lambda s: int(s, 0), nargs=2, default=[0x38, 0x3C],
                   metavar="ADDR", help="two local-bus registers (default 0x38 0x3C)")
    p.add_argument("--interval", type=int, default=1, help="seconds between values")
    p.add_argument("--linger", type=float, default=2.0,
                   help="seconds to go on watching after the load (default 2)")
    p.add_argument("--dns-node")
    p.add_argument("--dns-port", type=int)
    args = p.parse_args()

    board = zol.Board(args.board, timeout=5.0, dns_node=args.dns_node, dns_port=args.dns_port)
    last = {}

    def on_sample(s: zol.Sample) -> None:
        mark = " *" if s.addr in last and last[s.addr] != s.value else ""
        last[s.addr] = s.value
        print(f"{stamp(s.timestamp)}  {args.board}  {s.addr:#06x} = {s.value:#010x}{mark}",
              flush=True)

    def on_progress(pr: zol.Progress) -> None:
        share = f"{pr.percent:5.1f} %" if pr.percent is not None else f"{pr.bits_shifted} bits"
        print(f"  load {pr.action}: {share}, {pr.elapsed_ms / 1000:.1f} s", flush=True)

    try:
        with board.watch(args.watch, interval=args.interval, callback=on_sample):
            result = board.load_fpga(args.file, action=args.action, progress=on_progress)
            time.sleep(args.linger)
    except zol.NoLink as e:
        print(f"no link: {e}", file=sys.stderr)
        return 2
    except zol.Error as e:
        print(f"error: {e}", file=sys.stderr)
        return 1

    print(f"exit code {result.exit_code}: {result.exit_text}")
    if not result.loaded:
        for line in result.lines[-10:]:
            print(f"  | {line}")
    return 0 if result.loaded else 1


if __name__ == "__main__":
    sys.exit(main())

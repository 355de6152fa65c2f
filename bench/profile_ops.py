"""A small, steady loop of one operation, for a profiler to look at.

    python bench/profile_ops.py get                      # zorvik, pickle
    python bench/profile_ops.py insert --store floor     # the dict floor, for comparison
    python bench/profile_ops.py get --perf perf.data     # perf records the loop only
    valgrind --tool=callgrind python bench/profile_ops.py get --entries 20000 --ops 20000

Operations: insert (new keys), replace, get (hits), miss, remove (of keys in
the table). The table is filled first (--entries), then the operation runs
--loops times over --ops keys; the segment file is removed at the end.
"""
from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import VALUE, VALUE2, distinct_keys, remove_file, serializer  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("op", choices=["insert", "replace", "get", "miss", "remove"])
    parser.add_argument("--store", choices=["zorvik", "floor"], default="zorvik")
    parser.add_argument("--serializer", default="pickle")
    parser.add_argument("--entries", type=int, default=100_000)
    parser.add_argument("--ops", type=int, default=100_000)
    parser.add_argument("--loops", type=int, default=1)
    parser.add_argument("--perf", metavar="FILE", help="record the timed loop (only) with `perf record -g` into FILE")
    args = parser.parse_args()

    keys = distinct_keys(args.entries + args.ops * args.loops, 1)
    table, extra = keys[:args.entries], keys[args.entries:]
    dumps, loads = serializer(args.serializer)
    if args.store == "zorvik":
        from zorvik.brandel import brandel
        d = brandel(serializer=args.serializer, size=max(1 << 30, (args.entries + args.ops * args.loops) * 800),
                    bucket_chunk_size_exponent=max(3, ((args.entries + args.ops * args.loops) // 2).bit_length()))
        insert, get, remove = d.insert, d.get, d.remove
        for k in table:
            insert(k, VALUE)
    else:
        d = {dumps(k): dumps(VALUE) for k in table}

        def insert(k, v):
            d[dumps(k)] = dumps(v)

        def get(k):
            data = d.get(dumps(k))
            return None if data is None else loads(data)

        def remove(k):
            del d[dumps(k)]

    if args.op == "remove" and args.entries < args.ops * args.loops:
        parser.error("remove needs --entries of at least --ops x --loops (each remove finds its key)")
    some = (table * (args.ops // len(table) + 1))[:args.ops]
    recorder = start_perf(args.perf) if args.perf else None
    start = time.perf_counter()
    for loop in range(args.loops):
        fresh = extra[loop * args.ops:(loop + 1) * args.ops]
        if args.op == "insert":
            for k in fresh:
                insert(k, VALUE)
        elif args.op == "replace":
            for k in some:
                insert(k, VALUE2)
        elif args.op == "get":
            for k in some:
                get(k)
        elif args.op == "miss":
            for k in fresh:
                get(k)
        else:
            for k in table[loop * args.ops:(loop + 1) * args.ops]:
                remove(k)
    done = args.ops * args.loops
    elapsed = time.perf_counter() - start
    if recorder is not None:
        stop_perf(recorder)
    print(f"{args.store} {args.op} [{args.serializer}]: {elapsed / done * 1e9:.0f} ns per operation "
          f"({done:,} operations, {args.entries:,} entries)")
    if args.store == "zorvik":
        name = d.name
        del d, insert, get, remove
        remove_file(name)


def start_perf(output):
    """perf attached to this process from here on, so that the set-up is not in the profile."""
    recorder = subprocess.Popen(["perf", "record", "-g", "-F", "2000", "-o", output, "-p", str(os.getpid())],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.0)  # perf needs a moment before it records
    if recorder.poll() is not None:
        raise SystemExit("perf record did not start (is perf installed, and perf_event_paranoid low enough?)")
    return recorder


def stop_perf(recorder):
    recorder.send_signal(signal.SIGINT)
    recorder.wait(timeout=60)


if __name__ == "__main__":
    main()

"""SharedDict beside brandel: the mapping operations against brandel's get,
insert and remove on the same kind of file with the same serializer, len at
a thousand and a million entries, and increment on one hot key from one and
from two processes.

    python bench/shared_dict.py                      # about a minute
    python bench/shared_dict.py --entries 100000 --repeats 3
    TMPDIR=/dev/shm python bench/shared_dict.py      # files on tmpfs

Both stores get the same shape (1,024 buckets to start with, room to double
18 times, a sparse file of 64 GiB), the same random int keys and the same
~100-byte value; every figure is the median of --repeats timed runs, each run
one pass of one operation over --ops keys with the garbage collector off, the
runs of the two stores interleaved so that the machine's drift hits both
alike. Ratios are SharedDict / brandel. Only the standard library is needed;
the files go to a private directory under $TMPDIR (else /tmp), removed at the
end.
"""
from __future__ import annotations

import argparse
import multiprocessing
import os
import random
import shutil
import statistics
import sys
import tempfile
import time

from harness import VALUE, VALUE2, timed_ns
from zorvik import SharedDict
from zorvik.brandel import brandel

CAPACITY = 1 << 36
SHAPE = dict(bucket_chunk_size_exponent=10, bucket_chunk_number=1 << 18)  # SharedDict's defaults, for brandel


# ---- one pass of each operation, as each interface spells it ------------------------------


def shared_get(d, keys):
    for key in keys:
        d[key]


def brandel_get(b, keys):
    get = b.get
    for key in keys:
        get(key)


def shared_set(d, keys, value):
    for key in keys:
        d[key] = value


def brandel_insert(b, keys, value):
    insert = b.insert
    for key in keys:
        insert(key, value)


def shared_delete(d, keys):
    for key in keys:
        del d[key]


def brandel_remove(b, keys):
    remove = b.remove
    for key in keys:
        remove(key)


# ---- workloads --------------------------------------------------------------------------


def operations(scratch: str, entries: int, ops: int, repeats: int, serializer: str) -> dict:
    rng = random.Random(20240601)
    keys = rng.sample(range(1 << 40), entries + ops * (repeats + 1))
    present, fresh = keys[:entries], keys[entries:]
    d = SharedDict(os.path.join(scratch, "shared"), capacity=CAPACITY, serializer=serializer)
    b = brandel(size=CAPACITY, serializer=serializer, **SHAPE)  # a new file in $TMPDIR: the scratch directory
    for key in present:
        d[key] = VALUE
        b.insert(key, VALUE)
    runs = {name: ([], []) for name in ("get hit", "replace", "insert new", "remove")}
    for repeat in range(repeats):
        hits = rng.sample(present, ops)
        new = fresh[repeat * ops:(repeat + 1) * ops]
        value = VALUE2 if repeat % 2 == 0 else VALUE  # the same size: a replace reuses the stored chunks
        for side, store, get, put, drop in ((0, d, shared_get, shared_set, shared_delete),
                                            (1, b, brandel_get, brandel_insert, brandel_remove)):
            runs["get hit"][side].append(timed_ns(get, store, hits))
            runs["replace"][side].append(timed_ns(put, store, hits, value))
            runs["insert new"][side].append(timed_ns(put, store, new, VALUE))
            runs["remove"][side].append(timed_ns(drop, store, new))
    stats = d.stats()
    d.close()
    del b
    result = {}
    for name, (shared, brandels) in runs.items():
        s, r = statistics.median(shared) / ops, statistics.median(brandels) / ops
        result[name] = (s, r, s / r)
    result["buckets"] = stats["buckets"]
    return result


def length(scratch: str) -> dict:
    result = {}
    calls = 1_000_000
    for entries in (1_000, 1_000_000):
        with SharedDict(os.path.join(scratch, f"len{entries}"), capacity=CAPACITY) as d:
            d.update((n, None) for n in range(entries))
            times = [timed_ns(lambda: [len(d) for _ in range(calls)]) for _ in range(5)]
            result[entries] = statistics.median(times) / calls
    return result


def increment_for(path: str, count: int, start) -> None:
    with SharedDict(path) as d:
        start.wait()
        for _ in range(count):
            d.increment("hits")


def increments(scratch: str, count: int) -> dict:
    context = multiprocessing.get_context("fork")
    result = {}
    for processes in (1, 2):
        figures = []
        for _ in range(3):
            path = os.path.join(scratch, f"hot{processes}")
            with SharedDict(path, capacity=CAPACITY) as d:
                start = context.Barrier(processes + 1)
                workers = [context.Process(target=increment_for, args=(path, count, start)) for _ in range(processes)]
                for worker in workers:
                    worker.start()
                start.wait()
                began = time.perf_counter()
                for worker in workers:
                    worker.join()
                elapsed = time.perf_counter() - began
                assert d["hits"] == processes * count, d["hits"]
            SharedDict.unlink(path)
            figures.append(processes * count / elapsed)
        result[processes] = statistics.median(figures)
    return result


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--entries", type=int, default=1_000_000, help="entries in each store (default 1,000,000)")
    parser.add_argument("--ops", type=int, default=100_000, help="keys per timed run (default 100,000)")
    parser.add_argument("--repeats", type=int, default=5, help="timed runs per figure (default 5)")
    parser.add_argument("--increments", type=int, default=200_000, help="increments per process (default 200,000)")
    parser.add_argument("--serializer", default="pickle", help="the serializer of both stores (default pickle)")
    args = parser.parse_args(argv)
    scratch = tempfile.mkdtemp(prefix="zorvik-bench-")
    os.environ["TMPDIR"] = scratch  # where brandel makes its files
    try:
        print(f"CPython {sys.version.split()[0]}, {os.cpu_count()} CPUs, files in {scratch}")
        ops = operations(scratch, args.entries, args.ops, args.repeats, args.serializer)
        print(f"\nPer operation, {args.entries:,} entries, {args.serializer} (table of {ops.pop('buckets'):,} buckets):")
        print(f"  {'':36} {'SharedDict':>11} {'brandel':>10} {'ratio':>6}")
        spelled = {"get hit": ("d[k]", "get(k)"), "replace": ("d[k] = v", "insert(k, v)"),
                   "insert new": ("d[k] = v", "insert(k, v)"), "remove": ("del d[k]", "remove(k)")}
        for name, (shared, brandels, ratio) in ops.items():
            verdict = "within 10%" if ratio <= 1.10 else "OVER 10%"
            label = f"{name}: {spelled[name][0]} / {spelled[name][1]}"
            print(f"  {label:36} {shared:8.0f} ns {brandels:7.0f} ns {ratio:6.2f}  {verdict}")
        lengths = length(scratch)
        print(f"\nlen(d): {lengths[1_000]:.0f} ns at 1,000 entries, {lengths[1_000_000]:.0f} ns at 1,000,000 "
              f"(ratio {lengths[1_000_000] / lengths[1_000]:.2f}: the stored count, read once)")
        rates = increments(scratch, args.increments)
        print(f"\nincrement on one hot key: {rates[1]:,.0f}/s from 1 process, {rates[2]:,.0f}/s from 2 "
              f"({rates[2] / rates[1]:.2f}x), every increment counted")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

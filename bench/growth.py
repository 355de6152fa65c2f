"""Insert latency while the table doubles: this checkout's zorvik beside a
baseline build (another checkout installed into a directory of its own), in
one run, with the ratios.

    python bench/growth.py --baseline /tmp/zorvik-base          # 4M keys, a few minutes
    python bench/growth.py --baseline DIR --keys 10000000 --rounds 2
    python bench/growth.py                                     # this checkout alone

A baseline is made with `pip install --no-deps --target DIR <checkout>`.

1. One process inserts --keys new str keys ("user:<n>") with ~100-byte
   values into a new SharedDict (1,024 buckets to start with), timing every
   insert. The inserts are grouped by the doubling they fall in: the table of
   T buckets is due for its doubling past 2 T entries, so inserts 2 T .. 4 T
   are the doubling from T (whenever its work is done). Per group: the largest
   insert and the 99.9th percentile; then the whole load's time.
2. Four processes insert --keys / 4 keys each into one new SharedDict while a
   fifth reads keys stored before they start: the largest insert and get, and
   their 99.9th percentiles, over the whole load.

Each side runs in a child interpreter of its own (the baseline's on
PYTHONPATH), the sides taking turns round after round; a figure is the
median over --rounds. The files go to a private directory under $TMPDIR
(else /tmp; use /dev/shm for tmpfs), removed at the end. The machine is
shared: a largest latency is also the scheduler's, so read the two sides'
largest figures together, from the same run.
"""
from __future__ import annotations

import argparse
import heapq
import json
import math
import multiprocessing
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from array import array

VALUE = {"id": 123456, "name": "item-123456", "price": 19.99, "tags": ["red", "blue"], "active": True, "count": 42}
INITIAL_BUCKETS = 1024
CAPACITY = 1 << 38


def tail(latencies, quantile: float) -> tuple[int, int]:
    """The largest of `latencies` and its `quantile` (as 0.999), in ns."""
    if not latencies:
        return 0, 0
    above = max(1, math.ceil(len(latencies) * (1 - quantile)))
    top = heapq.nlargest(above, latencies)
    return top[0], top[-1]


# ---- the workers, run in a child interpreter -------------------------------------------------------


def single_writer(path: str, keys: int) -> dict:
    from zorvik import SharedDict

    names = [f"user:{n}" for n in range(keys)]
    latencies = array("Q", bytes(8 * keys))
    clock = time.perf_counter_ns
    with SharedDict(path, capacity=CAPACITY, initial_buckets=INITIAL_BUCKETS, delete_on_close=True) as d:
        began = clock()
        for i, name in enumerate(names):
            t = clock()
            d[name] = VALUE
            latencies[i] = clock() - t
        total = clock() - began
    groups = []
    buckets = INITIAL_BUCKETS
    while 2 * buckets < keys:
        start, stop = 2 * buckets, min(4 * buckets, keys)
        largest, p999 = tail(latencies[start:stop], 0.999)
        groups.append({"buckets": buckets, "max": largest, "p999": p999})
        buckets *= 2
    return {"total": total, "groups": groups}


def writer(path: str, first: int, count: int, start, out) -> None:
    from zorvik import SharedDict

    names = [f"user:{n}" for n in range(first, first + count)]
    latencies = array("Q", bytes(8 * count))
    clock = time.perf_counter_ns
    with SharedDict(path) as d:
        start.wait()
        for i, name in enumerate(names):
            t = clock()
            d[name] = VALUE
            latencies[i] = clock() - t
    out.put(tail(latencies, 0.999))


def reader(path: str, stored: int, start, stop, out) -> None:
    from zorvik import SharedDict

    names = [f"seed:{n}" for n in range(stored)]
    latencies = array("Q")
    clock = time.perf_counter_ns
    with SharedDict(path) as d:
        start.wait()
        i = 0
        while not stop.is_set():
            name = names[i % stored]
            t = clock()
            d[name]
            latencies.append(clock() - t)
            i += 1
    out.put(tail(latencies, 0.999))


def writers_and_reader(path: str, keys: int) -> dict:
    from zorvik import SharedDict

    context = multiprocessing.get_context("fork")
    stored = 10_000
    with SharedDict(path, capacity=CAPACITY, initial_buckets=INITIAL_BUCKETS, delete_on_close=True) as d:
        for n in range(stored):
            d[f"seed:{n}"] = VALUE
        start = context.Barrier(6)
        stop = context.Event()
        inserts, gets = context.Queue(), context.Queue()
        per = keys // 4
        workers = [context.Process(target=writer, args=(path, w * per, per, start, inserts)) for w in range(4)]
        looker = context.Process(target=reader, args=(path, stored, start, stop, gets))
        for process in [*workers, looker]:
            process.start()
        start.wait()
        results = [inserts.get() for _ in workers]
        stop.set()
        read = gets.get()
        for process in [*workers, looker]:
            process.join()
    return {"insert_max": max(r[0] for r in results), "insert_p999": max(r[1] for r in results),
            "get_max": read[0], "get_p999": read[1]}


def worker_main(arguments) -> None:
    path = os.path.join(arguments.scratch, f"{arguments.worker}-{os.getpid()}")
    run = single_writer if arguments.worker == "single" else writers_and_reader
    import zorvik

    result = run(path, arguments.keys)
    result["module"] = os.path.dirname(zorvik.__file__)
    json.dump(result, sys.stdout)


# ---- the parent ----------------------------------------------------------------------------


def measure(side: str, baseline: str | None, worker: str, keys: int, scratch: str) -> dict:
    env = dict(os.environ)
    if side == "baseline":
        env["PYTHONPATH"] = baseline + os.pathsep + env.get("PYTHONPATH", "")
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", worker, "--keys", str(keys),
                           "--scratch", scratch], env=env, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        sys.exit(f"the {side} {worker} run failed:\n{done.stderr}")
    return json.loads(done.stdout)


def us(ns: float) -> str:
    return f"{ns / 1000:9.1f}"


def ratio(ours: float, theirs: float) -> str:
    return f"{ours / theirs:6.2f}x" if theirs else "     -"


def report(sides: list[str], single: dict[str, list[dict]], multi: dict[str, list[dict]], keys: int) -> None:
    print(f"\n1. One process inserting {keys:,} keys (µs; groups by the doubling the inserts fall in)")
    header = f"{'doubling from':>14}"
    for side in sides:
        header += f" | {side + ' max':>14} {side + ' p99.9':>14}"
    if len(sides) == 2:
        header += " | max ratio | p99.9 ratio"
    print(header)
    groups = len(single[sides[0]][0]["groups"])
    for g in range(groups):
        row = f"{single[sides[0]][0]['groups'][g]['buckets']:>14,}"
        figures = {}
        for side in sides:
            largest = statistics.median(run["groups"][g]["max"] for run in single[side])
            p999 = statistics.median(run["groups"][g]["p999"] for run in single[side])
            figures[side] = (largest, p999)
            row += f" | {us(largest):>14} {us(p999):>14}"
        if len(sides) == 2:
            row += f" | {ratio(figures['this'][0], figures['baseline'][0]):>9} |" \
                   f" {ratio(figures['this'][1], figures['baseline'][1]):>11}"
        print(row)
    totals = {side: statistics.median(run["total"] for run in single[side]) for side in sides}
    line = "   total: " + ", ".join(f"{side} {totals[side] / 1e9:.2f} s" for side in sides)
    if len(sides) == 2:
        line += f"; this / baseline {totals['this'] / totals['baseline']:.3f}"
    print(line)
    print(f"\n2. Four processes inserting {keys:,} keys in all, one process reading (µs)")
    for name in ("insert_max", "insert_p999", "get_max", "get_p999"):
        row = f"{name.replace('_', ' '):>14}"
        values = {side: statistics.median(run[name] for run in multi[side]) for side in sides}
        for side in sides:
            row += f" | {side} {us(values[side])}"
        if len(sides) == 2:
            row += f" | {ratio(values['this'], values['baseline'])}"
        print(row)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=4_000_000, help="keys inserted (default: 4,000,000)")
    parser.add_argument("--rounds", type=int, default=1, help="rounds of both sides, taking turns (default: 1)")
    parser.add_argument("--baseline", help="a directory a baseline zorvik is installed in (pip --target)")
    parser.add_argument("--worker", choices=["single", "multi"], help=argparse.SUPPRESS)
    parser.add_argument("--scratch", help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.worker:
        worker_main(arguments)
        return
    sides = ["this"] + (["baseline"] if arguments.baseline else [])
    scratch = tempfile.mkdtemp(prefix="zorvik-growth-")
    try:
        single = {side: [] for side in sides}
        multi = {side: [] for side in sides}
        for round_ in range(arguments.rounds):
            order = sides if round_ % 2 == 0 else sides[::-1]
            for side in order:
                print(f"round {round_ + 1}: {side}, one writer", flush=True)
                single[side].append(measure(side, arguments.baseline, "single", arguments.keys, scratch))
            for side in order:
                print(f"round {round_ + 1}: {side}, four writers and a reader", flush=True)
                multi[side].append(measure(side, arguments.baseline, "multi", arguments.keys, scratch))
        for side in sides:
            print(f"{side}: zorvik from {single[side][0]['module']}")
        report(sides, single, multi, arguments.keys)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()

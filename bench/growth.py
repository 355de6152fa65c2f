"""Insert and get latency while the table doubles: this checkout's zorvik
beside a baseline build (another checkout installed into a directory of its
own), in one run, with the ratios.

    python bench/growth.py --baseline /tmp/zorvik-base          # 4M keys, a few minutes
    python bench/growth.py --baseline DIR --keys 10000000 --rounds 2 --plot bench/growth.png
    python bench/growth.py                                     # this checkout alone

A baseline is made with `pip install --no-deps --target DIR <checkout>`.

1. One process inserts --keys new str keys ("user:<n>") with ~100-byte
   values into a new SharedDict (1,024 buckets to start with), timing every
   insert. The inserts are grouped by the doubling they fall in: the table of
   T buckets is due for its doubling past 2 T entries, so inserts 2 T .. 4 T
   are the doubling from T (whenever its work is done). Per group: the largest
   insert, the largest processor time of one insert (the insert's own work:
   a latency far above it is the scheduler's) and the 99.9th percentile;
   then the whole load's time.
2. Four processes insert --keys / 4 keys each into one new SharedDict while a
   fifth reads keys stored before they start: the largest insert and get, and
   their 99.9th percentiles, over the whole load; with --plot, the largest
   insert and get of every 10 ms of both sides' first round, drawn over time
   with the doublings marked.
3. Gets of stored keys on a table held half way through a doubling (its
   inserts stopped just after the new half was published) beside gets on a
   table of the same entries that is not doubling (made with twice the
   buckets): ns a get, and the ratio. This checkout only.

The scheduler's part. The machine may be shared, and five processes on a
two-core machine stop each other for whole time slices (4 ms ticks): a
largest latency is also the scheduler's. So 1. and 2. are also run on a table
made big enough that it never doubles ("no doubling", this checkout): what
the same load shows without any growth work; a figure above it is growth's.

Each side runs in a child interpreter of its own (the baseline's on
PYTHONPATH), the sides taking turns round after round; a figure is the
median over --rounds. The files go to a private directory under $TMPDIR
(else /tmp; use /dev/shm for tmpfs), removed at the end.
"""
from __future__ import annotations

import argparse
import heapq
import itertools
import json
import math
import multiprocessing
import os
import random
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
# The span of one point of the latency-over-time plot.
WINDOW_NS = 10_000_000


def tail(latencies, quantile: float) -> tuple[int, int]:
    """The largest of `latencies` and its `quantile` (as 0.999), in ns."""
    if not latencies:
        return 0, 0
    above = max(1, math.ceil(len(latencies) * (1 - quantile)))
    top = heapq.nlargest(above, latencies)
    return top[0], top[-1]


def never_doubling(keys: int) -> int:
    """Buckets enough for `keys` entries without a doubling (the load rule
    asks for one past 2 entries a bucket)."""
    return max(INITIAL_BUCKETS, 1 << max(0, (keys - 1) // 2).bit_length())


class Windows:
    """The largest latency of every WINDOW_NS since `began`."""

    def __init__(self, began: int) -> None:
        self.began = began
        self.largest = array("Q")

    def note(self, at: int, latency: int) -> None:
        window = (at - self.began) // WINDOW_NS
        while window >= len(self.largest):
            self.largest.append(0)
        if latency > self.largest[window]:
            self.largest[window] = latency


# ---- the workers, run in a child interpreter -------------------------------------------------------


def single_writer(path: str, keys: int, buckets: int) -> dict:
    from zorvik import SharedDict

    names = [f"user:{n}" for n in range(keys)]
    latencies = array("Q", bytes(8 * keys))
    spent = array("Q", bytes(8 * keys))
    clock, cpu = time.perf_counter_ns, time.thread_time_ns
    with SharedDict(path, capacity=CAPACITY, initial_buckets=buckets, delete_on_close=True) as d:
        began = clock()
        for i, name in enumerate(names):
            t, c = clock(), cpu()
            d[name] = VALUE
            latencies[i] = clock() - t
            spent[i] = cpu() - c
        total = clock() - began
    groups = []
    buckets = INITIAL_BUCKETS
    while 2 * buckets < keys:
        start, stop = 2 * buckets, min(4 * buckets, keys)
        largest, p999 = tail(latencies[start:stop], 0.999)
        groups.append({"buckets": buckets, "max": largest, "p999": p999, "cpu_max": max(spent[start:stop])})
        buckets *= 2
    return {"total": total, "groups": groups}


def reporting_failure(work):
    """Runs a child's work; a failure is put on its queue (the last argument)
    as well as raised, so that the parent reports it instead of waiting."""

    def run(*args) -> None:
        try:
            work(*args)
        except BaseException as error:
            args[-1].put(("failed", repr(error)))
            raise

    return run


@reporting_failure
def writer(path: str, first: int, count: int, start, began, out) -> None:
    from zorvik import SharedDict

    names = [f"user:{n}" for n in range(first, first + count)]
    latencies = array("Q", bytes(8 * count))
    clock = time.perf_counter_ns
    with SharedDict(path) as d:
        start.wait()
        windows = Windows(began.value)
        for i, name in enumerate(names):
            t = clock()
            d[name] = VALUE
            done = clock()
            latencies[i] = done - t
            windows.note(done, done - t)
    out.put((*tail(latencies, 0.999), windows.largest.tolist()))


@reporting_failure
def reader(path: str, stored: int, start, stop, began, out) -> None:
    from zorvik import SharedDict

    names = [f"seed:{n}" for n in range(stored)]
    latencies = array("Q")
    clock = time.perf_counter_ns
    buckets = []  # (ns since the start, the table's buckets): where the doublings end
    with SharedDict(path) as d:
        start.wait()
        windows = Windows(began.value)
        next_look = 0
        missed = 0  # stored keys a get did not find: a fault, shown beside the figures
        i = 0
        while not stop.is_set():
            name = names[i % stored]
            t = clock()
            try:
                d[name]
            except KeyError:
                missed += 1
            done = clock()
            latencies.append(done - t)
            windows.note(done, done - t)
            if done >= next_look:
                buckets.append((done - began.value, d.stats()["buckets"]))
                next_look = done + WINDOW_NS
            i += 1
    out.put((*tail(latencies, 0.999), windows.largest.tolist(), buckets, missed))


def writers_and_reader(path: str, keys: int, buckets: int) -> dict:
    from zorvik import SharedDict

    context = multiprocessing.get_context("fork")
    stored = 10_000
    with SharedDict(path, capacity=CAPACITY, initial_buckets=buckets, delete_on_close=True) as d:
        for n in range(stored):
            d[f"seed:{n}"] = VALUE
        start = context.Barrier(6)
        began = context.Value("Q", 0, lock=False)
        stop = context.Event()
        inserts, gets = context.Queue(), context.Queue()
        per = keys // 4
        workers = [context.Process(target=writer, args=(path, w * per, per, start, began, inserts)) for w in range(4)]
        looker = context.Process(target=reader, args=(path, stored, start, stop, began, gets))
        for process in [*workers, looker]:
            process.start()
        # Every process reads the start time after the barrier: it is set before.
        began.value = time.perf_counter_ns()
        start.wait()
        results = [inserts.get() for _ in workers]
        stop.set()
        read = gets.get()
        for result in [*results, read]:
            if result[0] == "failed":
                raise RuntimeError(f"a child failed: {result[1]}")
        for process in [*workers, looker]:
            process.join()
    insert_windows = [max(w) for w in itertools.zip_longest(*(r[2] for r in results), fillvalue=0)]
    return {"insert_max": max(r[0] for r in results), "insert_p999": max(r[1] for r in results),
            "get_max": read[0], "get_p999": read[1], "missed": read[4],
            "insert_windows": insert_windows, "get_windows": read[2], "buckets": read[3]}


def gets_while_doubling(path: str, keys: int, buckets: int) -> dict:
    """ns a get on a table held half way through its doubling, and on one of
    the same entries that is not doubling, taking turns."""
    from zorvik import SharedDict

    # Past the load rule by enough inserts to build and publish the new half
    # (a bucket a step's unit, 64 a step) and split a little of it, far from
    # the end: the gets' own steps (one in 256) do not end it either.
    held_entries = 2 * buckets + buckets // 64 + 2000
    names = [f"user:{n}" for n in range(held_entries)]
    order = list(range(held_entries))
    random.Random(7).shuffle(order)
    probes = [names[i] for i in order[:200_000]]
    held = SharedDict(path + "-held", capacity=CAPACITY, initial_buckets=buckets, delete_on_close=True)
    settled = SharedDict(path + "-settled", capacity=CAPACITY, initial_buckets=2 * buckets, delete_on_close=True)
    try:
        for name in names:
            held[name] = VALUE
            settled[name] = VALUE
        doubling = held.stats()["buckets"] == buckets and held.stats()["load"] > 2

        def per_get(d) -> float:
            clock = time.perf_counter_ns
            t = clock()
            for name in probes:
                d[name]
            return (clock() - t) / len(probes)

        figures = {"held": [], "settled": []}
        for _ in range(5):
            figures["held"].append(per_get(held))
            figures["settled"].append(per_get(settled))
        still = held.stats()["buckets"] == buckets
    finally:
        held.close()
        settled.close()
    return {"held": statistics.median(figures["held"]), "settled": statistics.median(figures["settled"]),
            "entries": held_entries, "buckets": buckets, "doubling": doubling and still}


def worker_main(arguments) -> None:
    path = os.path.join(arguments.scratch, f"{arguments.worker}-{os.getpid()}")
    import zorvik

    if arguments.worker == "gets":
        result = gets_while_doubling(path, arguments.keys, 1 << 18)
    else:
        buckets = never_doubling(arguments.keys) if arguments.presized else INITIAL_BUCKETS
        run = single_writer if arguments.worker == "single" else writers_and_reader
        result = run(path, arguments.keys, buckets)
    result["module"] = os.path.dirname(zorvik.__file__)
    json.dump(result, sys.stdout)


# ---- the parent ----------------------------------------------------------------------------


def measure(side: str, baseline: str | None, worker: str, keys: int, scratch: str, presized: bool = False) -> dict:
    env = dict(os.environ)
    if side == "baseline":
        env["PYTHONPATH"] = baseline + os.pathsep + env.get("PYTHONPATH", "")
    command = [sys.executable, os.path.abspath(__file__), "--worker", worker, "--keys", str(keys), "--scratch", scratch]
    if presized:
        command.append("--presized")
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        sys.exit(f"the {side} {worker} run failed:\n{done.stderr}")
    return json.loads(done.stdout)


def us(ns: float) -> str:
    return f"{ns / 1000:9.1f}"


def ratio(ours: float, theirs: float) -> str:
    return f"{ours / theirs:6.2f}x" if theirs else "     -"


def report(sides: list[str], single: dict[str, list[dict]], multi: dict[str, list[dict]], gets: list[dict],
           keys: int) -> None:
    print(f"\n1. One process inserting {keys:,} keys (µs; groups by the doubling the inserts fall in; (cpu): the\n"
          "   largest processor time of one insert, its own work without the time the scheduler stopped it)")
    header = f"{'doubling from':>14}"
    for side in sides:
        header += f" | {side + ' max':>18} {'(cpu)':>8} {side + ' p99.9':>18}"
    if "baseline" in sides:
        header += " | max ratio | p99.9 ratio"
    print(header)
    groups = len(single[sides[0]][0]["groups"])
    for g in range(groups):
        row = f"{single[sides[0]][0]['groups'][g]['buckets']:>14,}"
        figures = {}
        for side in sides:
            largest = statistics.median(run["groups"][g]["max"] for run in single[side])
            spent = statistics.median(run["groups"][g]["cpu_max"] for run in single[side])
            p999 = statistics.median(run["groups"][g]["p999"] for run in single[side])
            figures[side] = (largest, p999)
            row += f" | {us(largest):>18} {us(spent):>8} {us(p999):>18}"
        if "baseline" in sides:
            row += f" | {ratio(figures['this'][0], figures['baseline'][0]):>9} |" \
                   f" {ratio(figures['this'][1], figures['baseline'][1]):>11}"
        print(row)
    totals = {side: statistics.median(run["total"] for run in single[side]) for side in sides}
    line = "   total: " + ", ".join(f"{side} {totals[side] / 1e9:.2f} s" for side in sides)
    if "baseline" in sides:
        line += f"; this / baseline {totals['this'] / totals['baseline']:.3f}"
    print(line)
    print(f"\n2. Four processes inserting {keys:,} keys in all, one process reading (µs)")
    for name in ("insert_max", "insert_p999", "get_max", "get_p999"):
        row = f"{name.replace('_', ' '):>14}"
        values = {side: statistics.median(run[name] for run in multi[side]) for side in sides}
        for side in sides:
            row += f" | {side} {us(values[side])}"
        if "baseline" in sides:
            row += f" | {ratio(values['this'], values['baseline'])}"
        print(row)
    row = f"{'gets missed':>14}"
    for side in sides:
        row += f" | {side} {sum(run['missed'] for run in multi[side]):>9}"
    print(row + "   (stored keys a get did not find: must be 0)")
    held = statistics.median(g["held"] for g in gets)
    settled = statistics.median(g["settled"] for g in gets)
    g = gets[0]
    print(f"\n3. Gets of {g['entries']:,} stored keys, a table of {g['buckets']:,} buckets held half way through its "
          f"doubling{'' if all(x['doubling'] for x in gets) else ' (NOT held: it ended)'} beside one of "
          f"{2 * g['buckets']:,} buckets (ns a get)")
    print(f"       doubling {held:7.0f} | not doubling {settled:7.0f} | {ratio(held, settled)}")


def plot(multi: dict[str, dict], path: str, keys: int) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    titles = {"baseline": "before: a doubling in one insert", "this": "after: doublings in bounded steps",
              "no doubling": "a table that never doubles (the scheduler alone)"}
    shown = [side for side in ("baseline", "this", "no doubling") if side in multi]
    fig, axes = plt.subplots(len(shown), 1, figsize=(9, 2.6 * len(shown)), dpi=80, sharey=True)
    axes = list(axes) if len(shown) > 1 else [axes]
    for ax, side in zip(axes, shown):
        run = multi[side]
        seconds = WINDOW_NS / 1e9
        for name, colour in (("insert", "tab:blue"), ("get", "tab:orange")):
            # A window in which no operation ended (the process was stopped
            # throughout) has no point: the operation that ends after it shows the gap.
            points = [(i * seconds, v / 1e6) for i, v in enumerate(run[f"{name}_windows"]) if v]
            ax.scatter([p[0] for p in points], [p[1] for p in points], s=2, color=colour, linewidths=0,
                       label=f"largest {name} of each 10 ms")
        last = None
        for at, buckets in run["buckets"]:
            if last is not None and buckets != last:
                ax.axvline(at / 1e9, color="grey", lw=0.5, ls=":")
            last = buckets
        ax.axhline(5, color="red", lw=0.6, ls="--", label="5 ms")
        ax.set_yscale("log")
        ax.set_ylabel("ms", fontsize=8)
        ax.set_title(titles[side] + ("" if side == "no doubling" else " (dotted: a doubling ends)"), fontsize=9)
        ax.legend(fontsize=7, loc="upper left", markerscale=4)
    axes[-1].set_xlabel("seconds since the start", fontsize=8)
    fig.suptitle(f"Four processes inserting {keys:,} keys, one reading: SharedDict on a loaded 2-core machine",
                 fontsize=10)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=4_000_000, help="keys inserted (default: 4,000,000)")
    parser.add_argument("--rounds", type=int, default=1, help="rounds of both sides, taking turns (default: 1)")
    parser.add_argument("--baseline", help="a directory a baseline zorvik is installed in (pip --target)")
    parser.add_argument("--plot", help="draw the latency over time of 2. (first round) into this PNG")
    parser.add_argument("--worker", choices=["single", "multi", "gets"], help=argparse.SUPPRESS)
    parser.add_argument("--presized", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--scratch", help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.worker:
        worker_main(arguments)
        return
    sides = ["this"] + (["baseline"] if arguments.baseline else [])
    scratch = tempfile.mkdtemp(prefix="zorvik-growth-")
    keys = arguments.keys
    try:
        single = {side: [] for side in [*sides, "no doubling"]}
        multi = {side: [] for side in [*sides, "no doubling"]}
        gets = []
        for round_ in range(arguments.rounds):
            order = sides if round_ % 2 == 0 else sides[::-1]
            for side in order:
                print(f"round {round_ + 1}: {side}, one writer", flush=True)
                single[side].append(measure(side, arguments.baseline, "single", keys, scratch))
            print(f"round {round_ + 1}: no doubling, one writer", flush=True)
            single["no doubling"].append(measure("this", None, "single", keys, scratch, presized=True))
            for side in order:
                print(f"round {round_ + 1}: {side}, four writers and a reader", flush=True)
                multi[side].append(measure(side, arguments.baseline, "multi", keys, scratch))
            print(f"round {round_ + 1}: no doubling, four writers and a reader", flush=True)
            multi["no doubling"].append(measure("this", None, "multi", keys, scratch, presized=True))
            print(f"round {round_ + 1}: gets, doubling and not", flush=True)
            gets.append(measure("this", None, "gets", keys, scratch))
        for side in sides:
            print(f"{side}: zorvik from {single[side][0]['module']}")
        report([*sides, "no doubling"], single, multi, gets, keys)
        if arguments.plot:
            plot({side: runs[0] for side, runs in multi.items()}, arguments.plot, keys)
            print(f"\nplot: {arguments.plot}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()

"""The batches of keys beside one key at a time, with their ratios, in one run:

1. get_many of 64 random keys a call against a get a key, at 1 million
   entries, per key;
2. get_many per key at 10 million entries against the same at 1,000 entries,
   the map's own time: with the serializer's time taken out, and in the core
   without Python at all;
3. set_many of 64 new keys a call against one insert of a new key, per key;
4. the physical floor beside them: a C loop that only loads each key's bucket
   and its first entry chunk (and, second floor, the first chunks of the key's
   and value's data), one key at a time and pipelined as the batches are.

    TMPDIR=/dev/shm python bench/batches.py            # a few minutes, ~6 GB of tmpfs at most
    python bench/batches.py --large 2000000 --repeats 3

Keys are random 16-byte strings, values 100 random bytes, stored in a
SharedDict under pickle (the default serializer); the table is made with as
many buckets as it needs (about one an entry), so that no doubling happens
while a figure is taken. Every figure is the median of --repeats timed
passes with the garbage collector off. The serializer's time (pickle.dumps of
each key, and pickle.loads of each value for a get, pickle.dumps of each
value for a store) is measured on its own and taken out where a line says so.

Section 4 and the core line of section 2 come from bench/core_bench (the C++
benchmark of the core, built here with CMake into build/bench when missing),
whose keys are short strings with 100-byte values. The files go to a private
directory under $TMPDIR (else /tmp) and are removed at the end.
"""
from __future__ import annotations

import argparse
import os
import pickle
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from collections import deque
from itertools import repeat
from pathlib import Path

from harness import timed_ns
from zorvik import SharedDict

ROOT = Path(__file__).resolve().parent.parent
KEY_BYTES = 16
VALUE_BYTES = 100
BATCH = 64
# One bucket an entry at most: the table doubles past about one and a half
# entries a bucket, so no figure meets a doubling.
CAPACITY = 1 << 40  # a sparse file: only what is written takes room


def median_ns_per_key(repeats: int, keys: int, function, *args) -> float:
    return statistics.median(timed_ns(function, *args) for _ in range(repeats)) / keys


def random_keys(rng: random.Random, n: int) -> list[bytes]:
    """n distinct random keys."""
    blob = rng.randbytes(KEY_BYTES * n)
    keys = list(dict.fromkeys(blob[i : i + KEY_BYTES] for i in range(0, len(blob), KEY_BYTES)))
    while len(keys) < n:  # a collision of 128-bit keys: never, in practice
        keys.append(rng.randbytes(KEY_BYTES))
    return keys


def in_batches(items: list, size: int = BATCH) -> list[list]:
    return [items[i : i + size] for i in range(0, len(items), size)]


def buckets_for(entries: int) -> int:
    return 1 << max(10, (entries - 1).bit_length())


# ---- one pass of each operation ----------------------------------------------------------


def get_each(d, keys):
    get = d.get
    for key in keys:
        get(key)


def get_batches(d, batches):
    get_many = d.get_many
    for batch in batches:
        get_many(batch)


def store_each(d, pairs):
    for key, value in pairs:
        d[key] = value


def store_batches(d, batches):
    set_many = d.set_many
    for batch in batches:
        set_many(batch)


# The serializer's work as the dictionary calls it from C: map() calls it with
# no loop of the interpreter around it.
def serialize_for_get(keys, stored_values):
    deque(map(pickle.dumps, keys, repeat(5)), maxlen=0)
    deque(map(pickle.loads, stored_values), maxlen=0)


def serialize_for_store(keys, values):
    deque(map(pickle.dumps, keys, repeat(5)), maxlen=0)
    deque(map(pickle.dumps, values, repeat(5)), maxlen=0)


# ---- the Python side ----------------------------------------------------------------------


class Store:
    """A SharedDict of `entries` random keys, sized for them."""

    def __init__(self, directory: str, entries: int, rng: random.Random):
        self.d = SharedDict(os.path.join(directory, f"batches-{entries}"), capacity=CAPACITY,
                            initial_buckets=buckets_for(entries))
        self.keys = random_keys(rng, entries)
        self.value = rng.randbytes(VALUE_BYTES)
        for batch in in_batches(self.keys, 4096):
            self.d.set_many((key, self.value) for key in batch)

    def lookups(self, rng: random.Random, n: int) -> list[bytes]:
        """n random stored keys, each a new object, made one after the other
        as a caller that has just made its keys holds them (not the stored
        keys' objects themselves, scattered over the heap: their own cache
        misses would be the caller's, not the dictionary's)."""
        return [bytes(bytearray(self.keys[rng.randrange(len(self.keys))])) for _ in range(n)]

    def close(self):
        path = self.d.path
        self.d.close()
        os.remove(path)


def gets(store: Store, rng: random.Random, lookups: int, repeats: int) -> dict:
    keys = store.lookups(rng, lookups)
    batches = in_batches(keys)
    stored = [pickle.dumps(store.value, 5) for _ in range(lookups)]
    serializer = median_ns_per_key(repeats, lookups, serialize_for_get, keys, stored)
    one = median_ns_per_key(repeats, lookups, get_each, store.d, keys)
    many = median_ns_per_key(repeats, lookups, get_batches, store.d, batches)
    return {"get": one, "get_many": many, "serializer": serializer}


def stores(store: Store, rng: random.Random, new_keys: int, repeats: int) -> dict:
    """One insert of a new key against set_many of new keys, at the store's
    load: each pass stores its keys and the next removes them first."""
    one_runs, many_runs = [], []
    for _ in range(repeats):
        pairs = [(key, store.value) for key in random_keys(rng, new_keys)]
        batch_pairs = [(key, store.value) for key in random_keys(rng, new_keys)]
        for runs, function, argument, made in (
            (one_runs, store_each, pairs, pairs),
            (many_runs, store_batches, in_batches(batch_pairs), batch_pairs),
        ):
            runs.append(timed_ns(function, store.d, argument) / new_keys)
            for batch in in_batches([key for key, _ in made], 4096):
                store.d.delete_many(batch)
    serializer = median_ns_per_key(repeats, new_keys, serialize_for_store, [k for k, _ in pairs],
                                   [v for _, v in pairs])
    return {"insert": statistics.median(one_runs), "set_many": statistics.median(many_runs),
            "serializer": serializer}


# ---- the core side ------------------------------------------------------------------------


def core_bench(path: str | None) -> Path:
    """bench/core_bench, built in build/bench when no path is given.

    The build runs every time (a no-op when nothing changed), so that a change
    to the core is never measured with the binary of an older one."""
    if path:
        return Path(path)
    build = ROOT / "build" / "bench"
    if not (build / "CMakeCache.txt").exists():
        print("configuring bench/core_bench in build/bench ...", flush=True)
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                        "-DZORVIK_PYTHON_MODULES=OFF", "-DZORVIK_CORE_BENCH=ON"], check=True,
                       stdout=subprocess.DEVNULL)
    print("building bench/core_bench in build/bench (when its sources changed) ...", flush=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "core_bench"], check=True,
                   stdout=subprocess.DEVNULL)
    return build / "bench" / "core_bench"


CORE_LINE = re.compile(
    r"batches\s+(\d+) entries, ns per key: insert ([\d.]+), insert_many ([\d.]+) \([\d.]+x\); "
    r"get ([\d.]+), get_many ([\d.]+).*\n\s+floor, bucket and entry chunk: ([\d.]+) one at a time, ([\d.]+) "
    r"pipelined; with the key's and value's first chunks: ([\d.]+), ([\d.]+)"
)


def run_core(binary: Path, sizes: list[int], directory: str) -> dict[int, dict]:
    """core_bench's batch figures for each size: {entries: {...}}."""
    done = subprocess.run([str(binary), "0", *map(str, sizes)], check=True, capture_output=True, text=True,
                          env={**os.environ, "TMPDIR": directory})
    figures = {}
    for m in CORE_LINE.finditer(done.stdout):
        names = ("insert", "insert_many", "get", "get_many", "floor", "floor_pipelined", "floor_data",
                 "floor_data_pipelined")
        figures[int(m[1])] = dict(zip(names, map(float, m.groups()[1:])))
    if set(figures) != set(sizes):
        raise RuntimeError(f"core_bench printed what this script cannot read:\n{done.stdout}")
    return figures


# ---- the report ---------------------------------------------------------------------------


def ratio(value: float, base: float, target: float) -> str:
    r = value / base
    return f"{r:.3f}x (target <= {target}x: {'met' if r <= target else 'MISSED'})"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--entries", type=int, default=1_000_000, help="the store of sections 1 and 3")
    parser.add_argument("--small", type=int, default=1_000, help="the small store of section 2")
    parser.add_argument("--large", type=int, default=10_000_000, help="the large store of section 2")
    parser.add_argument("--lookups", type=int, default=200_000, help="keys a timed pass of gets")
    parser.add_argument("--new-keys", type=int, default=50_000, help="keys a timed pass of stores")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--core-bench", help="path of bench/core_bench (default: build it in build/bench)")
    parser.add_argument("--no-core", action="store_true", help="skip sections 2's core line and 4")
    parser.add_argument("--seed", type=int, default=18)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    directory = tempfile.mkdtemp(prefix="zorvik-batches-")
    print(f"CPython {sys.version.split()[0]}, files in {directory}; {KEY_BYTES}-byte keys, {VALUE_BYTES}-byte "
          f"values, pickle; {BATCH} keys a batch; ns per key, medians of {args.repeats}", flush=True)
    try:
        per_size = {}
        for entries in sorted({args.small, args.entries, args.large}):
            store = Store(directory, entries, rng)
            try:
                per_size[entries] = gets(store, rng, args.lookups, args.repeats)
                if entries == args.entries:
                    writes = stores(store, rng, args.new_keys, args.repeats)
            finally:
                store.close()

        g = per_size[args.entries]
        print(f"\n1. get at {args.entries:,} entries: get {g['get']:.0f}, get_many {g['get_many']:.0f}: "
              f"{ratio(g['get_many'], g['get'], 0.5)}")
        own = {n: f["get_many"] - f["serializer"] for n, f in per_size.items()}
        print(f"   without the serializer ({g['serializer']:.0f}): get {g['get'] - g['serializer']:.0f}, "
              f"get_many {own[args.entries]:.0f}: {own[args.entries] / (g['get'] - g['serializer']):.2f}x")

        small, large = per_size[args.small], per_size[args.large]
        print(f"\n2. get_many at {args.large:,} against {args.small:,} entries, serializer taken out: "
              f"{own[args.large]:.0f} against {own[args.small]:.0f}: {ratio(own[args.large], own[args.small], 1.5)}")
        print(f"   as measured: {large['get_many']:.0f} against {small['get_many']:.0f}; one get at a time: "
              f"{large['get']:.0f} against {small['get']:.0f} ({large['get'] / small['get']:.2f}x)")

        print(f"\n3. store of a new key at {args.entries:,} entries: insert {writes['insert']:.0f}, set_many "
              f"{writes['set_many']:.0f}: {ratio(writes['set_many'], writes['insert'], 0.6)}")
        print(f"   without the serializer ({writes['serializer']:.0f}): insert "
              f"{writes['insert'] - writes['serializer']:.0f}, set_many {writes['set_many'] - writes['serializer']:.0f}: "
              f"{(writes['set_many'] - writes['serializer']) / (writes['insert'] - writes['serializer']):.2f}x")

        if not args.no_core:
            sizes = sorted({args.small, args.entries, args.large})
            core = run_core(core_bench(args.core_bench), sizes, directory)
            print("\n   the core alone (bench/core_bench, no Python):")
            for n in sizes:
                c = core[n]
                print(f"   {n:>11,} entries: get {c['get']:.0f}, get_many {c['get_many']:.0f} "
                      f"({c['get_many'] / c['get']:.2f}x); insert {c['insert']:.0f}, insert_many "
                      f"{c['insert_many']:.0f} ({c['insert_many'] / c['insert']:.2f}x)")
            print(f"   get_many at {args.large:,} against {args.small:,}: {core[args.large]['get_many']:.0f} against "
                  f"{core[args.small]['get_many']:.0f}: "
                  f"{ratio(core[args.large]['get_many'], core[args.small]['get_many'], 1.5)}")
            print("\n4. the physical floor (C loop, the same keys as the core's gets), one at a time / pipelined:")
            for n in sizes:
                c = core[n]
                print(f"   {n:>11,} entries: bucket + entry chunk {c['floor']:.0f} / {c['floor_pipelined']:.0f}; "
                      f"with the key's and value's first chunks {c['floor_data']:.0f} / "
                      f"{c['floor_data_pipelined']:.0f}; the core's get_many {c['get_many']:.0f} "
                      f"({c['get_many'] / c['floor_data_pipelined']:.1f}x the second floor)")
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

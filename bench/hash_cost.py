"""What the default hash costs: the hash of typical keys alone, and get and
insert with str keys in a dictionary of a million entries.

    python bench/hash_cost.py                      # the installed zorvik
    TMPDIR=/dev/shm python bench/hash_cost.py --entries 1000000 --repeats 9

The default hash is portable (the same in every process): it is computed from
the key's data at every call, where the built-in hash of a str or bytes
object is computed at its first call and then kept in the object. The hash
alone is timed in a native loop (`map`), so every column carries the same
call overhead. For the operations before and after, run the script with a
build from before the portable hash as well (it skips the hash alone there).
"""
from __future__ import annotations

import argparse
import collections
import os
import random
import statistics
import sys
import time

import zorvik.fennick
from zorvik.brandel import brandel

KEYS = {
    "int": 123456789,
    "str, 5 ASCII characters": "apple",
    "str, 100 characters": "the quick brown fox " * 5,
    "bytes, 16": b"0123456789abcdef",
    "tuple (str, int)": ("user", 123456789),
}


def fresh_copy(key):
    """An equal object that has not been hashed yet."""
    if isinstance(key, str):
        return (key + "#")[:-1]
    if isinstance(key, bytes):
        return bytes(bytearray(key))
    if isinstance(key, tuple):
        return tuple(list(key))
    return key


def best_ns(function, make_keys, calls, repeats):
    """The best over `repeats` runs of the time per call of function, called
    natively over `calls` keys that make_keys(calls) gives for each run."""
    runs = []
    for _ in range(repeats):
        keys = make_keys(calls)
        start = time.perf_counter_ns()
        collections.deque(map(function, keys), maxlen=0)
        runs.append((time.perf_counter_ns() - start) / calls)
    return min(runs)


def hash_alone(calls, repeats):
    portable_hash = getattr(zorvik.fennick, "portable_hash", None)
    if portable_hash is None:
        print("\n(this build has no portable hash: the hash alone is left out)")
        return
    print(f"\nThe hash alone (ns per call, best of {repeats} runs of {calls:,}; the loop's own cost included)")
    print("| key | portable_hash (the default) | hash(), value kept in the object | hash(), first call |")
    print("|---|---|---|---|")
    for name, key in KEYS.items():
        same = lambda n, key=key: [key] * n  # noqa: E731
        fresh = lambda n, key=key: [fresh_copy(key) for _ in range(n)]  # noqa: E731
        figures = [best_ns(portable_hash, same, calls, repeats), best_ns(hash, same, calls, repeats),
                   best_ns(hash, fresh, calls, repeats)]
        print(f"| {name} | " + " | ".join(f"{figure:.1f}" for figure in figures) + " |")


def operations(entries, ops, repeats):
    rng = random.Random(1)
    keys = [f"user:{n:012d}" for n in rng.sample(range(10**12), entries)]
    d = brandel(size=max(1 << 28, entries * 700), bucket_chunk_size_exponent=max(4, (entries // 2).bit_length()))
    try:
        start = time.perf_counter_ns()
        for key in keys:
            d.insert(key, 1)
        fill = (time.perf_counter_ns() - start) / entries
        some = rng.sample(keys, min(ops, entries))
        results = {"get hit": [], "insert (replace)": []}
        for _ in range(repeats):
            start = time.perf_counter_ns()
            for key in some:
                d.get(key)
            results["get hit"].append((time.perf_counter_ns() - start) / len(some))
            start = time.perf_counter_ns()
            for key in some:
                d.insert(key, 2)
            results["insert (replace)"].append((time.perf_counter_ns() - start) / len(some))
    finally:
        os.unlink(d.name)
    print(f"\n{entries:,} entries, str keys of 17 characters, int values (ns per operation; "
          f"{repeats} runs of {len(some):,})")
    print("| operation | median | best |\n|---|---|---|")
    print(f"| insert (new key, the fill; one run) | {fill:,.0f} | |")
    for name, runs in results.items():
        print(f"| {name} | {statistics.median(runs):,.0f} | {min(runs):,.0f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, default=1_000_000)
    parser.add_argument("--ops", type=int, default=200_000, help="per run of an operation")
    parser.add_argument("--skip", choices=["hash", "operations"], help="leave one part out")
    parser.add_argument("--calls", type=int, default=200_000, help="per run of the hash alone")
    parser.add_argument("--repeats", type=int, default=9)
    args = parser.parse_args()
    print(f"CPython {sys.version.split()[0]}, zorvik from {os.path.dirname(zorvik.fennick.__file__)}")
    if args.skip != "hash":
        hash_alone(args.calls, args.repeats)
    if args.skip != "operations":
        operations(args.entries, args.ops, args.repeats)


if __name__ == "__main__":
    main()

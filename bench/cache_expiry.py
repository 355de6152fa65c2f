"""Expiry in a cache nobody reads: how soon keys stored with a TTL read
absent, and how soon their space is back while another process writes.

    python bench/cache_expiry.py                 # 100,000 keys, ttl 0.2 s, 3 rounds
    python bench/cache_expiry.py --keys 1000000 --rounds 2

Each round:
1. this process stores --keys new keys (~100-byte values) with ttl=--ttl
   into one cache file (made with eviction="lru" and no bound);
2. --ttl seconds after its last store, it reads a sample of --sample of them:
   how many are still present (0 expected) and the ns a read takes;
3. a writer process starts replacing --live keys of its own in a loop (no
   TTL), and nobody reads the expired keys: the time until len() counts only
   the writer's keys, i.e. until the writers' sweeps have removed every
   expired entry and given its chunks back, and the writer's stores meanwhile.
After each round the chunk area's high-water mark (bytes ever carved out of
the file) is printed: from the second round on, the new keys take the space
the expired ones gave back, so it stays level.

The file lives in a private directory under $TMPDIR (else /tmp), removed at
the end.
"""
from __future__ import annotations

import argparse
import multiprocessing
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from zorvik import SharedDict  # noqa: E402

POLL_S = 0.005
GIVE_UP_S = 30.0


def writer(path: str, live: int, started, stop, stores) -> None:
    with SharedDict(path) as d:
        count = 0
        started.set()
        while not stop.is_set():
            for i in range(1000):
                d[f"live:{(count + i) % live}"] = harness.VALUE
            count += 1000
        stores.value = count


def one_round(path: str, number: int, options) -> dict:
    with SharedDict(path) as d:
        keys = [f"r{number}:{i}" for i in range(options.keys)]
        begun = time.perf_counter()
        for key in keys:
            d.set(key, harness.VALUE, ttl=options.ttl)
        stored_s = time.perf_counter() - begun
        time.sleep(options.ttl)
        picked = random.Random(number).sample(keys, min(options.sample, len(keys)))
        begun = time.perf_counter_ns()
        present = sum(key in d for key in picked)
        read_ns = (time.perf_counter_ns() - begun) / len(picked)

        context = multiprocessing.get_context("spawn")
        started, stop = context.Event(), context.Event()
        stores = context.Value("q", 0)
        child = context.Process(target=writer, args=(path, options.live, started, stop, stores))
        child.start()
        try:
            if not started.wait(GIVE_UP_S):
                raise RuntimeError("the writer did not start")
            begun = time.perf_counter()
            left = len(d)
            while left > options.live and time.perf_counter() - begun < GIVE_UP_S:
                time.sleep(POLL_S)
                left = len(d)
            cleared_s = time.perf_counter() - begun
        finally:
            stop.set()
            child.join(GIVE_UP_S)
        if child.exitcode != 0:
            raise RuntimeError(f"the writer failed (exit status {child.exitcode})")
    return {
        "stored_s": stored_s, "present": present, "read_ns": read_ns, "left": left,
        "cleared_s": cleared_s, "writer_stores": stores.value, "used": harness.segment_used_bytes(path),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--keys", type=int, default=100_000)
    parser.add_argument("--ttl", type=float, default=0.2)
    parser.add_argument("--sample", type=int, default=2_000)
    parser.add_argument("--live", type=int, default=1_000, help="keys the writer keeps replacing")
    parser.add_argument("--rounds", type=int, default=3)
    options = parser.parse_args()

    scratch = harness.Scratch()
    try:
        path = os.path.join(scratch.directory("expiry-"), "cache")
        SharedDict(path, eviction="lru").close()
        print(f"{options.keys:,} keys stored with ttl={options.ttl} s per round; a writer replaces "
              f"{options.live:,} keys of its own meanwhile; load average {harness.load_average()}")
        print(f"{'round':>5} {'store s':>8} {'present':>8} {'ns/read':>8} {'cleared s':>10} "
              f"{'left':>7} {'writer stores':>14} {'used MiB':>9}")
        for number in range(1, options.rounds + 1):
            r = one_round(path, number, options)
            print(f"{number:>5} {r['stored_s']:>8.2f} {r['present']:>8} {r['read_ns']:>8.0f} "
                  f"{r['cleared_s']:>10.3f} {r['left'] - options.live:>7} {r['writer_stores']:>14,} "
                  f"{r['used'] / 2**20:>9.1f}")
        print("present: sampled keys read present after their TTL (0 expected); left: expired entries "
              "still counted when the clock stopped (0: all removed); used: the chunk area's high-water mark")
    finally:
        scratch.cleanup()


if __name__ == "__main__":
    main()

"""A kill storm on a cache: worker processes fill a cache past its bound with
keys with a TTL, some of which expire within milliseconds, so that evictions
and expiry run all the time, and store now and then a key without a TTL
that the policy must keep; the storm kills workers with SIGKILL at random moments and starts a
replacement for each. Afterwards every acknowledged kept key reads back, no
expired key does, the bound held, nothing wedged, and the file repairs
clean.

The "ttl" policy evicts the entries nearest their deadline and takes one
without a deadline only when three samples in a row find none that has one:
with kept keys under a tenth of the cache, an eviction never takes one
(thirty sampled entries all kept is a chance below 10^-30).
"""

import multiprocessing
import os
import random
import signal
import time

from zorvik import SharedDict, tools

BOUND = 2000
WORKERS = 3
KILLS = 40
FILLER_TTL = 0.05
# Every LONG_EVERY-th filler lives this long instead: these fill the cache
# to its bound however slowly the workers store, so that evictions run.
LONG_TTL = 30.0
LONG_EVERY = 2
# After the kills, the storm goes on until the cache is full, at most this
# long, and then this long more, so that workers no longer killed (whose
# counts reach the file when they close) evict too.
FULL_WAIT = 10.0
EVICTING = 0.2
# A worker stores a kept key every this many stores; at most this many each.
KEPT_EVERY = 50
MOST_KEPT = 60
HANG_LIMIT = 20.0


def kept_value(slot, incarnation, n):
    return f"kept-{slot}-{incarnation}-{n}"


def work(path, slot, incarnation, acknowledged, stop):
    """Stores fillers with a short TTL and, every KEPT_EVERY stores, the next
    kept key; acknowledged[slot * MOST_KEPT + n] says kept key n was stored
    (its incarnation + 1, so 0 is "not yet")."""
    rng = random.Random(slot * 1000 + incarnation)
    with SharedDict(path) as d:
        n = next((i for i in range(MOST_KEPT) if acknowledged[slot * MOST_KEPT + i] == 0), MOST_KEPT)
        stores = 0
        while not stop.value:
            stores += 1
            if stores % KEPT_EVERY == 0 and n < MOST_KEPT:
                d[("kept", slot, n)] = kept_value(slot, incarnation, n)
                acknowledged[slot * MOST_KEPT + n] = incarnation + 1
                n += 1
            else:
                ttl = LONG_TTL if stores % LONG_EVERY == 0 else FILLER_TTL
                d.set(("filler", slot, incarnation, stores, ttl), "f" * rng.randrange(10, 200), ttl=ttl)
                d.get(("filler", slot, incarnation, rng.randrange(1, stores + 1), FILLER_TTL))


def test_kill_storm_with_eviction_and_expiry(segment_dir):
    path = os.path.join(segment_dir, "storm-cache")
    SharedDict(path, max_entries=BOUND, eviction="ttl").close()
    context = multiprocessing.get_context("fork")
    acknowledged = context.Array("q", WORKERS * MOST_KEPT, lock=False)
    stop = context.Value("b", 0, lock=False)
    incarnations = [0] * WORKERS

    def start(slot):
        process = context.Process(target=work, args=(path, slot, incarnations[slot], acknowledged, stop))
        process.start()
        return process

    workers = [start(slot) for slot in range(WORKERS)]
    rng = random.Random()
    most = 0
    with SharedDict(path) as d:
        for _ in range(KILLS):
            time.sleep(rng.uniform(0.005, 0.04))
            most = max(most, len(d))
            slot = rng.randrange(WORKERS)
            os.kill(workers[slot].pid, signal.SIGKILL)
            workers[slot].join()
            incarnations[slot] += 1
            workers[slot] = start(slot)
        full_by = time.monotonic() + FULL_WAIT
        while len(d) < BOUND and time.monotonic() < full_by:
            time.sleep(0.01)
        time.sleep(EVICTING)
        most = max(most, len(d))
        stop.value = 1
        for process in workers:
            process.join(HANG_LIMIT)
        wedged = [process.pid for process in workers if process.exitcode is None]
        for process in workers:
            if process.exitcode is None:
                process.kill()
                process.join()
        assert wedged == [], "workers did not stop"
        assert all(process.exitcode == 0 for process in workers)
        time.sleep(FILLER_TTL)

        lost = []
        kept = 0
        for slot in range(WORKERS):
            for n in range(MOST_KEPT):
                incarnation = acknowledged[slot * MOST_KEPT + n] - 1
                if incarnation < 0:
                    break
                kept += 1
                if d.get(("kept", slot, n)) != kept_value(slot, incarnation, n):
                    lost.append((slot, n))
        present_fillers = [key for key in d.keys() if key[0] == "filler" and key[-1] == FILLER_TTL]
        stats = d.stats()
        print(f"{KILLS} kills, {kept} kept keys acknowledged, {len(lost)} lost, {stats['evictions']} evictions and "
              f"{stats['expirations']} expirations counted (killed processes lose theirs), largest len {most}")
        assert lost == []
        assert present_fillers == []
        assert kept > 0 and stats["evictions"] > 0 and stats["expirations"] > 0
        assert most <= BOUND + WORKERS + 1  # the storm's own store in flight: none; a worker's: one each
    tools.repair(path)
    assert tools.check(path)["clean"]

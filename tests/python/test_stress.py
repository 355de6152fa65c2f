"""Checked stress: processes with several threads each insert, replace, get
and remove at random, against models, while the table doubles by load and on
request of another process.

ZORVIK_STRESS_SEED=N repeats a run's operation sequences (the seed is printed,
and named in every failure; the interleaving of course differs).
Each run has a few rounds, each on a fresh dictionary with the next seed;
ZORVIK_SOAK_SECONDS=N goes on with further rounds until N seconds have passed.
"""

import math
import multiprocessing
import os
import random
import time

import pytest

import segment_file
import workload
from zorvik.brandel import brandel

PROCESSES = 3
THREADS = 3
KEYS_PER_WORKER = 2000
STEPS_PER_THREAD = 30000
ROUNDS = 4  # per parameter set, without ZORVIK_SOAK_SECONDS
SHARED_KEYS = tuple(range(-1, -9, -1))
RESULT_LIMIT = 900  # seconds; guards against a hang only


def stress_seed():
    return int(os.environ.get("ZORVIK_STRESS_SEED") or random.randrange(1 << 32))


def soak_seconds():
    return float(os.environ.get("ZORVIK_SOAK_SECONDS") or 0)


def run_round(context, seed, chunk_size_exponent):
    """One dictionary, its workers and its expander; returns the round's figures."""
    d = brandel(
        size=1 << 28,
        bucket_chunk_size_exponent=2,
        bucket_chunk_number=4096,
        chunk_size_exponent=chunk_size_exponent,
        hash_function=workload.scrambled_hash,
    )
    results, progress, done = context.Queue(), context.Value("q", 0), context.Event()
    plans = [
        workload.StressPlan(d.name, seed, p, THREADS, KEYS_PER_WORKER, STEPS_PER_THREAD, SHARED_KEYS)
        for p in range(PROCESSES)
    ]
    total = PROCESSES * THREADS * STEPS_PER_THREAD
    thresholds = [total * k // 20 for k in (1, 3, 6, 10)]
    expander = context.Process(target=workload.run_expander, args=(d.name, thresholds, progress, done, results))
    workers = [context.Process(target=workload.run_stress_process, args=(plan, results, progress)) for plan in plans]
    for process in [expander, *workers]:
        process.start()
    reports = []
    try:
        for _ in workers:
            reports.append(results.get(timeout=RESULT_LIMIT))
        done.set()
        reports.append(results.get(timeout=RESULT_LIMIT))
    finally:
        done.set()
        for process in [expander, *workers]:
            process.join(RESULT_LIMIT)
            if process.exitcode is None:
                process.kill()
    errors = [report["error"] for report in reports if report["error"]]
    assert not errors, f"seed {seed}:\n" + "\n".join(errors)
    assert [process.exitcode for process in [expander, *workers]] == [0] * (1 + PROCESSES)

    models, shared_last, counts = {}, {}, {}
    for report in reports:
        models.update(report.get("models", {}))
        shared_last.update(report.get("shared_last", {}))
        for name, number in report.get("counts", {}).items():
            counts[name] = counts.get(name, 0) + number
    explicit = sum(report.get("expansions", 0) for report in reports)

    shared_present = check_final_state(d, models, shared_last, seed)
    assert segment_file.entry_count(d.name) == sum(map(len, models.values())) + shared_present, f"seed {seed}"
    assert segment_file.held_locks(d.name) == [], f"seed {seed}"
    assert segment_file.shared_word(d.name, segment_file.EXPANSION_WORKERS) == 0, f"seed {seed}"

    # One more doubling on a quiet table loses nothing either.
    if segment_file.chunks_in_use(d.name) < 4096:
        d.expansion(1)
        check_final_state(d, models, shared_last, seed)
    return {
        "operations": sum(counts.values()),
        "counts": counts,
        "doublings": int(math.log2(segment_file.chunks_in_use(d.name))),
        "explicit expansions": explicit,
    }


def check_final_state(d, models, shared_last, seed):
    """Every owned key as its model says; every shared key holds the last value
    some worker wrote to it, or is absent after some worker's last remove.
    Returns the number of shared keys present."""
    for worker, model in models.items():
        first, count = workload.key_range(worker, KEYS_PER_WORKER)
        for key in range(first, first + count):
            expected = [True, model[key]] if key in model else [False]
            got = d.get(key)
            assert got == expected, f"seed {seed}: key {key} of worker {worker}: {workload.abbreviated(got)}"
    present = 0
    for key in SHARED_KEYS:
        found = d.get(key)
        last_actions = {worker: actions[key] for worker, actions in shared_last.items() if key in actions}
        if found == [False]:
            assert not last_actions or ("remove",) in last_actions.values(), f"seed {seed}: shared {key} lost"
            continue
        present += 1
        worker, seq, _ = found[1]
        assert workload.is_possible_shared_value(key, found[1]), f"seed {seed}: shared {key}: {found!r}"
        assert last_actions.get(worker) == ("insert", seq), f"seed {seed}: shared {key} holds a superseded value"
    return present


@pytest.mark.parametrize(
    ("start_method", "chunk_size_exponent"),
    [("spawn", 3), ("forkserver", 5)],
)
def test_checked_stress(segment_dir, start_method, chunk_size_exponent):
    if start_method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {start_method} start method here")
    context = multiprocessing.get_context(start_method)
    seed = stress_seed()
    end = time.monotonic() + soak_seconds()
    rounds = 0
    while True:
        round_seed = seed + rounds
        print(f"stress seed {round_seed} ({start_method}, chunk_size_exponent {chunk_size_exponent})")
        figures = run_round(context, round_seed, chunk_size_exponent)
        print(f"  {figures}")
        rounds += 1
        for path in segment_dir.iterdir():
            path.unlink()
        if rounds >= ROUNDS and time.monotonic() >= end:
            break

"""Kill storms: processes at work on one dictionary, its table doubling, are
killed with SIGKILL at random moments and replaced (storm.py says how the
writes are journaled and checked). After each storm every acknowledged write
reads back, the file is sound, and the dictionary goes on.

Short here; ZORVIK_SOAK_KILLS=N goes on with further storms until N processes
have been killed, and prints the totals (kills survived, keys lost, wedged
storms, the slowest operation: how long a survivor waited for a repair).
ZORVIK_STORM_SEED=N repeats a storm's choices (the interleaving differs).
"""

import os
import random

import storm

KILLS_PER_STORM = 60


def test_kill_storm(segment_dir):
    soak = int(os.environ.get("ZORVIK_SOAK_KILLS") or 0)
    seed = int(os.environ.get("ZORVIK_STORM_SEED") or random.randrange(1 << 32))
    totals = dict(storms=0, kills=0, expander_kills=0, acknowledged=0, lost=0, wedged=0, slowest_ns=0, slow_ops=0,
                  reclaimed=0, count_off=0, left_held=0, left_intents=0, left_workers=0)
    failures = []
    while totals["storms"] < 2 or totals["kills"] < soak:
        name, report = storm.run_storm(str(segment_dir), seed + totals["storms"], KILLS_PER_STORM)
        os.remove(name)
        totals["storms"] += 1
        totals["kills"] += report.kills
        totals["expander_kills"] += report.kills_in_expander
        totals["acknowledged"] += report.acknowledged
        totals["lost"] += len(report.lost) + len(report.errors)
        totals["wedged"] += report.wedged is not None
        totals["slowest_ns"] = max(totals["slowest_ns"], report.slowest_ns)
        totals["slow_ops"] += report.slow_ops
        totals["reclaimed"] += report.reclaimed
        totals["count_off"] += abs(report.count_off)
        if report.left:
            totals["left_held"] += report.left["held_locks"]
            totals["left_intents"] += report.left["pending_intents"]
            totals["left_workers"] += report.left["expansion_workers"]
        print(f"storm seed {report.seed}: {report.kills} kills ({report.kills_in_expander} expander), "
              f"{report.acknowledged} acknowledged, {len(report.lost)} lost, table 2^{report.doublings} chunks, "
              f"slowest {report.slowest_ns / 1e6:.0f} ms, count off by {report.count_off}, "
              f"{report.reclaimed} chunks reclaimed offline, left {report.left}" + (f", WEDGED: {report.wedged}" if report.wedged else ""))
        if report.lost or report.errors or report.wedged:
            failures.append(report)
    print(f"totals: {totals}")
    assert failures == []

"""The workloads. Each takes the run's plan, returns a dict of plain data for
results.json, and logs what it is doing.

1. ops        one process: insert, replace, get hit, get miss, remove, per serializer
2. procs      1, 2 and 4 processes on one dictionary, 90% gets and 10% inserts
3. sizes      per-operation cost at growing numbers of entries
4. expansion  doubling a table while another process inserts
5. creation   time and resident memory of brandel()
6. space      segment bytes per entry
7. positions  get by bucket position modulo 8 (where the bucket's lock word
              falls in its cache line)

Worker processes are started with the "spawn" method: each opens the store
itself (zorvik by the segment's path, LMDB by its directory), as separate
programs sharing a store would, and nothing is inherited from the parent.
"""
from __future__ import annotations

import gc
import multiprocessing
import os
import queue
import time
from array import array
from dataclasses import dataclass, field

import harness
from harness import VALUE, VALUE2, distinct_keys, med, per_op, sample, timed_ns, timed_per_op_within
from peers import PEER_ORDER, Floor, Zorvik

OPS = ["insert", "replace", "get_hit", "get_miss", "remove"]
OP_LABELS = {"insert": "insert (new key)", "replace": "insert (replace)", "get_hit": "get hit",
             "get_miss": "get miss", "remove": "remove"}


@dataclass
class Plan:
    quick: bool
    repeats: int
    seed: int
    serializers: list
    peers: list
    # ops: entries in each store, and operations per timed run by peer speed
    table_entries: int
    run_ops: dict = field(default_factory=dict)
    # procs
    procs_entries: int = 0
    procs_ops: int = 0
    procs_counts: tuple = (1, 2, 4)
    # sizes
    sizes: tuple = ()
    sizes_ops: int = 0
    sizes_run_budget_s: float = 3.0
    # expansion
    expansion_entries: int = 0
    expansion_parallelism: tuple = (1, 2)
    expansion_repeats: int = 3
    # creation
    creation_configs: dict = field(default_factory=dict)
    # space
    space_entries: int = 0
    space_exponents: tuple = (3, 4, 5, 6, 7)
    # positions
    positions_entries: int = 0
    positions_ops: int = 0


def make_plan(quick: bool, repeats, seed, serializers, peers) -> Plan:
    plan = _sized_plan(quick, repeats, seed, serializers, peers)
    # Each expansion run fills a table of its own, the costliest setup of all.
    plan.expansion_repeats = min(plan.repeats, 3)
    return plan


def _sized_plan(quick: bool, repeats, seed, serializers, peers) -> Plan:
    creation = {"defaults": {}, "small table": {"bucket_chunk_size_exponent": 10}}
    if quick:
        return Plan(quick=True, repeats=repeats or 3, seed=seed, serializers=serializers, peers=peers,
                    table_entries=50_000, run_ops={"fast": 10_000, "medium": 4_000, "slow": 1_000},
                    procs_entries=50_000, procs_ops=20_000,
                    sizes=(1_000, 100_000), sizes_ops=20_000, sizes_run_budget_s=1.0,
                    expansion_entries=100_000, creation_configs=creation, space_entries=20_000,
                    positions_entries=16_384, positions_ops=2_000)
    return Plan(quick=False, repeats=repeats or 5, seed=seed, serializers=serializers, peers=peers,
                table_entries=1_000_000, run_ops={"fast": 100_000, "medium": 20_000, "slow": 4_000},
                procs_entries=1_000_000, procs_ops=200_000,
                sizes=(1_000, 100_000, 10_000_000), sizes_ops=100_000,
                expansion_entries=1_000_000, creation_configs=creation, space_entries=100_000,
                positions_entries=65_536, positions_ops=20_000)


def _medians(runs: dict) -> dict:
    return {name: med(values) for name, values in runs.items()}


class ResultMismatch(AssertionError):
    """A store returned something other than what was stored: its figures would mean nothing."""


def _check(peer, present, absent, expected):
    for key in present:
        got = peer.lookup(key)
        if got != expected:
            raise ResultMismatch(f"{peer.name}: key {key} holds {got!r}, expected {expected!r}")
    for key in absent:
        got = peer.lookup(key)
        if got is not None:
            raise ResultMismatch(f"{peer.name}: key {key} should be absent, holds {got!r}")


# ---- 1. one process, every operation ---------------------------------------------


def run_ops(plan: Plan, peerset, log) -> dict:
    names = [n for n in PEER_ORDER if n in peerset.available and n in plan.peers]
    out = {"table_entries": plan.table_entries, "repeats": plan.repeats, "serializers": {}}
    for serializer_name in plan.serializers:
        log(f"ops [{serializer_name}]: {plan.table_entries:,} entries in each of {', '.join(names)}")
        most = max(plan.run_ops.values())
        keys = distinct_keys(plan.table_entries + (plan.repeats + 1) * most, plan.seed)
        table = keys[:plan.table_entries]
        fresh = keys[plan.table_entries:plan.table_entries + plan.repeats * most]
        missing = keys[plan.table_entries + plan.repeats * most:]
        peers, per_peer = {}, {}
        try:
            for name in names:
                peer = peerset.make(name, serializer_name)
                peers[name] = peer
                preload_ns = timed_ns(peer.preload, table, VALUE)
                space = peer.space_bytes()
                per_peer[name] = {
                    "run_ops": plan.run_ops[peer.speed],
                    "preload_s": preload_ns / 1e9,
                    "space_bytes_per_entry": None if space is None else space / plan.table_entries,
                    "runs_ns": {op: [] for op in OPS},
                }
                log(f"  {name}: loaded in {preload_ns / 1e9:.1f} s")
            for round_index in range(plan.repeats):
                # Rotate the order so that no peer always runs first (or last) in a round.
                order = names[round_index % len(names):] + names[:round_index % len(names)]
                for name in order:
                    peer, runs = peers[name], per_peer[name]["runs_ns"]
                    count = per_peer[name]["run_ops"]
                    new = fresh[round_index * most:round_index * most + count]
                    existing = sample(table, count, plan.seed + 1000 + round_index)
                    miss = missing[:count]
                    runs["insert"].append(per_op(timed_ns(peer.insert, new, VALUE), count))
                    runs["replace"].append(per_op(timed_ns(peer.insert, existing, VALUE2), count))
                    runs["get_hit"].append(per_op(timed_ns(peer.get, existing), count))
                    runs["get_miss"].append(per_op(timed_ns(peer.get_miss, miss), count))
                    runs["remove"].append(per_op(timed_ns(peer.remove, new), count))
                    _check(peer, existing[:20], new[:20] + miss[:20], VALUE2)
                log(f"  round {round_index + 1}/{plan.repeats} done")
        finally:
            for peer in peers.values():
                peer.close()
            peers.clear()
            gc.collect()
        for name, data in per_peer.items():
            data["median_ns"] = _medians(data["runs_ns"])
        out["serializers"][serializer_name] = {"peers": per_peer}
    return out


# ---- 2. several processes on one dictionary ----------------------------------------


def _procs_keys(plan: Plan):
    """The table's keys and, after them, a pool of keys no process has inserted yet."""
    fresh = plan.repeats * sum(plan.procs_counts) * (plan.procs_ops // 10 + 1)
    keys = distinct_keys(plan.procs_entries + fresh, plan.seed + 7)
    return keys[:plan.procs_entries], keys[plan.procs_entries:]


def _is_write(i: int) -> bool:
    return i % 10 == 9


def _mixed_zorvik(path, keys, writes, serializer_name):
    from zorvik.brandel import brandel
    d = brandel(path, serializer=serializer_name)
    insert, get = d.insert, d.get

    def loop():
        for k, write in zip(keys, writes):
            if write:
                insert(k, VALUE)
            else:
                get(k)
    return loop, lambda: None


def _mixed_floor(path, keys, writes, serializer_name):
    """The same operations on a dict of the process's own: what the machine
    gives processes that share nothing, the reference for how far sharing
    one store can scale here."""
    dumps, loads = harness.serializer(serializer_name)
    d = {dumps(k): dumps(VALUE) for k, write in zip(keys, writes) if not write}

    def loop():
        for k, write in zip(keys, writes):
            if write:
                d[dumps(k)] = dumps(VALUE)
            else:
                loads(d[dumps(k)])
    return loop, d.clear


def _mixed_lmdb(path, keys, writes, serializer_name):
    import lmdb
    dumps, loads = harness.serializer(serializer_name)
    env = lmdb.open(path, map_size=16 << 30, sync=False, create=False)
    begin = env.begin

    def loop():
        for k, write in zip(keys, writes):
            if write:
                with begin(write=True) as txn:
                    txn.put(dumps(k), dumps(VALUE))
            else:
                with begin() as txn:
                    data = txn.get(dumps(k))
                if data is not None:
                    loads(data)
    return loop, env.close


def procs_worker(peer_name, path, keys_file, barrier, results):
    """One process of the mixed workload: every tenth operation inserts a new
    key, the others get a key of the table. Runs in a spawned process; its
    keys come in a file the parent wrote."""
    keys = _read_array(keys_file).tolist()
    writes = [_is_write(i) for i in range(len(keys))]
    opener = {"zorvik": _mixed_zorvik, "lmdb": _mixed_lmdb, "floor": _mixed_floor}[peer_name]
    loop, close = opener(path, keys, writes, "pickle")
    gc.disable()
    barrier.wait()
    start = time.perf_counter_ns()
    loop()
    end = time.perf_counter_ns()
    close()
    results.put((start, end))


def _write_procs_keys(plan, table, fresh, seed, scratch, index):
    """The keys of one worker, in a file: table keys to get, and every tenth a new key to insert."""
    gets = sample(table, plan.procs_ops, seed)
    new = iter(fresh)
    keys = array("q", (next(new) if _is_write(i) else key for i, key in enumerate(gets)))
    path = os.path.join(scratch.root, f"procs-keys-{index}")
    with open(path, "wb") as f:
        keys.tofile(f)
    return path, keys[9]


def run_procs(plan: Plan, peerset, scratch, log) -> dict:
    names = [n for n in ("floor", "zorvik", "lmdb") if n in peerset.available and n in plan.peers]
    out = {"entries": plan.procs_entries, "ops_per_process": plan.procs_ops, "serializer": "pickle",
           "repeats": plan.repeats, "peers": {}}
    if not names:
        return out
    context = multiprocessing.get_context("spawn")
    table, fresh = _procs_keys(plan)
    stores = {}
    try:
        for name in names:
            if name == "floor":
                continue  # each of its processes fills a dict of its own
            peer = peerset.make(name, "pickle")
            stores[name] = peer
            peer.preload(table, VALUE)
            log(f"procs: {name} loaded with {plan.procs_entries:,} entries")
        # The parent lets go of LMDB before the workers open it: an environment
        # must not be open twice in one process, nor used across fork.
        if "lmdb" in stores:
            stores["lmdb"].env.close()
        runs = {name: {str(n): [] for n in plan.procs_counts} for name in names}
        cursor = 0
        for round_index in range(plan.repeats):
            for count in plan.procs_counts:
                # Each store gets the same keys; the new ones are new to each.
                files, probes = [], []
                for w in range(count):
                    share = plan.procs_ops // 10 + 1
                    path, probe = _write_procs_keys(plan, table, fresh[cursor:cursor + share],
                                                    plan.seed + 1000 * round_index + 10 * count + w, scratch, w)
                    cursor += share
                    files.append(path)
                    probes.append(probe)
                for name in names:
                    path = stores[name].path if name in stores else None
                    runs[name][str(count)].append(_run_procs_once(context, name, path, plan, files))
                    if name in stores:
                        _check_procs_probe(name, path, probes)
                for path in files:
                    harness.remove_file(path)
            log(f"  round {round_index + 1}/{plan.repeats}: " + ", ".join(
                f"{name} " + "/".join(f"{runs[name][str(n)][-1] / 1e3:.0f}k" for n in plan.procs_counts)
                for name in names) + " ops/s")
        for name in names:
            out["peers"][name] = {"runs_ops_per_s": runs[name], "median_ops_per_s": _medians(runs[name])}
    finally:
        for name, peer in stores.items():
            if name == "lmdb":
                import shutil
                shutil.rmtree(peer.path, ignore_errors=True)
            else:
                peer.close()
    return out


def _run_procs_once(context, name, path, plan, files):
    count = len(files)
    barrier = context.Barrier(count)
    results = context.Queue()
    workers = [context.Process(target=procs_worker, args=(name, path, files[w], barrier, results))
               for w in range(count)]
    for worker in workers:
        worker.start()
    try:
        spans = []
        deadline = time.monotonic() + 900
        while len(spans) < count:
            try:
                spans.append(results.get(timeout=1))
            except queue.Empty:
                # A worker that died before the barrier leaves the others waiting there.
                failed = [w.exitcode for w in workers if w.exitcode not in (None, 0)]
                if failed or time.monotonic() > deadline:
                    raise RuntimeError(f"{name}: a worker process failed (exit codes {failed})") from None
    finally:
        for worker in workers:
            worker.join(timeout=60)
            if worker.is_alive():
                worker.terminate()
                worker.join()
    failed = [w.exitcode for w in workers if w.exitcode != 0]
    if failed:
        raise RuntimeError(f"{name}: a worker process failed (exit codes {failed})")
    wall = max(s[1] for s in spans) - min(s[0] for s in spans)
    return count * plan.procs_ops / (wall / 1e9)


def _check_procs_probe(name, path, probes):
    """Each worker's first inserted key must be there afterwards, with its value."""
    if name == "zorvik":
        from zorvik.brandel import brandel
        d = brandel(path)
        for inserted in probes:
            if d.get(inserted) != [True, VALUE]:
                raise ResultMismatch(f"zorvik: key {inserted} was not stored by its worker")
    else:
        import lmdb
        env = lmdb.open(path, map_size=16 << 30, sync=False, create=False)
        try:
            dumps, loads = harness.serializer("pickle")
            with env.begin() as txn:
                for inserted in probes:
                    data = txn.get(dumps(inserted))
                    if data is None or loads(data) != VALUE:
                        raise ResultMismatch(f"lmdb: key {inserted} was not stored by its worker")
        finally:
            env.close()


# ---- 3. size sweep -------------------------------------------------------------------


def run_sizes(plan: Plan, peerset, scratch, log) -> dict:
    out = {"serializer": "pickle", "ops_per_run": plan.sizes_ops, "repeats": plan.repeats, "sizes": {}}
    if "zorvik" not in peerset.available:
        return out
    dumps, loads = harness.serializer("pickle")
    value_bytes = dumps(VALUE2)

    def serializer_get(keys):
        for k in keys:
            dumps(k)
            loads(value_bytes)

    def serializer_insert(keys):
        for k in keys:
            dumps(k)
            dumps(VALUE2)

    for entries in plan.sizes:
        exponent = harness.bucket_exponent_for(entries)
        log(f"sizes: {entries:,} entries, 2^{exponent} buckets")
        keys = distinct_keys(entries + plan.sizes_ops, plan.seed + 11)
        table, missing = keys[:entries], keys[entries:]
        del keys
        zorvik = Zorvik("pickle", scratch, size=8 << 30, bucket_chunk_size_exponent=exponent)
        floor = Floor("pickle", scratch)
        runs = {f"{peer}_{op}": [] for peer in ("zorvik", "floor") for op in ("get_hit", "replace", "get_miss")}
        runs["serializer_get"], runs["serializer_insert"] = [], []
        try:
            fill_ns = timed_ns(zorvik.preload, table, VALUE)
            floor.preload(table, VALUE)
            # The fill leaves the segment's pages dirty: gigabytes at the
            # largest size, and past the kernel's dirty limit the writes that
            # follow are throttled until the backlog reaches the disk. Write it
            # back first, so that the timed runs measure the operations, not
            # the writeback of the fill (which the log and results.json show).
            writeback_ns = timed_ns(os.sync)
            log(f"  filled in {fill_ns / 1e9:.1f} s; the fill's writeback took {writeback_ns / 1e9:.1f} s")
            count, budget = plan.sizes_ops, plan.sizes_run_budget_s
            for round_index in range(plan.repeats):
                hits = sample(table, count, plan.seed + 2000 + round_index)
                for name, peer in (("zorvik", zorvik), ("floor", floor)):
                    runs[f"{name}_get_hit"].append(timed_per_op_within(peer.get, hits, budget))
                    runs[f"{name}_replace"].append(
                        timed_per_op_within(lambda part: peer.insert(part, VALUE2), hits, budget))
                    runs[f"{name}_get_miss"].append(timed_per_op_within(peer.get_miss, missing, budget))
                runs["serializer_get"].append(timed_per_op_within(serializer_get, hits, budget))
                runs["serializer_insert"].append(timed_per_op_within(serializer_insert, hits, budget))
                _check(zorvik, hits[:20], missing[:20], VALUE2)
            used = zorvik.space_bytes()
        finally:
            zorvik.close()
            floor.close()
            del table, missing
            gc.collect()
        out["sizes"][str(entries)] = {
            "bucket_chunk_size_exponent": exponent,
            "entries_per_bucket": entries / (1 << exponent),
            "fill_s": fill_ns / 1e9,
            "writeback_s": writeback_ns / 1e9,
            "segment_bytes_used": used,
            "runs_ns": runs,
            "median_ns": _medians(runs),
        }
        m = out["sizes"][str(entries)]["median_ns"]
        log(f"  zorvik get {m['zorvik_get_hit']:.0f} ns, replace {m['zorvik_replace']:.0f} ns; "
            f"serializer alone {m['serializer_get']:.0f} / {m['serializer_insert']:.0f} ns")
    return out


# ---- 4. expansion ----------------------------------------------------------------------


def _expansion_keys(plan: Plan):
    cap = max(plan.expansion_entries // 2, 10_000)
    keys = distinct_keys(plan.expansion_entries + cap, plan.seed + 13)
    return keys[:plan.expansion_entries], keys[plan.expansion_entries:]


def expansion_inserter(path, plan, ready, stop, out_prefix):
    """Inserts new keys as fast as it can until told to stop, recording when
    each insert started and how long it took. Runs in a spawned process."""
    from zorvik.brandel import brandel
    _, fresh = _expansion_keys(plan)
    d = brandel(path)
    insert, clock = d.insert, time.perf_counter_ns
    starts, latencies = array("q"), array("q")
    gc.disable()
    ready.set()
    i = 0
    cap = len(fresh)
    while True:
        # After `cap` new keys it goes on replacing them, so the table cannot
        # reach the load at which inserts start an expansion of their own.
        key = fresh[i % cap]
        t0 = clock()
        insert(key, VALUE)
        t1 = clock()
        starts.append(t0)
        latencies.append(t1 - t0)
        i += 1
        if i % 64 == 0 and stop.is_set():
            break
    with open(out_prefix + ".starts", "wb") as f:
        starts.tofile(f)
    with open(out_prefix + ".latencies", "wb") as f:
        latencies.tofile(f)


def _read_array(path):
    values = array("q")
    with open(path, "rb") as f:
        values.frombytes(f.read())
    return values


def _latency_summary(values):
    if not values:
        return {"count": 0, "median_ns": None, "p99_ns": None, "max_ns": None}
    return {"count": len(values), "median_ns": harness.percentile(values, 50),
            "p99_ns": harness.percentile(values, 99), "max_ns": max(values)}


def _pool_overhead(parallelism) -> float:
    """Starting and stopping a pool, as expansion() does, with no work in it."""
    start = time.perf_counter_ns()
    pool = multiprocessing.Pool(parallelism)
    pool.close()
    pool.join()
    return (time.perf_counter_ns() - start) / 1e9


def run_expansion(plan: Plan, peerset, scratch, log) -> dict:
    exponent = harness.bucket_exponent_for(2 * plan.expansion_entries)
    out = {"entries": plan.expansion_entries, "bucket_chunk_size_exponent": exponent,
           "repeats": plan.expansion_repeats,
           "parallelism": {}}
    if "zorvik" not in peerset.available:
        return out
    context = multiprocessing.get_context("spawn")
    table, fresh = _expansion_keys(plan)
    for parallelism in plan.expansion_parallelism:
        seconds, pool_seconds, rounds = [], [], []
        for round_index in range(plan.expansion_repeats):
            zorvik = Zorvik("pickle", scratch, bucket_chunk_size_exponent=exponent)
            prefix = os.path.join(scratch.root, f"inserter-{parallelism}-{round_index}")
            try:
                zorvik.preload(table, VALUE)
                chunks_before = harness.segment_chunks_in_use(zorvik.path)
                ready, stop = context.Event(), context.Event()
                inserter = context.Process(target=expansion_inserter,
                                           args=(zorvik.path, plan, ready, stop, prefix))
                inserter.start()
                try:
                    if not ready.wait(timeout=300):
                        raise RuntimeError("the inserting process did not start")
                    time.sleep(0.3)  # a window of inserts before the expansion, for comparison
                    begin = time.perf_counter_ns()
                    zorvik.d.expansion(parallelism)
                    end = time.perf_counter_ns()
                    time.sleep(0.2)
                finally:
                    stop.set()
                    inserter.join(timeout=120)
                    if inserter.is_alive():
                        inserter.terminate()
                        inserter.join()
                if inserter.exitcode != 0:
                    raise RuntimeError(f"the inserting process failed (exit code {inserter.exitcode})")
                chunks_after = harness.segment_chunks_in_use(zorvik.path)
                if chunks_after < 2 * chunks_before:
                    raise ResultMismatch(f"expansion({parallelism}) left {chunks_after} bucket chunks "
                                         f"(was {chunks_before})")
                starts = _read_array(prefix + ".starts")
                latencies = _read_array(prefix + ".latencies")
                inserted = min(len(starts), len(fresh))
                _check(zorvik, table[:50] + fresh[:inserted:max(1, inserted // 200)], [], VALUE)
                before = [lat for s, lat in zip(starts, latencies) if s < begin]
                during = [lat for s, lat in zip(starts, latencies) if begin <= s < end]
                rounds.append({"seconds": (end - begin) / 1e9, "chunks_before": chunks_before,
                               "chunks_after": chunks_after, "inserts": len(starts),
                               "before": _latency_summary(before), "during": _latency_summary(during)})
                seconds.append((end - begin) / 1e9)
            finally:
                zorvik.close()
                for suffix in (".starts", ".latencies"):
                    harness.remove_file(prefix + suffix)
            pool_seconds.append(_pool_overhead(parallelism))
            log(f"expansion({parallelism}) of {plan.expansion_entries:,} entries: {seconds[-1]:.2f} s; "
                f"inserts meanwhile: median {rounds[-1]['during']['median_ns'] or 0:.0f} ns, "
                f"p99 {rounds[-1]['during']['p99_ns'] or 0:.0f} ns, worst {rounds[-1]['during']['max_ns'] or 0:.0f} ns")
        out["parallelism"][str(parallelism)] = {
            "runs": rounds,
            "median_seconds": med(seconds),
            "median_pool_seconds": med(pool_seconds),
            "during": {k: med([r["during"][k] for r in rounds if r["during"][k] is not None])
                       for k in ("median_ns", "p99_ns", "max_ns")},
            "before": {k: med([r["before"][k] for r in rounds if r["before"][k] is not None])
                       for k in ("median_ns", "p99_ns", "max_ns")},
        }
    return out


# ---- 5. creation -------------------------------------------------------------------------


def creation_probe(options, results):
    """Creates one dictionary in a fresh process and reports its cost. Runs in a spawned process."""
    from zorvik.brandel import brandel
    gc.collect()
    before = harness.process_memory()
    start = time.perf_counter_ns()
    d = brandel(**options)
    elapsed = time.perf_counter_ns() - start
    after = harness.process_memory()
    status = os.stat(d.name)
    report = {
        "seconds": elapsed / 1e9,
        "rss_bytes": after["VmRSS"] - before["VmRSS"],
        "rss_file_bytes": after.get("RssFile", 0) + after.get("RssShmem", 0)
        - before.get("RssFile", 0) - before.get("RssShmem", 0),
        "rss_anon_bytes": after.get("RssAnon", 0) - before.get("RssAnon", 0),
        "file_length": status.st_size,
        "file_allocated": status.st_blocks * 512,
        "segment_bytes_used": harness.segment_used_bytes(d.name),
    }
    name = d.name
    del d
    harness.remove_file(name)
    results.put(report)


def run_creation(plan: Plan, peerset, scratch, log) -> dict:
    out = {"repeats": plan.repeats, "configs": {}}
    if "zorvik" not in peerset.available:
        return out
    context = multiprocessing.get_context("spawn")
    for label, options in plan.creation_configs.items():
        reports = []
        for _ in range(plan.repeats):
            results = context.Queue()
            probe = context.Process(target=creation_probe, args=(options, results))
            probe.start()
            reports.append(results.get(timeout=300))
            probe.join()
        summary = {key: med([r[key] for r in reports]) for key in reports[0]}
        out["configs"][label] = {"options": options, "runs": reports, "median": summary}
        log(f"creation [{label}]: {summary['seconds'] * 1e3:.0f} ms, resident +{summary['rss_bytes'] / 2**20:.0f} MiB")
    return out


# ---- 6. space ------------------------------------------------------------------------------


def run_space(plan: Plan, peerset, scratch, log) -> dict:
    out = {"entries": plan.space_entries, "serializers": {}}
    if "zorvik" not in peerset.available:
        return out
    keys = distinct_keys(plan.space_entries, plan.seed + 17)
    exponent = harness.bucket_exponent_for(plan.space_entries)
    for serializer_name in plan.serializers:
        dumps, _ = harness.serializer(serializer_name)
        payload = sum(len(dumps(k)) for k in keys) / len(keys) + len(dumps(VALUE))
        rows = {}
        for chunk_exponent in plan.space_exponents:
            zorvik = Zorvik(serializer_name, scratch, size=1 << 30, bucket_chunk_size_exponent=exponent,
                            chunk_size_exponent=chunk_exponent)
            try:
                empty = zorvik.space_bytes()
                zorvik.preload(keys, VALUE)
                full = zorvik.space_bytes()
            finally:
                zorvik.close()
            rows[str(chunk_exponent)] = {
                "data_chunk_size": 1 << chunk_exponent,
                "empty_bytes": empty,
                "bytes_per_entry": full / len(keys),
                "added_bytes_per_entry": (full - empty) / len(keys),
                "overhead_factor": full / len(keys) / payload,
            }
        out["serializers"][serializer_name] = {"payload_bytes_per_entry": payload,
                                               "bucket_chunk_size_exponent": exponent, "chunk_size_exponent": rows}
        default = rows.get("5")
        if default:
            log(f"space [{serializer_name}]: {default['bytes_per_entry']:.0f} bytes per entry "
                f"for {payload:.0f} bytes of key and value (chunk size 32)")
    return out


# ---- 7. bucket positions ------------------------------------------------------------


def run_positions(plan: Plan, peerset, scratch, log) -> dict:
    """Get hits grouped by the bucket's index modulo 8. Buckets are 56 bytes
    long, so the place of a bucket's lock word within its cache line cycles
    with period 8; a lock operation that straddled two lines would make one of
    the eight groups pay a bus lock on every get. The built-in hash of an int
    is the int, and the table has a power-of-two number of buckets, so key k
    lies in a bucket whose index is k modulo 8 as well."""
    out = {"serializer": "pickle", "entries": plan.positions_entries, "ops_per_run": plan.positions_ops,
           "repeats": plan.repeats, "positions": {}}
    if "zorvik" not in peerset.available:
        return out
    exponent = harness.bucket_exponent_for(plan.positions_entries)
    log(f"positions: {plan.positions_entries:,} entries, 2^{exponent} buckets")
    table = distinct_keys(plan.positions_entries, plan.seed + 21)
    by_position = {p: [k for k in table if k % 8 == p] for p in range(8)}
    zorvik = Zorvik("pickle", scratch, size=1 << 30, bucket_chunk_size_exponent=exponent)
    runs = {str(p): [] for p in range(8)}
    try:
        zorvik.preload(table, VALUE)
        for round_index in range(plan.repeats):
            # Every position in every round, in a rotated order, so that drift
            # over the run spreads evenly over the positions.
            for step in range(8):
                p = (step + round_index) % 8
                keys = sample(by_position[p], plan.positions_ops, plan.seed + 3000 + 8 * round_index + p)
                runs[str(p)].append(per_op(timed_ns(zorvik.get, keys), len(keys)))
        _check(zorvik, table[:20], [], VALUE)
    finally:
        zorvik.close()
    medians = _medians(runs)
    out["positions"] = {p: {"runs_ns": runs[p], "median_ns": medians[p]} for p in runs}
    out["slowest_over_median"] = max(medians.values()) / med(list(medians.values()))
    log("  get by position (ns): " + " ".join(f"{medians[p]:.0f}" for p in runs))
    return out

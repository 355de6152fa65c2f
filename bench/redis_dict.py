"""RedisDict beside redis-py itself, on the same server and the same bytes,
in one run:

1. get and set: d[k] and d[k] = v against raw HGET and HSET of the same
   stored bytes on the same shard (serialized ahead, so the raw line pays no
   pickle), and against raw calls that pickle in the loop as a user of
   redis-py would; the ratios are RedisDict / raw;
2. get_many and set_many of 64 keys a call against one call a key, per key,
   beside the pickling that every key of a batch costs whatever the store
   (dumps of the key, and loads or dumps of the value);
3. with --increments: 4 processes x 2 threads x 10,000 increments on 10
   keys, counted; with --restart, the same run on a server with persistence
   (every write on the disk before its reply) stopped and started again half
   way: every increment that returned must be counted, and the count may
   exceed them only by increments that raised.

    python bench/redis_dict.py                          # standalone (Unix socket) and a Cluster, ~1 minute
    python bench/redis_dict.py --ops 5000 --repeats 3 --no-cluster
    python bench/redis_dict.py --increments --restart

The servers are redis-server processes of the run's own (a standalone one
on a Unix socket, a Cluster of three nodes on loopback ports), started by
tests/python/redis_servers.py in a private directory under $TMPDIR (else
/tmp) and stopped, by pid, at the end; or --url names one you run. Keys are
"key:<n>" strings, values the ~100-byte dict of harness.py, under pickle.
Each pass over the keys is cut into pieces of 250 keys (or 250 batches),
RedisDict's and redis-py's pieces taking turns so that the machine's drift
hits both alike; a figure is the median over every piece of --repeats
passes, timed with the garbage collector off. Needs the standard library
and redis-py.
"""
from __future__ import annotations

import argparse
import multiprocessing
import pickle
import shutil
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path
from types import SimpleNamespace

import redis
import redis.cluster
from harness import VALUE, timed_ns

import zorvik

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))
import redis_servers  # noqa: E402

BATCH = 64


# ---- one pass of each operation -----------------------------------------------------------------


def ours_get(d, keys, _located):
    for key in keys:
        d[key]


def raw_get(raw, _keys, located):
    hget = raw.client.hget
    for shard, field, _ in located:
        hget(shard, field)


def raw_get_pickling(raw, keys, _located):
    client, locate = raw.client, raw.locate
    for key in keys:
        shard, field = locate(key)  # the shard and pickle.dumps(key): what a raw user computes too
        pickle.loads(client.hget(shard, field))


def ours_set(d, keys, _located):
    for key in keys:
        d[key] = VALUE


def raw_set(raw, _keys, located):
    hset = raw.client.hset
    for shard, field, value in located:
        hset(shard, field, value)


def raw_set_pickling(raw, keys, _located):
    client, locate = raw.client, raw.locate
    for key in keys:
        shard, field = locate(key)
        client.hset(shard, field, pickle.dumps(VALUE, 5))


def single_gets(d, batches):
    get = d.get
    for batch in batches:
        for key in batch:
            get(key)


def many_gets(d, batches):
    for batch in batches:
        d.get_many(batch)


def single_sets(d, batches):
    for batch in batches:
        for key in batch:
            d[key] = VALUE


def many_sets(d, batches):
    for batch in batches:
        d.set_many([(key, VALUE) for key in batch])


# Keys a timed piece of a pass covers (whole batches: 3 of 64): the variants take turns
# piece by piece, so that the machine's drift (other programs on its two
# cores) hits each alike within a few milliseconds.
PIECE = 250


def raw_many_gets(raw, batches):
    """HMGET of a batch's keys on the one shard, pickling as get_many does."""
    client, shard, dumps, loads = raw.client, raw.shard, pickle.dumps, pickle.loads
    for batch in batches:
        [loads(data) for data in client.hmget(shard, [dumps(key, 5) for key in batch])]


def raw_many_gets_bytes(raw, _batches, fields):
    """HMGET of a batch's stored key bytes, made ahead: redis-py's own cost
    of a batch, with no pickling at all."""
    hmget, shard = raw.client.hmget, raw.shard
    for batch in fields:
        hmget(shard, batch)


def raw_many_sets_bytes(raw, _batches, pairs):
    """HSET of a batch's stored key and value bytes, made ahead."""
    execute, shard = raw.client.execute_command, raw.shard
    for batch in pairs:
        execute("HSET", shard, *batch)


def raw_single_gets_bytes(raw, _batches, fields):
    hget, shard = raw.client.hget, raw.shard
    for batch in fields:
        for field in batch:
            hget(shard, field)


def serializer_get(_d, batches, stored):
    dumps, loads = pickle.dumps, pickle.loads
    for batch, value in zip(batches, stored):
        for key in batch:
            dumps(key, 5)
            loads(value)


def serializer_set(_d, batches):
    dumps = pickle.dumps
    for batch in batches:
        for key in batch:
            dumps(key, 5)
            dumps(VALUE, 5)


def interleaved(repeats, passes):
    """{name: median ns per key} of passes = [(name, function, d, items, *rest)]:
    each pass over `items` is cut into pieces, and the variants run piece by
    piece in turn, `repeats` times; a figure is the median over all pieces."""
    times = {name: [] for name, *_ in passes}
    batches = isinstance(passes[0][3][0], list)
    step = max(1, PIECE // BATCH) if batches else PIECE
    for _ in range(repeats):
        for start in range(0, len(passes[0][3]), step):
            for name, function, d, items, *rest in passes:
                piece = items[start:start + step]
                keys = sum(map(len, piece)) if batches else len(piece)
                times[name].append(timed_ns(function, d, piece, *[r[start:start + step] for r in rest]) / keys)
    return {name: statistics.median(values) for name, values in times.items()}


def stock_client(url):
    """redis-py's client for url as a user makes it, with none of
    RedisDict's settings."""
    if url.startswith(("redis+cluster://", "rediss+cluster://")):
        return redis.cluster.RedisCluster.from_url(url.replace("+cluster", "", 1))
    return redis.Redis.from_url(url)


def measure(where, url, ops, repeats):
    d = zorvik.open(url, name=f"bench-{time.monotonic_ns()}")
    raw = SimpleNamespace(client=stock_client(url), locate=d._locate, shard=d._shard_keys[0])
    try:
        keys = [f"key:{n}" for n in range(ops)]
        d.set_many((key, VALUE) for key in keys)
        located = [(*d._locate(key), pickle.dumps(VALUE, 5)) for key in keys]
        one = interleaved(repeats, [
            ("get", ours_get, d, keys, located), ("HGET", raw_get, raw, keys, located),
            ("HGET+pickle", raw_get_pickling, raw, keys, located),
            ("set", ours_set, d, keys, located), ("HSET", raw_set, raw, keys, located),
            ("HSET+pickle", raw_set_pickling, raw, keys, located),
        ])
        batches = [keys[i:i + BATCH] for i in range(0, ops - ops % BATCH, BATCH)]
        fields = [[field for _, field, _ in located[i:i + BATCH]] for i in range(0, len(batches) * BATCH, BATCH)]
        pairs = [[data for _, field, value in located[i:i + BATCH] for data in (field, value)]
                 for i in range(0, len(batches) * BATCH, BATCH)]
        many = interleaved(repeats, [
            ("get x64", single_gets, d, batches), ("get_many(64)", many_gets, d, batches),
            ("set x64", single_sets, d, batches), ("set_many(64)", many_sets, d, batches),
            ("pickle get", serializer_get, d, batches, [pickle.dumps(VALUE, 5)] * len(batches)),
            ("pickle set", serializer_set, d, batches),
            *([("HMGET(64)+pickle", raw_many_gets, raw, batches),
               ("HGET x64 bytes", raw_single_gets_bytes, raw, batches, fields),
               ("HMGET(64) bytes", raw_many_gets_bytes, raw, batches, fields),
               ("HSET(64) bytes", raw_many_sets_bytes, raw, batches, pairs)] if d.shards == 1 else []),
        ])
    finally:
        d.unlink()
        d.close()
        raw.client.close()
    print(f"\n{where}: {d.shards} shard{'s' if d.shards > 1 else ''}, {ops:,} keys, {repeats} passes, "
          f"median over pieces of {PIECE} (µs per key)")
    for ours, raw in (("get", "HGET"), ("set", "HSET")):
        print(f"  {ours:<14} {one[ours] / 1000:8.2f}   raw {raw} {one[raw] / 1000:8.2f}  ratio "
              f"{one[ours] / one[raw]:.3f}   raw {raw}+pickle {one[raw + '+pickle'] / 1000:8.2f}  ratio "
              f"{one[ours] / one[raw + '+pickle']:.3f}")
    for single, batch, serializer in (("get x64", "get_many(64)", "pickle get"),
                                      ("set x64", "set_many(64)", "pickle set")):
        print(f"  {batch:<14} {many[batch] / 1000:8.2f}   one call a key {many[single] / 1000:8.2f}  "
              f"{many[single] / many[batch]:.1f}x faster per key; pickle's share {many[serializer] / 1000:.2f}")
    if "HMGET(64)+pickle" in many:
        print(f"  {'':<14} raw HMGET of 64 + pickle {many['HMGET(64)+pickle'] / 1000:.2f}  ratio "
              f"{many['get_many(64)'] / many['HMGET(64)+pickle']:.3f}")
        # What redis-py alone does with bytes made ahead: the floor of a batch
        # before any pickling, against the round trip of one call a key.
        single = many["HGET x64 bytes"]
        print(f"  redis-py alone, bytes made ahead: HMGET of 64 {many['HMGET(64) bytes'] / 1000:.2f}, HSET of 64 "
              f"{many['HSET(64) bytes'] / 1000:.2f}, one HGET a key {single / 1000:.2f}: "
              f"{single / many['HMGET(64) bytes']:.1f}x and {single / many['HSET(64) bytes']:.1f}x")


# ---- increments ---------------------------------------------------------------------------------


def increment_worker(url, name, threads, increments, keys, results):
    d = zorvik.open(url, name=name)  # the default timeout and retries
    counts = [[0, 0] for _ in range(threads)]

    def work(count):
        for n in range(increments):
            try:
                d.increment(f"key{n % keys}")
                count[0] += 1
            except (ConnectionError, TimeoutError):
                count[1] += 1

    workers = [threading.Thread(target=work, args=(c,)) for c in counts]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    results.put((sum(c[0] for c in counts), sum(c[1] for c in counts)))


def increments(where, url, restart=None):
    """4 processes x 2 threads x 10,000 increments on 10 keys; `restart` (a
    server with persistence) is stopped and started again half way."""
    context = multiprocessing.get_context("fork")
    name = f"bench-count-{time.monotonic_ns()}"
    results = context.SimpleQueue()
    processes = [context.Process(target=increment_worker, args=(url, name, 2, 10_000, 10, results))
                 for _ in range(4)]
    start = time.perf_counter()
    for process in processes:
        process.start()
    stopped_for = None
    if restart is not None:
        d = zorvik.open(url, name=name)
        while sum(d.get_many([f"key{k}" for k in range(10)], 0)) < 40_000:
            time.sleep(0.01)
        d.close()
        stop = time.perf_counter()
        restart.stop()
        time.sleep(0.5)  # the workers meet a server that is gone
        restart.start()
        stopped_for = time.perf_counter() - stop
    outcomes = [results.get() for _ in processes]
    for process in processes:
        process.join()
    elapsed = time.perf_counter() - start
    returned, failed = sum(o[0] for o in outcomes), sum(o[1] for o in outcomes)
    d = zorvik.open(url, name=name)
    counts = d.get_many([f"key{k}" for k in range(10)], 0)
    d.unlink()
    d.close()
    total = sum(counts)
    print(f"\n{where}: 4 processes x 2 threads x 10,000 increments on 10 keys in {elapsed:.1f} s "
          f"({80_000 / elapsed:,.0f} a second)")
    if stopped_for is None:
        print(f"  counts {sorted(set(counts))}: {'exactly 8,000 on each key' if counts == [8000] * 10 else 'WRONG'}")
        return counts == [8000] * 10
    sound = returned <= total <= returned + failed
    print(f"  stopped and started again half way (out {stopped_for:.2f} s): {returned:,} increments returned, "
          f"{failed:,} raised; counted {total:,}: "
          + ("every one that returned is there" if sound else "WRONG: returned ones are missing, or extra"))
    return sound


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ops", type=int, default=20_000, help="keys per timed pass (default 20,000)")
    parser.add_argument("--repeats", type=int, default=3, help="passes over the keys (default 3)")
    parser.add_argument("--url", help="a server of yours instead of the run's own (redis://, unix://, "
                                      "redis+cluster://): its dictionaries are named bench-*, removed at the end")
    parser.add_argument("--no-cluster", action="store_true", help="the standalone server only")
    parser.add_argument("--increments", action="store_true", help="the 4 x 2 x 10,000 increments too")
    parser.add_argument("--restart", action="store_true", help="and that run again through a restart of its server")
    arguments = parser.parse_args(argv)
    if arguments.url is None and redis_servers.programs() is None:
        print("redis-server and redis-cli are not installed (scripts/dev.py installs them), and no --url given",
              file=sys.stderr)
        return 1
    scratch = Path(tempfile.mkdtemp(prefix="zorvik-bench-redis-"))
    servers = []
    sound = True
    try:
        targets = [("--url", arguments.url)] if arguments.url else []
        if not arguments.url:
            servers.append(redis_servers.standalone(scratch / "standalone"))
            targets.append(("standalone, Unix socket", servers[-1].url))
            if not arguments.no_cluster:
                servers.append(redis_servers.Cluster(scratch / "cluster").start())
                targets.append(("Cluster of 3, loopback TCP", servers[-1].url))
        for where, url in targets:
            measure(where, url, arguments.ops, arguments.repeats)
        if arguments.increments or arguments.restart:
            for where, url in targets:
                sound &= increments(where, url)
        if arguments.restart and not arguments.url:
            durable = redis_servers.standalone(scratch / "durable", persistence=True)
            servers.append(durable)
            sound &= increments("standalone with persistence", durable.url, restart=durable)
    finally:
        for server in servers:
            server.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    return 0 if sound else 1


if __name__ == "__main__":
    sys.exit(main())

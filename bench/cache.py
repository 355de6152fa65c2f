"""Cache mode against the caches users compare it with, in one run:

1. hit ratio on a Zipf(0.99) trace (--keys distinct keys, --requests
   requests, a fixed seed) of a cache of --capacity entries: SharedDict in
   each eviction policy this build has, an exact LRU (an OrderedDict),
   cachetools' LRUCache and LFUCache, Redis (allkeys-lru, maxmemory set to
   what --capacity entries take) and diskcache (least-recently-used, its size
   limit set to what --capacity entries take; on the trace's first
   --diskcache-requests only, beside an exact LRU on those, since each of its
   hits is a write transaction);
2. the bound under load: 4 writer processes store distinct keys into
   max_entries=--capacity, 12 times the bound in all, while this process
   samples len() and the file's space;
3. the cost of one operation: a hit on a cache against a get on a plain
   SharedDict, a store that evicts against a plain store of a new key, and
   diskcache's and Redis's get and set (of the same pickled keys and values)
   beside them, every figure the median of --repeats interleaved runs.

    python bench/cache.py                         # 5 to 10 minutes on 2 cores
    python bench/cache.py --requests 200000       # a shorter trace
    python bench/cache.py --parts bounds,cost --peers zorvik,lru

Needs numpy; cachetools, diskcache and redis-py (the bench extra) and
redis-server for those peers, each left out with the reason when missing.
The files go to a private directory under $TMPDIR (else /tmp), removed at
the end; the Redis server is started on loopback and stopped by its pid.
"""
from __future__ import annotations

import argparse
import collections
import multiprocessing
import os
import pickle
import random
import sys
import time

from harness import VALUE, Scratch, distinct_keys, med, timed_ns
from zorvik import SharedDict

POLICIES = ["lru", "lfu", "random", "ttl"]
PEERS = ["zorvik", "lru", "cachetools", "diskcache", "redis"]
WRITERS = 4
# The ttl policy evicts the entry nearest its deadline; every entry gets
# this one, far beyond the run, so the policy has deadlines to compare.
TTL_POLICY_DEFAULT = 3600.0


# ---- the trace ---------------------------------------------------------------------------


def zipf_trace(keys: list[int], requests: int, alpha: float, seed: int) -> list[int]:
    """`requests` draws from `keys`, the i-th most popular with a weight of
    1 / i**alpha (numpy's own zipf needs alpha > 1 and has no upper end)."""
    import numpy as np

    weights = 1.0 / np.arange(1, len(keys) + 1, dtype=np.float64) ** alpha
    weights /= weights.sum()
    ranks = np.random.default_rng(seed).choice(len(keys), size=requests, p=weights)
    return [keys[rank] for rank in ranks.tolist()]


# ---- 1. hit ratio: one function per cache, each returning (hits, entries at the end) ---------


def exact_lru(trace, capacity):
    cache = collections.OrderedDict()
    hits = 0
    for key in trace:
        if key in cache:
            cache.move_to_end(key)
            hits += 1
        else:
            cache[key] = VALUE
            if len(cache) > capacity:
                cache.popitem(last=False)
    return hits, len(cache)


def mapping_cache(cache, trace):
    """A cache with get and item assignment that evicts by itself."""
    get = cache.get
    hits = 0
    for key in trace:
        if get(key) is None:
            cache[key] = VALUE
        else:
            hits += 1
    return hits, len(cache)


def zorvik_cache(scratch, policy, capacity):
    options = dict(max_entries=capacity, eviction=policy)
    if policy == "ttl":
        options["default_ttl"] = TTL_POLICY_DEFAULT
    return SharedDict(os.path.join(scratch.directory("zorvik-"), "cache"), **options)


def zorvik_hits(scratch, policy, trace, capacity):
    with zorvik_cache(scratch, policy, capacity) as cache:
        return mapping_cache(cache, trace)


def cachetools_hits(kind, trace, capacity):
    import cachetools

    return mapping_cache(getattr(cachetools, kind)(maxsize=capacity), trace)


def diskcache_for(scratch, capacity):
    """A diskcache.Cache evicting least-recently-used, its size limit what
    `capacity` entries of these keys and values take (measured on a cache of
    its own)."""
    import diskcache

    dumps = pickle.dumps
    with diskcache.Cache(scratch.directory("diskcache-size-"), eviction_policy="none") as probe:
        for n in range(capacity):
            probe.set(dumps(-1 - n), dumps(VALUE))
        limit = probe.volume()
    return diskcache.Cache(scratch.directory("diskcache-"), size_limit=limit, eviction_policy="least-recently-used")


def diskcache_hits(scratch, trace, capacity):
    dumps = pickle.dumps
    value = dumps(VALUE)
    with diskcache_for(scratch, capacity) as cache:
        get, put = cache.get, cache.set
        hits = 0
        for key in trace:
            if get(dumps(key)) is None:
                put(dumps(key), value)
            else:
                hits += 1
        return hits, len(cache)


class RedisCache:
    """The bench's private redis-server as an allkeys-lru cache whose
    maxmemory holds about `capacity` of these entries."""

    def __init__(self, scratch, capacity):
        import redis

        from peers import RedisServer

        self.server = RedisServer(scratch)
        self.client = redis.Redis(host="127.0.0.1", port=self.server.port)
        self.client.config_set("maxmemory-policy", "allkeys-lru")
        self.client.config_set("maxmemory", 0)
        value = pickle.dumps(VALUE)
        pipe = self.client.pipeline(transaction=False)
        for n in range(capacity):
            pipe.set(pickle.dumps(-1 - n), value)
        pipe.execute()
        # maxmemory is compared with the whole of used_memory, the server's
        # own share included.
        self.client.config_set("maxmemory", self.client.info("memory")["used_memory"])
        self.client.flushall()

    def version(self):
        return self.server.version()

    def close(self):
        self.client.close()
        self.server.stop()


def redis_hits(redis_cache, trace):
    """Each request one SET NX GET (Redis 7): the stored value on a hit, which
    then counts as used, or a store on a miss; sent in pipelines of a
    thousand, since no request depends on the reply to another."""
    dumps = pickle.dumps
    value = dumps(VALUE)
    client = redis_cache.client
    client.flushall()
    hits = 0
    for start in range(0, len(trace), 1000):
        pipe = client.pipeline(transaction=False)
        for key in trace[start:start + 1000]:
            pipe.set(dumps(key), value, nx=True, get=True)
        hits += sum(reply is not None for reply in pipe.execute())
    return hits, client.dbsize()


def hit_ratios(args, scratch, redis_cache):
    keys = distinct_keys(args.keys, args.seed)
    trace = zipf_trace(keys, args.requests, 0.99, args.seed + 1)
    print(f"\n1. Hit ratio: Zipf(0.99) over {args.keys:,} keys, {args.requests:,} requests (seed {args.seed}), "
          f"a cache of {args.capacity:,} entries")
    # diskcache writes the access time of every hit (a transaction each):
    # it runs the start of the trace only, beside an exact LRU on that start.
    short = trace[:args.diskcache_requests] if args.diskcache_requests else trace
    runs = [("exact LRU (OrderedDict)", "lru", lambda: exact_lru(trace, args.capacity))]
    for policy in POLICIES:
        runs.append((f"zorvik {policy}", "zorvik", lambda policy=policy: zorvik_hits(scratch, policy, trace,
                                                                                    args.capacity)))
    for kind in ("LRUCache", "LFUCache"):
        runs.append((f"cachetools {kind}", "cachetools", lambda kind=kind: cachetools_hits(kind, trace,
                                                                                          args.capacity)))
    runs.append(("Redis (allkeys-lru)", "redis", lambda: redis_hits(redis_cache, trace)))
    if len(short) < len(trace):
        runs.append((f"exact LRU, first {len(short):,} requests", "diskcache",
                     lambda: exact_lru(short, args.capacity)))
    runs.append(("diskcache (least-recently-used)" + (", same" if len(short) < len(trace) else ""), "diskcache",
                 lambda: diskcache_hits(scratch, short, args.capacity)))
    exact = None
    print(f"   {'cache':38} {'hit ratio':>9} {'vs exact LRU':>12} {'entries at end':>15} {'seconds':>8}")
    for label, peer, run in runs:
        if peer not in args.peers:
            continue
        if peer == "redis" and redis_cache is None:
            print(f"   {label:38} {'skipped: ' + REDIS_MISSING[0]}")
            continue
        began = time.perf_counter()
        try:
            hits, entries = run()
        except NotImplementedError:
            print(f"   {label:38} {'not built':>9}")
            continue
        except ImportError as error:
            print(f"   {label:38} skipped: {error}")
            continue
        seconds = time.perf_counter() - began
        ratio = hits / (len(short) if peer == "diskcache" else len(trace))
        if label.startswith("exact"):
            exact = ratio
        versus = f"{(ratio - exact) * 100:+.2f} pp" if exact is not None else "-"
        print(f"   {label:38} {ratio * 100:8.2f}% {versus:>12} {entries:>15,} {seconds:8.1f}", flush=True)


# ---- 2. the bound under load -------------------------------------------------------------


PROGRESS_STEP = 1000  # stores between two updates of a writer's count


def writer(path, first_key, count, start, done):
    with SharedDict(path) as d:
        start.wait()
        for n, key in enumerate(range(first_key, first_key + count), 1):
            d[key] = VALUE
            if n % PROGRESS_STEP == 0:
                done.value = n


def space_now(d, path):
    """(bytes in use in the file, the file's allocated bytes, buckets)."""
    stats = d.stats()
    return stats["bytes_used"], os.stat(path).st_blocks * 512, stats["buckets"]


def bounds(args, scratch):
    per_writer = args.capacity * args.bound_stores // WRITERS
    path = os.path.join(scratch.directory("bound-"), "cache")
    print(f"\n2. Bound under load: {WRITERS} writer processes store {per_writer:,} distinct keys each "
          f"({WRITERS * per_writer // args.capacity}x the bound) into max_entries={args.capacity:,}")
    context = multiprocessing.get_context("fork")
    # The space in use when the stores first reach each multiple of the bound.
    total = WRITERS * per_writer // args.capacity
    marks = [mark for mark in (1, 2, 4, 8, 16, 32, 64) if mark < total] + [total]
    space = {}
    with SharedDict(path, max_entries=args.capacity) as d:
        start = context.Barrier(WRITERS + 1)
        counts = [context.Value("q", 0, lock=False) for _ in range(WRITERS)]
        workers = [context.Process(target=writer, args=(path, (n + 1) << 32, per_writer, start, counts[n]))
                   for n in range(WRITERS)]
        for worker in workers:
            worker.start()
        start.wait()
        began = time.perf_counter()
        samples, longest = 0, 0
        while any(worker.is_alive() for worker in workers):
            length = len(d)
            samples += 1
            longest = max(longest, length)
            stores = sum(count.value for count in counts)
            for mark in marks:
                if mark not in space and stores >= mark * args.capacity:
                    space[mark] = space_now(d, path)
            time.sleep(0.0002)
        seconds = time.perf_counter() - began
        for worker in workers:
            worker.join()
        space[marks[-1]] = space_now(d, path)
        final = len(d)
    print(f"   len: at most {longest:,} over {samples:,} samples (bound {args.capacity:,} + {WRITERS} writers "
          f"= {args.capacity + WRITERS:,}); {final:,} at the end; {seconds:.1f} s")
    print(f"   {'stores':>12} {'bytes used in the file':>23} {'file allocated':>15} {'buckets':>8}")
    for mark in marks:
        if mark in space:
            used, allocated, buckets = space[mark]
            print(f"   {mark:>11}x {used:>23,} {allocated:>15,} {buckets:>8,}")


# ---- 3. cost of one operation ------------------------------------------------------------


def zorvik_gets(d, keys):
    get = d.get
    for key in keys:
        get(key)


def zorvik_sets(d, keys):
    for key in keys:
        d[key] = VALUE


def pickled_gets(get, keys):
    dumps, loads = pickle.dumps, pickle.loads
    for key in keys:
        found = get(dumps(key))
        if found is not None:  # evicted already: these caches' bounds are approximate
            loads(found)


def pickled_sets(put, keys):
    dumps = pickle.dumps
    for key in keys:
        put(dumps(key), dumps(VALUE))


def cost(args, scratch, redis_cache):
    ops = args.capacity // 2
    rng = random.Random(args.seed)
    keys = rng.sample(range(1 << 40), args.capacity + ops * args.repeats * 3)
    present = keys[:args.capacity]
    fresh = iter(keys[args.capacity:])
    print(f"\n3. Cost of one operation ({args.capacity:,} entries, {ops:,} operations a run, "
          f"median of {args.repeats} runs)")
    stores = {}
    cache = stores["cache"] = zorvik_cache(scratch, "lru", args.capacity)
    plain = stores["plain"] = SharedDict(os.path.join(scratch.directory("plain-"), "plain"))
    # A cache whose bound is never reached: its stores pay for the entries'
    # deadlines and access stamps, not for evictions.
    roomy = stores["roomy"] = zorvik_cache(scratch, "lru", len(keys))
    for d in (cache, plain, roomy):
        for key in present:
            d[key] = VALUE
    others = {}
    if "diskcache" in args.peers:
        try:
            disk = diskcache_for(scratch, args.capacity)
        except ImportError as error:
            print(f"   diskcache skipped: {error}")
        else:
            others["diskcache"] = (disk.get, disk.set, disk)
    if "redis" in args.peers and redis_cache is not None:
        redis_cache.client.flushall()
        others["redis"] = (redis_cache.client.get, redis_cache.client.set, None)
    dumps, value = pickle.dumps, pickle.dumps(VALUE)
    for _, put, _ in others.values():
        for key in present:
            put(dumps(key), value)
    runs = collections.defaultdict(list)
    for _ in range(args.repeats):
        # Keys the cache holds now, which the plain dictionary holds too: it
        # has every key either was given.
        hits = rng.sample(list(cache), ops)
        new = [next(fresh) for _ in range(ops)]
        # Both zorvik stores get the same new keys: into the full cache each
        # evicts one entry, into the plain dictionary each is one more.
        runs["cache hit"].append(timed_ns(zorvik_gets, cache, hits))
        runs["plain get"].append(timed_ns(zorvik_gets, plain, hits))
        runs["cache store that evicts"].append(timed_ns(zorvik_sets, cache, new))
        runs["plain store"].append(timed_ns(zorvik_sets, plain, new))
        runs["cache store, room left"].append(timed_ns(zorvik_sets, roomy, new))
        for name, (get, put, _) in others.items():
            # A set of new keys (evicting, once full), then gets of them.
            theirs = [next(fresh) for _ in range(ops)]
            runs[f"{name} set"].append(timed_ns(pickled_sets, put, theirs))
            runs[f"{name} get"].append(timed_ns(pickled_gets, get, theirs))
    per_op = {name: med(times) / ops for name, times in runs.items()}
    # Each ratio is the median of the ratios of runs made one after the
    # other, which the machine's drift touches alike.
    hit = med([a / b for a, b in zip(runs["cache hit"], runs["plain get"])])
    store = med([a / b for a, b in zip(runs["cache store that evicts"], runs["plain store"])])
    roomy_store = med([a / b for a, b in zip(runs["cache store, room left"], runs["plain store"])])
    print(f"   {'operation':26} {'cache mode':>11} {'plain':>9} {'ratio':>7} {'target':>7}")
    print(f"   {'get (a hit)':26} {per_op['cache hit']:9,.0f}ns {per_op['plain get']:7,.0f}ns {hit:6.2f}x "
          f"{'1.10x':>7}")
    print(f"   {'store (cache: evicts one)':26} {per_op['cache store that evicts']:9,.0f}ns "
          f"{per_op['plain store']:7,.0f}ns {store:6.2f}x {'1.50x':>7}")
    print(f"   {'store (cache: room left)':26} {per_op['cache store, room left']:9,.0f}ns "
          f"{per_op['plain store']:7,.0f}ns {roomy_store:6.2f}x")
    for name in others:
        get, put = per_op[f"{name} get"], per_op[f"{name} set"]
        print(f"   {name:26} get {get:,.0f} ns ({get / per_op['cache hit']:.1f}x zorvik's hit), "
              f"set {put:,.0f} ns ({put / per_op['cache store that evicts']:.1f}x zorvik's store that evicts)")
    print(f"   cache entries at the end: {len(cache):,} (bound {args.capacity:,})")
    for d in stores.values():
        d.close()
    for _, _, closeable in others.values():
        if closeable is not None:
            closeable.close()


# ---- the run -----------------------------------------------------------------------------

REDIS_MISSING: list[str] = []


def start_redis(scratch, capacity):
    try:
        redis_cache = RedisCache(scratch, capacity)
        print(f"Redis {redis_cache.version()}: a private redis-server on 127.0.0.1")
        return redis_cache
    except (ImportError, RuntimeError, OSError) as error:
        REDIS_MISSING.append(str(error))
        print(f"Redis skipped: {error}")
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=2_000_000, help="requests in the Zipf trace")
    parser.add_argument("--keys", type=int, default=100_000, help="distinct keys in the Zipf trace")
    parser.add_argument("--diskcache-requests", type=int, default=200_000,
                        help="requests of the trace diskcache runs, from its start (0: all)")
    parser.add_argument("--capacity", type=int, default=10_000, help="entries a cache holds")
    parser.add_argument("--bound-stores", type=int, default=12,
                        help="stores of the bound part, in multiples of the bound (all writers together)")
    parser.add_argument("--seed", type=int, default=20251211)
    parser.add_argument("--repeats", type=int, default=15, help="timed runs of each cost figure")
    parser.add_argument("--parts", default="hits,bounds,cost", help="of hits, bounds, cost")
    parser.add_argument("--peers", default=",".join(PEERS), help=f"of {', '.join(PEERS)}")
    args = parser.parse_args()
    args.parts = set(args.parts.split(","))
    args.peers = set(args.peers.split(","))
    unknown = (args.parts - {"hits", "bounds", "cost"}) | (args.peers - set(PEERS))
    if unknown:
        parser.error(f"unknown: {', '.join(sorted(unknown))}")
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores; load {os.getloadavg()[0]:.1f}")
    scratch = Scratch()
    redis_cache = None
    try:
        if "redis" in args.peers and args.parts & {"hits", "cost"}:
            redis_cache = start_redis(scratch, args.capacity)
        if "hits" in args.parts:
            hit_ratios(args, scratch, redis_cache)
        if "bounds" in args.parts:
            bounds(args, scratch)
        if "cost" in args.parts:
            cost(args, scratch, redis_cache)
    finally:
        if redis_cache is not None:
            redis_cache.close()
        scratch.cleanup()


if __name__ == "__main__":
    main()

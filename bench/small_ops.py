"""Single operations on small entries beside their floor: SharedDict against a
dict of pickled bytes (the work no store can avoid: the serializer's calls and
a hash lookup) and LMDB when it is installed, and against a baseline build
when one is named, in one run, with the ratios.

    TMPDIR=/dev/shm python bench/small_ops.py
    TMPDIR=/dev/shm python bench/small_ops.py --baseline /tmp/zorvik-base --rounds 5

A baseline is made with `pip install --no-deps --target DIR <checkout>`.

For each size (--sizes, default 100,000 and 1,000,000 entries) a store is
filled with str keys like "user:123456" (random, distinct) and ~100-byte str
values; the timed passes, each over --ops keys in random order, are: a get of
a stored key, a get of a key never stored (a miss), an insert of a new key and
a replace of a stored key. Every store runs in a child interpreter of its own
(the baseline's with its directory on PYTHONPATH), the stores taking turns
round after round; a figure is the median over --rounds, with the garbage
collector off. Files go to $TMPDIR (tmpfs: /dev/shm), removed at the end.
"""
from __future__ import annotations

import argparse
import statistics
import tempfile

from harness import importable, run_json_child

OPS = ("get", "miss", "insert", "replace")

CHILD = r"""
import gc, json, os, pickle, random, shutil, sys, time
store, scratch, entries, ops = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
gc.disable()
rng = random.Random(entries)
numbers = rng.sample(range(10**6, 10**7), entries + 2 * ops)
keys = [f"user:{n}" for n in numbers[:entries]]
new = [f"user:{n}" for n in numbers[entries:entries + ops]]
absent = [f"user:{n}" for n in numbers[entries + ops:]]
hits = rng.sample(keys, ops)
value, other = "v" * 90 + "0123456789", "w" * 90 + "0123456789"
dumps, loads = pickle.dumps, pickle.loads

def timed(loop, keys):
    start = time.perf_counter_ns()
    loop(keys)
    return (time.perf_counter_ns() - start) / len(keys)

if store == "zorvik":
    from zorvik import SharedDict
    d = SharedDict(os.path.join(scratch, "small.zd"), create=True, delete_on_close=True)
    def put(ks, v=value):
        for k in ks:
            d[k] = v
    def get(ks):
        for k in ks:
            d[k]
    def miss(ks):
        g = d.get
        for k in ks:
            g(k)
elif store == "floor":
    d = {}
    def put(ks, v=value):
        for k in ks:
            d[dumps(k)] = dumps(v)
    def get(ks):
        for k in ks:
            loads(d[dumps(k)])
    def miss(ks):
        g = d.get
        for k in ks:
            g(dumps(k))
elif store == "lmdb":
    import lmdb
    folder = os.path.join(scratch, "small.lmdb")
    env = lmdb.open(folder, map_size=(entries + ops) * 512 + (1 << 26), sync=False, metasync=False,
                    writemap=True)
    def put(ks, v=value):
        for k in ks:
            with env.begin(write=True) as txn:
                txn.put(dumps(k), dumps(v))
    def get(ks):
        for k in ks:
            with env.begin(buffers=True) as txn:
                loads(txn.get(dumps(k)))
    def miss(ks):
        for k in ks:
            with env.begin(buffers=True) as txn:
                txn.get(dumps(k))
put(keys)
out = {"get": timed(get, hits), "miss": timed(miss, absent), "insert": timed(put, new),
       "replace": timed(lambda ks: put(ks, other), hits)}
if store == "zorvik":
    d.close()
elif store == "lmdb":
    env.close()
    shutil.rmtree(folder, ignore_errors=True)
print(json.dumps(out))
"""


def run_child(store, scratch, entries, ops, pythonpath=None):
    return run_json_child(CHILD, [store, scratch, str(entries), str(ops)], pythonpath)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", help="a baseline install directory")
    parser.add_argument("--sizes", default="100000,1000000", help="entries of each table, comma-separated")
    parser.add_argument("--ops", type=int, default=100_000, help="keys per timed pass")
    parser.add_argument("--rounds", type=int, default=3)
    arguments = parser.parse_args()
    sides = {"this": ("zorvik", None)}
    if arguments.baseline:
        sides["baseline"] = ("zorvik", arguments.baseline)
    sides["floor"] = ("floor", None)
    if importable("lmdb"):
        sides["lmdb"] = ("lmdb", None)
    sizes = [int(size) for size in arguments.sizes.split(",")]
    results = {}
    with tempfile.TemporaryDirectory(prefix="zorvik-small-") as scratch:
        for _ in range(arguments.rounds):
            for entries in sizes:
                for name, (store, path) in sides.items():
                    for op, figure in run_child(store, scratch, entries, arguments.ops, path).items():
                        results.setdefault((entries, name, op), []).append(figure)
    median = {key: statistics.median(figures) for key, figures in results.items()}
    ratios = ["this/floor"] + (["this/baseline"] if "baseline" in sides else []) + (
        ["lmdb/this"] if "lmdb" in sides else [])
    for entries in sizes:
        print(f"ns per operation at {entries:,} entries (median of {arguments.rounds} rounds):")
        print("  " + " " * 8 + "".join(f"{name:>10}" for name in sides) + "".join(f"{r:>15}" for r in ratios))
        for op in OPS:
            figure = {name: median[(entries, name, op)] for name in sides}
            row = "".join(f"{figure[name]:10.0f}" for name in sides)
            row += f"{figure['this'] / figure['floor']:15.2f}"
            if "baseline" in sides:
                row += f"{figure['this'] / figure['baseline']:15.2f}"
            if "lmdb" in sides:
                row += f"{figure['lmdb'] / figure['this']:15.2f}"
            print(f"  {op:<8}{row}")


if __name__ == "__main__":
    main()

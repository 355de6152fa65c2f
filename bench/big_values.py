"""Big values and bytes per entry: this checkout beside a baseline build, the
floor (a dict of pickled bytes) and LMDB when it is installed, in one run,
with the ratios.

    TMPDIR=/dev/shm python bench/big_values.py --baseline /tmp/zorvik-base
    python bench/big_values.py --entries 1000000 --rounds 3

A baseline is made with `pip install --no-deps --target DIR <checkout>`.

1. Bytes per entry: --entries keys "user:<n>" with values of about 100
   bytes (136 bytes of pickled key and value) stored one at a time into a new
   SharedDict made with its defaults; stats()["bytes_used"] / entries.
2. Values of 4 KiB (--big entries) and 64 KiB (--big / 20 entries): insert of
   a new key, then get of every key in random order, per operation.

Each side runs in a child interpreter of its own (the baseline's with its
directory on PYTHONPATH), the sides taking turns round after round; a figure
is the median over --rounds. The floor and LMDB run in the checkout's child.
"""
from __future__ import annotations

import argparse
import statistics
import tempfile

from harness import importable, run_json_child

CHILD = r"""
import gc, json, os, pickle, random, sys, time
from zorvik import SharedDict
task, scratch, entries, big = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
out = {}
gc.disable()

def timed(loop, n):
    start = time.perf_counter()
    loop()
    return (time.perf_counter() - start) / n * 1e9

def value_of(size):
    return os.urandom(size)

if task == "bytes":
    path = os.path.join(scratch, "bytes.zd")
    with SharedDict(path, create=True, delete_on_close=True) as d:
        value = "v" * 93  # 108 bytes pickled, and 26 for the key
        for n in range(entries):
            d[f"user:{n:06d}"] = value
        stats = d.stats()
        out["bytes_per_entry"] = stats["bytes_used"] / entries
        out["chunk_size"] = stats["chunk_size"]
        out["payload"] = len(pickle.dumps("user:000000", 5)) + len(pickle.dumps(value, 5))
else:
    for label, size, n in (("4KiB", 4096, big), ("64KiB", 65536, max(big // 20, 100))):
        keys = [f"key:{i}" for i in range(n)]
        order = keys[:]
        random.Random(1).shuffle(order)
        value = value_of(size)
        if task == "side":
            path = os.path.join(scratch, f"{label}.zd")
            with SharedDict(path, create=True, delete_on_close=True) as d:
                def insert():
                    for k in keys:
                        d[k] = value
                def get():
                    for k in order:
                        d[k]
                out[f"insert {label}"] = timed(insert, n)
                out[f"get {label}"] = timed(get, n)
        elif task == "floor":
            store = {}
            dumps, loads = pickle.dumps, pickle.loads
            def insert():
                for k in keys:
                    store[dumps(k, 5)] = dumps(value, 5)
            def get():
                for k in order:
                    loads(store[dumps(k, 5)])
            out[f"insert {label}"] = timed(insert, n)
            out[f"get {label}"] = timed(get, n)
        elif task == "lmdb":
            import lmdb
            env = lmdb.open(os.path.join(scratch, f"{label}.lmdb"), map_size=2 * n * (size + 512) + (1 << 26),
                            sync=False, metasync=False, writemap=True)
            dumps, loads = pickle.dumps, pickle.loads
            def insert():
                for k in keys:
                    with env.begin(write=True) as txn:
                        txn.put(dumps(k, 5), dumps(value, 5))
            def get():
                for k in order:
                    with env.begin(buffers=True) as txn:
                        loads(txn.get(dumps(k, 5)))
            out[f"insert {label}"] = timed(insert, n)
            out[f"get {label}"] = timed(get, n)
            env.close()
            import shutil
            shutil.rmtree(os.path.join(scratch, f"{label}.lmdb"), ignore_errors=True)
print(json.dumps(out))
"""


def run_child(task, scratch, arguments, pythonpath=None):
    return run_json_child(CHILD, [task, scratch, str(arguments.entries), str(arguments.big)], pythonpath)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", help="a baseline install directory")
    parser.add_argument("--entries", type=int, default=1_000_000, help="entries for bytes per entry")
    parser.add_argument("--big", type=int, default=20_000, help="entries of 4 KiB (64 KiB: a twentieth)")
    parser.add_argument("--rounds", type=int, default=3)
    arguments = parser.parse_args()
    sides = {"this": None}
    if arguments.baseline:
        sides["baseline"] = arguments.baseline
    others = ["floor"] + (["lmdb"] if importable("lmdb") else [])
    results = {}
    with tempfile.TemporaryDirectory(prefix="zorvik-big-") as scratch:
        for _ in range(arguments.rounds):
            for name, path in sides.items():
                for task in ("bytes", "side"):
                    for key, figure in run_child(task, scratch, arguments, path).items():
                        results.setdefault((name, key), []).append(figure)
            for task in others:
                for key, figure in run_child(task, scratch, arguments).items():
                    results.setdefault((task, key), []).append(figure)
    median = {key: statistics.median(figures) for key, figures in results.items()}
    print(f"bytes per entry, {arguments.entries:,} entries of {median[('this', 'payload')]:.0f} bytes pickled:")
    for name in sides:
        print(f"  {name:<9} {median[(name, 'bytes_per_entry')]:7.1f} (chunk_size {median[(name, 'chunk_size')]:.0f})")
    if "baseline" in sides:
        print(f"  ratio     {median[('this', 'bytes_per_entry')] / median[('baseline', 'bytes_per_entry')]:.2f}x")
    print(f"ns per operation ({arguments.big:,} values of 4 KiB, {max(arguments.big // 20, 100):,} of 64 KiB), "
          "median of rounds:")
    columns = list(sides) + others
    print("  " + " " * 14 + "".join(f"{c:>11}" for c in columns) + "   this/floor" +
          ("  this/baseline" if "baseline" in sides else "") + ("  lmdb/this" if "lmdb" in others else ""))
    for op in ("insert 4KiB", "get 4KiB", "insert 64KiB", "get 64KiB"):
        row = "".join(f"{median[(c, op)]:11.0f}" for c in columns)
        row += f"{median[('this', op)] / median[('floor', op)]:13.2f}"
        if "baseline" in sides:
            row += f"{median[('this', op)] / median[('baseline', op)]:15.2f}"
        if "lmdb" in others:
            row += f"{median[('lmdb', op)] / median[('this', op)]:11.2f}"
        print(f"  {op:<14}{row}")


if __name__ == "__main__":
    main()

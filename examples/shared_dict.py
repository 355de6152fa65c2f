"""Several processes share one dictionary by the path of its file.

The parent creates a dictionary; four tasks in a pool of worker processes each
open the same one by its path, store their own range of keys and count how
many of all the keys they can already see; the parent then checks every entry, shows how the table
grew by itself, looks a few keys up, and closes the dictionary, which deletes
its file. It prints each step as it happens.

    python examples/shared_dict.py
"""

import collections
import multiprocessing
import os

from zorvik import SharedDict

WORKERS = 4
KEYS_PER_WORKER = 10_000
TOTAL = WORKERS * KEYS_PER_WORKER


def key_of(n: int) -> str:
    # Text keys hash alike in every process under the default hash, whatever
    # each process's hash seed (see the README on hashing).
    return f"item:{n}"


def worker(path: str, index: int) -> tuple[int, int, int]:
    """Opens the dictionary by its path, stores this worker's keys, and
    returns (its pid, its first key, how many of all the keys it could see)."""
    with SharedDict(path) as d:
        first = index * KEYS_PER_WORKER
        for n in range(first, first + KEYS_PER_WORKER):
            d[key_of(n)] = {"square": n * n, "by": os.getpid()}
        seen = sum(key_of(n) in d for n in range(TOTAL))
    return os.getpid(), first, seen


def main() -> None:
    # A dictionary made without a path is a new file in $TMPDIR (or /tmp),
    # deleted when this object is closed.
    with SharedDict() as d:
        print(f"1. The parent (pid {os.getpid()}) created a dictionary in the file {d.path},")
        print(f"   with {d.stats()['buckets']:,} buckets to start with, and a pool of {WORKERS} worker processes.")
        tell_the_story(d)
        path = d.path
    print(f"5. The parent closed the dictionary, which deleted {path}: a dictionary")
    print("   made without a path is temporary. One made at a path you choose stays")
    print(f"   until you delete it; here the file exists: {os.path.exists(path)}.")


def tell_the_story(d: SharedDict) -> None:
    with multiprocessing.Pool(WORKERS) as pool:
        reports = pool.starmap(worker, [(d.path, i) for i in range(WORKERS)])
    print("2. Each task opened the dictionary by that path and stored its own keys:")
    for pid, first, seen in reports:
        others = "" if seen == TOTAL else " (the others were still writing)"
        print(f"   a task in worker pid {pid}: keys item:{first} to item:{first + KEYS_PER_WORKER - 1};"
              f" it then saw {seen:,} of the {TOTAL:,} keys{others}")

    writers: collections.Counter[int] = collections.Counter()
    for n in range(TOTAL):
        value = d[key_of(n)]
        assert value["square"] == n * n, n
        writers[value["by"]] += 1
    # A pool may give one process two of the tasks.
    assert set(writers) == {pid for pid, _, _ in reports}
    assert len(d) == TOTAL
    print(f"3. The parent found all {len(d):,} entries, written by {len(writers)} worker processes.")
    print(f"   The table has {d.stats()['buckets']:,} buckets now: it doubles by itself, while")
    print("   every process goes on using it, whenever the entries outnumber its buckets two to one.")

    print("4. Lookups in the parent:")
    print(f"   d['item:42']['square']   -> {d[key_of(42)]['square']}   (the value a worker stored)")
    print(f"   d.get('absent')          -> {d.get('absent')}   (no worker stored it)")
    print(f"   d.pop('item:42')['by']   -> {d.pop(key_of(42))['by']}   (removed, returning the value)")
    print(f"   'item:42' in d           -> {key_of(42) in d}   (gone, for every process)")
    print(f"   d.increment('visits')    -> {d.increment('visits')}   (atomic across processes)")


if __name__ == "__main__":
    main()

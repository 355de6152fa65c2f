"""Several processes share one dictionary by the path of its file.

The parent creates a dictionary; four worker processes each open the same one
by its name (the file's path), insert their own range of keys and count how
many of all the keys they can already see; the parent then checks every
entry, has the table doubled by a pool of two processes, looks a few keys up,
and finally deletes the file. It prints each step as it happens.

    python examples/shared_dict.py
"""

import collections
import multiprocessing
import os

from zorvik.brandel import brandel

WORKERS = 4
KEYS_PER_WORKER = 10_000
TOTAL = WORKERS * KEYS_PER_WORKER


def key_of(n: int) -> str:
    # Text keys hash alike in every process under the default hash, whatever
    # each process's hash seed (see the README on hashing).
    return f"item:{n}"


def worker(name: bytes, index: int) -> tuple[int, int, int]:
    """Opens the dictionary by its name, inserts this worker's keys, and
    returns (its pid, its first key, how many of all the keys it could see)."""
    d = brandel(name)
    first = index * KEYS_PER_WORKER
    for n in range(first, first + KEYS_PER_WORKER):
        d.insert(key_of(n), {"square": n * n, "by": os.getpid()})
    seen = sum(d.get(key_of(n))[0] for n in range(TOTAL))
    return os.getpid(), first, seen


def main() -> None:
    # A small table (2**12 buckets) that doubles by itself as the workers fill it.
    d = brandel(size=256 << 20, bucket_chunk_size_exponent=12)
    path = d.name.decode()
    print(f"1. The parent (pid {os.getpid()}) created a dictionary in the file {path},")
    print(f"   with 4,096 buckets to start with, and started {WORKERS} worker processes.")
    try:
        tell_the_story(d)
    finally:
        # A dictionary lives in its file, not in any process: dropping every
        # brandel object (or every process exiting) leaves the file and its
        # entries for the next process that opens it by name. This one is no
        # longer needed, so its file is deleted; otherwise it would stay in
        # the temporary directory until the next reboot clears it, if any.
        os.unlink(path)
        print(f"5. The parent deleted {path}: the dictionary's file would otherwise")
        print("   outlive every process that used it.")


def tell_the_story(d: brandel) -> None:
    with multiprocessing.Pool(WORKERS) as pool:
        reports = pool.starmap(worker, [(d.name, i) for i in range(WORKERS)])
    print("2. Each worker opened the dictionary by that path and inserted its own keys:")
    for pid, first, seen in reports:
        others = "" if seen == TOTAL else " (the others were still writing)"
        print(f"   worker pid {pid}: keys item:{first} to item:{first + KEYS_PER_WORKER - 1};"
              f" it then saw {seen:,} of the {TOTAL:,} keys{others}")

    writers = collections.Counter()
    for n in range(TOTAL):
        found, value = d.get(key_of(n))
        assert found and value["square"] == n * n, n
        writers[value["by"]] += 1
    assert sorted(writers) == sorted(pid for pid, _, _ in reports)
    print(f"3. The parent found all {TOTAL:,} entries, {KEYS_PER_WORKER:,} written by each worker.")
    print("   The table had grown from 4,096 buckets meanwhile: it doubles by itself")
    print("   whenever the entries outnumber its buckets two to one.")

    d.expansion(2)  # one more doubling, now, shared by a pool of two processes
    assert all(d.get(key_of(n))[0] for n in range(TOTAL))
    print("   Then a pool of two processes doubled it once more on request")
    print("   (expansion(2)), and every entry was still there.")

    print("4. Lookups in the parent:")
    print(f"   get('item:42')    -> {d.get(key_of(42))}   (found, and the value a worker stored)")
    print(f"   get('absent')     -> {d.get('absent')}   (no worker inserted it)")
    print(f"   remove('item:42') -> {d.remove(key_of(42))}   (1: an entry was removed)")
    print(f"   get('item:42')    -> {d.get(key_of(42))}   (gone, for every process)")


if __name__ == "__main__":
    main()

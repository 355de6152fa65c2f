"""Several processes share one dictionary by the path of its file.

The parent creates a dictionary; each worker process opens the same one by
its name (the segment file's path), writes its own range of keys and reads
everything the others wrote; the parent then checks every entry and grows the
table on request.

    python examples/shared_dict.py
"""

import multiprocessing
import os

from zorvik.brandel import brandel

WORKERS = 4
KEYS_PER_WORKER = 10_000


def key_of(n: int) -> str:
    # Text keys hash alike in every process under the default hash, whatever
    # each process's hash seed (see the README on hashing).
    return f"item:{n}"


def worker(name: bytes, index: int) -> int:
    d = brandel(name)
    first = index * KEYS_PER_WORKER
    for n in range(first, first + KEYS_PER_WORKER):
        d.insert(key_of(n), {"square": n * n, "by": os.getpid()})
    found = sum(d.get(key_of(n))[0] for n in range(WORKERS * KEYS_PER_WORKER))
    return found


def main() -> None:
    # A small table (2**12 buckets) that grows by itself as the workers fill it.
    d = brandel(size=256 << 20, bucket_chunk_size_exponent=12)
    print(f"dictionary file: {d.name.decode()}")

    with multiprocessing.Pool(WORKERS) as pool:
        seen = pool.starmap(worker, [(d.name, i) for i in range(WORKERS)])
    print(f"entries each worker saw when it finished: {seen}")

    total = WORKERS * KEYS_PER_WORKER
    assert all(d.get(key_of(n))[1]["square"] == n * n for n in range(total))
    print(f"all {total} entries are there, written by {WORKERS} processes")

    d.expansion(2)  # double the bucket table with two worker processes
    last = key_of(total - 1)
    assert d.get(last) == [True, {"square": (total - 1) ** 2, "by": d.get(last)[1]["by"]}]
    print(d.get(key_of(42)), d.get("absent"), d.remove(key_of(42)), d.get(key_of(42)))

    os.unlink(d.name)  # the file outlives every process until removed


if __name__ == "__main__":
    main()

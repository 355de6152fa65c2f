"""A pool of workers that share their results as they go.

The workers of a multiprocessing pool compute how many steps the Collatz
sequence of each number takes to reach 1 (n -> n/2 or 3n+1). Every sequence
runs into numbers that some task has already done, so the tasks share one
dictionary of results: a worker stops walking as soon as it meets a number
that any task, in any process, has stored. The dictionary is passed to the
pool like any other argument (it pickles as its path, and each worker opens
the same file), and the parent reads the results from it directly.

    python examples/pool_results.py
"""

import multiprocessing
import os

from zorvik import SharedDict

NUMBERS = 30_000
TASKS = 12


def steps_to_one(n: int, results: SharedDict) -> bool:
    """Stores the number of steps from n to 1, and those of every number on
    the way, each as (steps, the pid that found it); True when the walk
    stopped at a number another process had stored."""
    path = []
    known, found_by = 0, os.getpid()
    while n != 1:
        stored = results.get(n)
        if stored is not None:
            known, found_by = stored
            break
        path.append(n)
        n = n // 2 if n % 2 == 0 else 3 * n + 1
    steps = known
    for m in reversed(path):
        steps += 1
        results.setdefault(m, (steps, os.getpid()))  # another process may have stored it meanwhile
    return found_by != os.getpid()


def task(results: SharedDict, numbers: range) -> tuple[int, int]:
    """Runs in a pool worker; `results` arrived pickled and opened the same file."""
    return os.getpid(), sum(steps_to_one(n, results) for n in numbers)


def main() -> None:
    with SharedDict() as results:
        share = NUMBERS // TASKS
        chunks = [range(1 + i * share, 1 + (i + 1) * share) for i in range(TASKS)]
        with multiprocessing.Pool(4) as pool:
            reports = pool.starmap(task, [(results, chunk) for chunk in chunks])
        workers = sorted({pid for pid, _ in reports})
        from_others = sum(count for _, count in reports)
        print(f"{TASKS} tasks on {len(workers)} worker processes computed the Collatz steps of 1 to {NUMBERS:,}.")
        print(f"{from_others:,} of the {NUMBERS:,} walks stopped at a number that another worker process")
        print(f"had stored; the dictionary holds the steps of {len(results):,} numbers, found on the way.")
        longest = max(range(2, NUMBERS + 1), key=lambda n: results[n][0])  # 1 takes none
        print(f"The parent reads them directly: the longest walk below {NUMBERS:,} starts at "
              f"{longest:,} and takes {results[longest][0]} steps; 27 takes {results[27][0]}.")
        assert results[27][0] == 111


if __name__ == "__main__":
    main()

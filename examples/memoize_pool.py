"""A function memoized across the processes of a pool.

The workers of a multiprocessing pool count the primes below a few limits,
each limit asked for by several tasks. The function is memoized in one
SharedDict that every worker opens (it arrives pickled, as its path, in the
pool's initializer): a result computed by one worker is a hit in all the
others. With single_flight=True, a worker that asks for a limit another one
is computing waits for that result instead of computing it again, so each
limit is computed exactly once, by one worker, whatever the timing. The
dictionary is a cache: it keeps at most 1,000 results, each for 10 minutes.

    python examples/memoize_pool.py
"""

import multiprocessing
import os
from collections.abc import Callable

import zorvik
from zorvik import SharedDict

LIMITS = [2_000_000, 3_000_000, 4_000_000]
TASKS = LIMITS * 4


def count_primes(limit: int) -> tuple[int, int]:
    """The number of primes below `limit`, and the pid of the process that counted them."""
    sieve = bytearray([1]) * limit
    sieve[:2] = b"\0\0"
    for n in range(2, int(limit**0.5) + 1):
        if sieve[n]:
            sieve[n * n::n] = bytes(len(range(n * n, limit, n)))
    return sum(sieve), os.getpid()


def memoized(cache: SharedDict) -> Callable[[int], tuple[int, int]]:
    # The key is the function's qualified name and its arguments: every
    # process that memoizes count_primes in this cache shares its results.
    return zorvik.memoize(cache, single_flight=True)(count_primes)


primes_below: Callable[[int], tuple[int, int]] = count_primes  # memoized in each worker as it starts


def start_worker(cache: SharedDict) -> None:
    global primes_below
    primes_below = memoized(cache)


def task(limit: int) -> tuple[int, int, int]:
    count, counted_by = primes_below(limit)
    return limit, count, counted_by


def main() -> None:
    with SharedDict(max_entries=1_000, default_ttl=600) as cache:
        with multiprocessing.Pool(4, initializer=start_worker, initargs=(cache,)) as pool:
            answers = pool.map(task, TASKS, chunksize=1)
        print(f"{len(TASKS)} tasks on a pool of 4 workers counted the primes below {len(LIMITS)} limits:")
        for limit in LIMITS:
            counters = {counted_by for asked, _, counted_by in answers if asked == limit}
            count = next(count for asked, count, _ in answers if asked == limit)
            assert len(counters) == 1  # single_flight: one computation, whoever asked first
            print(f"  below {limit:,}: {count:,} primes, counted once, by worker {counters.pop()}; "
                  f"{TASKS.count(limit) - 1} tasks took that result from the cache")
        # This process finds the results too, without counting again.
        count, counted_by = memoized(cache)(LIMITS[0])
        assert counted_by != os.getpid()
        print(f"The parent asks for the primes below {LIMITS[0]:,}: {count:,}, from the cache.")


if __name__ == "__main__":
    main()

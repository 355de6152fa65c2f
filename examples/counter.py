"""Counters incremented from many processes at once.

Four processes count the words of a text, each its own quarter, into one
dictionary of counters. Done the plain way, d[word] = d.get(word, 0) + 1, two
processes that read the same count at the same moment both write back count
+ 1, and one of the two increments is lost. d.increment(word) reads, adds and
stores as one step (an optimistic compare-and-set on the stored bytes, tried
again when another process got there first), so no increment is lost. The
example does both and compares the totals with the number of words.

    python examples/counter.py
"""

import multiprocessing
import random
from multiprocessing.synchronize import Barrier

from zorvik import SharedDict

PROCESSES = 4
WORDS = 200_000
VOCABULARY = ["apple", "pear", "plum", "fig", "kiwi", "lime", "date", "cherry"]


def text() -> list[str]:
    return random.Random(7).choices(VOCABULARY, k=WORDS)  # the same text in every process


def count(path: str, part: int, how: str, start: Barrier) -> None:
    words = text()[part::PROCESSES]
    with SharedDict(path) as counts:
        start.wait()  # all processes count at the same time
        for word in words:
            if how == "plain":
                counts[word] = counts.get(word, 0) + 1  # read, add, write: not one step
            else:
                counts.increment(word)


def run(how: str) -> dict[str, int]:
    with SharedDict() as counts:
        start = multiprocessing.Barrier(PROCESSES)
        processes = [multiprocessing.Process(target=count, args=(counts.path, part, how, start))
                     for part in range(PROCESSES)]
        for process in processes:
            process.start()
        for process in processes:
            process.join()
        return counts.copy()


def main() -> None:
    expected = {word: text().count(word) for word in VOCABULARY}
    print(f"{PROCESSES} processes count the {WORDS:,} words of a text into one dictionary.")
    for how, label in (("plain", "d[w] = d.get(w, 0) + 1"), ("increment", "d.increment(w)")):
        counts = run(how)
        total = sum(counts.values())
        verdict = "every increment counted" if counts == expected else f"{WORDS - total:,} increments lost"
        print(f"  {label:24} total {total:>7,} of {WORDS:,}: {verdict}")
    assert run("increment") == expected


if __name__ == "__main__":
    main()

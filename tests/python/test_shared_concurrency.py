"""SharedDict under concurrency: the atomic operations lose nothing across
processes and threads, every entry taken by pop or popitem is taken once,
and iteration keeps its guarantee (each key present throughout comes exactly
once) while the table doubles under it and while another process fills it."""

import collections
import multiprocessing
import threading

import pytest

from zorvik import ABSENT, SharedDict

# Workers open the dictionary by its path, as separate programs would; fork
# starts them at once.
CONTEXT = multiprocessing.get_context("fork")


def start_together(barrier, target, *arguments):
    barrier.wait()  # each process's work takes milliseconds: without this they might not overlap
    target(*arguments)


def run_processes(target, argument_lists):
    barrier = CONTEXT.Barrier(len(argument_lists))
    processes = [CONTEXT.Process(target=start_together, args=(barrier, target, *arguments))
                 for arguments in argument_lists]
    for process in processes:
        process.start()
    for process in processes:
        process.join()
    assert [process.exitcode for process in processes] == [0] * len(processes)


# ---- atomic operations -------------------------------------------------------------------


def increment_from_threads(path, threads, increments, keys):
    d = SharedDict(path)
    barrier = threading.Barrier(threads)

    def work():
        barrier.wait()
        for n in range(increments):
            d.increment(f"key{n % keys}")

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()


def test_no_increment_is_lost(segment_dir):
    # 4 processes x 2 threads x 10,000 increments over 10 keys.
    d = SharedDict(segment_dir / "counts")
    run_processes(increment_from_threads, [(d.path, 2, 10_000, 10)] * 4)
    assert dict(d) == {f"key{k}": 8_000 for k in range(10)}


def append_to_log(path, who, count):
    d = SharedDict(path)
    for n in range(count):
        d.update_with("log", lambda log, n=n: log + [(who, n)], default=[])


def test_no_update_with_is_lost(segment_dir):
    d = SharedDict(segment_dir / "log")
    run_processes(append_to_log, [(d.path, who, 150) for who in range(3)])
    log = d["log"]
    assert sorted(log) == [(who, n) for who in range(3) for n in range(150)]
    for who in range(3):  # each process's appends in its own order
        assert [n for w, n in log if w == who] == list(range(150))


def take_entries(path, how, queue):
    d = SharedDict(path)
    taken = []
    if how == "pop":
        taken = [key for key in range(3000) if d.pop(key, ABSENT) is not ABSENT]
    elif how == "popitem":
        try:
            while True:
                taken.append(d.popitem()[0])
        except KeyError:
            pass
    else:
        taken = [key for key in range(3000) if d.setdefault(key, how) == how]
    queue.put(taken)


def test_each_entry_is_taken_once(segment_dir):
    d = SharedDict(segment_dir / "d", initial_buckets=64)
    d.update((n, n) for n in range(3000))
    queue = CONTEXT.SimpleQueue()
    run_processes(take_entries, [(d.path, how, queue) for how in ("pop", "pop", "popitem", "popitem")])
    taken = [key for _ in range(4) for key in queue.get()]
    assert sorted(taken) == list(range(3000)) and len(d) == 0
    # setdefault: of processes racing to set one key, one stores its value
    # and every one of them gets that value back.
    run_processes(take_entries, [(d.path, f"process {p}", queue) for p in range(3)])
    won = [key for _ in range(3) for key in queue.get()]
    assert sorted(won) == list(range(3000))
    assert all(d[key].startswith("process ") for key in range(3000))


# ---- iteration ---------------------------------------------------------------------------


@pytest.mark.parametrize("doublings", [1, 3])
def test_iteration_while_the_table_doubles_under_it(segment_dir, doublings):
    d = SharedDict(initial_buckets=64)
    present = [f"p{n}" for n in range(500)]
    d.update((key, 0) for key in present)
    buckets_at_start = d.stats()["buckets"]
    seen = collections.Counter()
    extra = 0
    events = 0
    for key in d:
        seen[key] += 1
        if len(seen) % 50 == 0 and events < 3:
            # Between two steps of the walk (mostly), the table doubles
            # `doublings` times: inserts of new keys double it by load.
            events += 1
            target = d.stats()["buckets"] << doublings
            while d.stats()["buckets"] < target:
                d[f"x{extra}"] = 0
                if extra % 7 == 0:
                    del d[f"x{extra}"]
                extra += 1
    assert d.stats()["buckets"] >= buckets_at_start << (3 * doublings)
    assert [key for key in present if seen[key] != 1] == []
    assert max(seen.values()) == 1


def fill(path, count):
    d = SharedDict(path)
    for n in range(count):
        d[f"f{n}"] = n
        if n % 3 == 2:
            del d[f"f{n - 1}"]


def test_iteration_while_another_process_fills(segment_dir):
    d = SharedDict(segment_dir / "d")
    present = {f"p{n}": -1 for n in range(300)}
    d.update(present)
    filler = CONTEXT.Process(target=fill, args=(d.path, 60_000))
    filler.start()
    walks = 0
    try:
        while filler.is_alive() or walks < 2:
            seen = collections.Counter()
            for key, value in d.items():  # never a KeyError: each value is read with its key
                seen[key] += 1
                assert value == (present[key] if key in present else int(key[1:])), key
            assert [key for key in present if seen[key] != 1] == [] and max(seen.values()) == 1
            walks += 1
    finally:
        filler.join()
    assert filler.exitcode == 0
    assert d.stats()["buckets"] >= 16_384  # the filler doubled the table meanwhile

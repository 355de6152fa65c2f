"""The dictionary's behaviour wherever it lives: a file (SharedDict), a
standalone Redis server and a Redis Cluster (RedisDict), by one suite. The
mapping protocol and the atomic operations give the same results; no
increment or update is lost and every entry is taken once across processes
and threads; an iteration yields every key present throughout exactly once
while another process writes. (The batches are test_batches.py's, which
runs on all three as well.)"""

import collections
import multiprocessing
import threading
import uuid

import pytest

import zorvik
from zorvik import ABSENT, SharedDict

# Workers open the dictionary by its address, as separate programs would;
# fork starts them at once.
CONTEXT = multiprocessing.get_context("fork")


class Backend:
    """Where the dictionaries of a test live, and how a process opens one."""

    def __init__(self, kind, request):
        self.kind = kind
        self.made = []
        if kind == "file":
            self.directory = request.getfixturevalue("segment_dir")
        else:
            self.url = request.getfixturevalue("redis_server" if kind == "redis" else "redis_cluster").url

    def open(self, **options):
        """A new, empty dictionary."""
        unique = f"d-{uuid.uuid4().hex[:12]}"
        if self.kind == "file":
            d = SharedDict(self.directory / unique, **options)
        else:
            d = zorvik.open(self.url, name=unique, **options)
        self.made.append(d)
        return d

    @staticmethod
    def address(d):
        """What another process opens the same dictionary by (zorvik.open)."""
        return (d.path, None) if isinstance(d, SharedDict) else (d._server.url, d.name)

    def close(self):
        for d in self.made:
            if not isinstance(d, SharedDict) and not d.closed:
                d.unlink()
            d.close()


def reopen(address, **options):
    target, name = address
    return zorvik.open(target, name=name, **options)


@pytest.fixture(params=["file", "redis", "cluster"])
def backend(request):
    b = Backend(request.param, request)
    yield b
    b.close()


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


# ---- one process ----------------------------------------------------------------------------


def test_mapping_protocol(backend):
    d = backend.open()
    assert not d and len(d) == 0 and list(d) == []
    d.update({"a": 1}, b=2)
    d.update([("c", 3)])
    d[(1, "t")] = [None, 2.5]
    assert d == {"a": 1, "b": 2, "c": 3, (1, "t"): [None, 2.5]} and d != {"a": 1} and d != [("a", 1)]
    assert d == reopen(backend.address(d)) and d.copy() == dict(d) and type(d.copy()) is dict
    keys, items = d.keys(), d.items()
    assert keys & {"a", "z"} == {"a"} and ("b", 2) in items and ("b", 3) not in items and len(items) == 4
    assert sorted(d.values(), key=repr) == sorted([1, 2, 3, [None, 2.5]], key=repr)
    assert "a" in d and "z" not in d and d.get("z") is None and d.get("z", 0) == 0
    del d["a"]
    with pytest.raises(KeyError) as caught:
        del d["a"]
    with pytest.raises(KeyError) as caught:
        d[(1, 2)]
    assert caught.value.args == ((1, 2),)
    with pytest.raises(TypeError, match="unhashable"):
        d[["a"]] = 1
    with pytest.raises(ValueError, match="element #1 has length 1; 2 is required"):
        d.update([("x", 1), ("y",)])
    assert d["x"] == 1  # the pairs before the bad one are stored
    with pytest.raises(TypeError, match="unsupported operand"):
        d.increment("b", "x")
    assert d["b"] == 2
    with pytest.raises(TypeError):
        hash(d)
    d.clear()
    assert len(d) == 0 and dict(d) == {}


def test_update_stores_a_long_stream_and_stops_at_a_bad_pair(backend):
    d = backend.open()

    def pairs():
        yield from ((f"p{n}", n) for n in range(10_000))
        yield ("bad",)
        yield ("after", 0)

    with pytest.raises(ValueError, match="element #10000"):
        d.update(pairs())
    assert dict(d) == {f"p{n}": n for n in range(10_000)}


# (operation, its result, the entries after it), from {"a": 1, "b": [2]}.
ATOMIC = [
    ("setdefault present", lambda d: d.setdefault("a", 9), 1, {"a": 1, "b": [2]}),
    ("setdefault absent", lambda d: d.setdefault("n", 9), 9, {"a": 1, "b": [2], "n": 9}),
    ("setdefault None", lambda d: d.setdefault("n"), None, {"a": 1, "b": [2], "n": None}),
    ("pop", lambda d: d.pop("a"), 1, {"b": [2]}),
    ("pop absent, default", lambda d: d.pop("z", "no"), "no", {"a": 1, "b": [2]}),
    ("cas equal", lambda d: d.compare_and_set("b", [2], 3), True, {"a": 1, "b": 3}),
    ("cas differs", lambda d: d.compare_and_set("b", [3], 3), False, {"a": 1, "b": [2]}),
    ("cas 1.0 is not 1 by bytes", lambda d: d.compare_and_set("a", 1.0, 3), False, {"a": 1, "b": [2]}),
    ("cas absent", lambda d: d.compare_and_set("n", ABSENT, 3), True, {"a": 1, "b": [2], "n": 3}),
    ("cas absent, present", lambda d: d.compare_and_set("a", ABSENT, 3), False, {"a": 1, "b": [2]}),
    ("cas removes", lambda d: d.compare_and_set("a", 1, ABSENT), True, {"b": [2]}),
    ("cas absent to absent", lambda d: d.compare_and_set("n", ABSENT, ABSENT), True, {"a": 1, "b": [2]}),
    ("increment", lambda d: d.increment("a", 5), 6, {"a": 6, "b": [2]}),
    ("increment absent", lambda d: d.increment("n", 2, default=10), 12, {"a": 1, "b": [2], "n": 12}),
    ("update_with", lambda d: d.update_with("b", lambda v: v + [3]), [2, 3], {"a": 1, "b": [2, 3]}),
    ("update_with absent", lambda d: d.update_with("n", str, default=5), "5", {"a": 1, "b": [2], "n": "5"}),
    ("update_with removes", lambda d: d.update_with("a", lambda v: ABSENT), ABSENT, {"b": [2]}),
]


@pytest.mark.parametrize("operation, result, after", [case[1:] for case in ATOMIC], ids=[c[0] for c in ATOMIC])
def test_atomic_operations(backend, operation, result, after):
    d = backend.open()
    d.update({"a": 1, "b": [2]})
    assert operation(d) == result
    assert dict(d) == after


@pytest.mark.parametrize("operation", [
    lambda d: d.pop("z"),
    lambda d: d.update_with("z", str),
    lambda d: d["z"],
    lambda d: d.__delitem__("z"),
])
def test_absent_keys_raise_key_error(backend, operation):
    d = backend.open()
    d["a"] = 1
    with pytest.raises(KeyError) as caught:
        operation(d)
    assert caught.value.args == ("z",)
    assert dict(d) == {"a": 1}


def test_popitem_takes_every_entry_once(backend):
    d = backend.open()
    d.update((n, str(n)) for n in range(100))
    taken = [d.popitem() for _ in range(100)]
    assert sorted(taken) == sorted((n, str(n)) for n in range(100))
    with pytest.raises(KeyError, match="empty"):
        d.popitem()


# ---- many processes -------------------------------------------------------------------------


def increment_from_threads(address, threads, increments, keys):
    d = reopen(address)
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


def test_no_increment_is_lost(backend):
    # 4 processes x 2 threads x 10,000 increments over 10 keys.
    d = backend.open()
    run_processes(increment_from_threads, [(backend.address(d), 2, 10_000, 10)] * 4)
    assert dict(d) == {f"key{k}": 8_000 for k in range(10)}


def append_to_log(address, who, count):
    d = reopen(address)
    for n in range(count):
        d.update_with("log", lambda log, n=n: log + [(who, n)], default=[])


def test_no_update_with_is_lost(backend):
    d = backend.open()
    run_processes(append_to_log, [(backend.address(d), who, 150) for who in range(3)])
    log = d["log"]
    assert sorted(log) == [(who, n) for who in range(3) for n in range(150)]
    for who in range(3):  # each process's appends in its own order
        assert [n for w, n in log if w == who] == list(range(150))


def take_entries(address, how, queue):
    d = reopen(address)
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


def test_each_entry_is_taken_once(backend):
    d = backend.open()
    d.update((n, n) for n in range(3000))
    queue = CONTEXT.SimpleQueue()
    run_processes(take_entries, [(backend.address(d), how, queue) for how in ("pop", "pop", "popitem", "popitem")])
    taken = [key for _ in range(4) for key in queue.get()]
    assert sorted(taken) == list(range(3000)) and len(d) == 0
    # setdefault: of processes racing to set one key, one stores its value
    # and every one of them gets that value back.
    run_processes(take_entries, [(backend.address(d), f"process {p}", queue) for p in range(3)])
    won = [key for _ in range(3) for key in queue.get()]
    assert sorted(won) == list(range(3000))
    assert all(d[key].startswith("process ") for key in range(3000))


def fill(address, count):
    d = reopen(address)
    for n in range(count):
        d[f"f{n}"] = n
        if n % 3 == 2:
            del d[f"f{n - 1}"]


# Enough writes to double a file's table several times (16 times the
# buckets a new file has), and to make a server's hashes grow and rehash
# while a scan is in them.
FILLS = {"file": 60_000, "redis": 20_000, "cluster": 20_000}


def test_iteration_while_another_process_fills(backend):
    d = backend.open()
    present = {f"p{n}": -1 for n in range(300)}
    d.update(present)
    filler = CONTEXT.Process(target=fill, args=(backend.address(d), FILLS[backend.kind]))
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
    if backend.kind == "file":
        assert d.stats()["buckets"] >= 16_384  # the filler doubled the table meanwhile

"""The batches of keys (get_many, set_many, delete_many, contains_many) on
SharedDict, on RedisDict (a standalone server and a Cluster) and, through
the zorvik functions, on brandel: every key fares as the single-key
operation makes it fare, across doublings of the table, with every
serializer; a key or value that cannot be serialized or hashed raises that
operation's error before anything is written; Ctrl-C stops a batch of a
million keys between groups, leaving what a kill there would leave."""

import contextlib
import os
import signal
import threading
import uuid

import pytest

import zorvik
from zorvik import SharedDict
from zorvik.brandel import brandel


def by_length(key):
    return len(key)


def refuses_keys_named_bad(key):
    if key == "bad":
        raise LookupError("no hash for 'bad'")
    return len(key)


class Target:
    """One dictionary under test, by one interface: the single-key operations
    and the batches, methods or zorvik functions, on a table that starts small
    so that a few thousand keys double it (a file's), or on a server at
    `url` (a RedisDict's, whose batches are methods only)."""

    def __init__(self, kind, serializer, functions, hash_function=None, url=None):
        hashing = {} if hash_function is None else {"hash_function": hash_function}
        if kind == "RedisDict":
            self.d = zorvik.open(url, name=f"batches-{uuid.uuid4().hex[:12]}", serializer=serializer, **hashing)
            self.path = None
        elif kind == "SharedDict":
            self.d = SharedDict(capacity=1 << 26, initial_buckets=4, serializer=serializer, **hashing)
            self.path = self.d.path
        else:
            self.d = brandel(size=1 << 26, bucket_chunk_size_exponent=2, bucket_chunk_number=1024,
                             serializer=serializer, **hashing)
            self.path = self.d.name.decode()
        self.kind, self.functions, self.serializer = kind, functions, serializer

    def close(self):
        if self.kind == "RedisDict":
            self.d.unlink()
        if self.kind != "brandel":
            self.d.close()
        del self.d
        if self.path is not None and os.path.exists(self.path):  # a temporary SharedDict's file goes with it
            os.remove(self.path)

    def batch(self, name, *args, **kwargs):
        if (self.functions and self.kind != "RedisDict") or self.kind == "brandel":
            return getattr(zorvik, name)(self.d, *args, **kwargs)
        return getattr(self.d, name)(*args, **kwargs)

    # The single-key operations, as each class has them.
    def get(self, key, default=None):
        if self.kind != "brandel":
            return self.d.get(key, default)
        found = self.d.get(key)
        return found[1] if found[0] else default

    def set(self, key, value):
        if self.kind != "brandel":
            self.d[key] = value
        else:
            self.d.insert(key, value)

    def remove(self, key):
        if self.kind != "brandel":
            return self.d.pop(key, None) is not None
        return self.d.remove(key) == 1

    def buckets(self):
        """The file's buckets (None on a server, which has no table of ours)."""
        if self.kind == "RedisDict":
            return None
        # brandel has no statistics: a SharedDict on its file tells them.
        with SharedDict(self.path, create=False, serializer=self.serializer) as view:
            return view.stats()["buckets"]


TARGETS = [
    ("redis_server", "pickle", False),
    ("redis_cluster", "json", False),
    ("SharedDict", "pickle", False),
    ("SharedDict", "pickle", True),
    ("SharedDict", "json", False),
    ("SharedDict", "msgpack", True),
    ("brandel", "pickle", True),
    ("brandel", "json", True),
]


@pytest.fixture(params=TARGETS, ids=lambda t: "-".join(map(str, t)))
def target(request, segment_dir):
    kind, serializer, functions = request.param
    if serializer == "msgpack":
        pytest.importorskip(serializer)
    url = None
    if kind.startswith("redis_"):  # a RedisDict on the server of that fixture
        kind, url = "RedisDict", request.getfixturevalue(request.param[0]).url
    t = Target(kind, serializer, functions, url=url)
    yield t
    t.close()


def test_batches_fare_as_single_keys_across_doublings(target):
    # A hundred keys stored one at a time, the rest in one batch that doubles
    # the table several times over.
    for n in range(0, 200, 2):
        target.set(f"k{n}", [n])
    buckets = target.buckets()
    target.batch("set_many", {f"k{n}": [n] for n in range(3000) if n % 2 or n >= 200})
    if buckets is not None:
        assert target.buckets() >= 16 * buckets
    target.batch("set_many", [("k5", "first"), ("k5", "last"), ("new", None)])  # the later pair stays

    keys = ["k0", "missing", "k5", "k2999", "new", "k0", "k3000"]
    singles = [target.get(key, "absent") for key in keys]
    assert singles == [[0], "absent", "last", [2999], None, [0], "absent"]
    assert target.batch("get_many", keys, default="absent") == singles
    assert target.batch("get_many", iter(keys)) == [None if v == "absent" else v for v in singles]
    assert target.batch("contains_many", keys) == [v != "absent" for v in singles]
    assert target.batch("get_many", [f"k{n}" for n in range(3000)]) == [
        "last" if n == 5 else [n] for n in range(3000)
    ]

    # A key given twice is removed by its first occurrence.
    assert target.batch("delete_many", ["k0", "missing", "k0", "k1"]) == [True, False, False, True]
    assert [target.remove(key) for key in ("k0", "k1", "k2")] == [False, False, True]
    assert target.batch("delete_many", [f"k{n}" for n in range(3000)]).count(True) == 2997
    assert target.batch("get_many", ["new", "k7"], default=0) == [None, 0]
    assert target.batch("get_many", []) == target.batch("contains_many", ()) == []


def error_of(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - the error is what is compared
        return type(error), str(error)
    raise AssertionError("no error")


def unserializable():
    return lambda: None  # pickle refuses a lambda, json any function


# A batch whose middle key or value is bad: it raises what the single-key
# operation raises for that key, and leaves the file as it was.
BAD_ITEMS = [
    ("key", unserializable),
    ("value", unserializable),
    ("key", lambda: "bad"),  # the hash function refuses it
]


@pytest.mark.parametrize("kind", ["SharedDict", "brandel", "RedisDict"])
@pytest.mark.parametrize("serializer", ["pickle", "json"])
@pytest.mark.parametrize("where, make_bad", BAD_ITEMS)
def test_a_bad_key_in_the_middle_writes_nothing(request, segment_dir, kind, serializer, where, make_bad):
    url = request.getfixturevalue("redis_server").url if kind == "RedisDict" else None
    t = Target(kind, serializer, True, hash_function=refuses_keys_named_bad, url=url)
    try:
        for n in range(20):
            t.set(f"k{n}", n)
        bad = make_bad()
        before = t.batch("get_many", [f"k{n}" for n in range(40)])
        bad_key, bad_value = (bad, 0) if where == "key" else ("k3", bad)
        single = error_of(lambda: t.set(bad_key, bad_value))
        assert t.batch("get_many", [f"k{n}" for n in range(40)]) == before  # the single store failed whole

        pairs = [(f"k{n}", "changed") for n in range(0, 40, 3)]
        pairs.insert(len(pairs) // 2, (bad_key, bad_value))
        assert error_of(lambda: t.batch("set_many", pairs)) == single
        if where == "key":
            single_get = error_of(lambda: t.get(bad))
            keys = [f"k{n}" for n in range(0, 40, 3)]
            keys.insert(len(keys) // 2, bad)
            assert error_of(lambda: t.batch("get_many", keys)) == single_get
            assert error_of(lambda: t.batch("contains_many", keys)) == single_get
            assert error_of(lambda: t.batch("delete_many", keys)) == single_get
        assert t.batch("get_many", [f"k{n}" for n in range(40)]) == before
    finally:
        t.close()


def test_update_keeps_the_mapping_protocol(segment_dir):
    with SharedDict(capacity=1 << 26, initial_buckets=4) as d:
        d.update({"a": 1}, b=2)
        d.update([("c", 3), ["d", 4]], a=5)
        d.update({"e": 5}.items())  # an iterable of pairs, not a mapping
        assert d == {"a": 5, "b": 2, "c": 3, "d": 4, "e": 5}

        # Pairs are read as they come: before a bad one, as many are stored
        # as a dict's update stores, more than one batch's worth.
        def pairs(bad):
            yield from ((f"p{n}", n) for n in range(10000))
            yield bad
            yield ("after", 0)

        for bad, error in [(("x",), ValueError), (5, TypeError), ((threading.Lock(), 0), TypeError)]:
            expected = {}
            try:
                expected.update(pairs(bad))
            except ValueError as from_dict:
                message = str(from_dict)
            except TypeError:  # dict's own text for it differs between versions
                message = "element #10000"
            else:  # a dict takes any hashable key; the file refuses what cannot be pickled
                del expected[bad[0]], expected["after"]
                message = "cannot pickle"
            d.clear()
            with pytest.raises(error, match=message):
                d.update(pairs(bad))
            assert dict(d) == expected and len(expected) == 10000

@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: zorvik.get_many({}, ["k"]), TypeError, "must be a SharedDict or a zorvik.brandel.brandel, not dict"),
        (lambda: zorvik.contains_many(None, ["k"]), TypeError, "not NoneType"),
        (lambda: zorvik.set_many(SharedDict.__new__(SharedDict), {}), ValueError, "never opened"),
        (lambda: zorvik.get_many(brandel.__new__(brandel), ["k"]), ValueError, "brandel without a map"),
        (lambda: zorvik.delete_many(SharedDict.__new__(SharedDict), 5), TypeError, "not iterable"),
        (lambda: zorvik.set_many(SharedDict.__new__(SharedDict), [("k", 1, 2)]), ValueError, "length 3; 2 is"),
        (lambda: zorvik.get_many(), TypeError, "at least 2 positional arguments"),
    ],
)
def test_functions_refuse_what_is_not_a_dictionary(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_a_closed_dictionary_refuses_batches(segment_dir):
    d = SharedDict(capacity=1 << 24)
    d.close()
    single = error_of(lambda: d.get("k"))
    for call in (lambda: d.get_many(["k"]), lambda: d.set_many({"k": 1}), lambda: zorvik.delete_many(d, ["k"])):
        assert error_of(call) == single



# ---- Ctrl-C in a batch of a million keys ----------------------------------------------------


MILLION = 1_000_000


@contextlib.contextmanager
def interrupt_soon():
    """Ctrl-C (KeyboardInterrupt) 20 ms into the block, far less than each
    operation below takes; a batch answers it between groups of keys."""
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, 0.02)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def stored_prefix(d):
    """The keys stored are 0 to n - 1 for some n below a million."""
    n = len(d)
    return n < MILLION and all(d.contains_many(range(n)))


def removed_prefix(d):
    """The keys removed are 0 to k - 1 for some k; the others stay."""
    k = MILLION - len(d)
    return 0 < len(d) and not any(d.contains_many(range(k))) and all(d.contains_many(range(k, MILLION)))


# (operation, whether it starts on a full dictionary, what must hold once it stopped).
INTERRUPTED = [
    ("set_many", lambda d: d.set_many(zip(range(MILLION), range(MILLION))), False, stored_prefix),
    ("update", lambda d: d.update(dict.fromkeys(range(MILLION), 0)), False, stored_prefix),
    ("delete_many", lambda d: d.delete_many(range(MILLION)), True, removed_prefix),
    ("clear", lambda d: d.clear(), True, lambda d: 0 < len(d)),
    ("get_many", lambda d: d.get_many(range(MILLION)), True, None),
    ("contains_many", lambda d: d.contains_many(range(MILLION)), True, None),
    ("copy", lambda d: d.copy(), True, None),
    ("dict", dict, True, None),
]


@pytest.mark.parametrize("name, operation, full, left", INTERRUPTED, ids=[case[0] for case in INTERRUPTED])
def test_ctrl_c_stops_a_long_batch_as_a_kill_would(segment_dir, name, operation, full, left):
    with SharedDict() as d:
        if full:
            d.set_many(zip(range(MILLION), range(MILLION)))
        result = None
        with pytest.raises(KeyboardInterrupt), interrupt_soon():
            result = operation(d)
        assert result is None  # stopped, not finished with the interrupt raised afterwards
        if left is not None:
            assert left(d)

"""insert, get and remove, as methods and as module functions."""

import importlib.util
import re
import threading
import traceback
import types

import pytest

from brandel_helpers import SMALL

import zorvik.brandel as module
from zorvik.brandel import brandel


@pytest.fixture
def d(segment_dir):
    return brandel(**SMALL)


def exact(message):
    return "^" + re.escape(message) + "$"


def frame_names(error):
    return [frame.name for frame in traceback.extract_tb(error.__traceback__)]


def test_results_and_their_shapes(d):
    assert d.get("absent") == [False]
    assert d.remove("absent") == 0
    assert d.insert("k", "v") == 1
    assert d.get("k") == [True, "v"]
    assert d.insert("k", "w" * 1000) == 1
    assert d.get("k") == [True, "w" * 1000]
    assert d.insert("k", "") == 1
    assert d.get("k") == [True, ""]
    assert d.remove("k") == 1
    assert d.get("k") == [False]
    assert d.remove("k") == 0


def test_module_functions_and_methods_share_entries(d):
    assert module.dict_insert(d, "k", 1) == 1
    assert d.get("k") == [True, 1]
    assert module.dict_get(target=d, input_key="k") == [True, 1]
    assert module.dict_remove(d, input_key="k") == 1
    assert module.dict_get(d, "k") == [False]


SERIALIZER_VALUES = {
    "pickle": [("tuple", (1, 2.5, None)), (frozenset({1, 2}), {b"bytes": bytearray(b"x")}), (10**30, 1j)],
    "json": [("text", {"a": [1, 2.5, None, True]}), (3, "ünïcode ✓"), ("long", "x" * 5000)],
    "orjson": [("text", {"a": [1, 2.5, None, True]}), (3, "ünïcode ✓")],
    "msgpack": [("list", [1, b"raw", "text"]), (b"bytes key", {"nested": [1.5]})],
    "msgspec": [("text", {"a": [1, 2.5, None, True]}), (3, "ünïcode ✓")],
}


@pytest.mark.parametrize("serializer", sorted(SERIALIZER_VALUES))
def test_each_serializer_round_trips(segment_dir, serializer):
    if serializer not in ("pickle", "json") and importlib.util.find_spec(serializer) is None:
        pytest.skip(f"{serializer} is not installed")
    d = brandel(serializer=serializer, **SMALL)
    for key, value in SERIALIZER_VALUES[serializer]:
        assert d.insert(key, value) == 1
    for key, value in SERIALIZER_VALUES[serializer]:
        assert d.get(key) == [True, value]
        assert d.remove(key) == 1
        assert d.get(key) == [False]


def test_keys_equal_in_python_but_not_in_bytes_are_distinct(d):
    for key in (1, 1.0, True):
        d.insert(key, repr(key))
    for key in (1, 1.0, True):
        assert d.get(key) == [True, repr(key)]
    assert d.remove(1.0) == 1
    assert d.get(1) == [True, "1"] and d.get(True) == [True, "True"] and d.get(1.0) == [False]


def test_a_key_is_hashed_once_per_operation_after_its_serialization(d):
    # Exact ints, strs and bytes are hashed before they are serialised (their
    # hash runs no Python code); a key whose hashing runs Python code sees one
    # call per operation, after its dumps.
    events = []

    class Key(int):
        def __hash__(self):
            events.append("hash")
            return int.__hash__(self)

        def __reduce__(self):
            events.append("dumps")
            return (int, (int(self),))

    key = Key(5)
    for operation in (lambda: d.insert(key, "v"), lambda: d.get(key), lambda: d.remove(key)):
        events.clear()
        operation()
        assert events == ["dumps", "hash"]


def test_colliding_hashes_keep_every_key(segment_dir):
    d = brandel(hash_function=lambda key: 7, **SMALL)
    keys = [f"key{i}" for i in range(40)]
    for i, key in enumerate(keys):
        d.insert(key, i)
    for key in keys[::3]:
        assert d.remove(key) == 1
    for i, key in enumerate(keys):
        assert d.get(key) == ([False] if i % 3 == 0 else [True, i])


@pytest.mark.parametrize(
    ("hash_function", "error", "message"),
    [
        (lambda key: 1 / 0, ZeroDivisionError, "division by zero"),
        (lambda key: "7", TypeError, "hash function returned non-int (type str)"),
        (lambda key: 7.0, TypeError, "hash function returned non-int (type float)"),
        (lambda key: 2**70, OverflowError, "hash function returned an int beyond 64 bits!"),
        (hash, TypeError, "unhashable type: 'list'"),
    ],
    ids=["raises", "str", "float", "too-large", "unhashable"],
)
def test_hash_function_failures(segment_dir, hash_function, error, message):
    d = brandel(hash_function=hash_function, **SMALL)
    key = ["unhashable"] if hash_function is hash else "k"
    for operation in (lambda: d.insert(key, 1), lambda: d.get(key), lambda: d.remove(key)):
        with pytest.raises(error, match=exact(message)):
            operation()


def test_hash_values_at_the_64_bit_edges(segment_dir):
    hashes = {"low": -(2**63), "minus one": -1, "high": 2**63 - 1, "true": True}
    d = brandel(hash_function=hashes.__getitem__, **SMALL)
    for key in hashes:
        d.insert(key, key)
    for key in hashes:
        assert d.get(key) == [True, key]


class Codec:
    """A serializer whose dumps returns whatever it was given."""

    def __init__(self, dumps):
        self.dumps = dumps
        self.loads = lambda data: data


@pytest.mark.parametrize(
    ("dumps", "error", "message"),
    [
        (lambda obj: "text", TypeError, "Expected bytes, got str"),
        (lambda obj: type("Sub", (bytes,), {})(b"x"), TypeError, "Expected bytes, got Sub"),
        (lambda obj: bytearray(b"x"), TypeError, "Expected bytes, got bytearray"),
        (lambda obj: None, TypeError, "expected bytes, NoneType found"),
        (lambda obj: 1 / 0, ZeroDivisionError, "division by zero"),
    ],
    ids=["str", "bytes-subclass", "bytearray", "none", "raises"],
)
def test_odd_serializer_results_are_refused(segment_dir, monkeypatch, dumps, error, message):
    monkeypatch.setattr(module, "pickle", Codec(dumps), raising=False)
    d = brandel(**SMALL)
    for operation in (lambda: d.insert(b"k", b"v"), lambda: d.get(b"k"), lambda: d.remove(b"k")):
        with pytest.raises(error, match=exact(message)):
            operation()


def test_raw_bytes_including_empty_values(segment_dir, monkeypatch):
    monkeypatch.setattr(module, "pickle", Codec(lambda obj: obj), raising=False)
    d = brandel(**SMALL)
    for value in (b"", b"\x00" * 3, bytes(range(256)) * 5):
        assert d.insert(b"k", value) == 1
        assert d.get(b"k") == [True, value]
    assert d.insert(b"", b"empty key") == 1
    assert d.get(b"") == [True, b"empty key"]


def test_serializer_failure_leaves_no_trace(d):
    d.insert("kept", "old")
    unpicklable = threading.Lock()
    with pytest.raises(TypeError):
        d.insert("new", unpicklable)
    with pytest.raises(TypeError):
        d.insert("kept", unpicklable)
    assert d.get("new") == [False]
    assert d.get("kept") == [True, "old"]


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda d: module.dict_insert(None, 1, 2), TypeError,
         "Argument 'target' has incorrect type (expected zorvik.brandel.brandel, got NoneType)"),
        (lambda d: module.dict_get(d), TypeError, "dict_get() takes exactly 2 positional arguments (1 given)"),
        (lambda d: module.dict_remove(d, 1, 2), TypeError,
         "dict_remove() takes exactly 2 positional arguments (3 given)"),
        (lambda d: module.dict_insert(d, 1, input_key=2), TypeError,
         "dict_insert() got multiple values for keyword argument 'input_key'"),
        (lambda d: d.insert(1), TypeError, "insert() takes exactly 2 positional arguments (1 given)"),
        (lambda d: d.get(key=1), TypeError, "get() got an unexpected keyword argument 'key'"),
        (lambda d: d.remove(), TypeError, "remove() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_argument_errors(d, call, error, message):
    with pytest.raises(error, match=exact(message)):
        call(d)


@pytest.mark.parametrize(
    ("call", "entries"),
    [
        (lambda d: d.insert("k", threading.Lock()), ["zorvik.brandel.brandel.insert", "zorvik.brandel.dict_insert"]),
        (lambda d: d.get(["k"]), ["zorvik.brandel.brandel.get", "zorvik.brandel.dict_get"]),
        (lambda d: d.remove(["k"]), ["zorvik.brandel.brandel.remove", "zorvik.brandel.dict_remove"]),
        (lambda d: module.dict_insert(d, ["k"], 1), ["zorvik.brandel.dict_insert"]),
    ],
)
def test_failures_name_the_operation_in_the_traceback(d, call, entries):
    with pytest.raises(TypeError) as caught:
        call(d)
    # Outermost first: a method's entry stands above the function it ran.
    assert frame_names(caught.value)[-len(entries):] == entries


def test_docstrings_and_qualified_names():
    functions = {
        module.dict_insert: ("dict_insert", "dict_insert(target: brandel, input_key, input_value) -> int\n\ninsert"),
        module.dict_get: ("dict_get", "dict_get(target: brandel, input_key) -> list\n\nget"),
        module.dict_remove: ("dict_remove", "dict_remove(target: brandel, input_key) -> int\n\nremove"),
        module.dict_expansion: ("dict_expansion", "dict_expansion(name: bytes, target_length: int)\n\nexpand"),
        brandel.insert: ("brandel.insert", "insert(self, input_key, input_value) -> int\n\ninsert"),
        brandel.get: ("brandel.get", "get(self, input_key) -> list\n\nget"),
        brandel.remove: ("brandel.remove", "remove(self, input_key) -> int\n\nremove"),
        brandel.expansion: ("brandel.expansion", "expansion(self, parallelism: int = 0) -> int\n\nexpand"),
    }
    for function, (qualname, doc_start) in functions.items():
        assert function.__qualname__ == qualname
        assert function.__doc__.startswith(doc_start)
    assert module.dict_insert.__doc__.endswith(":param input_value: python object to insert \n    :return: 1 if successful\n    ")
    assert brandel.get.__doc__.endswith("if the first boolean value is True. \n        ")
    assert brandel.__doc__ == "\nclass provide brandel\n    "
    assert brandel.__init__.__doc__.startswith("__init__(self, name: bytes = None, size: int = 650000000,")
    assert brandel.__init__.__doc__.endswith("if not it is default value hash\n        ")


def test_subclass_override_is_seen_from_python_only(segment_dir):
    calls = []

    class Recording(brandel):
        def insert(self, input_key, input_value):
            calls.append(input_key)
            return 5

    d = Recording(**SMALL)
    assert d.insert("k", "v") == 5
    assert d.get("k") == [False]
    assert module.dict_insert(d, "k", "v") == 1
    assert calls == ["k"] and d.get("k") == [True, "v"]


def test_finalising_during_an_operation_is_refused(segment_dir):
    holder = {}

    def finalising_hash(key):
        holder["d"].__del__()
        return 1

    d = holder["d"] = brandel(hash_function=finalising_hash, **SMALL)
    with pytest.raises(ValueError, match="without a map"):
        d.insert("k", "v")


def test_threads_share_one_dictionary(d):
    def work(worker):
        for i in range(200):
            d.insert((worker, i), i)

    threads = [threading.Thread(target=work, args=(w,)) for w in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(d.get((w, i)) == [True, i] for w in range(4) for i in range(200))

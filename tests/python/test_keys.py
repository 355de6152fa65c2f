"""Keys are found by equality: under pickle a key is stored by its key form,
the same bytes for equal keys whatever objects they share and whatever
order their frozensets hold (in every process); keys stored by pickle's own
form (by earlier versions) stay found; numbers of different types stay
different keys; tuple keys come back as tuples under JSON and msgpack."""

import datetime
import io
import os
import pickle
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zorvik import SharedDict, tools
from zorvik._shared import pickle_key
from zorvik.fennick import portable_hash
from zorvik.redis_dict.dump_stream import DumpWriter

TINY = dict(capacity=1 << 24)


def fresh(text):
    """An str equal to `text` and not the same object (for 2 characters or more)."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")


def unshared(key):
    """An equal key that holds no object twice: pickle writes it in full."""
    if type(key) is tuple:
        return tuple([unshared(item) for item in key])
    if type(key) is str:
        return fresh(key)
    if type(key) is bytes:
        return bytes(bytearray(key))
    return key


S = "ab" * 2
BIG = "é" * 70_000  # stored outside pickle's frames

# Equal keys built with different sharing, or frozensets built in different
# orders: each pair is one key.
EQUAL_KEYS = [
    ((S, S), (S, fresh(S))),
    ((b"xy", b"xy"), (b"xy", bytes(bytearray(b"xy")))),
    (((1, S), (1, S)), ((1, S), (1, fresh(S)))),
    ((("a", "a"), "a"), (("a", "a"), "a")),  # one-character strings are always shared
    (frozenset([S, "cd", "ef", "gh"]), frozenset(["gh", "ef", "cd", fresh(S)])),
    (frozenset(range(0, 64, 8)), frozenset(range(56, -1, -8))),  # colliding ints, added in other orders
    ((frozenset({S, "x"}), S), (frozenset({"x", fresh(S)}), fresh(S))),
    ((BIG, BIG, 7), (BIG, fresh(BIG), 7)),
]


@pytest.mark.parametrize("first, second", EQUAL_KEYS)
def test_equal_keys_are_one_key(segment_dir, first, second):
    assert first == second
    assert pickle_key(first) == pickle_key(second)
    assert pickle.loads(pickle_key(first)) == first
    with SharedDict(**TINY) as d:
        d[first] = "first"
        assert second in d and d[second] == "first" and d.get_many([second]) == ["first"]
        d[second] = "second"
        assert len(d) == 1 and d[first] == "second"
        assert list(d) == [first]
        del d[second]
        assert first not in d and len(d) == 0


# A key that holds no object twice and no frozenset of several elements keeps
# the bytes pickle writes (files written before the key form hold them); so
# does a key with an object of another type in it (a date), stored as pickle
# writes it.
@pytest.mark.parametrize("key", [
    ("abcd", 1.5, None, True, -(2**70), b"bb", ("deep", (3,))),
    frozenset({"one"}), (), ("x", ()), (datetime.date(2024, 1, 1), "x", "x"),
])
def test_keys_that_hold_nothing_twice_keep_pickles_bytes(key):
    key = unshared(key)
    assert pickle_key(key) == pickle.dumps(key, 5)


TEXT = st.text(min_size=2, max_size=6) | st.sampled_from(["x" * 65_536, "y" * 65_540, "z" * 100_000])
ATOMS = (st.none() | st.booleans() | st.integers() | st.integers(-(2**600), 2**600) | st.floats(allow_nan=False)
         | TEXT | st.binary(min_size=2, max_size=6))
TREES = st.recursive(ATOMS, lambda inner: st.lists(inner, max_size=5).map(tuple), max_leaves=30)


@settings(max_examples=150, deadline=None)
@given(TREES, st.data())
def test_a_key_that_holds_an_object_twice_is_stored_as_if_it_did_not(tree, data):
    # A key that holds one of its parts again, by identity (pickle would write
    # a back-reference), is stored by the bytes pickle writes for an equal key
    # made of distinct objects, framing and all.
    parts = [tree, *(tree if type(tree) is tuple else ())]
    key = tuple(data.draw(st.lists(st.sampled_from(parts), min_size=2, max_size=4)))
    assert pickle_key(key) == pickle.dumps(unshared(key), 5)


def test_frozensets_are_stored_alike_under_every_hash_seed(tmp_path):
    script = ("import sys; from zorvik._shared import pickle_key; "
              "sys.stdout.write(pickle_key((frozenset(['apple', 'pear', 'fig', b'kiwi', ('a', 1)]), 'x')).hex())")
    forms = {subprocess.run([sys.executable, "-c", script], env={**os.environ, "PYTHONHASHSEED": str(seed)},
                            capture_output=True, text=True, check=True, cwd=tmp_path).stdout
             for seed in range(6)}
    assert len(forms) == 1


@pytest.mark.parametrize("keys", [(1, 1.0, True), (0.0, -0.0), ((1,), (1.0,), (True,)), (0, False)])
def test_numbers_of_different_types_are_different_keys(segment_dir, keys):
    # Equal in a dict, stored by different bytes: documented as different keys.
    with SharedDict(**TINY) as d:
        for n, key in enumerate(keys):
            d[key] = n
        assert len(d) == len(keys) and [d[key] for key in keys] == list(range(len(keys)))


# ---- keys stored by pickle's own form ------------------------------------------------------


def plant(path, key, value):
    """An entry whose key is stored by pickle.dumps(key, 5): as a SharedDict
    of an earlier version stored it."""
    out = io.BytesIO()
    writer = DumpWriter(out)
    writer.entry(portable_hash(key), pickle.dumps(key, 5), pickle.dumps(value, 5))
    writer.finish()
    out.seek(0)
    tools.load(path, out)


SHARED = (S, S)  # its pickle holds a back-reference, its key form does not
assert pickle.dumps(SHARED, 5) != pickle_key(SHARED)

# Each operation on a key stored by pickle's form: what it returns, and the
# entries left. A read leaves the entry as it is; a write leaves the key
# stored by its key form alone, which every equal key finds.
OPERATIONS = [
    ("get", lambda d: d[SHARED], 5, {SHARED: 5}),
    ("contains", lambda d: (SHARED in d, d.contains_many([SHARED, 1])), (True, [True, False]), {SHARED: 5}),
    ("get_many", lambda d: d.get_many([SHARED, 1]), [5, None], {SHARED: 5}),
    ("set", lambda d: d.__setitem__(SHARED, 6), None, {SHARED: 6}),
    ("set_many", lambda d: d.set_many({SHARED: 6, 1: 1}), None, {SHARED: 6, 1: 1}),
    ("delete", lambda d: d.__delitem__(SHARED), None, {}),
    ("delete_many", lambda d: d.delete_many([SHARED, 1]), [True, False], {}),
    ("pop", lambda d: d.pop(SHARED), 5, {}),
    ("setdefault", lambda d: d.setdefault(SHARED, 0), 5, {SHARED: 5}),
    ("increment", lambda d: d.increment(SHARED), 6, {SHARED: 6}),
    ("compare_and_set", lambda d: d.compare_and_set(SHARED, 5, 7), True, {SHARED: 7}),
]
READS = ("get", "contains", "get_many")


@pytest.mark.parametrize("name, operation, result, after", OPERATIONS, ids=[o[0] for o in OPERATIONS])
def test_keys_stored_by_pickles_own_form_stay_found(segment_dir, name, operation, result, after):
    with SharedDict(**TINY) as d:
        plant(d.path, SHARED, 5)
        assert operation(d) == result
        assert d.copy() == after and len(d) == len(after)
        if SHARED in after and name not in READS:
            assert d[unshared(SHARED)] == after[SHARED]


def test_a_key_in_both_forms_reads_as_its_key_form_and_goes_at_once(segment_dir):
    # A process of an earlier version may store the pickled form beside the key form.
    with SharedDict(**TINY) as d:
        d[SHARED] = "new"
        plant(d.path, SHARED, "old")
        assert len(d) == 2 and d[SHARED] == "new" and d.get_many([SHARED]) == ["new"]
        assert d.pop(SHARED) == "new" and SHARED not in d and len(d) == 0


# ---- serializers without tuples -------------------------------------------------------------


@pytest.mark.parametrize("serializer", ["json", "orjson", "msgpack", "msgspec"])
def test_tuple_keys_come_back_as_tuples(segment_dir, serializer):
    if serializer != "json":
        pytest.importorskip(serializer)
    entries = {(1, "a"): [1, 2], ("deep", (2, (3,))): "v", (): 0, "plain": (4, 5)}
    with SharedDict(serializer=serializer, **TINY) as d:
        d.update(entries)
        assert d.copy() == dict(d) == {**entries, "plain": [4, 5]}  # values are the serializer's own
        assert d == {**entries, "plain": [4, 5]}
        assert set(d.keys()) == set(entries) and sorted(map(repr, d)) == sorted(map(repr, entries))
        taken = dict(d.popitem() for _ in range(len(entries)))
        assert set(taken) == set(entries)

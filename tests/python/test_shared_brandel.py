"""brandel and SharedDict on one file: either opens the other's file, both
see every entry and every doubling, with the same serializer and hash.
Under pickle, SharedDict writes protocol 5 and brandel the interpreter's
default, so their pickle keys meet only where that default is 5 (3.14)."""

import os
import pickle

import pytest

from zorvik import SharedDict
from zorvik.brandel import brandel


def by_length(key):
    return len(key)


@pytest.mark.parametrize("hash_function", [None, by_length])
def test_one_file_two_interfaces(segment_dir, hash_function):
    hashing = {} if hash_function is None else {"hash_function": hash_function}
    b = brandel(size=1 << 24, bucket_chunk_size_exponent=2, bucket_chunk_number=1024, serializer="json", **hashing)
    for n in range(50):
        b.insert(f"b{n}", n)
    with SharedDict(b.name.decode(), serializer="json", **hashing) as d:
        assert len(d) == 50 and d["b7"] == 7 and d.stats()["buckets"] >= 16
        d.update((f"s{n}", n) for n in range(500))  # doubles the table brandel made, by load
        assert d.stats()["buckets"] >= 256
        assert b.get("s499") == [True, 499] and b.remove("b0") == 1 and "b0" not in d
        assert b.expansion(1) == 1  # a doubling by brandel's pool, seen by SharedDict
        assert d.stats()["buckets"] >= 512
        assert d == {**{f"b{n}": n for n in range(1, 50)}, **{f"s{n}": n for n in range(500)}}
        assert d.increment("b1", 10) == 11 and b.get("b1") == [True, 11]
    del b
    os.remove(d.path)

    # The other way round: a file SharedDict made, opened by brandel.
    with SharedDict(segment_dir / "made", serializer="json", **hashing) as d:
        d["k"] = [1, 2]
        other = brandel(os.fsencode(d.path), serializer="json", **hashing)
        assert other.get("k") == [True, [1, 2]]
        other.insert("from brandel", 3)
        assert d["from brandel"] == 3 and len(d) == 2


def test_pickle_keys_meet_where_the_default_protocol_is_5(segment_dir):
    b = brandel(size=1 << 24, bucket_chunk_size_exponent=4)
    b.insert("brandel's", 1)
    with SharedDict(b.name.decode()) as d:
        d["shared's"] = 2
        meet = pickle.DEFAULT_PROTOCOL == 5
        assert ("brandel's" in d) == meet
        assert b.get("shared's") == ([True, 2] if meet else [False])
        assert len(d) == 2  # the entries are there either way
    del b
    os.remove(d.path)

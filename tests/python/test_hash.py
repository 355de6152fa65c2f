"""The default hash gives a key the same hash in every process, whatever the
process's hash seed: what hash(key) is under PYTHONHASHSEED=0 for str, bytes
and containers of them, what it has always been for every other key."""

import datetime
import enum
import gzip
import json
import multiprocessing
import shutil
import sys
from pathlib import Path

import pytest

import hash_keys
import segment_file
from brandel_helpers import run_python
from zorvik.brandel import brandel
from zorvik.fennick import portable_hash

HERE = Path(__file__).resolve().parent


def hashes_in_child(which, seed):
    """hash_keys.<which>() in a new interpreter started with PYTHONHASHSEED=seed."""
    output = run_python(
        f"import sys; sys.path.insert(0, {str(HERE)!r}); import hash_keys; hash_keys.print_hashes({which!r})",
        cwd=HERE,
        env={"PYTHONHASHSEED": seed},
    )
    return json.loads(output)


def test_default_hash_is_the_builtin_hash_under_seed_zero():
    under_seed_zero = hashes_in_child("builtin_hashes", "0")
    default = {seed: hashes_in_child("default_hashes", seed) for seed in ("1", "2")}
    assert default["1"] == default["2"] == hash_keys.default_hashes()
    assert {name: portable_hash(key) for name, key in hash_keys.KEYS.items()} == default["1"]
    expected = dict(under_seed_zero)
    if sys.version_info < (3, 12):
        # There, hash(None) is None's address; the default hash takes the
        # constant of later versions.
        assert default["1"]["None"] == hash_keys.NONE_HASH
        for name in hash_keys.HOLD_NONE:
            expected[name] = default["1"][name]
    assert default["1"] == expected


class Colour(enum.Enum):
    RED = "red"


class OwnHash(str):
    def __hash__(self):
        return 4242


@pytest.mark.parametrize(
    "key",
    [datetime.datetime(2024, 5, 6, 7, 8, 9), Colour.RED, OwnHash("apple"), (OwnHash("in a tuple"), 1), 10**30, 0.1],
    ids=["datetime", "enum-member", "str-with-its-own-hash", "tuple-of-such", "int", "float"],
)
def test_every_other_key_hashes_as_the_builtin_hash(key):
    assert hash_keys.default_hash(key) == hash(key)


def deep_tuple(depth):
    key = ()
    for _ in range(depth):
        key = (key,)
    return key


class HashFails:
    """Fails to hash, but for once when `joins_a_set`."""

    def __init__(self, joins_a_set=False):
        self.hashed = not joins_a_set

    def __hash__(self):
        if self.hashed:
            raise ValueError("no hash here")
        self.hashed = True
        return 1


@pytest.mark.parametrize(
    ("key", "error", "message"),
    [
        (("a", ["unhashable"]), TypeError, "unhashable type: 'list'"),
        (frozenset({"a", HashFails(joins_a_set=True)}), ValueError, "no hash here"),
        (("a", (HashFails(),)), ValueError, "no hash here"),
        (lambda: deep_tuple(1_000_000), RecursionError, "while hashing a key"),  # made when the test runs
    ],
    ids=["unhashable-item", "frozenset-element-raises", "nested-item-raises", "nested-too-deep"],
)
def test_a_key_that_cannot_be_hashed_raises(key, error, message):
    if callable(key):
        key = key()
    with pytest.raises(error, match=message):
        hash_keys.default_hash(key)


START_METHODS = [m for m in ("spawn", "forkserver") if m in multiprocessing.get_all_start_methods()]


@pytest.mark.parametrize("start_method", START_METHODS)
def test_processes_on_other_seeds_share_text_keys(segment_dir, start_method):
    # A parent on a random seed inserts; a pool worker, a new interpreter on
    # a seed of its own (it checks that), finds, replaces and removes every
    # key; this process, on yet another seed, finds what they left.
    name = run_python(
        f"""
        import multiprocessing, sys
        sys.path.insert(0, {str(HERE)!r})
        import hash_keys
        from zorvik.brandel import brandel

        if __name__ == "__main__":
            d = brandel(size=1 << 22, bucket_chunk_size_exponent=4)
            keys = list(hash_keys.SERIALIZE_ALIKE.values())
            for i, key in enumerate(keys):
                assert d.insert(key, hash_keys.value_of(i, 0)) == 1
            with multiprocessing.get_context({start_method!r}).Pool(1) as pool:
                found = pool.apply(hash_keys.read_replace_remove, (d.name, hash("apple")))
            assert found == [[True, hash_keys.value_of(i, 0)] for i in range(len(keys))], found
            print(d.name.decode())
        """,
        cwd=segment_dir,
        env={"PYTHONHASHSEED": "random"},
    ).strip()
    d = brandel(name.encode())
    keys = list(hash_keys.SERIALIZE_ALIKE.values())
    assert [d.get(key) for key in keys] == [hash_keys.after_read_replace_remove(i) for i in range(len(keys))]
    structure = segment_file.check_structure(name)
    assert structure.faults == []
    assert structure.entries == len([i for i in range(len(keys)) if i % 3 != 0])


def test_a_file_written_under_seed_zero_before_is_read(segment_dir):
    # Written by the build that called the built-in hash, under
    # PYTHONHASHSEED=0 (hash_keys.write_seed_zero_file); read here on
    # another seed, then changed.
    path = segment_dir / "seed_zero"
    with gzip.open(HERE / hash_keys.SEED_ZERO_FILE) as source, open(path, "wb") as target:
        shutil.copyfileobj(source, target)
    run_python(
        f"""
        import sys; sys.path.insert(0, {str(HERE)!r})
        from hash_keys import KEYS, seed_zero_file_keys
        from zorvik.brandel import brandel
        d = brandel({str(path).encode()!r}, serializer="json")
        names = seed_zero_file_keys()
        missing = [name for name in names if d.get(KEYS[name]) != [True, name]]
        assert not missing, missing
        for name in names[::2]:
            assert d.remove(KEYS[name]) == 1
        for name in names[1::2]:
            d.insert(KEYS[name], "replaced")
        """,
        cwd=segment_dir,
        env={"PYTHONHASHSEED": "12345"},
    )
    names = hash_keys.seed_zero_file_keys()
    d = brandel(str(path).encode(), serializer="json")
    assert [d.get(hash_keys.KEYS[name]) for name in names[1::2]] == [[True, "replaced"]] * len(names[1::2])
    assert [d.get(hash_keys.KEYS[name]) for name in names[::2]] == [[False]] * len(names[::2])
    structure = segment_file.check_structure(path)
    assert structure.faults == [] and structure.entries == len(names[1::2])

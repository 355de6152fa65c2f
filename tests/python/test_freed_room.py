"""Room that removals free serves every store: once a file's capacity is all
allocated, removing entries makes room for new ones of any size, and for the
table's doublings, whatever kind of chunk the removed entries (or a store
that failed) freed; also in a process that opens the file afterwards."""

import errno

import pytest

from zorvik import SharedDict, _upkeep, tools


def fill(d, value, prefix="k"):
    """Stores (prefix, n): value for n = 0, 1, ... until the file is full; how many fitted."""
    n = 0
    while True:
        try:
            d[(prefix, n)] = value
        except OSError as full:
            assert full.errno == errno.ENOSPC, full
            return n
        n += 1
        assert n < 10**6, "the file never filled up"


def stored(path, value, capacity, before=None):
    """A new file of `capacity` bytes filled with `value` after `before(d)`:
    the entries that fitted and the buckets its table reached."""
    d = SharedDict(path, capacity=capacity)
    if before is not None:
        before(d)
    n = fill(d, value)
    buckets = d.stats()["buckets"]
    d.close()
    return n, buckets


def failed_big_store(d):
    with pytest.raises(OSError) as full:
        d["big"] = b"x" * (4 << 20)
    assert full.value.errno == errno.ENOSPC and "big" not in d


def test_a_failed_big_store_leaves_its_room_to_the_entries_after_it(tmp_path):
    value = b"v" * 1000
    fresh, _ = stored(tmp_path / "fresh", value, 8 << 20)
    path = tmp_path / "d"
    n, _ = stored(path, value, 8 << 20, failed_big_store)
    assert n >= 0.98 * fresh, (n, fresh)
    # Removals make room for new entries of another size, in this process
    # and in the next one.
    for round in range(2):
        with SharedDict(path) as d:
            for k in range(50 * round, 50 * round + 50):
                del d[("k", k)]
            for k in range(50 * round, 50 * round + 50):
                d[("small", k)] = k
            assert all(d[("small", k)] == k for k in range(50 * round + 50))
            assert len(d) == n
        # What the removals freed is counted, as a walk of the free lists finds it.
        with SharedDict(path) as d:
            listed = d.stats()["bytes_free_listed"]
        assert listed == _upkeep.survey(str(path), None)["space"]["free_listed"] and listed > 0, listed
    assert tools.check(path)["clean"]


def test_the_room_of_a_removed_big_value_serves_small_entries_and_the_table(tmp_path):
    fresh, fresh_buckets = stored(tmp_path / "fresh", 1, 16 << 20)

    def big_value_stored_and_removed(d):
        d["big"] = b"x" * (6 << 20)
        del d["big"]

    path = tmp_path / "d"
    n, buckets = stored(path, 1, 16 << 20, big_value_stored_and_removed)
    assert n >= 0.95 * fresh and buckets == fresh_buckets, (n, fresh, buckets, fresh_buckets)
    with SharedDict(path) as d:
        assert d[("k", n - 1)] == 1 and len(d) == n
    assert tools.check(path)["clean"]

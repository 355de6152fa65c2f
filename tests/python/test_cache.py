"""SharedDict as a cache: the rules kept in the file (bounds, eviction policy,
default TTL), the options an opener gives against them, and expiry per key
as every read path sees it, in this process and in others."""

import io
import multiprocessing
import os
import pickle
import time

import pytest

from child_process import died_at, in_child

import segment_file
from zorvik import ABSENT, SharedDict, tools

# Long enough that a test never sees it pass by accident; the expiring ones
# use SHORT and wait it out.
LONG = 3600.0
SHORT = 0.05


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "cache")


@pytest.fixture
def cache(path):
    d = SharedDict(path, default_ttl=LONG)
    yield d
    d.close()


def wait_out(ttl=SHORT):
    time.sleep(ttl + 0.02)


# ---- the rules in the file -----------------------------------------------------------


@pytest.mark.parametrize(
    "options, settings",
    [
        (dict(max_entries=10), dict(max_entries=10, max_bytes=None, eviction="lru", default_ttl=None)),
        (dict(eviction="random"), dict(max_entries=None, max_bytes=None, eviction="random", default_ttl=None)),
        (dict(eviction="lfu"), dict(max_entries=None, max_bytes=None, eviction="lfu", default_ttl=None)),
        (dict(max_bytes=2**20), dict(max_entries=None, max_bytes=2**20, eviction="lru", default_ttl=None)),
        (dict(eviction="ttl", max_entries=5), dict(max_entries=5, max_bytes=None, eviction="ttl", default_ttl=None)),
        (dict(default_ttl=1.5), dict(max_entries=None, max_bytes=None, eviction="lru", default_ttl=1.5)),
        (dict(max_entries=3, eviction="lru", default_ttl=0.0004),
         dict(max_entries=3, max_bytes=None, eviction="lru", default_ttl=0.001)),
    ],
)
def test_the_rules_are_kept_in_the_file(path, options, settings):
    with SharedDict(path, **options) as made:
        assert made.cache_settings() == settings
    # Any opener takes the file's rules, with or without options that match.
    with SharedDict(path) as opened:
        assert opened.cache_settings() == settings
    with SharedDict(path, **options) as again:
        assert again.cache_settings() == settings
    assert in_child(lambda: SharedDict(path).cache_settings()).result == settings


def test_a_plain_dictionary_has_no_rules(path):
    with SharedDict(path) as d:
        assert d.cache_settings() is None
        with pytest.raises(ValueError, match="needs a dictionary made as a cache"):
            d.set("k", 1, ttl=5)
        for call in (lambda: d.ttl("k"), lambda: d.expire("k", 5), lambda: d.touch("k")):
            with pytest.raises(ValueError, match="needs a dictionary made as a cache"):
                call()
        d.set("k", 1)  # without a ttl, set is a store
        assert d["k"] == 1


@pytest.mark.parametrize(
    "made, asked, message",
    [
        (dict(max_entries=10), dict(max_entries=20), "was made with max_entries=10; it cannot be opened with max_entries=20"),
        (dict(max_entries=10), dict(eviction="random"), "was made with eviction='lru'; it cannot be opened with eviction='random'"),
        (dict(default_ttl=2), dict(default_ttl=3), "was made with default_ttl=2.0; it cannot be opened with default_ttl=3.0"),
        (dict(eviction="lru"), dict(max_entries=5), "was made with max_entries=None; it cannot be opened with max_entries=5"),
        ({}, dict(max_entries=5), "is a plain dictionary, not a cache"),
        ({}, dict(default_ttl=5), "is a plain dictionary, not a cache"),
    ],
)
def test_an_opener_with_other_rules_is_refused(path, made, asked, message):
    with SharedDict(path, **made) as d:
        d["kept"] = 1
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        SharedDict(path, **asked)
    with SharedDict(path) as d:
        assert dict(d) == {"kept": 1}
        assert (d.cache_settings() is None) == (not made)


@pytest.mark.parametrize(
    "options, error, message",
    [
        (dict(max_entries=0), ValueError, "max_entries must be between 1 and 2\\*\\*47 - 1"),
        (dict(max_entries=-1), ValueError, "max_entries must be between 1"),
        (dict(max_entries=2**47), ValueError, "max_entries must be between 1"),
        (dict(max_entries=2**70), ValueError, "max_entries must be between 1"),
        (dict(max_entries=1.5), TypeError, "max_entries must be an int or None, not float"),
        (dict(max_entries=True), TypeError, "max_entries must be an int or None, not bool"),
        (dict(eviction="LRU"), ValueError, "eviction must be 'lru', 'lfu', 'random' or 'ttl', not 'LRU'"),
        (dict(eviction=b"lru"), TypeError, "eviction must be a str or None, not bytes"),
        (dict(default_ttl=0), ValueError, "default_ttl must be above 0 and at most 100 years"),
        (dict(default_ttl=-1.0), ValueError, "default_ttl must be above 0"),
        (dict(default_ttl=float("nan")), ValueError, "default_ttl must be above 0"),
        (dict(default_ttl=float("inf")), ValueError, "default_ttl must be above 0"),
        (dict(default_ttl=10**12), ValueError, "default_ttl must be above 0"),
        (dict(default_ttl="5"), TypeError, "default_ttl must be a number of seconds or None, not str"),
        (dict(max_bytes=0), ValueError, "max_bytes must be between 1 and 2\\*\\*47 - 1"),
    ],
)
def test_bad_options_are_refused_before_any_file_is_made(path, options, error, message):
    with pytest.raises(error, match=message):
        SharedDict(path, **options)
    with pytest.raises(FileNotFoundError):
        SharedDict(path, create=False)


def test_a_temporary_cache_and_its_pickle(path):
    with SharedDict(max_entries=7) as d:
        d["a"] = 1
        clone = pickle.loads(pickle.dumps(d))
        assert clone.cache_settings()["max_entries"] == 7
        assert clone["a"] == 1
        clone.close()


# ---- expiry ---------------------------------------------------------------------------


def test_ttl_expire_and_touch(cache):
    cache.set("a", 1, ttl=100)
    cache["b"] = 2  # the default TTL
    cache.set("c", 3)
    assert 99 < cache.ttl("a") <= 100
    assert LONG - 5 < cache.ttl("b") <= LONG
    assert cache.expire("a", None) is True
    assert cache.ttl("a") is None
    assert cache.expire("a", 50) is True
    assert 49 < cache.ttl("a") <= 50
    assert cache.touch("a") is True
    assert cache.expire("gone", 5) is False
    assert cache.touch("gone") is False
    with pytest.raises(KeyError, match="gone"):
        cache.ttl("gone")
    for bad in (0, -1, float("nan"), "1"):
        with pytest.raises((ValueError, TypeError), match="ttl must be"):
            cache.set("a", 1, ttl=bad)
        with pytest.raises((ValueError, TypeError), match="ttl must be"):
            cache.expire("a", bad)
    assert cache["a"] == 1  # refused calls changed nothing


def test_a_store_gives_a_new_deadline(cache):
    cache.set("k", 1, ttl=100)
    cache["k"] = 2  # a store without a ttl takes the default
    assert cache.ttl("k") > 100
    cache.set("k", 3, ttl=SHORT)
    wait_out()
    assert "k" not in cache


# Every read path, after the key expired: each must find it absent.
READ_PATHS = {
    "getitem": lambda d: pytest.raises(KeyError, d.__getitem__, "x") and None,
    "get": lambda d: d.get("x", "absent"),
    "in": lambda d: "x" in d,
    "keys": lambda d: sorted(d),
    "items": lambda d: sorted(d.items()),
    "values": lambda d: sorted(d.values()),
    "copy": lambda d: d.copy(),
    "get_many": lambda d: d.get_many(["x", "y"]),
    "contains_many": lambda d: d.contains_many(["x", "y"]),
    "pop": lambda d: d.pop("x", "absent"),
    "setdefault": lambda d: d.setdefault("x", "new"),
    "compare_and_set": lambda d: d.compare_and_set("x", 1, 2),
    "increment": lambda d: d.increment("n"),
    "ttl": lambda d: pytest.raises(KeyError, d.ttl, "x") and None,
    "expire": lambda d: d.expire("x", 5),
    "touch": lambda d: d.touch("x"),
}
EXPECTED = {
    "getitem": None,
    "get": "absent",
    "in": False,
    "keys": ["n", "y"],
    "items": [("n", 10), ("y", 5)],
    "values": [5, 10],
    "copy": {"n": 10, "y": 5},
    "get_many": [None, 5],
    "contains_many": [False, True],
    "pop": "absent",
    "setdefault": "new",
    "compare_and_set": False,
    "increment": 1,
    "ttl": None,
    "expire": False,
    "touch": False,
}


@pytest.mark.parametrize("read", sorted(READ_PATHS))
def test_an_expired_key_is_absent_to_every_read(cache, read):
    cache.set("x", 1, ttl=SHORT)
    cache.set("n", 10, ttl=SHORT)  # increment starts afresh from an expired count
    cache["y"] = 5
    wait_out()
    if read not in ("increment",):
        cache["n"] = 10
    result = READ_PATHS[read](cache)
    assert result == EXPECTED[read]


def test_expiry_is_seen_by_other_processes_and_reclaims_space(path):
    with SharedDict(path, default_ttl=SHORT) as d:
        for i in range(200):
            d[i] = "v" * 100
        assert len(d) == 200
        wait_out()

        def child():
            with SharedDict(path) as other:
                return [i in other for i in range(200)], len(other)

        found, left = in_child(child).result
        assert not any(found)
        assert left == 0  # each read settled its bucket: the space is back
        # A file reused after expiry takes the new entries in the space freed.
        for i in range(200):
            d[i] = "w" * 100
        assert all(d[i] == "w" * 100 for i in range(200))


def test_a_default_ttl_counts_from_each_store(path):
    with SharedDict(path, default_ttl=0.3) as d:
        d["early"] = 1
        time.sleep(0.2)
        d["late"] = 2
        time.sleep(0.15)
        assert "early" not in d
        assert d["late"] == 2


# ---- a process killed inside a cache's change -------------------------------------------


def identity(key):
    return key


# Each change killed at every crash point of its steps; then the next
# operation repairs what it left. Key 5 shares its bucket with 1, 9 and 13
# (4 buckets that never double). A deadline travels with its value: a value
# seen new has its new deadline, a value seen old its old one.
CACHE_CHANGES = {
    # key 5's deadline before (None: none); the change; the key it changes and
    # what that key may then hold: {value: ttl bounds (None: no deadline)}
    "a store with a ttl": (LONG, lambda d: d.set(105, "new", ttl=100), 105, {"new": (80, 100), ABSENT: None}),
    "a replace with a new ttl": (LONG, lambda d: d.set(5, "V" * 40, ttl=100), 5,
                                 {"V" * 40: (80, 100), "five": (LONG - 60, LONG)}),
    "a replace that gives a ttl": (None, lambda d: d.set(5, "W", ttl=100), 5, {"W": (80, 100), "five": None}),
    "an expiry met by a read": (LONG, lambda d: d.get(13), 13, {ABSENT: None}),
}


@pytest.mark.parametrize("change", CACHE_CHANGES)
def test_a_cache_change_killed_at_every_step_is_repaired(segment_dir, change):
    ttl_before, work, key, outcomes = CACHE_CHANGES[change]
    killed = 0
    for step in range(1, 200):
        d = SharedDict(capacity=1 << 22, initial_buckets=4, max_buckets=4, chunk_size=8, hash_function=identity,
                       default_ttl=LONG)
        model = {k: str(k) * (k % 5) for k in range(16) if k not in (5, 13)}
        d.update(model)
        d[5] = "five"
        d.expire(5, ttl_before)
        d.set(13, "short", ttl=SHORT)
        wait_out()
        if not died_at(step, lambda: work(d)):
            break
        killed += 1
        value = d.get(key, ABSENT)
        assert value in outcomes, (change, step, value)
        if value is not ABSENT:
            bounds = outcomes[value]
            left = d.ttl(key)
            assert (left is None) if bounds is None else (bounds[0] < left <= bounds[1]), (change, step, left)
        assert {k: d[k] for k in model} == model, (change, step)
        assert 13 not in d
        assert len(d) - len(dict(d.items())) in (-1, 0, 1), (change, step)  # the count may be one off
        d.close()
    assert killed > 3, f"{change} passed only {killed} crash points"


def test_an_eviction_killed_at_every_step_is_repaired(segment_dir):
    # A full cache of 16 in 4 buckets: the store of key 105 first evicts one
    # entry (sampling and an ordinary remove), then appends.
    killed = 0
    for step in range(1, 300):
        d = SharedDict(capacity=1 << 22, initial_buckets=4, max_buckets=4, chunk_size=8, hash_function=identity,
                       max_entries=16)
        model = {k: str(k) * (k % 5 + 1) for k in range(16)}
        d.update(model)
        if not died_at(step, lambda: d.set(105, "new")):
            break
        killed += 1
        after = dict(d.items())
        assert after.pop(105, "new") == "new", step
        assert after.items() <= model.items() and len(model) - len(after) <= 1, step  # one evicted at most
        assert len(d) - len(dict(d.items())) in (-1, 0, 1), step  # the count may be one off
        d.close()
    assert killed > 10, f"an evicting store passed only {killed} crash points"


# ---- max_entries ------------------------------------------------------------------------


@pytest.mark.parametrize("eviction", ["lru", "lfu", "random", "ttl"])
def test_stores_past_max_entries_evict(path, eviction):
    with SharedDict(path, max_entries=100, eviction=eviction) as d:
        for i in range(1000):
            d[i] = i
            assert len(d) <= 100
            assert d[i] == i  # the store itself is never what goes
        assert len(d) == 100 == len(dict(d.items()))
        # Replacing a present key evicts nothing; every store path bounds.
        d[999] = "again"
        assert len(d) == 100
        d.setdefault("new", 1)
        d.compare_and_set("new2", ABSENT, 2)
        d.set_many({("many", i): i for i in range(50)})
        d.increment("count")
        assert len(d) == 100


def test_lru_evicts_the_entries_idle_longest(path):
    # Hot keys stored first but read after the old ones were stored: the
    # new stores evict old keys, not hot ones, though both are older.
    with SharedDict(path, max_entries=200) as d:
        hot = [("hot", i) for i in range(50)]
        old = [("old", i) for i in range(150)]
        d.set_many(dict.fromkeys(hot, 1))
        time.sleep(0.02)
        d.set_many(dict.fromkeys(old, 1))
        time.sleep(0.02)
        d.get_many(hot)
        time.sleep(0.02)
        d.set_many({("new", i): 1 for i in range(100)})
        assert len(d) == 200
        kept_hot = sum(key in d for key in hot)
        kept_old = sum(key in d for key in old)
        # Random eviction would keep about 30 hot keys; sampled LRU loses
        # one only when a sample holds no old key.
        assert kept_hot >= 42, (kept_hot, kept_old)
        assert kept_old <= 60


def test_lfu_evicts_the_entries_used_least(path):
    # Hot keys read many times long ago, cold keys read once since: LRU
    # would evict the hot ones first, LFU keeps them.
    with SharedDict(path, max_entries=200, eviction="lfu") as d:
        hot = [("hot", i) for i in range(50)]
        cold = [("cold", i) for i in range(150)]
        d.set_many(dict.fromkeys(hot, 1))
        for _ in range(100):
            d.get_many(hot)
        time.sleep(0.02)
        d.set_many(dict.fromkeys(cold, 1))
        d.get_many(cold)
        time.sleep(0.02)
        d.set_many({("new", i): 1 for i in range(100)})
        assert len(d) == 200
        kept_hot = sum(key in d for key in hot)
        assert kept_hot >= 45, kept_hot


def test_ttl_evicts_the_nearest_deadlines_first(path):
    # Keys without a deadline go last; among the others the nearest first.
    with SharedDict(path, max_entries=200, eviction="ttl") as d:
        d.set_many({("forever", i): 1 for i in range(100)})
        for i in range(100):
            d.set(("due", i), 1, ttl=LONG + i)
        d.set_many({("new", i): 1 for i in range(50)})
        assert len(d) == 200
        assert all(("forever", i) in d for i in range(100))
        kept_soon = sum(("due", i) in d for i in range(50))
        kept_late = sum(("due", i) in d for i in range(50, 100))
        assert kept_soon + kept_late == 50
        assert kept_late >= 35, (kept_soon, kept_late)


def write_distinct_keys(path, writer, count):
    with SharedDict(path) as d:
        for i in range(count):
            d[(writer, i)] = "v" * 50


# An entry of write_distinct_keys takes less than this in the file (104
# bytes and 64 per 32-byte data chunk of its key and value).
MOST_ENTRY_BYTES = 500


@pytest.mark.parametrize("bound, measure, slack", [
    (dict(max_entries=1000), len, 1),
    (dict(max_bytes=300_000), lambda d: d.stats()["entry_bytes"], MOST_ENTRY_BYTES),
])
def test_writer_processes_keep_the_bound(path, bound, measure, slack):
    limit, = bound.values()
    writers, stores = 4, 3000
    with SharedDict(path, **bound) as d:
        context = multiprocessing.get_context("fork")
        processes = [context.Process(target=write_distinct_keys, args=(path, w, stores)) for w in range(writers)]
        for process in processes:
            process.start()
        most = 0
        while any(process.is_alive() for process in processes):
            most = max(most, measure(d))
        for process in processes:
            process.join()
            assert process.exitcode == 0
        most = max(most, measure(d))
        assert limit - writers * slack <= measure(d) <= limit + writers * slack
        assert most <= limit + writers * slack
        assert all(value == "v" * 50 for value in d.values())


# ---- statistics -------------------------------------------------------------------------


def store_numbers(path, count):
    with SharedDict(path) as d:
        for i in range(count):
            d[i] = i


def test_stats_count_what_every_process_did(path):
    with SharedDict(path) as plain:
        assert "hits" not in plain.stats()
    os.remove(path)
    with SharedDict(path, max_entries=10) as d:
        d["a"] = 1
        d.get("a"), d.get("missing"), "a" in d
        in_child(lambda: store_numbers(path, 20))  # its counts reach the file when it closes
        d.set("short", 1, ttl=SHORT)
        wait_out()
        assert d.get("short") is None
        counts = dict(hits=2, misses=2, sets=22, evictions=12, expirations=1, max_entries=10, max_bytes=None)
        assert d.stats().items() >= counts.items(), str(d.stats())
        assert 0 < d.stats()["entry_bytes"] < 10 * MOST_ENTRY_BYTES
        d.clear()
        assert d.stats()["entry_bytes"] == 0
    cache = tools.stat(path)["cache"]
    assert cache.items() >= dict(counts, eviction="lru", default_ttl=None, entry_bytes=0).items()


# ---- the operator's tools and a damaged record ------------------------------------------------


def cache_record_position(path):
    """File position of the cache record (the extension's byte 72 names it)."""
    extension = segment_file.header_field(path, segment_file.EXTENSION) & (2**48 - 1)
    record = segment_file.read_u64(path, segment_file.OFFSET_BASE + extension + 72) & (2**48 - 1)
    return segment_file.OFFSET_BASE + record


def test_check_and_repair_keep_the_cache(path):
    with SharedDict(path, max_entries=50, default_ttl=LONG) as d:
        d.update({i: i for i in range(80)})
    assert tools.check(path)["clean"]
    tools.repair(path)
    with SharedDict(path) as d:
        assert d.cache_settings()["max_entries"] == 50
        assert len(d) == 50 and all(d[k] == k for k in d)


def test_repair_moves_a_misplaced_entry_with_its_deadline(path):
    with SharedDict(path, default_ttl=LONG, initial_buckets=16, max_buckets=16, hash_function=identity) as d:
        d[7] = "seven"
        d.expire(7, None)
        d.set(8, "eight", ttl=100)
    # Keys 7 and 8 change buckets, each entry whole (its metadata with it).
    places = [segment_file.entry_position(path, bucket, 0) for bucket in (7, 8)]
    with open(path, "rb") as f:
        records = [os.pread(f.fileno(), segment_file.ENTRY_SIZE, place) for place in places]
    segment_file._write(path, places[0], records[1])
    segment_file._write(path, places[1], records[0])
    assert "its hash leads to bucket 7; moved there" in " ".join(tools.repair(path)["done"])
    with SharedDict(path) as d:
        assert (d[7], d.ttl(7)) == ("seven", None) and d[8] == "eight" and 50 < d.ttl(8) <= 100


def test_a_count_of_bytes_gone_wrong_is_found_and_recounted(path):
    # What a process killed between a change and its count leaves.
    with SharedDict(path, max_bytes=10**6) as d:
        d.update({i: "v" * i for i in range(100)})
        right = d.stats()["entry_bytes"]
    segment_file.write_u64(path, cache_record_position(path) + 64, right + 5000)
    checked = tools.check(path)
    assert not checked["clean"]
    assert (checked["report"]["entry_bytes"], checked["report"]["entry_bytes_count"]) == (right, right + 5000)
    assert f"set the cache's count of bytes to {right} (it said {right + 5000})" in tools.repair(path)["done"]
    assert tools.check(path)["clean"]
    with SharedDict(path) as d:
        assert d.stats()["entry_bytes"] == right


def stored_cache(path):
    """A cache with entries of each kind of deadline: the default's, one of
    its own, none, and one about to pass."""
    with SharedDict(path, max_entries=50, eviction="lfu", default_ttl=LONG) as d:
        d["default"] = 1
        d.set("own", 2, ttl=100)
        d["none"] = 3
        d.expire("none", None)
        d.set("passing", 4, ttl=SHORT)
    wait_out()


def assert_the_cache_came_through(path):
    with SharedDict(path) as d:
        assert d.cache_settings() == {"max_entries": 50, "max_bytes": None, "eviction": "lfu", "default_ttl": LONG}
        assert dict(d.items()) == {"default": 1, "own": 2, "none": 3}
        assert LONG - 60 < d.ttl("default") <= LONG and 40 < d.ttl("own") <= 100 and d.ttl("none") is None


def test_dump_load_and_compact_keep_the_rules_and_the_deadlines(path, tmp_path):
    stored_cache(path)
    dump = io.BytesIO()
    assert tools.dump(path, dump) == 3  # the passed deadline's entry is left out
    assert int.from_bytes(dump.getvalue()[8:10], "little") == 2  # a cache's dump: versions before refuse it
    assert tools.load(str(tmp_path / "loaded"), io.BytesIO(dump.getvalue())) == 3
    assert_the_cache_came_through(str(tmp_path / "loaded"))
    assert tools.compact(path, str(tmp_path / "compact"))["entries"] == 3
    assert_the_cache_came_through(str(tmp_path / "compact"))
    # Into a plain dictionary: plain entries (it has no expiry).
    with SharedDict(str(tmp_path / "plain")) as plain:
        plain["other"] = 0
    assert tools.load(str(tmp_path / "plain"), io.BytesIO(dump.getvalue())) == 3
    with SharedDict(str(tmp_path / "plain")) as plain:
        assert dict(plain.items()) == {"other": 0, "default": 1, "own": 2, "none": 3}
    # A plain dictionary's dump stays the version every reader takes.
    plain_dump = io.BytesIO()
    tools.dump(str(tmp_path / "plain"), plain_dump)
    assert int.from_bytes(plain_dump.getvalue()[8:10], "little") == 1


def test_a_cache_dump_whose_entries_expire_before_the_load_loads_none_of_them(path, tmp_path):
    with SharedDict(path, max_entries=10) as d:
        for i in range(5):
            d.set(i, i, ttl=0.2)
        dump = io.BytesIO()
        tools.dump(path, dump)
    time.sleep(0.3)
    assert tools.load(str(tmp_path / "late"), io.BytesIO(dump.getvalue())) == 0
    with SharedDict(str(tmp_path / "late")) as late:
        assert len(late) == 0 and late.cache_settings()["max_entries"] == 10


@pytest.mark.parametrize("cut, message", [
    (lambda whole: whole[:60], "ends inside the cache's rules"),
    (lambda whole: whole[:48] + b"Q" + whole[49:], "rules do not follow its header"),
    (lambda whole: whole[:56] + bytes([whole[56] ^ 1]) + whole[57:], "checksum of the cache's rules"),
])
def test_a_damaged_cache_dump_is_refused_before_a_file_is_made(path, tmp_path, cut, message):
    stored_cache(path)
    dump = io.BytesIO()
    tools.dump(path, dump)
    with pytest.raises(ValueError, match=message):
        tools.load(str(tmp_path / "never"), io.BytesIO(cut(dump.getvalue())))
    assert not (tmp_path / "never").exists()


@pytest.mark.parametrize("damage", [
    (0, b"XXXX"),   # the magic
    (8, b"\x09"),   # a policy no version writes
    (16, b"\xff" * 8),  # a bound past every count
])
def test_a_damaged_cache_record_refuses_the_file(path, damage):
    with SharedDict(path, max_entries=50) as d:
        d["kept"] = 1
    at, data = damage
    with open(path, "r+b") as file:
        file.seek(cache_record_position(path) + at)
        file.write(data)
    with pytest.raises(ValueError, match="does not hold a zorvik dictionary: its cache record is damaged"):
        SharedDict(path)
    assert "the extension names a cache record that is damaged" in tools.check(path)["faults"]


def test_entries_without_metadata_are_adopted(path):
    # An entry as a version without caches appends it: both paddings zero.
    # The first operation on its bucket gives it the default TTL from then.
    with SharedDict(path, default_ttl=LONG, initial_buckets=4, max_buckets=4, hash_function=identity) as d:
        d[5] = "older"
        d[9] = "expires"
        d.expire(9, SHORT)
        entry = segment_file.entry_position(path, 1, 0)
        for padding in (entry + 25, entry + 65):  # after each array's per_chunk byte
            segment_file._write(path, padding, bytes(7))
        wait_out()
        assert 9 not in d  # the bucket's other entry still expires
        assert d[5] == "older"
        assert LONG - 60 < d.ttl(5) <= LONG

"""The offline check and repair of a dictionary's file (python -m zorvik
check|repair): what processes killed at any step left behind is repaired, a
lock that names no process is freed, an unfinished expansion is finished,
chunks nothing reaches are given back; a file in use or not a dictionary is
refused, unchanged."""

import errno
import os
import subprocess
import sys

import pytest

import segment_file
import workload
from child_process import died_at
from zorvik import ABSENT, SharedDict
from zorvik.brandel import brandel, dict_expansion


def identity(key):
    return key


TINY = dict(bucket_chunk_size_exponent=2, bucket_chunk_number=64, chunk_size_exponent=3, hash_function=identity)


def zorvik_command(*arguments):
    return subprocess.run([sys.executable, "-m", "zorvik", *arguments], capture_output=True, text=True, timeout=120)



def filled(n=40, **shape):
    d = brandel(size=1 << 22, **{**TINY, **shape})
    model = {key: workload.payload(key, 1, key % 37) for key in range(n)}
    for key, value in model.items():
        d.insert(key, value)
    return d, model


@pytest.mark.parametrize("step", [1, 3, 7, 12, 20, 33, 50, 80, 130, 200])
def test_repair_after_a_death_at_any_step(segment_dir, step):
    d, model = filled()

    def work():
        for key in range(100, 160):
            d.insert(key, b"x" * (key % 50))
            d.remove(key - 30)
        dict_expansion(d.name, 1 << 20)

    died_at(step, work)
    name = d.name
    del d
    repaired = zorvik_command("repair", name)
    assert repaired.returncode == 0, repaired.stdout + repaired.stderr
    checked = zorvik_command("check", name)
    assert checked.returncode == 0 and checked.stdout.strip().endswith("clean"), checked.stdout
    assert segment_file.check_structure(name).faults == []
    d = brandel(name, hash_function=identity)
    assert all(d.get(key) == [True, value] for key, value in model.items())
    d.insert(1000, "after")
    assert d.get(1000) == [True, "after"]


@pytest.mark.parametrize("step", [2, 9, 25, 60, 140, 400])
def test_repair_of_a_shared_dict_file_after_a_death_at_any_step(segment_dir, step):
    # A SharedDict's file as it makes it (the default capacity, a table that
    # grows from 4 buckets), its operations with a result killed part way.
    path = str(segment_dir / "shared")
    d = SharedDict(path, initial_buckets=4, chunk_size=8, hash_function=identity)
    model = {key: workload.payload(key, 1, key % 37) for key in range(40)}
    d.update(model)

    def work():
        for key in range(100, 160):
            d[key] = b"x" * (key % 50)
            d.pop(key - 30, None)
            d.setdefault(key + 1000, key)
            d.compare_and_set(key + 1000, key, key + 1)
            d.increment(5000)
        d.popitem()

    died_at(step, work)
    d.close()
    repaired = zorvik_command("repair", path)
    assert repaired.returncode == 0, repaired.stdout + repaired.stderr
    checked = zorvik_command("check", path)
    assert checked.returncode == 0 and checked.stdout.strip().endswith("clean"), checked.stdout
    with SharedDict(path, hash_function=identity) as d:
        assert {key: d[key] for key in model} == model
        assert len(d) == len(list(d))  # recounted
        d[9999] = "after"
        assert d[9999] == "after"


# A set_many stores its pairs one after another, each by the single-key
# insert (whose every step the core's crash tests kill); killed part way, a
# batch has stored a prefix of its pairs: every pair before the one it died
# in was acknowledged and reads back, the one it died in may or may not be
# there, none after it is. The batch passes about 5,400 crash points, its
# doublings' (from 4 buckets on) among them; the steps spread over it all.
@pytest.mark.parametrize("step", [1, 4, 15, 40, 110, 300, 700, 1500, 2500, 3500, 4500, 5300])
def test_set_many_killed_part_way_keeps_the_pairs_before_its_death(segment_dir, step):
    path = str(segment_dir / "batch")
    d = SharedDict(path, capacity=1 << 22, initial_buckets=4, chunk_size=8, hash_function=identity)
    model = {key: workload.payload(key, 1, key % 37) for key in range(1000, 1040)}
    d.update(model)
    pairs = [(key, workload.payload(key, 2, key % 41)) for key in range(400)]
    keys = [key for key, _ in pairs]

    assert died_at(step, lambda: d.set_many(pairs)), f"set_many finished before crash point {step}"
    stored = d.get_many(keys, default=ABSENT)  # takes over the lock the child died with, if any
    done = next((i for i, value in enumerate(stored) if value is ABSENT), len(pairs))
    assert stored[:done] == [value for _, value in pairs[:done]]
    assert stored[done:] == [ABSENT] * (len(pairs) - done), f"pairs stored past the death at pair {done}"
    assert {key: d[key] for key in model} == model
    d[9999] = "after"
    d.close()

    repaired = zorvik_command("repair", path)
    assert repaired.returncode == 0, repaired.stdout + repaired.stderr
    checked = zorvik_command("check", path)
    assert checked.returncode == 0 and checked.stdout.strip().endswith("clean"), checked.stdout
    assert segment_file.check_structure(path).faults == []
    with SharedDict(path, hash_function=identity) as d:
        assert d.get_many(keys) == [value for _, value in pairs[:done]] + [None] * (len(pairs) - done)
        assert len(d) == len(model) + done + 1
        d.set_many(pairs)
        assert d.get_many(keys) == [value for _, value in pairs]


def test_repair_frees_a_lock_that_names_no_process(segment_dir):
    d, model = filled(8)
    name = d.name
    del d
    segment_file.set_bucket_lock_naming_no_process(name, 1)
    checked = zorvik_command("check", name)
    assert checked.returncode == 1 and "held: bucket 1 (no process named)" in checked.stdout, checked.stdout
    repaired = zorvik_command("repair", name)
    assert repaired.returncode == 0 and "freed 1 bucket locks" in repaired.stdout, repaired.stdout
    assert segment_file.held_locks(name) == []
    d = brandel(name, hash_function=identity)
    assert d.get(5) == [True, model[5]]


def test_repair_clears_an_intent_no_version_writes(segment_dir):
    d, model = filled(8)
    name = d.name
    del d
    # Bucket 1's intent word naming a change no version makes: operations on
    # the bucket refuse it (IndexError); the repair clears it.
    segment_file.write_u64(name, segment_file.bucket_position(name, 1) + 8 + 24, 2 | 0x0F << 8)
    repaired = zorvik_command("repair", name)
    assert repaired.returncode == 0 and "bucket 1: cleared a change in progress" in repaired.stdout, repaired.stdout
    d = brandel(name, hash_function=identity)
    assert all(d.get(key) == [True, value] for key, value in model.items())


SHARED_NEEDS_REPAIR = {
    # damage, what SharedDict raises for it (brandel: RuntimeError, IndexError)
    "a lock that names no process": (lambda name: segment_file.set_bucket_lock_naming_no_process(name, 1),
                                     TimeoutError, errno.ETIMEDOUT, "python -m zorvik repair"),
    "an intent no version writes": (
        lambda name: segment_file.write_u64(name, segment_file.bucket_position(name, 1) + 8 + 24, 2 | 0x0F << 8),
        OSError, errno.EUCLEAN, "python -m zorvik check"),
}


@pytest.mark.parametrize("damage", SHARED_NEEDS_REPAIR)
def test_shared_dict_says_when_its_file_needs_the_offline_repair(segment_dir, damage):
    name = str(segment_dir / "shared")
    model = {key: str(key) * key for key in range(8)}
    with SharedDict(name, capacity=1 << 22, initial_buckets=4, hash_function=identity) as shared:
        shared.update(model)
    make, error, code, advice = SHARED_NEEDS_REPAIR[damage]
    make(name)
    with SharedDict(name, hash_function=identity) as shared:
        with pytest.raises(error) as caught:
            shared[5]  # bucket 1 of 4
        assert caught.value.errno == code and advice in str(caught.value), caught.value
        assert shared[4] == model[4]  # the other buckets go on
    repaired = zorvik_command("repair", name)
    assert repaired.returncode == 0, repaired.stdout
    with SharedDict(name, hash_function=identity) as shared:
        assert dict(shared) == model


def test_repair_finishes_an_expansion_and_reclaims_what_the_dead_held(segment_dir):
    d, model = filled(40)
    name = d.name
    # A participant killed in the middle of splitting: its pools' chunks and
    # its batch are left behind.
    assert died_at(60, lambda: dict_expansion(name, 1 << 20)), "the participant was not killed"
    chunks = segment_file.chunks_in_use(name)
    del d
    repaired = zorvik_command("repair", "--json", name)
    assert repaired.returncode == 0, repaired.stderr
    report = __import__("json").loads(repaired.stdout)
    assert report["after"]["clean"] and report["reclaimed_chunks"] > 0, report
    assert segment_file.chunks_in_use(name) >= chunks
    d = brandel(name, hash_function=identity)
    assert all(d.get(key) == [True, value] for key, value in model.items())


# A table left half way through a doubling by writers that stopped (the
# doubling goes on in the next changes' steps): the check finds it at rest and
# says where it stands; the repair settles it (finished once the new half is
# published, else given up, for the next change to start again); every key is
# there throughout, and the table grows on.
# The inserts past the load rule (2 entries a bucket, 2,048 here) leave the
# doubling in its build, its splits and its clearing.
@pytest.mark.parametrize("extra", [3, 24, 33, 300])
def test_a_doubling_left_half_way_is_at_rest_and_the_repair_finishes_it(segment_dir, extra):
    path = str(segment_dir / "half")
    keys = 2048 + extra
    with SharedDict(path, initial_buckets=1024) as d:
        d.update((f"k{n}", n) for n in range(keys))
    checked = zorvik_command("check", path)
    assert checked.returncode == 0 and checked.stdout.strip().endswith("clean"), checked.stdout
    repaired = zorvik_command("repair", "--json", path)
    assert repaired.returncode == 0, repaired.stderr
    report = __import__("json").loads(repaired.stdout)
    assert report["after"]["clean"] and not report["after"]["doubling_goes_on"], report
    assert report["after"]["marked_buckets"] == 0, report
    with SharedDict(path) as d:
        assert d.get_many([f"k{n}" for n in range(keys)]) == list(range(keys))
        d.update((f"k{n}", n) for n in range(keys, 3 * keys))
        assert d.stats()["buckets"] >= 2048
        assert d.get_many([f"k{n}" for n in range(3 * keys)]) == list(range(3 * keys))
    checked = zorvik_command("check", path)
    assert checked.returncode == 0 and checked.stdout.strip().endswith("clean"), checked.stdout


REFUSED = {
    "a file in use": (lambda d, directory: d.name.decode(), "is in use by process"),
    "not a dictionary": (lambda d, directory: str(directory), "does not hold a zorvik dictionary"),
    "no such file": (lambda d, directory: str(directory / "absent"), "file status wrong"),
}


@pytest.mark.parametrize("case", REFUSED)
def test_repair_refuses_and_leaves_the_file_alone(segment_dir, case):
    d, _ = filled(8)
    path, message = REFUSED[case]
    path = path(d, segment_dir)
    if case == "not a dictionary":
        path = str(segment_dir / "plain")
        with open(path, "wb") as f:
            f.write(b"not a dictionary" * 100)
    before = open(path, "rb").read() if os.path.isfile(path) else None
    repaired = zorvik_command("repair", path)
    assert repaired.returncode == 1 and message in repaired.stderr, repaired.stderr
    if case != "a file in use":
        assert (open(path, "rb").read() if os.path.isfile(path) else None) == before

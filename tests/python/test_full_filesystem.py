"""A full file system: the segment's file is sparse, and a store to a page the
file system cannot back would raise SIGBUS. The allocator reserves the file's
blocks before it hands space out, so a full file system is the segment-full
error (naming the file system's error), in every process, and nothing else
changes. Needs a small tmpfs of its own: mounting one needs root (CI runs as
root); elsewhere the test is skipped."""

import errno
import os
import subprocess

import pytest

from child_process import in_child
from zorvik import SharedDict
from zorvik.brandel import brandel

TMPFS_SIZE = "8m"


@pytest.fixture
def full_tmpfs(tmp_path, monkeypatch):
    """A directory on a tmpfs of 8 MiB, mounted for the test; TMPDIR points there."""
    mount_point = tmp_path / "tmpfs"
    mount_point.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={TMPFS_SIZE}", "tmpfs", str(mount_point)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here (root is needed): {mounted.stderr.strip() or mounted.returncode}")
    monkeypatch.setenv("TMPDIR", str(mount_point))
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", "-l", str(mount_point)], check=False)


def fill_until_full(d, first=0):
    """Inserts 100-byte values until the insert fails; the keys stored and the error."""
    key = first
    while True:
        try:
            d.insert(key, bytes([key % 251]) * 100)
        except RuntimeError as error:
            return key - first, str(error)
        key += 1
        if key - first > 10**6:
            pytest.fail("the file system never filled up")


def value(key):
    return bytes([key % 251]) * 100


def test_full_file_system_is_an_error_not_a_signal(full_tmpfs):
    # A segment far larger than the file system: its file is sparse.
    d = brandel(size=200_000_000, bucket_chunk_size_exponent=10, bucket_chunk_number=64)

    def fill_and_go_on():
        stored, error = fill_until_full(d)
        # Every entry is there; gets and removes go on; a remove makes room.
        intact = all(d.get(key) == [True, value(key)] for key in range(stored))
        removed = sum(d.remove(key) for key in range(0, stored, 2))
        refilled, _ = fill_until_full(d, first=stored + 1)
        return stored, error, intact, removed, refilled

    outcome = in_child(fill_and_go_on)  # a SIGBUS would fail this: the child would die of it
    assert outcome.error is None, str(outcome)
    stored, error, intact, removed, refilled = outcome.result
    assert stored > 1000 and intact and removed == (stored + 1) // 2 and refilled > 0
    assert "the file system has no room for the segment (No space left on device)" in error

    def another_process_inserts():
        other = brandel(d.name)
        return fill_until_full(other, first=10**7)

    outcome = in_child(another_process_inserts)
    assert outcome.error is None, str(outcome)
    assert "No space left on device" in outcome.result[1]
    assert all(d.get(key) == [True, value(key)] for key in range(1, stored, 2))


def test_creation_on_a_full_file_system_leaves_no_file(full_tmpfs):
    hog = full_tmpfs / "hog"
    subprocess.run(["dd", "if=/dev/zero", f"of={hog}", "bs=1M", "count=8"], capture_output=True)
    before = set(os.listdir(full_tmpfs))
    outcome = in_child(lambda: brandel(size=200_000_000, bucket_chunk_size_exponent=10).name)
    assert outcome.error in ("MemoryError", "RuntimeError"), str(outcome)
    assert set(os.listdir(full_tmpfs)) == before
    # SharedDict: the OSError of the file system's errno, naming the path.
    outcome = in_child(lambda: SharedDict(full_tmpfs / "d").path)
    assert outcome.raised("OSError", "No space left on device") and str(full_tmpfs / "d") in outcome.message, \
        str(outcome)
    assert set(os.listdir(full_tmpfs)) == before


def test_shorter_replacements_go_on_after_the_file_system_filled_up(full_tmpfs):
    # A process fills the file system, then closes; another replaces values
    # with shorter ones: a replacement never writes over the value it
    # replaces, so it goes to chunks the file has, and needs no new storage.
    path = str(full_tmpfs / "d")

    def fill():
        with SharedDict(path) as d:
            key = 0
            while True:
                try:
                    d[key] = value(key)
                except OSError as error:
                    return key, error.errno, str(error)
                key += 1

    outcome = in_child(fill)
    assert outcome.error is None, str(outcome)
    stored, code, error = outcome.result
    assert code == errno.ENOSPC and "no space" in error, error
    keys = list(range(0, stored, stored // 31))[:31]

    def replace():
        with SharedDict(path) as d:
            for key in keys:
                d[key] = b"y"
            return [d[key] for key in keys], d[1]

    outcome = in_child(replace)
    assert outcome.error is None, str(outcome)
    assert outcome.result == ([b"y"] * len(keys), value(1))

"""A file this version left half way through a doubling (its writer closed
it, or was killed at a step), opened by the previous version of zorvik: its
offline repair settles the doubling, its check finds the file clean, it reads
every entry and goes on writing; this version then reads everything again.

The previous version is an installed copy in the directory ZORVIK_PREVIOUS
names (made by `pip install --no-deps --target DIR <checkout>`); without it
these tests are skipped."""

import json
import mmap
import os
import struct
import subprocess
import sys

import pytest

from child_process import died_at
from zorvik import SharedDict

PREVIOUS = os.environ.get("ZORVIK_PREVIOUS")
pytestmark = pytest.mark.skipif(not PREVIOUS, reason="ZORVIK_PREVIOUS names no installed previous version")

BUCKETS = 1024
# The load rule claims the doubling from 1,024 buckets at the 2,049th entry;
# then 16 steps build the new half, 64 split it and a few clear the old
# half's marks (one step an insert): these stops leave it building, just
# published, splitting, ending and clearing, and done.
STOPS = [2049, 2058, 2066, 2080, 2120, 2134, 2140, 2200]
# Crash points to die at while inserting keys 2,000 .. 2,400 (an insert
# passes several; the growth steps theirs).
DEATHS = [3, 40, 120, 300, 700, 1100, 1500, 1900]
MORE = 3000  # keys the previous version adds after its repair


def key(n):
    return f"key:{n}"


def value(n):
    return {"n": n, "pad": "v" * (n % 50)}


PREVIOUS_SIDE = r"""
import json, subprocess, sys
path, certain, maybe, more = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
import zorvik
from zorvik import SharedDict
assert zorvik.__file__.startswith(sys.argv[5]), zorvik.__file__

def zorvik_command(*arguments):
    done = subprocess.run([sys.executable, "-m", "zorvik", *arguments], capture_output=True, text=True)
    return done.returncode, done.stdout + done.stderr

def value(n):
    return {"n": n, "pad": "v" * (n % 50)}

repaired = zorvik_command("repair", path)
checked = zorvik_command("check", path)
with SharedDict(path, create=False) as d:
    found = [n for n in range(certain) if d.get(f"key:{n}") != value(n)]
    in_flight = d.get(f"key:{certain}", None) if maybe else None
    length = len(d)
    for n in range(certain + 1, certain + 1 + more):
        d[f"key:{n}"] = value(n)
    lost_after = [n for n in range(certain + 1, certain + 1 + more) if d.get(f"key:{n}") != value(n)]
print(json.dumps({"repaired": repaired, "checked": checked, "wrong": found, "in_flight": in_flight,
                  "length": length, "lost_after": lost_after}))
"""


def with_previous(path, certain, maybe):
    env = dict(os.environ, PYTHONPATH=PREVIOUS + os.pathsep + os.environ.get("PYTHONPATH", ""))
    done = subprocess.run([sys.executable, "-c", PREVIOUS_SIDE, path, str(certain), str(int(maybe)), str(MORE),
                           os.path.realpath(PREVIOUS)], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def handed_over(path, certain, maybe):
    """The previous version repairs, checks, reads and writes the file; then
    this version reads all of it."""
    seen = with_previous(path, certain, maybe)
    assert seen["repaired"][0] == 0, seen["repaired"][1]
    assert seen["checked"][0] == 0 and seen["checked"][1].strip().endswith("clean"), seen["checked"][1]
    assert seen["wrong"] == [], "entries the previous version read wrong or not at all"
    assert seen["in_flight"] in (None, value(certain))
    assert seen["length"] == certain + (seen["in_flight"] is not None)
    assert seen["lost_after"] == []
    with SharedDict(path, create=False) as d:
        assert len(d) == seen["length"] + MORE
        for n in [*range(certain), *range(certain + 1, certain + 1 + MORE)]:
            assert d[key(n)] == value(n), n


@pytest.mark.parametrize("stop", STOPS)
def test_a_file_left_mid_doubling_is_settled_by_the_previous_version(segment_dir, stop):
    path = str(segment_dir / "left")
    with SharedDict(path, initial_buckets=BUCKETS) as d:
        for n in range(stop):
            d[key(n)] = value(n)
    handed_over(path, stop, maybe=False)


@pytest.mark.parametrize("step", DEATHS)
def test_a_file_whose_writer_died_mid_doubling_is_settled_by_the_previous_version(segment_dir, step):
    path = str(segment_dir / "left")
    with SharedDict(path, initial_buckets=BUCKETS) as d:
        for n in range(2000):
            d[key(n)] = value(n)
    # The child counts its finished inserts here: every one of them must
    # survive, the one it died in may or may not.
    done = mmap.mmap(-1, 8)

    def work():
        with SharedDict(path, create=False) as d:
            for n in range(2000, 2400):
                d[key(n)] = value(n)
                done[:8] = struct.pack("Q", n + 1)

    done[:8] = struct.pack("Q", 2000)
    died = died_at(step, work)
    certain = struct.unpack("Q", done[:8])[0]
    handed_over(path, certain, maybe=died)

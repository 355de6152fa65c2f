"""Seeded damage to a dictionary's file, and what the offline repair keeps of
it: every entry a reader could read whole before the repair must read the same
after it.

A file of `ENTRIES` entries (values of 0 to 90 bytes in 8-byte data chunks,
so that headers and links are a good share of the bytes, some keys removed so
that the free lists hold chunks) gets 1 to 3 bytes of its chunk area set to
random values. A copy of the damaged file is read first (every key, in a
child process: a damaged file may send a reader anywhere), then the file is
repaired and read again. Importable without pytest: bench/damaged_repair.py
runs it over more seeds and prints the counts.
"""

import dataclasses
import os
import pickle
import random
import shutil
import signal

import workload
from zorvik import _upkeep, tools
from zorvik.brandel import brandel

ENTRIES = 120
REMOVED = range(0, ENTRIES, 7)
SHAPE = dict(bucket_chunk_size_exponent=2, bucket_chunk_number=64, chunk_size_exponent=3)
# The chunk area's first byte in the file: the segment header (24 bytes),
# then the allocator's record (64).
AREA = 24 + 64
# A reader of a damaged file gives an answer or an error within this; one
# that does not is a hang, a fault of its own.
READ_LIMIT = 60


def identity(key):
    return key


def model():
    return {key: workload.payload(key, 1, key * 13 % 91) for key in range(ENTRIES) if key not in REMOVED}


def make_file(directory):
    os.environ["TMPDIR"] = str(directory)
    d = brandel(size=1 << 22, hash_function=identity, **SHAPE)
    for key in range(ENTRIES):
        d.insert(key, workload.payload(key, 1, key * 13 % 91))
    for key in REMOVED:
        d.remove(key)
    name = os.fsdecode(d.name)
    del d  # its pools' chunks go back to the free lists
    return name


def damage(path, seed):
    """Sets 1 to 3 bytes of the allocated chunk area to other values; the positions."""
    rng = random.Random(seed)
    end = 24 + int.from_bytes(_read(path, 32, 8), "little")
    positions = sorted(rng.sample(range(AREA, end), 1 + seed % 3))
    fd = os.open(path, os.O_RDWR)
    try:
        for position in positions:
            old = os.pread(fd, 1, position)[0]
            os.pwrite(fd, bytes([(old + rng.randrange(1, 256)) % 256]), position)
    finally:
        os.close(fd)
    return positions


def _read(path, position, width):
    with open(path, "rb") as f:
        f.seek(position)
        return f.read(width)


def _read_every_key(path, keys):
    try:
        d = brandel(os.fsencode(path), hash_function=identity)
    except Exception:
        return {}
    found = {}
    for key in keys:
        try:
            got = d.get(key)
        except Exception:
            continue
        if got[0]:
            found[key] = got[1]
    return found


def readable(path, keys):
    """{key: value} of the keys a reader reads whole from the file, read in a
    child process. Raises RuntimeError when the child dies or hangs."""
    receiver, sender = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(receiver)
        code = 1
        try:
            with os.fdopen(sender, "wb") as out:
                pickle.dump(_read_every_key(path, keys), out)
            code = 0
        finally:
            os._exit(code)
    os.close(sender)
    signal.signal(signal.SIGALRM, _too_long)
    signal.alarm(READ_LIMIT)
    try:
        with os.fdopen(receiver, "rb") as data:
            raw = data.read()
    finally:
        signal.alarm(0)
        _, status = os.waitpid(pid, 0)
    if status != 0 or not raw:
        raise RuntimeError(f"a reader of {path} died (wait status {status})")
    return pickle.loads(raw)


def _too_long(signum, frame):
    raise RuntimeError(f"a reader hung for {READ_LIMIT} s")


@dataclasses.dataclass
class Outcome:
    seed: int
    positions: list
    before: int = 0     # entries read whole before the repair
    after: int = 0      # of those, read the same after it
    lost: list = dataclasses.field(default_factory=list)
    refused: str = ""   # the repair's refusal, when it refused
    clean: bool = True  # the check after the repair
    unreachable: int = 0  # bytes nothing reaches after the repair
    promised: int = 0     # bytes a dry run said the repair gives back
    given: int = 0        # bytes the repair gave back


def run(directory, seed):
    """Damages a fresh file with `seed`, reads it, repairs it, reads it again."""
    path = make_file(directory)
    outcome = Outcome(seed, damage(path, seed))
    keys = sorted(model())
    copy = path + ".before"
    shutil.copyfile(path, copy)
    try:
        before = readable(copy, keys)
    finally:
        os.unlink(copy)
    try:
        outcome.promised = _upkeep.survey(path, None)["space"]["reclaimable"]
        outcome.given = tools.repair(path)["reclaimed_bytes"]
    except (RuntimeError, ValueError, OSError) as refusal:
        outcome.refused = str(refusal)
    else:
        outcome.clean = tools.check(path)["clean"]
        outcome.unreachable = _upkeep.survey(path, None)["space"]["unreachable"]
    after = readable(path, keys)
    os.unlink(path)
    outcome.before = len(before)
    outcome.lost = [key for key, value in before.items() if after.get(key) != value]
    outcome.after = outcome.before - len(outcome.lost)
    return outcome

"""Shared pieces of the benchmark suite: scratch files, keys and values,
serializers, timing and statistics, and reading a segment file's header.

Every figure the suite reports is the median of several timed runs; a run is
one pass of one operation over a list of keys, timed with the garbage
collector off (as timeit does), so that a collection triggered by one peer's
allocations is not charged to another.
"""
from __future__ import annotations

import gc
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from statistics import median

# numpy is imported by the three functions that draw or rank with it, so that a
# bench that only times calls (bench/shared_dict.py, bench/batches.py) runs
# without the bench extra installed.

# ---- keys and values -------------------------------------------------------

# About 100 bytes once serialized: 108 under pickle, 71 under msgpack.
VALUE = {"id": 123456, "name": "item-123456", "price": 19.99, "tags": ["red", "blue"], "active": True, "count": 42}
# The replacement value: the same shape and size, so a replace reuses the
# stored value's chunks.
VALUE2 = {"id": 654321, "name": "item-654321", "price": 29.99, "tags": ["red", "blue"], "active": False, "count": 24}

KEY_BITS = 40


def distinct_keys(count: int, seed: int) -> list[int]:
    """`count` distinct random non-negative ints below 2**40, in random order.

    Random rather than consecutive: the built-in hash of an int is the int, so
    keys 0..n-1 would fill n buckets exactly one each, an order no real key set
    has."""
    import numpy as np

    rng = np.random.default_rng(seed)
    drawn = np.unique(rng.integers(0, 1 << KEY_BITS, size=count + count // 64 + 64, dtype=np.int64))
    while drawn.size < count:  # practically never: 2**40 is far larger than any count used here
        more = rng.integers(0, 1 << KEY_BITS, size=count, dtype=np.int64)
        drawn = np.unique(np.concatenate([drawn, more]))
    return rng.permutation(drawn)[:count].tolist()


def sample(keys: list[int], count: int, seed: int) -> list[int]:
    """`count` keys drawn from `keys` (without replacement when there are enough)."""
    import numpy as np

    rng = np.random.default_rng(seed)
    if count <= len(keys):
        picks = rng.choice(len(keys), size=count, replace=False)
    else:
        picks = rng.integers(0, len(keys), size=count)
    return [keys[i] for i in picks.tolist()]


# ---- serializers -----------------------------------------------------------

def serializer(name: str):
    """The (dumps, loads) pair that zorvik itself calls for `name`."""
    if name == "pickle":
        import pickle
        return pickle.dumps, pickle.loads
    if name == "msgpack":
        import msgpack
        return msgpack.dumps, msgpack.loads
    raise ValueError(f"unknown serializer {name!r}")


def available_serializers(names):
    found, missing = [], {}
    for name in names:
        try:
            serializer(name)
            found.append(name)
        except ImportError as error:
            missing[name] = f"not installed ({error})"
    return found, missing


# ---- timing ----------------------------------------------------------------

def timed_ns(function, *args) -> int:
    """Wall time of one call in nanoseconds, with the garbage collector off."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        function(*args)
        return time.perf_counter_ns() - start
    finally:
        if enabled:
            gc.enable()


def timed_per_op_within(function, keys, budget_s: float, step: int = 1000) -> float:
    """Nanoseconds per key of `function(part)` over consecutive parts of
    `keys`, stopping early once `budget_s` has passed: an operation that turns
    out a thousand times slower than expected (a table that outgrew memory)
    then costs seconds instead of an hour. The garbage collector is off."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        clock = time.perf_counter_ns
        budget = int(budget_s * 1e9)
        start = clock()
        done = 0
        while done < len(keys):
            function(keys[done:done + step])
            done += len(keys[done:done + step])
            if clock() - start > budget:
                break
        return (clock() - start) / done if done else float("nan")
    finally:
        if enabled:
            gc.enable()


def per_op(total_ns: int, count: int) -> float:
    return total_ns / count if count else float("nan")


def med(values):
    values = [v for v in values if v == v]  # drop NaN
    return median(values) if values else float("nan")


def percentile(values, q):
    import numpy as np

    return float(np.percentile(np.asarray(values), q)) if len(values) else float("nan")


# ---- scratch files ---------------------------------------------------------

class Scratch:
    """A private directory for every file the suite makes, removed at the end.

    zorvik creates its segment files in $TMPDIR, so the suite points $TMPDIR
    here for itself and for every process it starts; then one removal covers
    the files of workers that crashed as well."""

    def __init__(self):
        self.parent_tmp = tempfile.gettempdir()
        self.root = tempfile.mkdtemp(prefix="zorvik-bench-", dir=self.parent_tmp)
        self._saved = os.environ.get("TMPDIR")
        os.environ["TMPDIR"] = self.root
        tempfile.tempdir = self.root

    def directory(self, prefix: str) -> str:
        return tempfile.mkdtemp(prefix=prefix, dir=self.root)

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)
        if self._saved is None:
            os.environ.pop("TMPDIR", None)
        else:
            os.environ["TMPDIR"] = self._saved
        tempfile.tempdir = None


def remove_file(path) -> None:
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


# ---- the segment file ------------------------------------------------------

# File positions fixed by the segment's layout: the Allocator base is 24 bytes
# into the file, the allocator's `offset` (first unallocated byte, as an Offset
# from that base) is at 32, and the map's header at 90; its `chunks_in_use`
# field (the Offset of an 8-byte word) is 64 bytes into the header.
_BASE = 24
_ALLOCATOR_OFFSET = 32
_MAP_HEADER = 90
_CHUNKS_IN_USE_FIELD = _MAP_HEADER + 64
_FIRST_CHUNK = 64


def _read_u64(fd: int, position: int) -> int:
    return struct.unpack("<Q", os.pread(fd, 8, position))[0]


def segment_used_bytes(path) -> int:
    """Bytes of the chunk area handed out so far (allocator offset - 64)."""
    fd = os.open(path, os.O_RDONLY)
    try:
        return _read_u64(fd, _ALLOCATOR_OFFSET) - _FIRST_CHUNK
    finally:
        os.close(fd)


def segment_chunks_in_use(path) -> int:
    """The bucket chunks in force, as the shared header has them."""
    fd = os.open(path, os.O_RDONLY)
    try:
        word = _read_u64(fd, _CHUNKS_IN_USE_FIELD)
        return _read_u64(fd, word + _BASE)
    finally:
        os.close(fd)


def bucket_exponent_for(entries: int) -> int:
    """The smallest bucket-chunk exponent whose single chunk holds `entries`
    at no more than two entries per bucket (the load the table grows at)."""
    exponent = 1
    while (2 << exponent) < entries:
        exponent += 1
    return exponent


# ---- process memory --------------------------------------------------------

def process_memory() -> dict:
    """Resident memory of this process in bytes: total, anonymous and file-backed."""
    fields = {}
    with open("/proc/self/status") as status:
        for line in status:
            name, _, rest = line.partition(":")
            if name in ("VmRSS", "RssAnon", "RssFile", "RssShmem"):
                fields[name] = int(rest.split()[0]) * 1024
    return fields


def filesystem_of(path: str) -> str:
    """The type of the file system that holds `path` (ext4, tmpfs, ...)."""
    path = os.path.realpath(path)
    best, kind = "", "unknown"
    try:
        with open("/proc/mounts") as mounts:
            for line in mounts:
                fields = line.split()
                point = fields[1]
                inside = path == point or path.startswith(point.rstrip("/") + "/")
                if inside and len(point) >= len(best):
                    best, kind = point, fields[2]
    except OSError:
        pass
    if kind == "unknown":
        # Inside a chroot the mount that holds the root is not listed; the
        # file system's magic number still tells its type (one magic number
        # serves ext2, ext3 and ext4).
        try:
            import subprocess
            kind = subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True,
                                  check=True).stdout.strip() or "unknown"
        except (OSError, subprocess.CalledProcessError):
            pass
        if kind == "ext2/ext3":
            kind = "ext2/3/4"
    return kind


def load_average() -> list[float]:
    return list(os.getloadavg())


def run_json_child(code: str, arguments: list[str], pythonpath: str | None = None) -> dict:
    """Runs `code` in a child interpreter with `arguments` (with `pythonpath`,
    a baseline's install directory, first on its path) and returns the JSON
    it printed; a child that fails ends the run with its error."""
    environment = dict(os.environ)
    if pythonpath:
        environment["PYTHONPATH"] = pythonpath
    done = subprocess.run([sys.executable, "-c", code, *arguments], env=environment, capture_output=True, text=True,
                          check=False)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(arguments[:1])} child failed:\n{done.stderr}")
    return json.loads(done.stdout)


def importable(module: str) -> bool:
    """Whether a child interpreter can import `module` (a peer that may not be installed)."""
    return subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True).returncode == 0

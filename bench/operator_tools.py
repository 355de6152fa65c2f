"""Times the operator's commands (zorvik.tools) and measures what a repair
gives back after processes were killed.

    python bench/operator_tools.py                    # 10 million entries for check and repair
    python bench/operator_tools.py --entries 1000000  # a quicker run

Prints: the time to fill the dictionary, of `check`, `stat` and `repair` on
it; of a raw dump of --dump-entries entries to a file and of its load into a
new file; and, for --kills processes killed (SIGKILL) in the middle of an
insert after 20,000 inserts and removes each, the bytes nothing reaches
before and after the repair, next to a fresh copy loaded from a dump. Files
go to --dir (default /dev/shm) and are removed at the end.
"""

import argparse
import os
import shutil
import signal
import tempfile
import time

from zorvik import tools
from zorvik import _upkeep
from zorvik.brandel import brandel


def timed(what, function, *arguments):
    start = time.perf_counter()
    result = function(*arguments)
    elapsed = time.perf_counter() - start
    print(f"{what:<44} {elapsed:8.2f} s")
    return result, elapsed


def filled(directory, entries, size, exponent):
    os.environ["TMPDIR"] = directory
    d = brandel(size=size, bucket_chunk_size_exponent=exponent)
    for key in range(entries):
        d.insert(key, f"value {key}")
    return d


def check_and_repair(directory, entries):
    # About 550 bytes of segment an entry, with room to spare; sparse.
    size = max(1 << 30, entries * 1024)
    d, _ = timed(f"fill {entries:,} entries (one process)", filled, directory, entries, size, 20)
    name = d.name.decode()
    del d
    print(f"{'file':<44} {os.stat(name).st_blocks * 512 / 2**30:8.2f} GiB on disk")
    checked, _ = timed("check", tools.check, name)
    assert checked["clean"], checked["faults"][:5]
    timed("stat (a check and the space)", tools.stat, name)
    repaired, _ = timed("repair (three checks, the reclaim)", tools.repair, name)
    assert repaired["after"]["clean"]
    os.unlink(name)


def dump_and_load(directory, entries):
    d = filled(directory, entries, max(1 << 28, entries * 1024), 16)
    name = d.name.decode()
    del d
    dumped = os.path.join(directory, "dump")
    with open(dumped, "wb") as out:
        timed(f"dump {entries:,} entries to a file", tools.dump, name, out)
    print(f"{'dump size':<44} {os.path.getsize(dumped) / 2**20:8.1f} MiB")
    copy = os.path.join(directory, "copy")
    with open(dumped, "rb") as stream:
        timed(f"load {entries:,} entries into a new file", tools.load, copy, stream)
    for path in (name, dumped, copy):
        os.unlink(path)


def kills(directory, count):
    os.environ["TMPDIR"] = directory
    d = brandel(size=1 << 28, bucket_chunk_size_exponent=14)
    for key in range(2000):
        d.insert(key, b"v" * (key % 150))
    for worker in range(count):
        pid = os.fork()
        if pid == 0:
            try:
                keys = range((worker + 1) * 10**6, (worker + 1) * 10**6 + 20000)
                for key in keys:
                    d.insert(key, b"x" * (key % 200))
                for key in keys:
                    d.remove(key)
                os.kill(os.getpid(), signal.SIGKILL)  # with its caches full
            finally:
                os._exit(0)
        _, status = os.waitpid(pid, 0)
        assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
    # One more killed in the middle of an insert, its first operation (the
    # crash points are armed before a process's first operation).
    pid = os.fork()
    if pid == 0:
        try:
            _upkeep._crash_after(5)  # past the refill of its pools
            d.insert(-1, b"killed in this insert")
        finally:
            os._exit(0)
    _, status = os.waitpid(pid, 0)
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
    name = d.name.decode()
    del d
    before = tools.stat(name)["space"]
    tools.repair(name)
    after = tools.stat(name)["space"]
    dumped = os.path.join(directory, "kills.dump")
    with open(dumped, "wb") as out:
        tools.dump(name, out)
    copy = os.path.join(directory, "kills.copy")
    with open(dumped, "rb") as stream:
        tools.load(copy, stream)
    fresh = tools.stat(copy)["space"]
    print(f"{count} processes killed after 20,000 inserts and removes each:")
    print(f"  unreachable before the repair: {before['unreachable']:,} bytes "
          f"({before['unreachable'] / count / 2**20:.1f} MiB a process)")
    print(f"  after: unreachable {after['unreachable']:,}, in use {after['in_use']:,}, "
          f"in free lists {after['free_listed']:,}")
    print(f"  a fresh copy loaded from a dump: in use {fresh['in_use']:,}, allocated {fresh['allocated']:,}")
    print(f"  in use, repaired minus fresh: {after['in_use'] - fresh['in_use']:,} bytes")
    for path in (name, dumped, copy):
        os.unlink(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--entries", type=int, default=10_000_000, help="entries for check and repair")
    parser.add_argument("--dump-entries", type=int, default=1_000_000, help="entries for dump and load")
    parser.add_argument("--kills", type=int, default=3, help="processes to kill")
    parser.add_argument("--dir", default="/dev/shm", help="where the files go (default /dev/shm)")
    arguments = parser.parse_args()
    directory = tempfile.mkdtemp(prefix="zorvik-bench-", dir=arguments.dir)
    try:
        kills(directory, arguments.kills)
        dump_and_load(directory, arguments.dump_entries)
        check_and_repair(directory, arguments.entries)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()

"""A dictionary inherited through fork: parent and children (and children of
children) use it at once, each with pools of cached chunks that it must not
share with the others. Each process inserts, replaces and removes keys of its
own after the pools were warmed by inserts and by removes; afterwards every
entry reads back, the file's entry count matches, and a walk of the whole file
finds no chunk used twice."""

import os
import threading
import time
import traceback

import pytest

import segment_file
from brandel_helpers import run_python
from zorvik.brandel import brandel

KEYS = 1500  # per process
HANG_LIMIT = 120  # seconds; a guard against a hang, never part of a check


def value_of(tag, i, round_):
    # Lengths from 0 to 120 bytes of text: from one to several data chunks.
    return [tag, i, round_, "x" * ((i * 7 + round_ * 13) % 121)]


def expected_entries(tag):
    """What `work(d, tag)` leaves in the dictionary."""
    return {f"{tag}-{i}": value_of(tag, i, 1 if i % 5 == 0 else 0) for i in range(KEYS) if i % 3 != 0}


def work(d, tag):
    for i in range(KEYS):
        key = f"{tag}-{i}"
        d.insert(key, value_of(tag, i, 0))
        if i % 5 == 0:
            d.insert(key, value_of(tag, i, 1))  # a replacement: chunks taken and given back
        if i % 3 == 0:
            assert d.remove(key) == 1


def removed_keys(tag):
    return [f"{tag}-{i}" for i in range(KEYS) if i % 3 == 0]


def warmed_entries(tag):
    """What `warm(d, tag)` leaves in the dictionary."""
    return {f"{tag}-{i}": value_of(tag, i, 0) for i in range(1, 300, 2)}


def warm(d, tag):
    """Fills the pools by inserts (refills of 100) and by removes (chunks given
    back); returns the entries it leaves."""
    for i in range(300):
        d.insert(f"{tag}-{i}", value_of(tag, i, 0))
    for i in range(0, 300, 2):
        d.remove(f"{tag}-{i}")
    return warmed_entries(tag)


def fork(body):
    """Runs body() in a child made by os.fork; returns the child's pid. The
    child exits with 0 when body returns, 1 when it raises (the traceback goes
    to standard error)."""
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            body()
            status = 0
        except BaseException:  # noqa: BLE001 - reported through the exit status
            traceback.print_exc()
        finally:
            os._exit(status)
    return pid


def wait_all(pids, timeout=HANG_LIMIT):
    """Each child's exit status (a negative signal number when killed); a
    child still running after `timeout` seconds is killed and fails the test."""
    statuses = {}
    deadline = time.monotonic() + timeout
    while len(statuses) < len(pids) and time.monotonic() < deadline:
        for pid in pids:
            if pid not in statuses:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    statuses[pid] = os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    hung = [pid for pid in pids if pid not in statuses]
    for pid in hung:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    assert not hung, f"children {hung} hung for {timeout} s"
    return [statuses[pid] for pid in pids]


def assert_holds_exactly(d, expected, removed=()):
    path = d.name.decode()
    wrong = {key: d.get(key) for key, value in expected.items() if d.get(key) != [True, value]}
    assert wrong == {}
    assert [key for key in removed if d.get(key) != [False]] == []
    structure = segment_file.check_structure(path)
    assert structure.faults == []
    assert structure.entries == segment_file.entry_count(path) == len(expected)


@pytest.mark.parametrize("children", [1, 2])
def test_parent_and_forked_children_work_at_once(segment_dir, children):
    d = brandel(size=1 << 26, bucket_chunk_size_exponent=6)
    expected = warm(d, "warm")
    tags = [f"child{c}" for c in range(children)]
    pids = [fork(lambda tag=tag: work(d, tag)) for tag in tags]
    work(d, "parent")
    assert wait_all(pids) == [0] * children
    for tag in ["parent", *tags]:
        expected.update(expected_entries(tag))
    assert_holds_exactly(d, expected, [key for tag in ["parent", *tags] for key in removed_keys(tag)])


def test_a_dictionary_made_in_a_child_is_safe_in_its_own_children(segment_dir):
    # The child warms the inherited dictionary and one of its own, then forks:
    # three generations work on the first, two on the second.
    d = brandel(size=1 << 26, bucket_chunk_size_exponent=6)
    expected = warm(d, "warm")

    def child():
        own = brandel(size=1 << 25, bucket_chunk_size_exponent=5)
        own_expected = warm(own, "own-warm")
        warm(d, "child-warm")
        grandchild = fork(lambda: (work(d, "grandchild"), work(own, "grandchild")))
        work(d, "child")
        work(own, "child")
        assert wait_all([grandchild]) == [0]
        for tag in ["child", "grandchild"]:
            own_expected.update(expected_entries(tag))
        assert_holds_exactly(own, own_expected)

    pid = fork(child)
    work(d, "parent")
    assert wait_all([pid]) == [0]
    expected.update(warmed_entries("child-warm"))
    for tag in ["parent", "child", "grandchild"]:
        expected.update(expected_entries(tag))
    assert_holds_exactly(d, expected)


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_fork_while_another_thread_holds_a_pool_lock(segment_dir):
    # A thread inside an insert holds its data pool's lock while it waits for
    # the allocator's lock, here held in the file under this process's id;
    # the waiting thread lets the interpreter run, and the main thread forks.
    # The child's inserts must not wait for that pool lock, which no thread
    # of the child will ever release.
    d = brandel(size=1 << 24, bucket_chunk_size_exponent=4)
    path = d.name.decode()
    segment_file.set_allocator_lock(path, os.getpid())
    inserter = threading.Thread(target=d.insert, args=("thread", "x" * 100))
    inserter.start()
    # The thread took its bucket's lock without letting the interpreter go;
    # once the main thread runs again and sees that lock, the thread is in
    # the allocator's wait, past its pool's lock.
    deadline = time.monotonic() + HANG_LIMIT
    while not any(name.startswith("bucket") for name, _ in segment_file.held_locks(path)):
        assert time.monotonic() < deadline, "the inserting thread never took its bucket's lock"
        time.sleep(0.001)
    pid = fork(lambda: [d.insert(f"child-{i}", i) for i in range(200)])
    segment_file.set_allocator_lock(path, 0)
    inserter.join(HANG_LIMIT)
    assert wait_all([pid]) == [0]
    assert_holds_exactly(d, {"thread": "x" * 100, **{f"child-{i}": i for i in range(200)}})


def test_module_level_dictionary_through_a_multiprocessing_pool(segment_dir):
    # The way most programs meet fork: a dictionary made at import time, and
    # a multiprocessing pool (fork start method) whose workers use it while
    # the parent does too.
    name = run_python(
        f"""
        import multiprocessing, sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_fork import warm, work
        from zorvik.brandel import brandel

        d = brandel(size=1 << 26, bucket_chunk_size_exponent=6)
        warm(d, "warm")

        def task(tag):
            work(d, tag)
            return tag

        if __name__ == "__main__":
            with multiprocessing.get_context("fork").Pool(2) as pool:
                done = pool.map_async(task, ["worker0", "worker1"])
                work(d, "parent")
                assert done.get({HANG_LIMIT}) == ["worker0", "worker1"]
            print(d.name.decode())
        """,
        cwd=segment_dir,
    ).strip()
    expected = warmed_entries("warm")
    for tag in ["parent", "worker0", "worker1"]:
        expected.update(expected_entries(tag))
    assert_holds_exactly(brandel(name.encode()), expected)

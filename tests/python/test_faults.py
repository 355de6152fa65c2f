"""Faults: a full segment at every stage, processes killed in the middle of
work or while holding a lock, attach and detach churn, and interpreter exit
with dictionaries and busy threads alive."""

import gc
import multiprocessing
import os
import random
import signal
import subprocess
import sys
import textwrap
import traceback

import pytest

import segment_file
import workload
from child_process import died_at, in_child
from zorvik import ABSENT, SharedDict, _upkeep
from zorvik.brandel import brandel, dict_expansion


def identity(key):
    return key


# 4 buckets, 8-byte data chunks; with identity hashing key k lives in bucket k % 4.
TINY = dict(bucket_chunk_size_exponent=2, bucket_chunk_number=64, chunk_size_exponent=3, hash_function=identity)


# ---- a full segment ------------------------------------------------------------------


def attempt(size, prepare):
    """A dictionary of `size` on which prepare(d) succeeded, or None (its file removed)."""
    try:
        d = brandel(size=size, **TINY)
    except RuntimeError:
        return None
    try:
        prepare(d)
    except RuntimeError:
        os.remove(d.name)
        return None
    return d


def smallest_segment(prepare):
    """The dictionary in the smallest segment (to 8 bytes) on which prepare(d)
    succeeds, after prepare ran; also that size."""
    low, high = 8, 1 << 17  # prepare fails at `low` and succeeds at `high`
    roomy = attempt(high, prepare)
    assert roomy is not None
    os.remove(roomy.name)
    while high - low > 8:
        middle = (low + high) // 16 * 8
        d = attempt(middle, prepare)
        if d is None:
            low = middle
        else:
            os.remove(d.name)
            high = middle
    return attempt(high, prepare), high


def inserting(*keys, length=40):
    def prepare(d):
        for key in keys:
            d.insert(key, b"v" * length)

    return prepare


def assert_still_sound(d, model, absent=()):
    """No lock left held, every entry there (also for a new attach), nothing of
    the `absent` keys, gets and removes work, a shorter replacement works or
    keeps the old value, and a remove gives back room for an entry alike."""
    assert [d.get(key) for key in absent] == [[False]] * len(absent)
    assert segment_file.held_locks(d.name) == []
    assert segment_file.shared_word(d.name, segment_file.EXPANSION_WORKERS) == 0
    assert segment_file.entry_count(d.name) == len(model)
    for view in (d, brandel(d.name, hash_function=identity)):
        for key, value in model.items():
            assert view.get(key) == [True, value]
    assert d.get(10**6) == [False] and d.remove(10**6) == 0
    if not model:
        return
    key = max(model)
    try:
        replaced = d.insert(key, b"w" * 3)
    except RuntimeError as error:
        # A replacement writes its new value before it lets go of the old
        # one: a file without one chunk to spare refuses it and keeps the old.
        assert "memory" in str(error) and d.get(key) == [True, model[key]]
    else:
        assert replaced == 1 and d.get(key) == [True, b"w" * 3]
    assert d.remove(key) == 1 and d.get(key) == [False]
    # What the remove gave back is enough for an entry of the same size.
    assert d.insert(key, b"w" * 3) == 1
    model[key] = b"w" * 3
    assert segment_file.entry_count(d.name) == len(model)
    for key, value in model.items():
        assert d.get(key) == [True, value]


def full_at_creation():
    smallest = smallest_segment(lambda d: None)[1]
    before = set(os.listdir(os.environ["TMPDIR"]))
    with pytest.raises(RuntimeError, match="memory"):
        brandel(size=smallest - 8, **TINY)
    assert set(os.listdir(os.environ["TMPDIR"])) == before  # no file left behind


def full_at(prepare, action, model, absent=(), error="memory"):
    d, _ = smallest_segment(prepare)
    with pytest.raises(RuntimeError, match=error):
        action(d)
    assert_still_sound(d, model, absent)


def full_at_automatic_expansion():
    # Key 7 brings the 9th entry into a bucket that holds one: the load rule
    # asks for a doubling, for which the segment has no room.
    keys = (0, 4, 8, 1, 5, 2, 6, 3, 7)
    d, size = smallest_segment(inserting(*keys))
    assert segment_file.chunks_in_use(d.name) == 1
    roomy = attempt(2 * size, inserting(*keys))
    assert segment_file.chunks_in_use(roomy.name) == 2  # the same inserts double a roomier table
    model = dict.fromkeys(keys, b"v" * 40)
    # Further inserts succeed without doubling until one finds no room at all.
    for key in range(100, 300):
        try:
            d.insert(key, b"x" * 40)
        except RuntimeError as error:
            assert "memory" in str(error)
            break
        model[key] = b"x" * 40
    else:
        pytest.fail("the segment never filled up")
    assert segment_file.chunks_in_use(d.name) == 1
    assert_still_sound(d, model, absent=[key])


FULL_SEGMENT_STAGES = {
    "creation": full_at_creation,
    "first insert": lambda: full_at(lambda d: None, lambda d: d.insert(0, b"v"), {}, absent=[0]),
    # Keys 0 and 4 fill bucket 0's entry chunk; key 8 needs a second one.
    "insert into a full bucket": lambda: full_at(
        inserting(0, 4), lambda d: d.insert(8, b"v" * 40), dict.fromkeys((0, 4), b"v" * 40), absent=[8]
    ),
    "longer replacement": lambda: full_at(
        inserting(0, 1, 2, 3), lambda d: d.insert(0, b"L" * 5000), dict.fromkeys(range(4), b"v" * 40)
    ),
    "automatic expansion": full_at_automatic_expansion,
    "expansion()": lambda: full_at(
        inserting(0, 1, 2), lambda d: d.expansion(1), dict.fromkeys(range(3), b"v" * 40), error="no room to expand"
    ),
}


@pytest.mark.parametrize("stage", FULL_SEGMENT_STAGES)
def test_full_segment(segment_dir, stage):
    outcome = in_child(FULL_SEGMENT_STAGES[stage])
    assert outcome.error is None, str(outcome)


def test_reattaching_does_not_consume_the_segment(segment_dir):
    d = brandel(size=1 << 24, **TINY)
    for key in range(20):
        d.insert(key, b"x" * key)
    tops = []
    for cycle in range(40):
        view = brandel(d.name, hash_function=identity)
        view.insert(1000, b"y" * 300)
        view.insert(cycle % 20, b"z" * 50)
        assert view.remove(1000) == 1
        view.insert(cycle % 20, b"x" * (cycle % 20))
        del view
        tops.append(segment_file.allocator_top(d.name))
    # Chunks a detaching object held go back for the next one to reuse.
    assert tops[10:] == [tops[10]] * 30
    assert all(d.get(key) == [True, b"x" * key] for key in range(20))


# ---- processes killed ----------------------------------------------------------------


VICTIM, SURVIVOR_PROCESSES, SURVIVOR_THREADS = 0, 2, 2
KILL_KEYS = 1500


def run_victim(name, seed, reporter):
    """Works on its own keys without end, reporting each finished step."""
    d = brandel(name, hash_function=workload.scrambled_hash)
    owned = workload.OwnedRange(VICTIM, *workload.key_range(VICTIM, KILL_KEYS), seed)
    while True:
        owned.step(d)
        reporter.send_bytes(b"")


def run_survivor(name, seed, process, killed, results):
    """Works on its own keys while the victim lives, and 3000 steps per thread
    after it was killed; reports its models."""
    d = brandel(name, hash_function=workload.scrambled_hash)
    owners = [
        workload.OwnedRange(worker, *workload.key_range(worker, KILL_KEYS), seed)
        for worker in range(1 + process * SURVIVOR_THREADS, 1 + (process + 1) * SURVIVOR_THREADS)
    ]
    errors = []

    def work(owned):
        try:
            while not killed.is_set():
                owned.step(d)
            for _ in range(3000):
                owned.step(d)
        except BaseException:
            errors.append(f"seed {seed}, worker {owned.worker}:\n{traceback.format_exc()}")

    workload.run_threads(work, owners)
    counts = sum(sum(owned.counts.values()) for owned in owners)
    results.put(dict(models={o.worker: o.model for o in owners}, errors=errors, steps=counts))


def test_killed_process_loses_nothing(segment_dir):
    """A process killed at a random moment, perhaps holding a bucket's or the
    allocator's lock: the others take its locks over and repair what it left,
    every step it finished is there, and the one it was in is done or not."""
    context = multiprocessing.get_context("forkserver")
    seed = random.randrange(1 << 32)
    print(f"kill seed {seed}")
    # 4096 buckets that never double: no expansion runs.
    d = brandel(size=1 << 27, bucket_chunk_size_exponent=12, bucket_chunk_number=1, chunk_size_exponent=3,
                hash_function=workload.scrambled_hash)
    receiver, reporter = context.Pipe(duplex=False)
    victim = context.Process(target=run_victim, args=(d.name, seed, reporter))
    victim.start()
    reporter.close()
    killed, results = context.Event(), context.Queue()
    survivors = [context.Process(target=run_survivor, args=(d.name, seed, p, killed, results))
                 for p in range(SURVIVOR_PROCESSES)]
    for process in survivors:
        process.start()
    finished, kill_after = 0, random.Random(seed).randrange(2000, 6000)
    while finished < kill_after:
        receiver.recv_bytes()
        finished += 1
    os.kill(victim.pid, signal.SIGKILL)
    victim.join()
    while receiver.poll():
        try:
            receiver.recv_bytes()
        except EOFError:
            break
        finished += 1
    killed.set()
    reports = [results.get(timeout=600) for _ in survivors]
    for process in survivors:
        process.join()
    assert victim.exitcode == -signal.SIGKILL
    assert [error for report in reports for error in report["errors"]] == []

    models = {worker: model for report in reports for worker, model in report["models"].items()}
    for worker, model in models.items():
        first, count = workload.key_range(worker, KILL_KEYS)
        for key in range(first, first + count):
            assert d.get(key) == ([True, model[key]] if key in model else [False]), f"seed {seed}: key {key}"
    # Every step the victim finished is there; the one it was in may be done or not.
    done = workload.replay(VICTIM, *workload.key_range(VICTIM, KILL_KEYS), seed, finished)
    maybe = workload.replay(VICTIM, *workload.key_range(VICTIM, KILL_KEYS), seed, finished + 1)
    for key in range(KILL_KEYS):
        allowed = [[True, model[key]] if key in model else [False] for model in (done, maybe)]
        assert d.get(key) in allowed, f"seed {seed}: key {key}"
    # A new object's pools are empty: its insert asks the allocator, whose
    # lock the victim may have held.
    fresh = brandel(d.name, hash_function=workload.scrambled_hash)
    fresh.insert(-1, b"x" * 5000)
    assert fresh.remove(-1) == 1
    assert segment_file.held_locks(d.name) == []
    # A victim killed between its commit and its change of the count leaves
    # the count one off (two separate words); nothing else may differ.
    survivors_entries = sum(map(len, models.values()))
    assert abs(segment_file.entry_count(d.name) - survivors_entries - len(maybe)) <= 1
    assert segment_file.check_structure(d.name).faults in ([], [f"entry_count word {segment_file.entry_count(d.name)}, "
                                                                 f"buckets hold {survivors_entries + len(maybe)}"],
                                                            [f"entry_count word {segment_file.entry_count(d.name)}, "
                                                             f"buckets hold {survivors_entries + len(done)}"])
    print(f"  victim finished {finished} steps; survivors {sum(r['steps'] for r in reports)}")


def unrelated_process_pid():
    """The id of a live process that maps no dictionary (as a reused id would name)."""
    return subprocess.Popen(["sleep", "60"])


DEAD_HOLDER_CASES = {
    # lock, how to fake it held, the operation that must take it over
    "bucket lock": (lambda name, pid: segment_file.set_bucket_lock(name, 1, pid), lambda d: d.get(5)),
    "allocator lock": (
        segment_file.set_allocator_lock,
        # A new object's pools are empty: its first insert asks the allocator.
        lambda d: brandel(d.name, hash_function=identity).insert(100, b"new"),
    ),
    "expansion lock": (segment_file.set_expansion_lock, lambda d: dict_expansion(d.name, 64)),
}


@pytest.mark.parametrize("holder", ["ended", "unrelated"])
@pytest.mark.parametrize("lock", DEAD_HOLDER_CASES)
def test_lock_held_by_an_ended_process_is_taken_over(segment_dir, lock, holder):
    fake, operation = DEAD_HOLDER_CASES[lock]
    d = brandel(size=1 << 22, **TINY)
    model = {key: str(key) * key for key in range(8)}
    for key, value in model.items():
        d.insert(key, value)
    unrelated = unrelated_process_pid() if holder == "unrelated" else None
    try:
        fake(d.name, unrelated.pid if unrelated else segment_file.ended_pid())
        outcome = in_child(operation, d)
    finally:
        if unrelated:
            unrelated.kill()
            unrelated.wait()
    assert outcome.error is None and outcome.result in (1, [True, model[5]]), str(outcome)
    assert segment_file.held_locks(d.name) == []
    d.insert(200, "after")
    assert all(d.get(key) == [True, value] for key, value in model.items())
    assert d.get(200) == [True, "after"]


def killed_holding_bucket_0(d):
    """A child that dies right after its insert took bucket 0's lock."""
    pid = os.fork()
    if pid == 0:
        try:
            _upkeep._crash_after(1)  # the insert's first step: its bucket's lock is taken
            d.insert(16, "16")
        finally:
            os._exit(0)
    os.waitpid(pid, 0)
    return pid



# SharedDict's operations with a result change a bucket by the steps of an
# append, a replace or a remove (the core's crash tests kill those and each
# of these operations at every step); one of them killed here at every step
# shows that the hook reaches SharedDict's own core and that the next
# SharedDict operation repairs what it left, in the key's bucket and in the
# count.
SHARED_CHANGES = {
    # the change, and the values key 5 may then have (ABSENT: no entry)
    "pop": (lambda d: d.pop(5), {"five", ABSENT}),
    "compare_and_set": (lambda d: d.compare_and_set(5, "five", "V" * 40), {"five", "V" * 40}),
    "setdefault of a new key": (lambda d: d.setdefault(105, "new"), None),
}


@pytest.mark.parametrize("change", SHARED_CHANGES)
def test_shared_dict_operation_killed_at_every_step_is_repaired_online(segment_dir, change):
    work, outcomes = SHARED_CHANGES[change]
    killed = 0
    for step in range(1, 200):
        # 4 buckets that never double: keys 1, 5, 9 and 13 share key 5's bucket.
        d = SharedDict(capacity=1 << 22, initial_buckets=4, max_buckets=4, chunk_size=8, hash_function=identity)
        model = {key: str(key) * (key % 5) for key in range(16)}
        model[5] = "five"
        d.update(model)
        if not died_at(step, lambda: work(d)):
            break
        killed += 1
        if outcomes is not None:
            assert d.get(5, ABSENT) in outcomes, (change, step)
        assert d.get(105, ABSENT) in ("new", ABSENT), (change, step)
        # Every bucket visited, and the allocator asked (a new object's pools
        # are empty): a lock the child held anywhere is taken over.
        seen = dict(d.items())
        assert len(d) - len(seen) in (-1, 0, 1), (change, step)  # the count may be one off (docs/crashes.md)
        other = SharedDict(d.path, hash_function=identity)
        other[200] = "after"
        assert segment_file.held_locks(d.path) == [], (change, step)
        assert {key: value for key, value in seen.items() if key not in (5, 105)} == \
            {key: value for key, value in model.items() if key != 5}, (change, step)
        assert d[200] == "after"
        faults = segment_file.check_structure(d.path).faults
        assert [fault for fault in faults if "entry_count" not in fault] == [], (change, step, faults)
        other.close()
        d.close()
    assert killed > 3, f"{change} passed only {killed} crash points"


@pytest.mark.parametrize("doubling", ["dict_expansion", "an insert past the load rule"])
def test_doubling_never_completes_around_a_bucket_a_dead_process_held(segment_dir, doubling):
    # Keys 0, 4, 8, 12 in bucket 0 of a 4-bucket table; the child dies holding
    # bucket 0's lock. The doubling must split bucket 0 too (taking the lock
    # over), or keys 4 and 12, which move, would be lost.
    d = brandel(size=1 << 22, **TINY)
    model = {key: str(key) for key in (0, 4, 8, 12, 1, 2, 3, 5)}
    for key, value in model.items():
        d.insert(key, value)
    child = killed_holding_bucket_0(d)
    assert [segment_file.lock_holder(name, word) for name, word in segment_file.held_locks(d.name)] == [child]

    def double():
        if doubling == "dict_expansion":
            dict_expansion(d.name, 2)
        else:
            d.insert(9, "9")  # a bucket with entries, 9 entries in 4 buckets: the load rule asks
        return segment_file.chunks_in_use(d.name)

    assert in_child(double).result == 2
    for key, value in model.items():
        assert d.get(key) == [True, value]
    assert d.insert(4, "again") == 1 and d.get(4) == [True, "again"]
    check = _upkeep.check(d.name)
    assert check["faults"] == [] and check["held_locks"] == [], check


def test_insert_that_asks_for_a_doubling_under_a_dead_expansion_lock(segment_dir):
    d = brandel(size=1 << 22, **TINY)
    for key in range(8):
        d.insert(key, "v")
    segment_file.set_expansion_lock(d.name, segment_file.ended_pid())

    def ninth_insert():
        # Key 8 joins bucket 0's two entries: the load rule asks for a
        # doubling, under the dead process's lock, which is taken over.
        d.insert(8, "v")
        return d.get(8), segment_file.entry_count(d.name), segment_file.chunks_in_use(d.name)

    assert in_child(ninth_insert).result == ([True, "v"], 9, 2)
    assert segment_file.held_locks(d.name) == []


# ---- attach and detach churn -----------------------------------------------------------


def segment_mappings(name):
    with open("/proc/self/maps", "rb") as maps:
        return sum(line.rstrip().endswith(name) for line in maps)


def run_churner(name, churner, cycles, results):
    """Opens and drops the dictionary `cycles` times, inserting one key each time
    and reading back an earlier one; reports its keys and its descriptors."""
    try:
        rng = random.Random(churner)
        descriptors_before = len(os.listdir("/proc/self/fd"))
        mapped_before = segment_mappings(name)
        keys = {}
        for cycle in range(cycles):
            d = brandel(name, hash_function=workload.scrambled_hash)
            key = -(10**6) - churner * cycles - cycle
            keys[key] = workload.payload(key, 1, rng.randrange(0, 600))
            d.insert(key, keys[key])
            earlier = rng.choice(list(keys))
            assert d.get(earlier) == [True, keys[earlier]], f"churner {churner}: key {earlier}"
            del d
        gc.collect()
        results.put(dict(
            keys=keys,
            descriptors=(descriptors_before, len(os.listdir("/proc/self/fd"))),
            mappings=(mapped_before, segment_mappings(name)),
            error=None,
        ))
    except BaseException as error:
        results.put(dict(error=repr(error)))


def test_attach_and_detach_churn(segment_dir):
    context = multiprocessing.get_context("forkserver")
    seed = random.randrange(1 << 32)
    print(f"churn seed {seed}")
    d = brandel(size=1 << 27, bucket_chunk_size_exponent=2, bucket_chunk_number=4096, chunk_size_exponent=4,
                hash_function=workload.scrambled_hash)
    results, progress = context.Queue(), context.Value("q", 0)
    workers = [
        context.Process(target=workload.run_stress_process,
                        args=(workload.StressPlan(d.name, seed, p, 2, 500, 4000), results, progress))
        for p in range(2)
    ]
    churners = [context.Process(target=run_churner, args=(d.name, c, 150, results)) for c in range(2)]
    for process in workers + churners:
        process.start()
    reports = [results.get(timeout=600) for _ in workers + churners]
    for process in workers + churners:
        process.join()
    assert [report["error"] for report in reports if report["error"]] == []
    churned = {}
    for report in reports:
        if "keys" in report:
            assert report["descriptors"][0] == report["descriptors"][1]
            assert report["mappings"] == (0, 0)
            churned.update(report["keys"])
    assert len(churned) == 300
    assert all(d.get(key) == [True, value] for key, value in churned.items())
    models = {worker: model for report in reports for worker, model in report.get("models", {}).items()}
    for worker, model in models.items():
        first, count = workload.key_range(worker, 500)
        for key in range(first, first + count):
            assert d.get(key) == ([True, model[key]] if key in model else [False]), f"seed {seed}"
    assert segment_file.entry_count(d.name) == len(churned) + sum(map(len, models.values()))
    assert segment_file.held_locks(d.name) == []


# ---- interpreter exit ----------------------------------------------------------------------


def run_script(code, name, directory):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), name], cwd=directory, capture_output=True,
                          text=True, timeout=120)


SHUTDOWN_SCRIPTS = {
    "dictionaries alive": """
        import sys
        from zorvik.brandel import brandel
        name = sys.argv[1].encode()
        first = brandel(name)
        first.insert(-12345, [1, 2, 3])
        second = brandel(name)
        cycle = brandel(name)
        cycle.itself = cycle

        class Holder:
            kept = brandel(name)

        held_by_a_closure = (lambda d: (lambda: d))(brandel(name))
    """,
    "busy daemon threads": """
        import sys, threading
        from zorvik.brandel import brandel
        name = sys.argv[1].encode()
        ready = threading.Barrier(5)

        def work(thread):
            d = brandel(name)
            for step in range(10**9):
                key = thread * 1000 + step % 200
                d.insert(key, b"v" * (step * 37 % 3000))
                d.get(key)
                if step % 3 == 0:
                    d.remove(key)
                if step == 300:
                    ready.wait()

        for thread in range(4):
            threading.Thread(target=work, args=(thread,), daemon=True).start()
        ready.wait()  # every thread is in full swing: exit now
    """,
}


def contend(name, stop):
    """Takes the segment's locks from another process, over and over, so that
    the exiting process's threads wait for them now and then."""
    for step in range(10**9):
        if stop.is_set():
            return
        d = brandel(name)
        d.insert(-1 - step % 50, b"c" * 3000)
        d.get(step % 200)
        del d


@pytest.mark.parametrize(
    ("script", "table_exponent", "contenders"),
    [("dictionaries alive", 10, 0), ("busy daemon threads", 10, 0), ("busy daemon threads", 2, 2)],
    ids=["dictionaries-alive", "busy-daemon-threads", "busy-daemon-threads-doubling-table-and-contention"],
)
def test_interpreter_exit(segment_dir, script, table_exponent, contenders):
    # 8-byte data chunks: every large value takes many chunks from the pools.
    d = brandel(size=1 << 28, bucket_chunk_size_exponent=table_exponent, bucket_chunk_number=4096,
                chunk_size_exponent=3)
    context = multiprocessing.get_context("forkserver")
    stop = context.Event()
    helpers = [context.Process(target=contend, args=(d.name, stop)) for _ in range(contenders)]
    for helper in helpers:
        helper.start()
    try:
        finished = run_script(SHUTDOWN_SCRIPTS[script], d.name, segment_dir)
    finally:
        stop.set()
        for helper in helpers:
            helper.join()
    assert (finished.returncode, finished.stderr) == (0, "")
    # The exit left no lock held, and every entry is readable and counted.
    assert segment_file.held_locks(d.name) == []
    keys = [t * 1000 + k for t in range(4) for k in range(200)] + list(range(-50, 0)) + [-12345]
    present = sum(d.get(key)[0] for key in keys)
    assert present > 0 and segment_file.entry_count(d.name) == present


WAITING_AT_EXIT = """
    import sys, threading
    from zorvik.brandel import brandel

    # The thread lets go of the interpreter lock only inside the wait, so once
    # the main thread runs again the thread is waiting.
    sys.setswitchinterval(1000)
    hashed = threading.Event()

    def hash_function(key):
        hashed.set()
        return key

    d = brandel(sys.argv[1].encode(), hash_function=hash_function)
    threading.Thread(target=lambda: d.{operation}, daemon=True).start()
    hashed.wait()
"""


@pytest.mark.parametrize(
    ("fake_held", "operation"),
    [
        pytest.param(
            lambda name, pid: segment_file.set_bucket_lock(name, 1, pid), "get(5)", id="for-a-bucket-lock",
        ),
        pytest.param(
            segment_file.set_allocator_lock, "insert(9, 'nine')", id="for-the-allocator-holding-a-bucket-lock",
        ),
    ],
)
def test_daemon_thread_waiting_inside_an_operation_at_exit(segment_dir, fake_held, operation):
    d = brandel(size=1 << 22, **TINY)
    d.insert(5, "five")
    fake_held(d.name, os.getpid())  # a live holder: the thread waits for as long as the script runs
    try:
        finished = run_script(WAITING_AT_EXIT.format(operation=operation), d.name, segment_dir)
    finally:
        fake_held(d.name, 0)
    assert (finished.returncode, finished.stderr) == (0, "")
    assert segment_file.held_locks(d.name) == []
    assert d.get(5) == [True, "five"] and d.get(9) == [False]

"""The offline check and repair of a dictionary's file (python -m zorvik
check|repair): what processes killed at any step left behind is repaired, a
lock that names no process is freed, an unfinished expansion is finished,
chunks nothing reaches are given back; a file in use or not a dictionary is
refused, unchanged."""

import contextlib
import errno
import os
import signal
import subprocess
import sys

import pytest

import seeded_damage
import segment_file
import workload
from child_process import died_at
from zorvik import ABSENT, SharedDict, _docs, _upkeep, tools
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
        assert caught.value.__notes__ == [f"See {_docs.link('lock')}"]  # the section on both
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


# Words a holder or an expansion writes only in part, with bits set where no
# version writes any (a damaged file): the repair clears each whole.
HIGH_BITS = {
    "a bucket lock word": lambda name: segment_file.bucket_position(name, 1),
    "a bucket's forward word": lambda name: segment_file.bucket_position(name, 2) + 48,
    "the expansion lock word": lambda name: segment_file.shared_word_position(name, segment_file.EXPANSION_LOCK),
}


@pytest.mark.parametrize("value", [1 << 56, (1 << 64) - 1], ids=["top byte", "all ones"])
@pytest.mark.parametrize("word", HIGH_BITS)
def test_repair_clears_lock_and_mark_words_whole(segment_dir, word, value):
    d, model = filled(8)
    name = d.name
    del d
    segment_file.write_u64(name, HIGH_BITS[word](name), value)
    assert zorvik_command("check", name).returncode == 1
    repaired = zorvik_command("repair", name)
    assert repaired.returncode == 0, repaired.stdout + repaired.stderr
    checked = zorvik_command("check", name)
    assert checked.returncode == 0 and checked.stdout.strip().endswith("clean"), checked.stdout
    d = brandel(name, hash_function=identity)
    assert all(d.get(key) == [True, value] for key, value in model.items())


# The steps of one doubling of filled(40) by dict_expansion, killed at each:
# the claim, the block cut and named, the new buckets built and published,
# the first splits; the end; the clearing and its last steps.
DOUBLING_STEPS = [*range(1, 25), *range(180, 200), 230, *range(255, 262)]


def test_repair_of_a_doubling_killed_at_each_step(segment_dir):
    # A participant killed at each step of a doubling. The check reports any
    # block no structure names, the dry run promises no more than the repair
    # gives back, and after the repair nothing is left that a repair could
    # give back. A block nothing names (cut, not yet named by the extension)
    # goes back; the block the extension names while its buckets are built
    # stays, and the doubling goes on in it: every key is found before and
    # after the table grows on.
    phases = set()
    unnamed_block_given = False
    for step in DOUBLING_STEPS:
        d, model = filled(40)
        name = d.name
        assert died_at(step, lambda: dict_expansion(name, 1 << 20)), step
        del d
        report = tools.check(name)["report"]
        phases.add(report["doubling"])
        unnamed = report["unnamed_blocks"]
        promised = _upkeep.survey(name, None)["space"]["reclaimable"]
        named = segment_file.build_block(name)
        buckets = segment_file.chunks_in_use(name) * segment_file.header_field(name, segment_file.BUCKETS_PER_CHUNK)
        block_bytes = buckets * segment_file.BUCKET_SIZE  # the new half's block
        repaired = tools.repair(name)
        assert repaired["after"]["clean"] and promised <= repaired["reclaimed_bytes"], (step, promised, repaired)
        if unnamed:
            assert repaired["reclaimed_bytes"] >= report["unnamed_bytes"], (step, report, repaired)
        if report["doubling"] == "building" and named == 0 and promised >= block_bytes:
            unnamed_block_given = True
        space = _upkeep.survey(name, None)["space"]
        assert space["reclaimable"] == 0 and space["unreachable"] <= 16, (step, space)
        d = brandel(name, hash_function=identity)
        assert all(d.get(key) == [True, value] for key, value in model.items()), step
        for key in range(1000, 1200):
            model[key] = workload.payload(key, 2, key % 23)
            d.insert(key, model[key])
        assert all(d.get(key) == [True, value] for key, value in model.items()), step
        del d
        checked = tools.check(name)["report"]
        assert not checked["faults"] and checked["entries"] == len(model), (step, checked)
        os.unlink(name)
    assert {"building", "named", "splitting", "verifying", "clearing"} <= phases, phases
    assert unnamed_block_given, "no death left a block nothing names"


def test_repair_keeps_every_entry_a_reader_read_whole_over_seeded_damage(segment_dir):
    # Damaged bytes anywhere in the chunk area: headers, links, lists,
    # counts, free lists, stored bytes. Whatever a reader read whole before
    # the repair, it reads the same after it; only what it could not read is
    # cut. A repair either leaves the file clean or refuses a file no reader
    # can read either.
    outcomes = [seeded_damage.run(segment_dir, seed) for seed in range(300)]
    lost = {o.seed: o.lost for o in outcomes if o.lost}
    assert not lost, lost
    assert all(o.clean for o in outcomes), [o for o in outcomes if not o.clean]
    assert all(o.promised <= o.given for o in outcomes), [o for o in outcomes if o.promised > o.given]
    assert all(o.before == 0 for o in outcomes if o.refused), [o for o in outcomes if o.refused and o.before]
    print(f"\nseeded damage over {len(outcomes)} files: {sum(o.before for o in outcomes)} entries read whole "
          f"before the repair, {sum(o.after for o in outcomes)} after it; "
          f"{sum(1 for o in outcomes if o.refused)} repairs refused; "
          f"{sum(o.unreachable for o in outcomes)} bytes unreachable after the repairs")


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
    "no such file": (lambda d, directory: str(directory / "absent"), "No such file or directory: '"),
}


# A process that holds the file's open lock the way any reader of it can: a
# descriptor opened for reading, and the shared flock. It becomes the user it
# is given once started (the interpreter may lie out of that user's reach).
HOLDER = """
import fcntl, os, sys
if sys.argv[3] != "root":
    os.setgroups([])
    os.setgid(int(sys.argv[3]))
    os.setuid(int(sys.argv[3]))
fd = os.open(sys.argv[1], os.O_RDONLY if sys.argv[2] == "read" else os.O_RDWR)
fcntl.flock(fd, fcntl.LOCK_SH)
print("holding", flush=True)
sys.stdin.read()
"""
NOBODY = 65534


@contextlib.contextmanager
def holding(path, user, access):
    """A process of `user` (None: root) holding the file at `path` open for
    `access` ("read" or "write") with the shared open lock, until the block ends."""
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(path), access, str(user or "root")],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "holding\n"
        yield holder
    finally:
        holder.stdin.close()
        holder.wait()


def root_file(tmp_path_factory, mode):
    """A dictionary's file of root's with `mode`, in a directory others may
    enter; and what it holds."""
    directory = tmp_path_factory.mktemp("open")
    os.chmod(directory, 0o755)
    os.chmod(directory.parent, 0o755)
    path = directory / "d"
    model = {f"k{n}": n for n in range(200)}
    with SharedDict(path, capacity=1 << 24) as d:
        d.update(model)
    os.chmod(path, mode)
    return path, model


def leftovers(path):
    return [name for name in os.listdir(os.path.dirname(path)) if name.startswith(".zorvik-repair-")]


# The header's data chunk size (byte 160 of the map header, at Offset 66 of
# the base at file position 24), where a repair beside readers sets its mark.
MARK_POSITION = 24 + 66 + 160
REPAIR_MARK = 0xFF


def mark_byte(path):
    with open(path, "rb") as f:
        f.seek(MARK_POSITION)
        return f.read(1)[0]


@pytest.mark.skipif(os.geteuid() != 0, reason="runs a holder as another user")
@pytest.mark.parametrize("mode, user, access, repaired", [
    (0o644, NOBODY, "read", True),    # cannot write the file: the repair works beside it
    (0o666, NOBODY, "read", False),   # may write it: a writer for all the repair knows
    (0o644, None, "read", False),     # root may write any file
    (0o600, None, "write", False),
])
def test_repair_works_beside_holders_that_only_read(tmp_path_factory, mode, user, access, repaired):
    path, model = root_file(tmp_path_factory, mode)
    before = os.stat(path)
    with holding(path, user, access) as holder:
        dry = zorvik_command("repair", "--dry-run", str(path))
        result = zorvik_command("repair", str(path))
        if repaired:
            assert dry.returncode == 0 and f"works on a copy beside process {holder.pid}," in dry.stdout, dry
            assert result.returncode == 0, result.stderr
            assert f"repaired a copy beside process {holder.pid}, which only reads the file" in result.stdout
            after = os.stat(path)
            assert after.st_ino != before.st_ino  # the holder keeps the file as it was
            assert (after.st_mode, after.st_uid, after.st_gid) == (before.st_mode, before.st_uid, before.st_gid)
            assert leftovers(path) == []
            with SharedDict(path) as d:  # new openers get the repaired file, the reader still there
                assert dict(d) == model
                d["after"] = 1
        else:
            assert dry.returncode == 1 and "is in use by process" in dry.stderr, dry
            assert result.returncode == 1 and "is in use by process" in result.stderr, result.stderr
            assert os.stat(path).st_ino == before.st_ino and mark_byte(path) != REPAIR_MARK
    assert zorvik_command("repair", str(path)).returncode == 0  # once it let go


@pytest.mark.skipif(os.geteuid() != 0, reason="runs a holder as another user")
def test_a_writer_keeps_the_repair_out_and_the_readers_beside_it_are_named(tmp_path_factory):
    path, model = root_file(tmp_path_factory, 0o644)
    with holding(path, NOBODY, "read") as reader, holding(path, None, "write") as writer:
        refused = zorvik_command("repair", str(path))
    assert refused.returncode == 1 and str(writer.pid) in refused.stderr, refused.stderr
    assert f"process {reader.pid} only reads the file (its user cannot write it) and does not keep the repair out" \
        in refused.stderr, refused.stderr
    with SharedDict(path) as d:
        assert dict(d) == model


def stopped_repair(path, step):
    """A repair of `path` in a forked child, stopped at its `step`-th crash
    point; its pid. Once continued, it exits 0 when it repaired the file and 3
    when it was refused."""
    pid = os.fork()
    if pid == 0:
        code = 4
        try:
            _upkeep._crash_after(step, signal.SIGSTOP)
            tools.repair(path)
            code = 0
        except tools.Refused:
            code = 3
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, os.WUNTRACED)
    assert os.WIFSTOPPED(status), status
    return pid


# The repair's steps beside a reader: the copy made (crash point 1), the file
# marked (2). Stopped after the mark, an opener of any kind is refused; a
# holder that may write and shows by then (an opener that met the header
# before the mark) makes the repair take the mark off and refuse.
@pytest.mark.skipif(os.geteuid() != 0, reason="runs a holder as another user")
@pytest.mark.parametrize("writer_came", [False, True], ids=["openers refused", "repair backs off"])
def test_openers_while_a_repair_works_beside_readers(tmp_path_factory, writer_came):
    path, model = root_file(tmp_path_factory, 0o644)
    size = mark_byte(path)
    with holding(path, NOBODY, "read"):
        repairing = stopped_repair(str(path), 2)
        try:
            assert mark_byte(path) == REPAIR_MARK
            with pytest.raises(OSError) as refused:
                SharedDict(path)
            assert refused.value.errno == errno.EBUSY and "being repaired" in str(refused.value)
            with pytest.raises(RuntimeError, match="being repaired"):
                brandel(os.fsencode(path))
            checked = zorvik_command("check", str(path))
            assert checked.returncode == 1 and "marked as being repaired" in checked.stdout, checked.stdout
            with contextlib.ExitStack() as writers:
                if writer_came:
                    writers.enter_context(holding(path, None, "write"))
                os.kill(repairing, signal.SIGCONT)
                _, status = os.waitpid(repairing, 0)
        except BaseException:
            os.kill(repairing, signal.SIGKILL)
            os.waitpid(repairing, 0)
            raise
    assert os.WEXITSTATUS(status) == (3 if writer_came else 0)
    assert mark_byte(path) == size and leftovers(path) == []
    with SharedDict(path) as d:
        assert dict(d) == model


@pytest.mark.skipif(os.geteuid() != 0, reason="runs a holder as another user")
def test_a_repair_beside_readers_killed_at_each_step_is_finished_by_the_next(tmp_path_factory):
    # Killed at each crash point (its own steps and those of the repair of
    # the copy), the repair leaves the file as it was, marked, or replaced;
    # the next repair, the reader still there, finishes the work: every
    # entry is there, nothing is left beside the file, and it opens again.
    step = 1
    while True:
        path, model = root_file(tmp_path_factory, 0o644)
        with holding(path, NOBODY, "read"):
            if not died_at(step, lambda: tools.repair(str(path))):
                break
            repaired = zorvik_command("repair", str(path))
            assert repaired.returncode == 0, (step, repaired.stderr)
            assert leftovers(path) == [] and mark_byte(path) != REPAIR_MARK, step
            with SharedDict(path) as d:
                assert dict(d) == model, step
        checked = zorvik_command("check", str(path))
        assert checked.returncode == 0 and checked.stdout.strip().endswith("clean"), (step, checked.stdout)
        step += 1
    assert step > 5, step  # it passed its own steps


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

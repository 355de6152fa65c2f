"""The operator's commands (python -m zorvik, zorvik.tools): a damaged file is
reported with the fault's place and repaired; what killed processes cached is
given back; a file held open is never repaired; dump | load reproduces every
entry bit for bit, and a damaged stream loads nothing past the damage; a
command line that cannot be used exits with status 2."""

import contextlib
import errno
import fcntl
import hashlib
import io
import os
import signal
import subprocess
import sys

import pytest

import segment_file
import workload
from child_process import died_at
from zorvik import SharedDict, _upkeep, tools
from zorvik.brandel import brandel, dict_expansion


def identity(key):
    return key


# 4 buckets a chunk and 8-byte data chunks: a value of a few bytes spans several links.
TINY = dict(size=1 << 22, bucket_chunk_size_exponent=2, bucket_chunk_number=64, chunk_size_exponent=3,
            hash_function=identity)


def zorvik(*arguments, stdin=None):
    return subprocess.run([sys.executable, "-m", "zorvik", *map(str, arguments)], capture_output=True,
                          input=stdin, timeout=600)


def text(result):
    return result.stdout.decode() + result.stderr.decode()


def filled(n=40):
    """A closed file of 32 buckets: bucket b holds keys b and b + 32 (in that order)."""
    d = brandel(**TINY)
    model = {key: workload.payload(key, 1, 5 + key % 30) for key in range(n)}
    for key, value in model.items():
        d.insert(key, value)
    return d, model



def value_link(path, bucket, slot):
    """File position of the first link of the value of entry `slot` of `bucket`."""
    return segment_file.first_link_position(path, segment_file.entry_position(path, bucket, slot) + 40)


def break_link(d):
    segment_file.write_u64(d.name, value_link(d.name, 5, 0) + 8, 3)  # `next` of a 3-link value: not a link


def share_chunks(d):
    # Bucket 6's first entry gets the value list of bucket 2's: both lead to the same chunks.
    source = segment_file.entry_position(d.name, 2, 0) + 40
    with open(d.name, "rb") as f:
        f.seek(source)
        value_list = f.read(40)
    segment_file._write(d.name, segment_file.entry_position(d.name, 6, 0) + 40, value_list)


def swap_entries(d):
    # The entries of keys 7 and 8 change buckets, each with its own hash.
    places = [segment_file.entry_position(d.name, bucket, 0) for bucket in (7, 8)]
    with open(d.name, "rb") as f:
        records = []
        for place in places:
            f.seek(place)
            records.append(f.read(segment_file.ENTRY_SIZE))
    segment_file._write(d.name, places[0], records[1])
    segment_file._write(d.name, places[1], records[0])


def free_a_chunk_in_use(d):
    # The data free list leads to a chunk of key 4's value.
    payload = segment_file.read_u64(d.name, value_link(d.name, 4, 0))
    segment_file.write_u64(d.name, segment_file.FREE_LISTS["data"] + 2, payload - 2)


def miscount(d):
    segment_file.write_u64(d.name, segment_file.shared_word_position(d.name, segment_file.ENTRY_COUNT), 45)


def lock_of_dead(d):
    segment_file.set_bucket_lock(d.name, 3, segment_file.ended_pid())


def half_done_expansion(d):
    # A participant killed in the middle of splitting.
    assert died_at(60, lambda: dict_expansion(d.name, 1 << 20)), "the child was not killed"


# damage, the place the check must name, the keys the repair cannot keep, and
# keys that read (before the repair as after it) another key's value
DAMAGED = {
    "broken link": (break_link, "bucket 5", {5}, {}),
    # Both values read whole; which one is right cannot be told, so both stay
    # as a reader read them, each in chunks of its own.
    "chunk in two chains": (share_chunks, "bucket 6", set(), {6: 2}),
    "entries in the wrong buckets": (swap_entries, "its hash leads to bucket 7", set(), {}),
    "chunk in use on a free list": (free_a_chunk_in_use, "free data chunk list", set(), {}),
    "wrong entry count": (miscount, "the count word says 45", set(), {}),
    "held lock of a dead process": (lock_of_dead, "bucket 3", set(), {}),
    "half-done expansion": (half_done_expansion, "expansion", set(), {}),
}


@pytest.mark.parametrize("case", DAMAGED)
def test_check_reports_and_repair_mends_a_damaged_file(segment_dir, case):
    damage, place, lost, read_as = DAMAGED[case]
    d, model = filled()
    damage(d)
    name = d.name.decode()
    del d
    checked = zorvik("check", name)
    assert checked.returncode == 1 and place in checked.stdout.decode(), text(checked)
    dry = zorvik("repair", "--dry-run", name)
    assert dry.returncode == 1 and "would repair" in dry.stdout.decode(), text(dry)
    repaired = zorvik("repair", name)
    assert repaired.returncode == 0, text(repaired)
    checked = zorvik("check", name)
    assert checked.returncode == 0 and checked.stdout.decode().strip().endswith("clean"), text(checked)
    assert segment_file.check_structure(name).faults == []
    d = brandel(os.fsencode(name), hash_function=identity)
    assert {key: d.get(key) for key in model} == {
        key: [False] if key in lost else [True, model[read_as.get(key, key)]] for key in model}
    # Chunks the repair gave back serve new entries without touching the old.
    more = {key: workload.payload(key, 2, 40) for key in range(1000, 1100)}
    for key, value in more.items():
        d.insert(key, value)
    assert all(d.get(key) == [True, value] for key, value in more.items())
    assert all(d.get(key) == [True, model[read_as.get(key, key)]] for key in model if key not in lost)


def test_locks_names_the_holders_and_whether_they_live(segment_dir):
    d, _ = filled(8)
    dead = segment_file.ended_pid()
    segment_file.set_bucket_lock(d.name, 3, dead)
    segment_file.set_bucket_lock_naming_no_process(d.name, 1)
    segment_file.set_bucket_lock(d.name, 2, os.getpid())
    held = {lock["lock"]: (lock["pid"], lock["holder"]) for lock in tools.locks(d.name)}
    assert held == {"bucket 1": (0, "unnamed"), "bucket 2": (os.getpid(), "alive"), "bucket 3": (dead, "ended")}
    listed = zorvik("locks", d.name.decode())
    assert listed.returncode == 1 and f"process {dead}" in listed.stdout.decode(), text(listed)
    assert f"open by process {os.getpid()}" in listed.stdout.decode()
    segment_file.set_bucket_lock(d.name, 1, 0)
    segment_file.set_bucket_lock(d.name, 3, 0)
    assert zorvik("locks", d.name.decode()).returncode == 0


def test_repair_gives_back_what_killed_processes_cached(segment_dir):
    # A table of 2^14 buckets, which the 22,000 entries at the most never double.
    d = brandel(size=1 << 27, bucket_chunk_size_exponent=14)
    base = {key: workload.payload(key, 1, key % 150) for key in range(2000)}
    for key, value in base.items():
        d.insert(key, value)
    for worker in range(3):
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
    # And one killed in the middle of an insert, past the refill of its pools
    # (the crash points are armed before a process's first operation, so this
    # is its only one). A death between the allocator's claim and the chunk
    # headers of a refill (steps 3 and 4 here) leaves that claim to no one.
    assert died_at(5, lambda: d.insert(-1, b"killed in the middle of this insert" * 4)), "the child was not killed"
    name = d.name.decode()
    del d
    lost = tools.stat(name)["space"]["unreachable"]
    tools.repair(name)
    repaired = tools.stat(name)
    copy = segment_dir / "fresh"
    with io.BytesIO() as stream:
        tools.dump(name, stream)
        stream.seek(0)
        tools.load(copy, stream)
    fresh = tools.stat(copy)
    print(f"\nunreachable after three kills: {lost} bytes; after the repair: "
          f"{repaired['space']['unreachable']}; in use: repaired {repaired['space']['in_use']}, "
          f"a fresh copy {fresh['space']['in_use']} (allocated {fresh['space']['allocated']})")
    assert lost > 3 * 20000 * 16  # at least a link chunk for each of the 20,000 values of each
    assert repaired["space"]["unreachable"] == 0 and repaired["clean"]
    assert repaired["entries"] == fresh["entries"] == len(base)
    # Every chunk not on a free list is one the entries use, as in a copy made afresh.
    assert repaired["space"]["in_use"] == fresh["space"]["in_use"]
    reread = brandel(os.fsencode(name))
    assert all(reread.get(key) == [True, value] for key, value in base.items())


def holding_process(name):
    """Another process that holds the dictionary open until its stdin closes."""
    code = f"from zorvik.brandel import brandel; d = brandel({os.fsencode(name)!r}); import sys; print(1, flush=True); sys.stdin.read()"
    child = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    assert child.stdout.readline().strip() == b"1"
    return child


def test_repair_refuses_while_another_process_holds_the_file(segment_dir):
    d, model = filled(8)
    name = d.name.decode()
    del d
    child = holding_process(name)
    try:
        before = open(name, "rb").read()
        refused = zorvik("repair", name)
        assert refused.returncode == 1 and f"in use by process {child.pid}" in refused.stderr.decode(), text(refused)
        assert open(name, "rb").read() == before
    finally:
        child.stdin.close()
        child.wait()
    assert zorvik("repair", name).returncode == 0


@pytest.mark.parametrize("dry_run", [False, True])
def test_a_repair_of_a_file_this_process_holds_is_refused_by_the_pids_the_core_names(segment_dir, dry_run):
    path = segment_dir / "held.zvk"
    with SharedDict(path, capacity=1 << 22):
        before = open(path, "rb").read()
        with pytest.raises(tools.Refused, match=f"in use by process {os.getpid()} \\(this one\\)"):
            tools.repair(path, dry_run=dry_run)
        with pytest.raises(RuntimeError) as refused:
            _upkeep.repair(str(path))
        assert (refused.value.pids, refused.value.filename) == ([os.getpid()], str(path))
        assert open(path, "rb").read() == before


def test_a_forked_child_holds_the_file_after_its_parent_closed_it(segment_dir):
    # The open lock belongs to the open file description, which fork shares:
    # the child holds the file open (it maps it) until it ends, whatever the
    # parent does meanwhile.
    d, _ = filled(8)
    name = d.name.decode()
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(write)
        os.read(read, 1)
        os._exit(0)
    os.close(read)
    del d
    try:
        refused = zorvik("repair", name)
        assert refused.returncode == 1 and str(pid) in refused.stderr.decode(), text(refused)
    finally:
        os.close(write)
        os.waitpid(pid, 0)
    assert zorvik("repair", name).returncode == 0


def entry_digests(path):
    """Every entry as stored (hash, key bytes, value bytes), as sorted digests."""
    digests = []

    def visit(hash_, key, value):
        digest = hashlib.blake2b(key, digest_size=16, key=hash_.to_bytes(8, "little", signed=True))
        digest.update(len(key).to_bytes(8, "little") + value)
        digests.append(digest.digest())

    _upkeep.entries(os.fspath(path), visit)
    return sorted(digests)


def test_dump_and_load_a_million_entries_bit_for_bit(segment_dir):
    d = brandel(size=1 << 30, bucket_chunk_size_exponent=16)
    for key in range(1_000_000):
        d.insert(key, (key, "v" * (key % 40)))
    name = d.name.decode()
    del d
    target = segment_dir / "loaded"
    dumped = subprocess.Popen([sys.executable, "-m", "zorvik", "dump", name], stdout=subprocess.PIPE)
    loaded = subprocess.run([sys.executable, "-m", "zorvik", "load", target], stdin=dumped.stdout,
                            capture_output=True, timeout=600)
    dumped.stdout.close()
    assert dumped.wait() == 0 and loaded.returncode == 0, text(loaded)
    assert "loaded 1,000,000 entries" in loaded.stderr.decode()
    assert entry_digests(name) == entry_digests(target)
    assert brandel(os.fsencode(target)).get(999_999) == [True, (999_999, "v" * 39)]


def raw_dump(path):
    with io.BytesIO() as stream:
        tools.dump(path, stream)
        return stream.getvalue()


# How a stream goes wrong, and how many of its 20 entries are loaded before the fault.
DAMAGED_STREAMS = {
    "cut short": (lambda s: s[:len(s) // 2], None),
    "a byte flipped in an entry": (lambda s: s[:300] + bytes([s[300] ^ 1]) + s[301:], None),
    "the end record missing": (lambda s: s[:-13], 20),
    "not a dump": (lambda s: b"key,value\n1,2\n" * 10, 0),
    "bytes after the end": (lambda s: s + b"\0", 20),
}


@pytest.mark.parametrize("case", DAMAGED_STREAMS)
def test_a_damaged_stream_loads_nothing_past_the_damage(segment_dir, case):
    damage, expected = DAMAGED_STREAMS[case]
    d = brandel(**TINY)
    for key in range(20):
        d.insert(key, workload.payload(key, 1, 20))
    stream = damage(raw_dump(d.name))
    new = segment_dir / "new"
    refused = zorvik("load", new, stdin=stream)
    assert refused.returncode == 1 and not new.exists(), text(refused)
    assert b"are loaded" not in refused.stderr, text(refused)  # none are: no file is made
    existing = brandel(**TINY)
    existing.insert(100, "kept")
    refused = zorvik("load", existing.name.decode(), stdin=stream)
    assert refused.returncode == 1, text(refused)
    loaded = [key for key in range(20) if existing.get(key)[0]]
    assert loaded == list(range(len(loaded))) or expected is None
    if expected is not None:
        assert len(loaded) == expected
    assert f"the {len(loaded)} entries before it are loaded" in refused.stderr.decode() or len(loaded) == 0
    assert existing.get(100) == [True, "kept"]


def header(data_chunk_size=32, bucket_chunk_size=1024, bucket_chunk_number=100, size=1 << 30):
    """A dump of no entries whose header gives this shape, its checksum right."""
    from zorvik.redis_dict.dump_stream import DumpWriter

    out = io.BytesIO()
    DumpWriter(out, {"data_chunk_size": data_chunk_size, "bucket_chunk_size": bucket_chunk_size,
                     "bucket_chunk_number": bucket_chunk_number, "size": size}).finish()
    return out.getvalue()


# A header whose checksum holds and whose shape no dictionary has, and what
# the refusal says; no file is made.
HOSTILE_HEADERS = [
    (dict(data_chunk_size=0), "data chunks of 0 bytes"),
    (dict(data_chunk_size=3), "data chunks of 3 bytes"),
    (dict(data_chunk_size=255), "data chunks of 255 bytes"),
    (dict(bucket_chunk_size=0), "bucket chunks of 0 buckets"),
    (dict(bucket_chunk_size=3), "bucket chunks of 3 buckets"),
    (dict(bucket_chunk_size=1 << 62), "bucket chunks of 4611686018427387904 buckets"),
    (dict(bucket_chunk_number=0), "0 bucket chunks"),
    (dict(bucket_chunk_number=1 << 63), "9223372036854775808 bucket chunks"),
    (dict(size=0), "a usable size of 0 bytes"),
    (dict(size=1 << 63), "a usable size of 9223372036854775808 bytes"),
    (dict(size=5), "a size of 5 bytes is too small for a new file"),
    (dict(bucket_chunk_size=1 << 40, bucket_chunk_number=1 << 20, size=1 << 40), "is too small for a new file"),
]


@pytest.mark.parametrize("shape, message", HOSTILE_HEADERS)
def test_a_hostile_dump_header_is_refused_by_what_is_wrong(segment_dir, shape, message):
    result = zorvik("load", segment_dir / "new", stdin=header(**shape))
    assert result.returncode == 1 and message in result.stderr.decode(), text(result)
    assert os.listdir(segment_dir) == []


def test_commands_name_a_missing_file_and_never_echo_control_characters(segment_dir):
    missing = segment_dir / "gone\x1b[2J.zvk"
    for arguments in (["stat", missing], ["check", missing], ["locks", missing], ["repair", missing],
                      ["repair", "--dry-run", missing], ["dump", missing], ["dump", "--json", missing],
                      ["compact", missing, segment_dir / "copy"]):
        result = zorvik(*arguments)
        shown = text(result)
        assert result.returncode == 1 and "No such file" in shown and "gone\\x1b[2J.zvk" in shown, shown
        assert "\x1b" not in shown, shown
    with SharedDict(segment_dir / "d\x1b[31m") as d:
        d["k"] = 1
        for arguments in (["stat", d.path], ["compact", d.path, d.path + "-copy"]):
            result = zorvik(*arguments)
            assert result.returncode == 0 and "\x1b" not in text(result) and "d\\x1b[31m" in text(result)
        assert "\x1b" not in text(zorvik("load", d.path + "-copy", stdin=raw_dump(d.path)))


@pytest.mark.parametrize("arguments", [["load", ""], ["compact", "SOURCE", ""], ["stat", ""]])
def test_an_empty_path_is_refused_and_makes_nothing(segment_dir, arguments):
    work = segment_dir / "work"
    work.mkdir()
    with SharedDict(segment_dir / "source") as d:
        d["k"] = 1
    arguments = [str(d.path) if a == "SOURCE" else a for a in arguments]
    result = subprocess.run([sys.executable, "-m", "zorvik", *arguments], input=raw_dump(d.path), cwd=work,
                            capture_output=True, timeout=600)
    assert result.returncode == 1 and b"the path is empty" in result.stderr, text(result)
    assert sorted(os.listdir(segment_dir)) == ["source", "work"] and os.listdir(work) == []


def test_compact_sizes_the_table_for_the_entries(segment_dir):
    d = brandel(size=1 << 24, bucket_chunk_size_exponent=4, serializer="json")
    for key in range(3000):
        d.insert(str(key), {"n": key})
    for key in range(2000):
        d.remove(str(key))
    name = d.name.decode()
    target = segment_dir / "compact"
    compacted = zorvik("compact", name, target)
    assert compacted.returncode == 0, text(compacted)
    # The sizes it reports are what the files take on disk, as du counts them.
    on_disk = [os.stat(path).st_blocks * 512 for path in (target, name)]
    from zorvik.__main__ import size
    assert f"{size(on_disk[0])} on disk (the source: {size(on_disk[1])})" in compacted.stdout.decode()
    info = tools.stat(target)
    assert info["entries"] == 1000 and info["buckets"] == 512 and info["clean"]
    assert "json" in info["serializer_guess"]
    assert entry_digests(name) == entry_digests(target)
    assert zorvik("compact", name, target).returncode == 1  # never over an existing file
    lines = zorvik("dump", "--json", target).stdout.decode().splitlines()
    assert len(lines) == 1000 and '{"key": "2500", "value": {"n": 2500}}' in lines
    again = segment_dir / "from-json"
    assert zorvik("load", "--json", "--serializer", "json", "--bucket-chunk-size-exponent", 6, again,
                  stdin="\n".join(lines).encode()).returncode == 0
    assert brandel(os.fsencode(again), serializer="json").get("2500") == [True, {"n": 2500}]


def test_check_while_processes_work_reports_no_fault(segment_dir):
    d, _ = filled(40)
    code = (f"from zorvik.brandel import brandel\nd = brandel({d.name!r}, hash_function=lambda k: k)\n"
            "print(1, flush=True)\nfor i in range(200000):\n    d.insert(i % 3000 + 100, b'x' * (i % 90))\n"
            "    d.remove((i + 1500) % 3000 + 100)\n")
    worker = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE)
    try:
        assert worker.stdout.readline().strip() == b"1"
        for _ in range(3):
            checked = zorvik("check", d.name.decode())
            assert checked.returncode == 0 and b"open by process" in checked.stdout, text(checked)
    finally:
        worker.kill()
        worker.wait()


USAGE_ERRORS = [[], ["bogus"], ["check"], ["stat", "a", "b"], ["repair", "--frob", "a"], ["compact", "a"],
                ["load", "--size", "many", "a"], ["load", "--size", "-5", "a"], ["dump", "--serializer", "yaml", "a"]]


@pytest.mark.parametrize("argv", USAGE_ERRORS, ids=" ".join)
def test_a_command_line_that_cannot_be_used_exits_2(argv):
    result = zorvik(*argv)
    assert result.returncode == 2 and b"usage:" in result.stderr, text(result)


def test_commands_refuse_what_is_not_a_dictionary(segment_dir):
    plain = segment_dir / "plain"
    plain.write_bytes(b"not a dictionary" * 100)
    for command in ("stat", "check", "locks", "repair"):
        result = zorvik(command, plain)
        assert result.returncode == 1 and b"does not hold a zorvik dictionary" in result.stderr, text(result)
    assert plain.read_bytes() == b"not a dictionary" * 100


def test_a_progress_bar_only_on_a_terminal(segment_dir):
    import fcntl
    import pty
    import struct
    import termios

    d, _ = filled(40)
    name = d.name.decode()
    del d
    try:
        master, terminal = pty.openpty()
    except OSError as error:  # a root without /dev/pts
        pytest.skip(f"no terminal to draw on: {error}")
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    checked = subprocess.Popen([sys.executable, "-m", "zorvik", "check", name], stderr=terminal,
                               stdout=subprocess.PIPE)
    os.close(terminal)
    drawn = b""
    with contextlib.suppress(OSError):  # EIO once the child has closed the terminal
        while chunk := os.read(master, 4096):
            drawn += chunk
    os.close(master)
    assert checked.wait() == 0 and b"check:" in drawn and b"buckets" in drawn, drawn
    assert b"buckets" not in zorvik("check", name).stderr  # a pipe: no bar


def test_the_commands_on_a_shared_dict_file_after_a_killed_writer(segment_dir):
    path = segment_dir / "shared.zvk"
    with SharedDict(path, capacity=1 << 24) as d:
        d.update({f"key {i}": {"n": i, "tag": "x" * (i % 40)} for i in range(300)})

    def writer():
        with SharedDict(path) as w:
            for i in range(300, 10**6):
                w[f"key {i}"] = [i] * (i % 7)
                w.pop(f"key {i - 250}", None)

    assert died_at(200, writer), "the child was not killed"  # its pools cached, one change cut short
    stat = zorvik("stat", path)
    assert stat.returncode == 0 and "pickle" in stat.stdout.decode(), text(stat)
    checked = zorvik("check", path)
    assert checked.returncode == 1 and "held" in checked.stdout.decode(), text(checked)

    # A SharedDict holds the file open, whether it opened it or created it.
    holder = subprocess.Popen([sys.executable, "-c", "import sys; from zorvik import SharedDict; d = SharedDict("
                               f"{str(path)!r}); print(1, flush=True); sys.stdin.read()"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline().strip() == b"1"
        refused = zorvik("repair", path)
        assert refused.returncode == 1 and f"in use by process {holder.pid}" in refused.stderr.decode(), text(refused)
    finally:
        holder.stdin.close()
        holder.wait()
    with SharedDict(segment_dir / "created.zvk", create=True):
        refused = zorvik("repair", segment_dir / "created.zvk")
        assert refused.returncode == 1 and f"in use by process {os.getpid()}" in refused.stderr.decode(), text(refused)

    repaired = zorvik("repair", path)
    assert repaired.returncode == 0, text(repaired)
    assert zorvik("check", path).stdout.decode().strip().endswith("clean")
    assert tools.stat(path)["space"]["unreachable"] == 0
    with SharedDict(path) as d:
        contents = dict(d)
    assert all(contents[f"key {i}"] == {"n": i, "tag": "x" * (i % 40)} for i in range(50))

    dumped = zorvik("dump", path)
    loaded = zorvik("load", segment_dir / "loaded.zvk", stdin=dumped.stdout)
    compacted = zorvik("compact", path, segment_dir / "compact.zvk")
    # JSON lines: stored again as SharedDict stores them (pickle protocol 5 on every Python).
    in_json = zorvik("load", "--json", segment_dir / "json.zvk", stdin=zorvik("dump", "--json", path).stdout)
    assert (dumped.returncode, loaded.returncode, compacted.returncode, in_json.returncode) == (0, 0, 0, 0), (
        text(loaded) + text(compacted) + text(in_json))
    for copy in ("loaded.zvk", "compact.zvk", "json.zvk"):
        with SharedDict(segment_dir / copy) as d:
            assert dict(d) == contents and len(d) == len(contents)
            assert all(d[key] == value for key, value in contents.items())  # found by key, not only walked


def test_a_dictionary_opened_while_a_repair_holds_the_file_is_refused(segment_dir):
    path = segment_dir / "shared.zvk"
    SharedDict(path).close()
    with open(path, "rb") as repairing:
        fcntl.flock(repairing, fcntl.LOCK_EX)  # as a repair holds it
        with pytest.raises(OSError) as refused:
            SharedDict(path)
        assert refused.value.errno == errno.EBUSY and refused.value.filename == str(path)
        assert "being repaired" in str(refused.value)
        with pytest.raises(RuntimeError, match="being repaired"):
            brandel(os.fsencode(path))
    SharedDict(path).close()

"""SharedDict's interface: opening and creating by path, the errors that name
the path, lifetime (close, context manager, deletion, unlink), pickling,
views and comparisons, serializers, statistics, and full files."""

import collections.abc
import concurrent.futures
import copy
import errno
import glob
import multiprocessing
import os
import pathlib
import pickle
import shutil
import subprocess
import sys
import tempfile
import textwrap
import types

import pytest

import segment_file
from brandel_helpers import run_python, second_interpreter_import
from child_process import in_child
from zorvik import ABSENT, SharedDict

TINY = dict(capacity=1 << 24)


# ---- importing -------------------------------------------------------------------------


def test_importing(tmp_path):
    out = run_python(
        """
        import importlib, sys
        import zorvik.brandel
        print("zorvik._shared" in sys.modules)  # brandel alone loads nothing new
        from zorvik import ABSENT, SharedDict
        import zorvik
        print({"ABSENT", "SharedDict"} <= set(dir(zorvik)), SharedDict.__module__)
        del sys.modules["zorvik._shared"]
        again = importlib.import_module("zorvik._shared")
        print(again.SharedDict is SharedDict and again.ABSENT is ABSENT)
        """,
        cwd=tmp_path,
    )
    assert out.splitlines() == ["False", "True zorvik._shared", "True"]


@pytest.mark.parametrize("order", ["main first", "subinterpreter first"])
def test_one_interpreter_per_process(tmp_path, order):
    pytest.importorskip("_testcapi")
    out = second_interpreter_import("zorvik._shared", order, tmp_path)
    assert out == "zorvik._shared can only be loaded into one interpreter per process, and another one has it"


# ---- opening ---------------------------------------------------------------------------


@pytest.mark.parametrize("create, exists, outcome", [
    (None, False, "created"),
    (None, True, "opened"),
    (True, False, "created"),
    (True, True, FileExistsError),
    (False, False, FileNotFoundError),
    (False, True, "opened"),
])
def test_create_modes(segment_dir, create, exists, outcome):
    path = segment_dir / "d"
    if exists:
        with SharedDict(path) as first:
            first["there"] = 1
    if isinstance(outcome, type):
        with pytest.raises(outcome) as caught:
            SharedDict(path, create=create)
        assert caught.value.filename == str(path)
        assert os.path.exists(path) == exists
        return
    with SharedDict(path, create=create) as d:
        assert d.path == str(path)
        assert dict(d) == ({"there": 1} if exists else {})
    assert os.listdir(segment_dir) == ["d"]  # a named file stays; no temporary name is left


@pytest.mark.parametrize("form", [str, os.fsencode, pathlib.Path])
def test_path_forms_and_relative_paths(segment_dir, monkeypatch, form):
    monkeypatch.chdir(segment_dir)
    with SharedDict(form("relative"), **TINY) as d:
        d["k"] = "v"
        assert d.path == str(segment_dir / "relative")
    with SharedDict(segment_dir / "relative") as again:
        assert again["k"] == "v"


def test_errors_name_the_path(segment_dir):
    foreign = segment_dir / "foreign"
    foreign.write_bytes(b"x" * 8192)
    cases = [
        (segment_dir, IsADirectoryError),
        (segment_dir / "missing" / "d", FileNotFoundError),
        (foreign / "d", NotADirectoryError),
    ]
    for path, error in cases:
        with pytest.raises(error) as caught:
            SharedDict(path)
        assert caught.value.filename == str(path), path
    for path in (foreign, segment_dir / "empty"):
        path.touch()
        before = path.read_bytes()
        with pytest.raises(ValueError, match=f"^{path} does not hold a zorvik dictionary"):
            SharedDict(path)
        assert path.read_bytes() == before  # refused without a byte written


@pytest.mark.parametrize("options, error, message", [
    (dict(create="yes"), TypeError, "create must be True, False or None"),
    (dict(delete_on_close=1), TypeError, "delete_on_close must be"),
    (dict(serializer="yaml"), ValueError, "unknown serializer 'yaml'"),
    (dict(serializer=pickle), TypeError, "serializer must be a str"),
    (dict(hash_function=3), TypeError, "hash_function must be callable or None"),
    (dict(capacity=0), ValueError, "capacity must be at least 1 byte"),
    (dict(capacity=-1), ValueError, "capacity must be between 1 and 2\\*\\*64 - 1"),
    (dict(capacity=1.5), TypeError, "capacity must be an int"),
    (dict(initial_buckets=3), ValueError, "initial_buckets must be a power of two"),
    (dict(initial_buckets=2**31), ValueError, "initial_buckets must be a power of two"),
    (dict(initial_buckets=4, max_buckets=2), ValueError, "max_buckets must be a power of two"),
    (dict(initial_buckets=1, max_buckets=2**25), ValueError, "max_buckets must be a power of two"),
    (dict(chunk_size=48), ValueError, "chunk_size must be 8, 16, 32, 64 or 128"),
    (dict(create=False), ValueError, "create=False needs the path"),
    (dict(path="a\0b"), ValueError, "null"),
    (dict(path=3), TypeError, "expected str, bytes or os.PathLike object, not int"),
    (dict(capacity=4096), ValueError, "capacity of 4096 bytes is too small .* at least about 2[0-9]{6} bytes"),
])
def test_bad_options_leave_nothing(segment_dir, options, error, message):
    with pytest.raises(error, match=message):
        SharedDict(**options)
    assert os.listdir(segment_dir) == []


def test_defaults_start_small_and_can_grow_far(segment_dir):
    with SharedDict() as d:
        stats = d.stats()
        assert stats["buckets"] == 1024 and stats["doublings_left"] == 18  # up to 2**28 buckets
        assert stats["file_size"] >= 2**40 and stats["chunk_size"] == 64
        assert stats["bytes_used"] + stats["bytes_free"] == 2**40
        # Sparse: what the file takes is what creation wrote, a few hundred KiB.
        assert os.stat(d.path).st_blocks * 512 < 1 << 20
    with SharedDict(segment_dir / "custom", capacity=1 << 24, initial_buckets=16, max_buckets=64,
                    chunk_size=8) as d:
        assert d.stats() == dict(entries=0, buckets=16, load=0.0, doublings_left=2, chunk_size=8,
                                 bytes_used=d.stats()["bytes_used"], bytes_free=(1 << 24) - d.stats()["bytes_used"],
                                 bytes_free_listed=0, file_size=d.stats()["file_size"])
        # An existing file keeps its own shape, whatever the sizes say.
        with SharedDict(d.path, initial_buckets=1024, chunk_size=128) as again:
            assert again.stats()["buckets"] == 16 and again.stats()["chunk_size"] == 8


# ---- lifetime ---------------------------------------------------------------------------


def test_close_makes_every_operation_raise(segment_dir):
    d = SharedDict(segment_dir / "d")
    d["k"] = 1
    with d as same:
        assert same is d
    assert d.closed and repr(d) == f"SharedDict({d.path!r}, closed)"
    d.close()  # again: nothing
    operations = [
        lambda: d["k"], lambda: d.__setitem__("k", 2), lambda: d.__delitem__("k"), lambda: "k" in d,
        lambda: len(d), lambda: iter(d), lambda: d.keys(), lambda: d.get("k"), lambda: d.pop("k"),
        lambda: d.popitem(), lambda: d.setdefault("k"), lambda: d.update(k=2), lambda: d.clear(),
        lambda: d.copy(), lambda: d == {}, lambda: d.compare_and_set("k", 1, 2), lambda: d.increment("k"),
        lambda: d.update_with("k", str), lambda: d.stats(), lambda: d.flush(), lambda: d.__enter__(),
    ]
    for operation in operations:
        with pytest.raises(ValueError, match="^operation on a closed SharedDict$"):
            operation()
    with SharedDict(segment_dir / "d") as again:
        assert again["k"] == 1  # the file and its entries stay


def test_an_iterator_fails_cleanly_once_its_dictionary_is_closed(segment_dir):
    d = SharedDict(**TINY)
    d.update((n, n) for n in range(200))
    walk = iter(d.items())
    next(walk)
    d.close()
    with pytest.raises(ValueError, match="closed"):
        list(walk)


def test_temporary_dictionaries_are_deleted_by_their_creator_only(segment_dir):
    d = SharedDict()
    assert pathlib.Path(d.path).parent == segment_dir and d.path.startswith(str(segment_dir / "zorvik-"))
    other = SharedDict(d.path)  # opened, not made, by this object: never deletes

    def use_and_close_in_a_child():
        d["child"] = os.getpid()  # a forked child can use the object it inherits,
        d.close()  # but the file is not its to delete
        return os.path.exists(d.path)

    assert in_child(use_and_close_in_a_child).result is True
    assert d["child"] != os.getpid()
    other.close()
    assert os.path.exists(d.path)
    d.close()
    assert not os.path.exists(d.path)

    kept = SharedDict(delete_on_close=False)
    kept.close()
    assert os.path.exists(kept.path)
    SharedDict.unlink(kept.path)
    named = SharedDict(segment_dir / "named", delete_on_close=True)
    del named  # deallocation closes
    assert os.listdir(segment_dir) == []


def test_temporary_dictionaries_go_at_exit(segment_dir):
    # Held by a module global and by a cycle: gone all the same when the
    # interpreter exits.
    code = """
        import sys
        from zorvik import SharedDict
        d = SharedDict()
        cycle = [d]
        cycle.append(cycle)
        print(d.path)
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=True)
    assert not os.path.exists(done.stdout.strip()) and os.listdir(segment_dir) == []


def test_unlink(segment_dir):
    path = segment_dir / "d"
    d = SharedDict(path)
    d["k"] = 1
    d.unlink()
    assert not path.exists()
    assert d["k"] == 1  # this process's view goes on
    with pytest.raises(FileNotFoundError):
        d.unlink()
    with SharedDict(path, **TINY):
        with pytest.raises(FileNotFoundError, match="no longer names this dictionary's file"):
            d.unlink()  # another dictionary lives at the path now
        assert path.exists()
    SharedDict.unlink(str(path))
    with pytest.raises(FileNotFoundError):
        SharedDict.unlink(path)
    foreign = segment_dir / "foreign"
    foreign.write_bytes(b"x" * 8192)
    with pytest.raises(ValueError, match="does not hold a zorvik dictionary"):
        SharedDict.unlink(foreign)
    assert foreign.exists()


# ---- pickling ----------------------------------------------------------------------------


def _append_in_worker(d, n):
    d[n] = os.getpid()
    return len(d) >= 1 and d.path


def test_pickled_dictionaries_reopen_in_pool_workers(segment_dir):
    d = SharedDict(hash_function=abs)
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        paths = pool.starmap(_append_in_worker, [(d, n) for n in range(-5, 5)])
    assert set(paths) == {d.path}
    assert sorted(d) == list(range(-5, 5))  # found: every worker hashed with abs
    again = pickle.loads(pickle.dumps(d))
    assert again.path == d.path and again[-5] == d[-5]
    again.close()
    assert os.path.exists(d.path)  # d still has it open
    assert pickle.loads(pickle.dumps(ABSENT)) is ABSENT and repr(ABSENT) == "ABSENT"
    d.close()
    assert os.listdir(segment_dir) == []  # every pickle's hand-over was taken


# ---- copies, hand-overs and deletion -----------------------------------------------------


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copies_are_dicts_apart_from_the_file(segment_dir, copier):
    d = SharedDict(**TINY)
    d.update({"list": [1, 2], (1, "t"): {"nested": [3]}})
    copied = copier(d)
    assert type(copied) is dict and copied == d
    copied["list"].append(99)
    copied[(1, "t")]["nested"].clear()
    copied["new"] = 1
    assert d == {"list": [1, 2], (1, "t"): {"nested": [3]}}
    holder = copy.deepcopy([d, d])  # one SharedDict met twice is copied once
    assert holder[0] is holder[1] and holder[0] == d
    d.close()


def _temporary_made_in_worker(n):
    d = SharedDict(**TINY)
    d.update({i: i * i for i in range(n)})
    return d  # pickled to the parent; the worker's object goes right after


def _store_in_worker(d, n):
    d[n] = n
    return n


def _dictionary_files(directory):
    return sorted(name for name in os.listdir(directory) if name.startswith("zorvik-"))


def _file_and_its_other_names(d):
    return glob.glob(glob.escape(d.path) + "*")


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_temporary_dictionaries_pass_between_processes(segment_dir, method):
    # (A forkserver started by an earlier test keeps that test's TMPDIR: the
    # workers' files are found by their paths.)
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as executor:
        made = list(executor.map(_temporary_made_in_worker, [3, 5, 8]))
        # Sent back from the workers: alive here for as long as it is open.
        assert [dict(d) for d in made] == [{i: i * i for i in range(n)} for n in (3, 5, 8)]
        assert all(_file_and_its_other_names(d) == [d.path] for d in made)
        shared = SharedDict(**TINY)
        assert sorted(executor.map(_store_in_worker, [shared] * 6, range(6))) == list(range(6))
        assert sorted(shared) == list(range(6))
        assert sorted(executor.map(_store_in_worker, made, [-1] * 3)) == [-1] * 3
    for d in made:
        assert d[-1] == -1
        d.close()
    assert os.path.exists(shared.path)
    shared.close()
    # The last one open deleted each file; no pickle left a name behind.
    assert [_file_and_its_other_names(d) for d in (*made, shared)] == [[]] * 4


def test_a_pickle_keeps_its_file_until_it_is_loaded(segment_dir):
    d = SharedDict(**TINY)
    d["k"] = 1
    data = pickle.dumps(d)
    d.close()
    assert os.path.exists(d.path)  # on its way to another process
    loaded = pickle.loads(data)
    again = pickle.loads(data)  # the same pickle loaded twice
    assert loaded["k"] == again["k"] == 1 and loaded.path == again.path == d.path
    loaded.close()
    assert os.path.exists(d.path)  # `again` has it open
    again.close()
    assert _dictionary_files(segment_dir) == []


@pytest.mark.parametrize("made_with_delete, opened_with_delete, first_closed, exists_after_first, exists_at_end", [
    # An opener is not alone: the file stays for its maker, and for good.
    (False, True, "opener", True, True),
    (False, True, "maker", True, False),  # the opener, last one open, deletes it
    (True, False, "maker", False, False),  # the maker deletes its file for everyone
    (True, True, "opener", True, False),
])
def test_delete_on_close_of_a_named_file(segment_dir, made_with_delete, opened_with_delete, first_closed,
                                         exists_after_first, exists_at_end):
    path = segment_dir / "named"
    maker = SharedDict(path, create=True, delete_on_close=made_with_delete, **TINY)
    opener = SharedDict(path, create=False, delete_on_close=opened_with_delete)
    maker["k"] = "v"
    first, second = (opener, maker) if first_closed == "opener" else (maker, opener)
    first.close()
    assert path.exists() == exists_after_first
    assert second["k"] == "v"  # a view goes on working whoever deleted the file
    second.close()
    assert path.exists() == exists_at_end


# ---- what an opener checks -----------------------------------------------------------------


@pytest.mark.parametrize("made_with, opened_with, opens", [
    ("json", "pickle", False),
    ("pickle", "msgpack", False),
    ("msgpack", "json", False),
    ("json", "orjson", True),  # one stored form: JSON text
    ("msgspec", "json", True),
    ("pickle", "pickle", True),
])
def test_a_file_opens_only_with_a_serializer_of_its_form(segment_dir, made_with, opened_with, opens):
    path = segment_dir / "d"
    with SharedDict(path, serializer=made_with, **TINY) as d:
        d["k"] = [1, 2]
    before = path.read_bytes()
    if opens:
        with SharedDict(path, serializer=opened_with) as d:
            assert d["k"] == [1, 2]
        return
    with pytest.raises(ValueError, match=f"made with the serializer '{made_with}'.* as '{opened_with}'"
                                         f": open it with serializer='{made_with}'"):
        SharedDict(path, serializer=opened_with)
    # Past the record that every open writes (the segment header's first 16
    # bytes), the file is as it was.
    assert path.read_bytes()[16:] == before[16:]


def test_a_file_that_names_no_serializer_opens_with_any(segment_dir):
    # brandel records no serializer: its files open as they always could.
    from zorvik.brandel import brandel

    b = brandel(size=1 << 24, bucket_chunk_size_exponent=2, bucket_chunk_number=1024, serializer="json")
    b.insert("k", [1])
    for serializer in ("json", "pickle"):
        with SharedDict(b.name.decode(), serializer=serializer) as d:
            assert len(d) == 1
    del b


NOBODY = 65534


@pytest.mark.parametrize("owner, mode, serializer, trust_writers, refused_for", [
    ("self", 0o600, "pickle", False, None),
    ("self", 0o644, "pickle", False, None),
    ("self", 0o620, "pickle", False, "its group"),
    ("self", 0o602, "pickle", False, "every user"),
    ("other", 0o600, "pickle", False, "another user"),
    ("other", 0o666, "pickle", True, None),
    ("other", 0o666, "json", False, None),  # no serializer but pickle runs code on reading
    ("self", 0o666, "msgpack", False, None),
])
def test_pickle_refuses_files_others_can_write(segment_dir, owner, mode, serializer, trust_writers, refused_for):
    path = segment_dir / "d"
    with SharedDict(path, serializer=serializer, **TINY) as d:
        d["k"] = "v"
    os.chmod(path, mode)
    if owner == "other":
        os.chown(path, NOBODY, -1)
    before = path.read_bytes()
    if refused_for is None:
        with SharedDict(path, serializer=serializer, trust_writers=trust_writers) as d:
            assert d["k"] == "v"
            assert pickle.loads(pickle.dumps(d))["k"] == "v"  # a pickle carries trust_writers
        return
    with pytest.raises(PermissionError, match=f"can be written by {refused_for}.*trust_writers=True"):
        SharedDict(path, serializer=serializer)
    assert path.read_bytes() == before


@pytest.fixture
def open_directory():
    """A directory every user can reach (the tests' own are root's alone)."""
    directory = tempfile.mkdtemp(prefix="zorvik-trust-")
    os.chmod(directory, 0o755)
    yield pathlib.Path(directory)
    shutil.rmtree(directory)


@pytest.mark.skipif(os.geteuid() != 0, reason="becomes another user")
def test_pickle_judges_the_file_by_the_user_who_opens_it(open_directory):
    path = open_directory / "d"
    with SharedDict(path, **TINY) as d:
        d["k"] = "v"
    os.chown(path, NOBODY, -1)

    def open_as(uid):
        os.setuid(uid)
        with SharedDict(path) as d:
            return d["k"]

    assert in_child(open_as, NOBODY).result == "v"  # its own file
    assert in_child(open_as, 0).raised("PermissionError", "can be written by another user")
    with pytest.raises(TypeError, match="trust_writers must be True or False"):
        SharedDict(path, trust_writers=1)


# ---- the mapping -------------------------------------------------------------------------


def test_mapping_interface(segment_dir):
    d = SharedDict(**TINY)
    assert isinstance(d, collections.abc.MutableMapping) and not d
    assert SharedDict[str, int].__args__ == (str, int)
    d.update({"a": 1}, b=2)
    d.update([("c", 3)])
    d.update(types.MappingProxyType({"d": 4}))
    assert d == {"a": 1, "b": 2, "c": 3, "d": 4} and d != {"a": 1} and d != [("a", 1)]
    assert d == SharedDict(d.path) and d.copy() == dict(d) and type(d.copy()) is dict
    assert repr(d) == f"SharedDict({d.path!r}, entries=4)"
    keys, items = d.keys(), d.items()
    assert isinstance(keys, collections.abc.KeysView) and isinstance(d.values(), collections.abc.ValuesView)
    assert keys & {"a", "z"} == {"a"} and ("b", 2) in items and ("b", 3) not in items and len(items) == 4
    assert sorted(d.values()) == [1, 2, 3, 4]
    with pytest.raises(TypeError, match="unhashable"):
        d[["a"]] = 1
    with pytest.raises(ValueError, match="element #1 has length 1; 2 is required"):
        d.update([("x", 1), ("y",)])
    with pytest.raises(KeyError) as caught:
        d[(1, 2)]
    assert caught.value.args == ((1, 2),)
    with pytest.raises(TypeError):
        hash(d)
    with pytest.raises(TypeError, match="unsupported operand"):
        d.increment("a", "x")
    d.close()


# ---- serializers and hashing ---------------------------------------------------------------


SERIALIZED = [
    ("pickle", {"k": [1, 2.5, None]}),
    ("json", {"k": [1, 2.5, None]}),
    ("orjson", {"k": [1, 2.5, None]}),
    ("msgpack", {"k": [1, 2.5, None]}),
    ("msgspec", {"k": [1, 2.5, None]}),
]


@pytest.mark.parametrize("serializer, entries", SERIALIZED)
def test_serializers(segment_dir, serializer, entries):
    if serializer in ("orjson", "msgpack", "msgspec"):
        pytest.importorskip(serializer)
    with SharedDict(serializer=serializer, **TINY) as d:
        d.update(entries)
        assert dict(d) == entries
        assert d.increment("n", 2) == 2 and d.setdefault("n", 0) == 2
        with SharedDict(d.path, serializer=serializer) as again:
            assert again == d


# The bytes pickle keys are stored as, the same on every CPython version (the
# protocol is fixed at 5): processes of 3.11 and 3.14 find each other's keys.
PICKLED_KEYS = [
    ("apple", "80059509000000000000008c056170706c65942e"),
    (42, "80054b2a2e"),
    ((1, "a"), "80059509000000000000004b018c01619486942e"),
    (b"raw", "80059507000000000000004303726177942e"),
    (None, "80054e2e"),
    (-7.5, "8005950a0000000000000047c01e0000000000002e"),
    (("é", (2, 3)), "8005950e000000000000008c02c3a9944b024b03869486942e"),
]


def stored_key(path):
    """The bytes of the key of entry 0 of bucket 0, read from the file (a key
    of at most one 128-byte data chunk)."""
    entry = segment_file.entry_position(path, 0, 0)
    length = segment_file.read_u64(path, entry + 8)
    chunk = segment_file.OFFSET_BASE + segment_file.read_u64(path, segment_file.first_link_position(path, entry))
    with open(path, "rb") as f:
        f.seek(chunk)
        return f.read(length)


@pytest.mark.parametrize("key, stored", PICKLED_KEYS)
def test_pickle_keys_are_stored_alike_on_every_version(segment_dir, key, stored):
    with SharedDict(initial_buckets=1, chunk_size=128, **TINY) as d:
        d[key] = "v"
        d.flush()
        assert stored_key(d.path).hex() == stored


def test_file_full_is_an_error_that_says_what_to_do(segment_dir):
    d = SharedDict(capacity=1 << 16, initial_buckets=1, max_buckets=1)
    stored = {}
    with pytest.raises(OSError, match="file is full.*larger capacity") as caught:
        for n in range(100000):
            d[n] = b"x" * 200
            stored[n] = b"x" * 200
    assert caught.value.errno == errno.ENOSPC
    assert dict(d) == stored  # every entry stays
    del d[0]
    d[0] = b"x" * 200  # the space a removal gives back serves again
    d.close()


FILL_A_SMALL_FILE_SYSTEM = """
import errno, sys
from zorvik import SharedDict
d = SharedDict(sys.argv[1] + "/d")  # the default capacity, 1 TiB, on a file system of 4 MiB
stored = {}
try:
    for n in range(100_000):
        d[n] = b"x" * 1000
        stored[n] = b"x" * 1000
except OSError as error:
    assert error.errno == errno.ENOSPC and "file system" in str(error), error
else:
    raise AssertionError("the file system never filled up")
assert len(stored) > 1000 and dict(d) == stored
del d[0]
d[0] = b"y" * 1000  # the space a removal gives back serves again
print("full after", len(stored))
"""


def test_file_system_full_is_an_error_not_a_crash(segment_dir):
    """A write to a page of a sparse file that the file system cannot store
    raises SIGBUS; the allocator asks for the pages' storage before handing
    them out, so a full file system is an OSError instead. Run in a mount
    namespace of its own with a 4 MiB tmpfs."""
    mount_point = segment_dir / "small"
    mount_point.mkdir()
    script = f'mount -t tmpfs -o size=4m tmpfs "$0" || exit 99; exec "{sys.executable}" -c "$1" "$0"'
    # Root needs a mount namespace only; anyone else a user namespace too
    # (which a chroot refuses).
    namespaces = ["--mount"] if os.geteuid() == 0 else ["--user", "--map-root-user", "--mount"]
    try:
        done = subprocess.run(["unshare", *namespaces, "sh", "-c", script, str(mount_point), FILL_A_SMALL_FILE_SYSTEM],
                              capture_output=True, text=True)
    except FileNotFoundError:
        pytest.skip("no unshare here")
    if done.returncode == 99 or done.stderr.startswith("unshare:"):
        pytest.skip(f"cannot mount a tmpfs in a namespace of its own here: {done.stderr.strip()}")
    assert done.returncode == 0, (done.returncode, done.stderr)
    assert done.stdout.startswith("full after")

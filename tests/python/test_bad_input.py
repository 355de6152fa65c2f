"""Bad input: files that hold no dictionary, damaged dictionaries, awkward
names and permissions, hash functions and serializers that misbehave, keys a
serializer refuses. Each case must get a clear exception or the right answer,
never a crash, a hang or a changed file; each runs in a child process, so that
a crash fails its test instead of ending the test run."""

import os
import pickle
import random
import shutil
import struct
import tempfile
import types
import zlib

import pytest

import segment_file
import zorvik.brandel as module
from child_process import in_child
from zorvik.brandel import brandel, dict_expansion


def identity(key):
    return key


SMALL = dict(size=1 << 22, bucket_chunk_size_exponent=2, bucket_chunk_number=64, chunk_size_exponent=3)


def small_dictionary(**options):
    d = brandel(**{**SMALL, "hash_function": identity, **options})
    for key in range(8):
        d.insert(key, b"v" * (7 * key + 20))
    return d


def contents(path):
    """The file's bytes but the first 16, the sizes that every attach records."""
    with open(path, "rb") as file:
        return file.read()[16:]


def expect_clean(outcome):
    assert outcome.error is None, str(outcome)
    return outcome.result


# ---- files that hold no dictionary -----------------------------------------------------


def png():
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", 1, 1, 8, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"\0\0")) + chunk(b"IEND", b"")


def sqlite_database(path):
    sqlite3 = pytest.importorskip("sqlite3")
    with sqlite3.connect(path) as database:
        database.execute("create table t (k, v)")
        database.executemany("insert into t values (?, ?)", [(i, "x" * i) for i in range(100)])
    database.close()
    return path


def truncated_dictionary(length):
    def make(directory):
        d = small_dictionary()
        content = open(d.name, "rb").read()
        path = directory / f"truncated-{length}"
        path.write_bytes(content[:length] if length > 0 else content[: len(content) // 2])
        return path

    return make


def written(name, content):
    def make(directory):
        path = directory / name
        path.write_bytes(content)
        return path

    return make


def fifo(directory):
    path = directory / "fifo"
    os.mkfifo(path)
    return path


FOREIGN_FILES = {
    "zero page": written("zeros", bytes(4096)),
    "random bytes": written("random", random.Random(7).randbytes(1 << 16)),
    "png": written("picture.png", png()),
    "sqlite": lambda directory: sqlite_database(directory / "database.sqlite"),
    "dictionary cut to its header": truncated_dictionary(300),
    "dictionary cut in half": truncated_dictionary(0),
    "directory": lambda directory: directory,
    "fifo": fifo,
    "/dev/null": lambda directory: "/dev/null",
}


def snapshot(path):
    if os.path.isdir(path):
        return sorted(os.listdir(path))
    if os.path.isfile(path):
        return open(path, "rb").read()
    return os.stat(path).st_mode


def attach_and_use(name):
    d = brandel(name)
    return [d.get(1), d.insert(1, 1), d.get(1)]


@pytest.mark.parametrize("kind", FOREIGN_FILES)
def test_file_without_a_dictionary_is_refused_unchanged(segment_dir, kind):
    path = os.fsencode(FOREIGN_FILES[kind](segment_dir))
    before = snapshot(path)
    outcome = in_child(attach_and_use, path)
    assert outcome.raised("ValueError", f"{os.fsdecode(path)} does not hold a zorvik dictionary"), str(outcome)
    assert snapshot(path) == before


# ---- damaged dictionaries ------------------------------------------------------------------


def overwrite(position, value=0x7FFFFFF0):
    return lambda name: segment_file.write_u64(name, position(name), value)


def looping_value(name):
    """The value of bucket 1's first entry: its first link leads back to
    itself, and its count says 2^40 links (a walk by the count alone would run
    practically for ever under the bucket's lock)."""
    entry = segment_file.entry_position(name, 1, 0)
    link = segment_file.first_link_position(name, entry + 40)
    segment_file.write_u64(name, link + 8, link - segment_file.OFFSET_BASE)
    segment_file.write_u64(name, entry + 40 + 16, 1 << 40)


def intent_no_version_writes(name):
    """Bucket 1's intent word (the padding after its entry list's per_chunk
    byte) naming a change no version makes."""
    segment_file.write_u64(name, segment_file.bucket_position(name, 1) + 8 + 24, 2 | 0x0F << 8)


# What the file holds at each place is laid out in segment_file; 0x7FFFFFF0
# points far past the end of a 4 MiB segment.
DAMAGE = {
    "value's count over a looping chain, then replace": (looping_value, "replace"),
    "value's count over a looping chain, then remove": (looping_value, "remove"),
    "an intent word no version writes": (intent_no_version_writes, "get"),
    "bucket chunk size": (overwrite(lambda name: segment_file.HEADER + segment_file.BUCKETS_PER_CHUNK, 3), "get"),
    "chunk table": (overwrite(lambda name: segment_file.HEADER + segment_file.CHUNK_TABLE), "get"),
    "bucket's entry list": (overwrite(lambda name: segment_file.bucket_position(name, 1) + 8), "get"),
    "entry count of a bucket": (overwrite(lambda name: segment_file.bucket_position(name, 1) + 16, 7), "remove"),
    "value's first link": (overwrite(lambda name: segment_file.entry_position(name, 1, 0) + 40), "get"),
    "value's length": (overwrite(lambda name: segment_file.entry_position(name, 1, 0) + 48, 10**12), "get"),
    "value's second link, then get": (
        overwrite(lambda name: segment_file.first_link_position(name, segment_file.entry_position(name, 1, 0) + 40) + 8),
        "get",
    ),
    "value's second link, then remove": (
        overwrite(lambda name: segment_file.first_link_position(name, segment_file.entry_position(name, 1, 0) + 40) + 8),
        "remove",
    ),
    "free data list's head": (overwrite(lambda name: segment_file.FREE_LISTS["data"] + 2), "insert"),
    "free data chunk's link": (overwrite(lambda name: segment_file.free_chunk_position(name, "data") + 2), "insert"),
    "free link chunk's link": (overwrite(lambda name: segment_file.free_chunk_position(name, "link") + 2), "insert"),
}
# A damaged free list is given up where it breaks (the chunks behind the break
# are lost, fresh space serves instead), so the operation may also succeed.
HEALED_ON_DAMAGE = {"free data list's head", "free data chunk's link", "free link chunk's link"}


def use_damaged(name, operation):
    d = brandel(name, hash_function=identity)
    if operation == "get":
        return [d.get(key) for key in range(8)]
    if operation == "remove":
        return d.remove(1)
    if operation == "replace":
        return d.insert(1, b"r" * 300)
    return d.insert(100, b"n" * 300)


@pytest.mark.parametrize("damage", list(DAMAGE))
def test_damaged_dictionary_gives_an_exception_not_a_crash(segment_dir, damage):
    damage_file, operation = DAMAGE[damage]
    name = small_dictionary().name  # dropped: its pools' chunks are on the free lists now
    assert segment_file.free_chunk_position(name, "data") and segment_file.free_chunk_position(name, "link")
    damage_file(name)
    outcome = in_child(use_damaged, name, operation)
    allowed = ("IndexError", "RuntimeError", "ValueError", "MemoryError")
    if damage in HEALED_ON_DAMAGE:
        allowed += (None,)
    assert outcome.error in allowed, str(outcome)


# ---- names and places ------------------------------------------------------------------------


def test_names_that_are_not_utf8(segment_dir, monkeypatch):
    directory = segment_dir / os.fsdecode(b"seg\xff\xfe")
    directory.mkdir()
    monkeypatch.setenv("TMPDIR", str(directory))

    def body():
        created = brandel(**SMALL)
        assert os.path.dirname(created.name) == os.fsencode(directory)
        created.insert("k", "in a directory named with \\xff")
        renamed = os.path.join(os.path.dirname(created.name), b"\xc3\x28\xa0\xa1")
        os.rename(created.name, renamed)
        attached = brandel(renamed)
        assert attached.name == renamed and attached.get("k") == [True, "in a directory named with \\xff"]
        with pytest.raises(RuntimeError, match="^file status wrong with errno: 2$"):
            brandel(renamed + b"\xff")

    expect_clean(in_child(body))


@pytest.mark.parametrize(
    ("name", "message"),
    [
        (b"/nonexistent-zorvik-directory/a/b", "file status wrong with errno: 2"),
        (b"/dev/null/x", "file status wrong with errno: 20"),
        (b"/" + b"x" * 5000, "file status wrong with errno: 36"),
    ],
    ids=["missing-directory", "through-a-non-directory", "longer-than-a-path"],
)
def test_names_that_lead_nowhere(segment_dir, name, message):
    outcome = in_child(brandel, name)
    assert outcome.raised("RuntimeError", message) and outcome.message == message, str(outcome)


UNUSABLE_TEMPORARY_DIRECTORIES = {
    "missing": lambda directory: directory / "missing",
    "a file": lambda directory: written("plain-file", b"not a directory")(directory),
}


@pytest.mark.parametrize("place", UNUSABLE_TEMPORARY_DIRECTORIES)
def test_creation_in_an_unusable_temporary_directory(segment_dir, monkeypatch, place):
    target = UNUSABLE_TEMPORARY_DIRECTORIES[place](segment_dir)
    before = {path.name: snapshot(path) for path in segment_dir.iterdir()}
    monkeypatch.setenv("TMPDIR", str(target))
    outcome = in_child(lambda: brandel(**SMALL).name)
    assert outcome.error == "MemoryError", str(outcome)
    assert {path.name: snapshot(path) for path in segment_dir.iterdir()} == before


def test_a_segment_that_cannot_be_opened_reports_bad_allocation(segment_dir, monkeypatch):
    monkeypatch.setenv("TMPDIR", str(segment_dir / "missing"))
    with pytest.raises(MemoryError, match="^bad allocation$"):
        brandel(**SMALL)


# ---- permissions -------------------------------------------------------------------------------

NOBODY = 65534


@pytest.fixture
def shared_directory():
    """A directory that a user other than root can reach (pytest's own are 0700)."""
    path = tempfile.mkdtemp(prefix="zorvik-permissions-", dir="/tmp")
    os.chmod(path, 0o755)
    yield path
    shutil.rmtree(path)


def as_another_user(function, *args):
    if os.geteuid() == 0:
        os.setgroups([])
        os.setgid(NOBODY)
        os.setuid(NOBODY)
    return function(*args)


def copy_with_mode(source, directory, name, mode):
    path = os.path.join(directory, name)
    shutil.copyfile(source, path)
    os.chmod(path, mode)
    return os.fsencode(path)


@pytest.mark.parametrize("mode", [0o444, 0o000, 0o222], ids=["read-only", "no-access", "write-only"])
def test_dictionary_without_read_and_write_permission(segment_dir, shared_directory, mode):
    source = small_dictionary().name
    before = open(source, "rb").read()
    path = copy_with_mode(source, shared_directory, "dictionary", mode)
    outcome = in_child(as_another_user, attach_and_use, path)
    assert outcome.error == "MemoryError", str(outcome)
    os.chmod(path, 0o600)  # readable again also when the tests do not run as root
    assert open(path, "rb").read() == before  # not even the sizes an attach records


def test_creation_in_a_directory_without_write_permission(shared_directory, monkeypatch):
    os.chmod(shared_directory, 0o555)
    monkeypatch.setenv("TMPDIR", shared_directory)
    outcome = in_child(as_another_user, lambda: brandel(**SMALL).name)
    assert outcome.error == "MemoryError", str(outcome)
    assert os.listdir(shared_directory) == []


# ---- hash functions ------------------------------------------------------------------------------


class Index:
    def __index__(self):
        return 3


def raises(error):
    def hash_function(key):
        raise error

    return hash_function


BAD_HASH_FUNCTIONS = [
    (raises(ValueError("no hash for you")), ValueError, "no hash for you"),
    (raises(KeyboardInterrupt("interrupted")), KeyboardInterrupt, "interrupted"),
    (lambda key: "7", TypeError, "hash function returned non-int (type str)"),
    (lambda key: 7.0, TypeError, "hash function returned non-int (type float)"),
    (lambda key: None, TypeError, "hash function returned non-int (type NoneType)"),
    (lambda key: Index(), TypeError, "hash function returned non-int (type Index)"),
    (lambda key: 2**63, OverflowError, "hash function returned an int beyond 64 bits!"),
    (lambda key: -(2**63) - 1, OverflowError, "hash function returned an int beyond 64 bits!"),
    (lambda key: 2**200, OverflowError, "hash function returned an int beyond 64 bits!"),
]


@pytest.mark.parametrize(("hash_function", "error", "message"), BAD_HASH_FUNCTIONS)
def test_hash_function_that_fails_changes_nothing(segment_dir, hash_function, error, message):
    good = small_dictionary()
    before = contents(good.name)

    def body():
        bad = brandel(good.name, hash_function=hash_function)
        for operation in (lambda: bad.insert(1, "new"), lambda: bad.insert(100, "new"), lambda: bad.get(1),
                          lambda: bad.remove(1)):
            with pytest.raises(error) as caught:
                operation()
            assert str(caught.value) == message

    expect_clean(in_child(body))
    assert contents(good.name) == before


class IntSubclass(int):
    pass


@pytest.mark.parametrize(
    "hash_value",
    [-(2**63), 2**63 - 1, -1, True, IntSubclass(6)],
    ids=["lowest", "highest", "minus-one", "bool", "int-subclass"],
)
def test_extreme_hash_values_work(segment_dir, hash_value):
    # Every key has the same hash: one bucket holds them all, through doublings
    # that split by the hash's unsigned value.
    d = brandel(**SMALL, hash_function=lambda key: hash_value)
    keys = list(range(12))
    for key in keys:
        assert d.insert(key, b"value %d" % key) == 1
    assert dict_expansion(d.name, 64) == 1
    assert d.remove(3) == 1
    assert [d.get(key) for key in keys] == [[False] if key == 3 else [True, b"value %d" % key] for key in keys]
    assert segment_file.entry_count(d.name) == len(keys) - 1


def test_hash_function_that_uses_the_dictionary(segment_dir):
    def body():
        d = brandel(**SMALL, hash_function=lambda key: key)
        calls = []

        def reentrant(key):
            calls.append(key)
            if key >= 0:
                d.insert(-1 - key, key)  # another entry, written while hashing
                d.get(key)
            return key

        d2 = brandel(d.name, hash_function=reentrant)
        for key in range(20):
            d2.insert(key, str(key))
        return [d2.get(key) for key in range(20)], [d.get(-1 - key) for key in range(20)]

    found, written_while_hashing = expect_clean(in_child(body))
    assert found == [[True, str(key)] for key in range(20)]
    assert written_while_hashing == [[True, key] for key in range(20)]


# ---- serializers -------------------------------------------------------------------------------


class BytesSubclass(bytes):
    pass


class StrSubclass(str):
    pass


class Marked:
    """An object the fake serializer turns into something bad."""


def fake_serializer(bad_dumps=None, bad_loads=None):
    """A module with dumps and loads: pickle's, except that a Marked object is
    serialised by `bad_dumps`, and `bad_loads` (if given) replaces loads."""
    fake = types.ModuleType("fake_serializer")

    def dumps(obj):
        return bad_dumps(obj) if isinstance(obj, Marked) else pickle.dumps(obj)

    fake.dumps = dumps
    fake.loads = bad_loads or pickle.loads
    return fake


def refuse(obj):
    raise ValueError("cannot serialise this")


BAD_DUMPS = [
    (lambda obj: BytesSubclass(b"x"), TypeError, "Expected bytes, got BytesSubclass"),
    (lambda obj: "text", TypeError, "Expected bytes, got str"),
    (lambda obj: None, TypeError, "expected bytes, NoneType found"),
    (lambda obj: bytearray(b"x"), TypeError, "Expected bytes, got bytearray"),
    (lambda obj: memoryview(b"x"), TypeError, "Expected bytes, got memoryview"),
    (lambda obj: 5, TypeError, "Expected bytes, got int"),
    (refuse, ValueError, "cannot serialise this"),
]


@pytest.mark.parametrize(("bad_dumps", "error", "message"), BAD_DUMPS)
def test_serializer_that_returns_no_bytes_changes_nothing(segment_dir, monkeypatch, bad_dumps, error, message):
    monkeypatch.setattr(module, "msgpack", fake_serializer(bad_dumps), raising=False)
    d = small_dictionary(serializer="msgpack", hash_function=hash)
    before = contents(d.name)

    def body():
        for operation in (lambda: d.insert(Marked(), 1), lambda: d.insert(1, Marked()), lambda: d.insert(100, Marked()),
                          lambda: d.get(Marked()), lambda: d.remove(Marked())):
            with pytest.raises(error) as caught:
                operation()
            assert str(caught.value) == message
        return [d.get(key) for key in range(8)]

    assert expect_clean(in_child(body)) == [[True, b"v" * (7 * key + 20)] for key in range(8)]
    assert contents(d.name) == before


def test_serializer_whose_loads_fails_keeps_the_entry(segment_dir, monkeypatch):
    def loads(data):
        value = pickle.loads(data)
        if value == "unreadable":
            raise ValueError("cannot load this one")
        return value

    monkeypatch.setattr(module, "msgpack", fake_serializer(bad_loads=loads), raising=False)

    def body():
        d = small_dictionary(serializer="msgpack")
        d.insert(50, "unreadable")
        with pytest.raises(ValueError, match="^cannot load this one$"):
            d.get(50)
        assert d.get(1) == [True, b"v" * 27]
        assert d.remove(50) == 1 and d.get(50) == [False]

    expect_clean(in_child(body))


@pytest.mark.parametrize(
    ("module_attributes", "error", "message"),
    [
        ({"loads": pickle.loads}, AttributeError, "has no attribute 'dumps'"),
        ({"dumps": 5, "loads": pickle.loads}, TypeError, "'int' object is not callable"),
    ],
    ids=["no-dumps", "dumps-not-callable"],
)
def test_serializer_module_without_a_usable_dumps(segment_dir, monkeypatch, module_attributes, error, message):
    fake = types.ModuleType("fake_serializer")
    vars(fake).update(module_attributes)
    monkeypatch.setattr(module, "msgpack", fake, raising=False)

    def body():
        with pytest.raises(error, match=message):
            brandel(**SMALL, serializer="msgpack").insert(1, 1)

    expect_clean(in_child(body))


@pytest.mark.parametrize(
    ("text", "error", "message"),
    [
        (StrSubclass("x"), TypeError, "Expected bytes, got StrSubclass"),
        ("\udcff", UnicodeEncodeError, "surrogates not allowed"),
    ],
    ids=["str-subclass", "lone-surrogate"],
)
def test_text_serializer_returning_unencodable_text(segment_dir, monkeypatch, text, error, message):
    fake = types.ModuleType("json")
    fake.dumps = lambda obj: text if isinstance(obj, Marked) else str(obj)
    fake.loads = lambda data: data.decode()
    monkeypatch.setattr(module, "json", fake)

    def body():
        d = brandel(**SMALL, serializer="json")
        d.insert(1, 1)
        with pytest.raises(error, match=message):
            d.insert(Marked(), 1)
        with pytest.raises(error, match=message):
            d.insert(2, Marked())
        return d.get(1), d.get(2)

    assert expect_clean(in_child(body)) == ([True, "1"], [False])


REFUSED_KEYS = [
    ("pickle", lambda: (lambda: None)),
    ("pickle", lambda: [1, 2]),  # unhashable under the built-in hash
    ("json", object),
    ("json", lambda: {1: 2j}),
    ("orjson", lambda: {1, 2}),
    ("msgpack", object),
    ("msgspec", object),
]


@pytest.mark.parametrize(("serializer", "make_key"), REFUSED_KEYS)
def test_key_the_serializer_refuses_changes_nothing(segment_dir, serializer, make_key):
    if serializer not in ("pickle", "json"):
        pytest.importorskip(serializer)
    d = brandel(**SMALL, serializer=serializer)
    d.insert(1, [1, 2])
    before = contents(d.name)

    def body():
        key = make_key()
        for operation in (lambda: d.insert(key, 1), lambda: d.get(key), lambda: d.remove(key)):
            with pytest.raises(Exception) as caught:
                operation()
            assert not isinstance(caught.value, (SystemError, MemoryError)), repr(caught.value)
        return d.get(1)

    assert expect_clean(in_child(body)) == [True, [1, 2]]
    assert contents(d.name) == before

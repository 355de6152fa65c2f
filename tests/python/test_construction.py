"""brandel(...): argument conversion and checks, segments, lifetime, pickling."""

import copy
import gc
import os
import pickle
import re
import traceback

import pytest

from brandel_helpers import SMALL

import zorvik.brandel as module
from zorvik.brandel import brandel


class BytesSubclass(bytes):
    pass


class IntReturnsText:
    def __int__(self):
        return "12"


NEGATIVE_SIZE = "can't convert negative value to size_t"

CONSTRUCTOR_ERRORS = [
    (dict(size=-1), OverflowError, NEGATIVE_SIZE),
    (dict(bucket_chunk_number=-1), OverflowError, NEGATIVE_SIZE),
    (dict(size=2**64), OverflowError, None),
    (dict(bucket_chunk_size_exponent=256), OverflowError, "value too large to convert to unsigned char"),
    (dict(chunk_size_exponent=-1), OverflowError, "can't convert negative value to unsigned char"),
    (dict(size="4194304"), TypeError, "an integer is required"),
    (dict(size=IntReturnsText()), TypeError, "__int__ returned non-int (type str)"),
    # Numbers are converted before the name and the serializer are looked at.
    (dict(size=-1, name=bytearray(), serializer=1), OverflowError, NEGATIVE_SIZE),
    (dict(name=bytearray()), TypeError, "Argument 'name' has incorrect type (expected bytes, got bytearray)"),
    (dict(name=BytesSubclass()), TypeError, "Argument 'name' has incorrect type (expected bytes, got BytesSubclass)"),
    (dict(serializer=b"pickle"), TypeError, "Argument 'serializer' has incorrect type (expected str, got bytes)"),
    (dict(serializer="JSON"), ValueError, "Invalid serializer!"),
    (dict(serializer=None), ValueError, "Invalid serializer!"),
    (dict(size=0), ValueError, "size should be greater than zero!"),
    (dict(chunk_size_exponent=2), ValueError, "string_chunk_size_exponent should be greater than 2!"),
    (dict(bucket_chunk_number=0), ValueError, "bucket chunk number should be greater than zero!"),
    (dict(size=0, chunk_size_exponent=2, bucket_chunk_number=0), ValueError, "size should be greater than zero!"),
    (dict(name=b"/nonexistent/zorvik-segment"), RuntimeError, "file status wrong with errno: 2"),
    (dict(name=b"/tmp\0/x"), ValueError, "embedded null byte"),
    (dict(bogus=1), TypeError, "__init__() got an unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize(("arguments", "error", "message"), CONSTRUCTOR_ERRORS)
def test_constructor_errors(segment_dir, arguments, error, message):
    with pytest.raises(error) as caught:
        brandel(**{**SMALL, **arguments})
    if message is not None:
        assert str(caught.value) == message
    names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert names[-1] == "zorvik.brandel.brandel.__init__"
    # No failed construction leaves a segment file behind.
    assert list(segment_dir.iterdir()) == []


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((None,) * 8, {}, "__init__() takes at most 7 positional arguments (8 given)"),
        ((None,), {"name": None}, "__init__() got multiple values for keyword argument 'name'"),
    ],
)
def test_constructor_binding_errors(segment_dir, args, kwargs, message):
    with pytest.raises(TypeError, match=r"^" + re.escape(message) + "$"):
        brandel(*args, **kwargs)


def test_numbers_convert_through_int(segment_dir):
    d = brandel(size=float(1 << 22), bucket_chunk_size_exponent=4.9, chunk_size_exponent=True + 4)
    assert d.insert("k", "v") == 1
    assert d.get("k") == [True, "v"]


@pytest.mark.parametrize("name", [None, b""])
def test_new_segment_is_named_by_its_path(segment_dir, name):
    d = brandel(name, **SMALL)
    assert isinstance(d.name, bytes) and d.name != b""
    assert os.path.dirname(d.name) == os.fsencode(segment_dir)
    assert os.path.isfile(d.name)


def test_positional_arguments_in_order(segment_dir):
    d = brandel(None, 1 << 22, 4, 100, 5, "json", hash)
    assert d.insert("k", [1, 2]) == 1
    assert d.get("k") == [True, [1, 2]]


def test_attach_by_name_sees_the_same_entries(segment_dir):
    first = brandel(**SMALL)
    first.insert("shared", 42)
    # Numbers given when attaching are checked, then replaced by the file's.
    second = brandel(first.name, size=1, bucket_chunk_size_exponent=9, bucket_chunk_number=3)
    assert second.name is not None and second.name == first.name
    assert second.get("shared") == [True, 42]
    second.insert("back", 7)
    assert first.get("back") == [True, 7]


@pytest.mark.parametrize("content", [b"", b"x" * 100, b"\xff" * 100000])
def test_a_file_that_holds_no_dictionary_is_refused_unchanged(segment_dir, content):
    path = segment_dir / "not-a-dictionary"
    path.write_bytes(content)
    with pytest.raises(ValueError, match="does not hold a zorvik dictionary"):
        brandel(os.fsencode(path))
    assert path.read_bytes() == content


def test_dropping_the_object_releases_map_and_descriptors(segment_dir):
    def open_descriptors():
        return len(os.listdir("/proc/self/fd"))

    first = brandel(**SMALL)
    first.insert(1, "one")
    name = first.name
    del first
    gc.collect()
    before = open_descriptors()
    for _ in range(5):
        d = brandel(name)
        assert d.get(1) == [True, "one"]
        del d
    # Objects in a reference cycle are released by the collector.
    for _ in range(5):
        d = brandel(name)
        d.itself = d
        del d
    gc.collect()
    assert open_descriptors() == before


@pytest.mark.parametrize(
    "refuse",
    [
        pickle.dumps,
        copy.copy,
        copy.deepcopy,
        lambda d: d.__reduce__(),
        lambda d: d.__setstate__(None),
    ],
    ids=["pickle", "copy", "deepcopy", "reduce", "setstate"],
)
def test_pickling_and_copying_are_refused(segment_dir, refuse):
    d = brandel(**SMALL)
    with pytest.raises(TypeError, match=r"^self\.chm,self\.size cannot be converted to a Python object for pickling$"):
        refuse(d)


def test_arbitrary_attributes_live_in_the_instance_dict(segment_dir):
    d = brandel(**SMALL)
    d.note = [1, 2]
    assert d.__dict__ == {"note": [1, 2]}
    with pytest.raises(AttributeError):
        d.name = b"other"


def test_msgspec_gets_dumps_and_loads(segment_dir):
    msgspec = pytest.importorskip("msgspec")
    import msgspec.json

    brandel(serializer="msgspec", **SMALL)
    assert msgspec.dumps is msgspec.json.encode
    assert msgspec.loads is msgspec.json.decode


NO_MAP = r"^operation on a brandel without a map!$"


def never_constructed():
    return brandel.__new__(brandel)


def failed_reconstruction():
    d = brandel(**SMALL)
    with pytest.raises(OverflowError):
        d.__init__(size=-1)
    return d


def finalised():
    d = brandel(**SMALL)
    d.__del__()
    return d


class SkipsInit(brandel):
    def __init__(self):
        pass


@pytest.mark.parametrize("make", [never_constructed, failed_reconstruction, finalised, SkipsInit])
def test_objects_without_a_map_refuse_every_operation(segment_dir, make):
    d = make()
    operations = [
        lambda: d.insert(1, 2),
        lambda: d.get(1),
        lambda: d.remove(1),
        lambda: d.expansion(1),
        lambda: module.dict_insert(d, 1, 2),
        lambda: module.dict_get(d, 1),
        lambda: module.dict_remove(d, 1),
    ]
    for operation in operations:
        with pytest.raises(ValueError, match=NO_MAP):
            operation()


def test_repeated_init_moves_to_the_new_map(segment_dir):
    first = brandel(**SMALL)
    first.insert("k", "first")
    other = brandel(**SMALL)
    other.insert("k", "other")
    first.__init__(other.name)
    assert first.name == other.name
    assert first.get("k") == [True, "other"]

"""Native callers: the export table, the class's method table and hash_key."""

import ctypes

import pytest

from brandel_helpers import SMALL

import zorvik.brandel as module
import zorvik.fennick
from zorvik.brandel import brandel

OBJ = ctypes.py_object


def capsule_pointer(capsule):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [OBJ]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [OBJ, ctypes.c_char_p]
    return get_pointer(capsule, get_name(capsule))


# PYFUNCTYPE keeps the interpreter lock and raises a pending exception.
INSERT = ctypes.PYFUNCTYPE(ctypes.c_int, OBJ, OBJ, OBJ, ctypes.c_int)
GET = ctypes.PYFUNCTYPE(OBJ, OBJ, OBJ, ctypes.c_int)
REMOVE = ctypes.PYFUNCTYPE(ctypes.c_int, OBJ, OBJ, ctypes.c_int)
HASH_KEY = ctypes.PYFUNCTYPE(ctypes.c_ssize_t, OBJ, OBJ)


class Vtable(ctypes.Structure):
    _fields_ = [("insert", ctypes.c_void_p), ("get", ctypes.c_void_p), ("remove", ctypes.c_void_p),
                ("expansion", ctypes.c_void_p)]


def exported():
    table = module.__pyx_capi__
    return (INSERT(capsule_pointer(table["dict_insert"])), GET(capsule_pointer(table["dict_get"])),
            REMOVE(capsule_pointer(table["dict_remove"])))


def method_table():
    table = Vtable.from_address(capsule_pointer(vars(brandel)["__pyx_vtable__"]))
    return INSERT(table.insert), GET(table.get), REMOVE(table.remove)


class Overriding(brandel):
    def insert(self, input_key, input_value):
        return 7

    def get(self, input_key):
        return ["override"]

    def remove(self, input_key):
        return 9


@pytest.fixture
def d(segment_dir):
    return brandel(**SMALL)


def test_export_table_calls(d):
    insert, get, remove = exported()
    assert insert(d, "k", [1, 2], 0) == 1
    assert get(d, "k", 1) == [True, [1, 2]]
    assert module.dict_get(d, "k") == [True, [1, 2]]
    assert remove(d, "k", 0) == 1
    assert remove(d, "k", 0) == 0
    assert get(d, "k", 0) == [False]


def test_export_table_reports_failures(d):
    insert, get, _ = exported()
    with pytest.raises(TypeError, match="unhashable"):
        get(d, ["unhashable"], 0)
    with pytest.raises(TypeError):
        insert(d, "k", ctypes, 0)


def test_export_table_ignores_overrides(segment_dir):
    insert, get, remove = exported()
    d = Overriding(**SMALL)
    assert insert(d, "k", "v", 0) == 1
    assert get(d, "k", 0) == [True, "v"]
    assert remove(d, "k", 0) == 1


def test_method_table_dispatch_flag(segment_dir):
    insert, get, remove = method_table()
    d = Overriding(**SMALL)
    # Flag 0: a Python override of the method's name wins.
    assert (insert(d, "k", "v", 0), get(d, "k", 0), remove(d, "k", 0)) == (7, ["override"], 9)
    # Any other flag: the class's own method runs.
    assert (insert(d, "k", "v", 1), get(d, "k", 1), remove(d, "k", 1)) == (1, [True, "v"], 1)


@pytest.mark.parametrize(
    ("override", "error", "message"),
    [
        (lambda self, key: 2**40, OverflowError, "value too large to convert to int"),
        (lambda self, key: "1", TypeError, "an integer is required"),
    ],
)
def test_method_table_converts_override_results(segment_dir, override, error, message):
    _, get, remove = method_table()
    d = type("Odd", (brandel,), {"remove": override, "get": lambda self, key: ("tuple",)})(**SMALL)
    with pytest.raises(error, match=message):
        remove(d, "k", 0)
    with pytest.raises(TypeError, match="Expected list, got tuple"):
        get(d, "k", 0)


def test_own_methods_of_plain_objects_need_no_override(d):
    insert, get, _ = method_table()
    assert insert(d, "k", "v", 0) == 1
    assert get(d, "k", 0) == [True, "v"]


@pytest.mark.parametrize(
    ("hash_function", "expected"),
    [(lambda key: 99, 99), (lambda key: -(2**63), -(2**63)), (lambda key: True, 1)],
)
def test_hash_key_calls_the_hash_function(hash_function, expected):
    hash_key = HASH_KEY(capsule_pointer(zorvik.fennick.__pyx_capi__["hash_key"]))
    base = zorvik.fennick.fennick(hash_function)
    assert hash_key(base, "key") == expected


def test_hash_key_without_a_hash_function():
    hash_key = HASH_KEY(capsule_pointer(zorvik.fennick.__pyx_capi__["hash_key"]))
    with pytest.raises(ValueError, match="no hash function"):
        hash_key(zorvik.fennick.fennick.__new__(zorvik.fennick.fennick), "key")


def test_base_initialiser_has_run_when_the_serializer_is_refused(segment_dir):
    hash_key = HASH_KEY(capsule_pointer(zorvik.fennick.__pyx_capi__["hash_key"]))
    d = brandel.__new__(brandel)
    with pytest.raises(ValueError, match="Invalid serializer!"):
        d.__init__(serializer="JSON", hash_function=lambda key: 41, **SMALL)
    assert hash_key(d, "key") == 41


class ExpansionArguments(ctypes.Structure):
    _fields_ = [("given", ctypes.c_int), ("parallelism", ctypes.c_uint64)]


EXPANSION = ctypes.PYFUNCTYPE(ctypes.c_int, OBJ, ctypes.c_int, ctypes.POINTER(ExpansionArguments))


def test_method_table_expansion_dispatch(segment_dir):
    seen = []

    class Overriding(brandel):
        def expansion(self, parallelism=0):
            seen.append(parallelism)
            return 3

    table = Vtable.from_address(capsule_pointer(vars(brandel)["__pyx_vtable__"]))
    expansion = EXPANSION(table.expansion)
    d = Overriding(**SMALL)
    assert expansion(d, 0, ctypes.pointer(ExpansionArguments(1, 5))) == 3
    assert expansion(d, 0, None) == 3
    assert seen == [5, 0]

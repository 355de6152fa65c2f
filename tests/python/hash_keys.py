"""Keys that the default hash must give the same hash in every process, and
what the child processes of the hash tests do with them.

Everything here is importable without pytest: the children import it."""

import collections
import ctypes
import json

import zorvik.fennick
from zorvik.brandel import brandel


class Text(str):
    """Keeps str's own hash."""


class Blob(bytes):
    """Keeps bytes' own hash."""


class Frozen(frozenset):
    """Keeps frozenset's own hash."""


Pair = collections.namedtuple("Pair", "left right")

# Name -> key. Text of every width (1, 2 and 4 bytes a character) and of
# lengths around SipHash's 8-byte words; containers to a few levels.
KEYS = {
    "ascii": "apple",
    "empty str": "",
    "7 bytes": "abcdefg",
    "8 bytes": "abcdefgh",
    "9 bytes": "abcdefghi",
    "16 bytes": "a" * 16,
    "100 characters": "the quick brown fox " * 5,
    "latin-1": "café ÿ",
    "bmp": "日本語 ʃ€",
    "astral": "😀 𝄞",
    "str subclass": Text("apple"),
    "bytes": b"apple",
    "empty bytes": b"",
    "every byte": bytes(range(256)),
    "bytes subclass": Blob(b"apple"),
    "tuple": ("apple", 1),
    "empty tuple": (),
    "nested tuple": ("a", (b"b", ("c", (1.5, -7)))),
    "namedtuple": Pair("left", b"right"),
    "tuple with None": ("a", None),
    "frozenset": frozenset({"a", b"b", 3}),
    "empty frozenset": frozenset(),
    "nested frozenset": frozenset({("t", 1), frozenset({"in", "side"})}),
    "frozenset subclass": Frozen({"a"}),
    "int": 12345,
    "minus one": -1,
    "big int": 2**100,
    "float": 2.5,
    "negative zero": -0.0,
    "infinity": float("inf"),
    "None": None,
    "True": True,
    "False": False,
}

# hash(None) is the address of None before CPython 3.12, different in every
# process; the default hash takes the constant that later versions return.
NONE_HASH = 0xFCA86420
HOLD_NONE = {"None", "tuple with None"}

# Keys are also compared by their serialized bytes, and pickle writes a set's
# elements in the set's order, which follows the process's own (salted) hash
# of str and bytes: a frozenset of several such elements may be written
# differently elsewhere, so only these keys can be looked up everywhere.
SERIALIZE_ALIKE = {name: key for name, key in KEYS.items() if not (isinstance(key, frozenset) and len(key) > 1)}

_HASH_KEY = ctypes.PYFUNCTYPE(ctypes.c_ssize_t, ctypes.py_object, ctypes.py_object)
_GET_POINTER = ctypes.pythonapi.PyCapsule_GetPointer
_GET_POINTER.restype = ctypes.c_void_p
_GET_POINTER.argtypes = [ctypes.py_object, ctypes.c_char_p]


def default_hash(key):
    """The hash a dictionary with the default hash function gives `key`
    (fennick's native hash_key)."""
    capsule = zorvik.fennick.__pyx_capi__["hash_key"]
    hash_key = _HASH_KEY(_GET_POINTER(capsule, b"Py_ssize_t (struct __pyx_obj_6zorvik_7fennick_fennick *, PyObject *)"))
    return hash_key(zorvik.fennick.fennick(hash), key)


def default_hashes():
    return {name: default_hash(key) for name, key in KEYS.items()}


def builtin_hashes():
    return {name: hash(key) for name, key in KEYS.items()}


def print_hashes(which):
    """For a child: prints default_hashes() or builtin_hashes() as JSON."""
    print(json.dumps(globals()[which]()))


def value_of(index, round_):
    return [index, round_]


def read_replace_remove(name, parent_hash_of_apple):
    """In a child: reads every key the parent inserted (value_of(i, 0)), then
    replaces the even ones (value_of(i, 1)) and removes every third."""
    assert hash("apple") != parent_hash_of_apple, "the child runs on the parent's hash seed"
    d = brandel(name)
    found = [d.get(key) for key in SERIALIZE_ALIKE.values()]
    for i, key in enumerate(SERIALIZE_ALIKE.values()):
        if i % 2 == 0:
            d.insert(key, value_of(i, 1))
        if i % 3 == 0:
            assert d.remove(key) == 1
    return found


def after_read_replace_remove(i):
    """What the parent finds under key `i` after read_replace_remove."""
    if i % 3 == 0:
        return [False]
    return [True, value_of(i, 1 if i % 2 == 0 else 0)]


# ---- a file written before the default hash was portable ------------------------------------------

SEED_ZERO_FILE = "data/written_under_seed_zero.json.gz"


def seed_zero_file_keys():
    """The names of SEED_ZERO_FILE's keys: every key that json can write
    (once: the str subclass is "apple" again), None aside. json rather than
    pickle, whose default protocol (and so every key's bytes) differs between
    CPython versions."""
    names = {}
    for name, key in KEYS.items():
        try:
            written = json.dumps(key)
        except TypeError:
            continue
        if name not in HOLD_NONE:
            names.setdefault(written, name)
    return list(names.values())


def write_seed_zero_file(target):
    """How SEED_ZERO_FILE was made: by the build before the default hash was
    portable (it called the built-in hash), under PYTHONHASHSEED=0, each key
    holding its name. Writes the gzipped segment file to `target`."""
    import gzip
    import os
    import shutil

    d = brandel(size=1 << 16, bucket_chunk_size_exponent=2, bucket_chunk_number=8, serializer="json")
    for name in seed_zero_file_keys():
        d.insert(KEYS[name], name)
    path = d.name.decode()
    del d
    with open(path, "rb") as source, gzip.GzipFile(target, "wb", mtime=0) as sink:
        shutil.copyfileobj(source, sink)
    os.unlink(path)

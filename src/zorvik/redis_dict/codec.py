"""The bytes a RedisDict stores: the same bytes a SharedDict stores for the
same key or value under the same serializer, and the same hash for a key.

So a dictionary's entries move between a file and a server as they are (the
raw dump of a file carries each entry's stored hash, key bytes and value
bytes), and a key is found by the same bytes on both. This module is the one
place that turns objects into those bytes and back; it knows what
SharedDict's serializer table (``zorvik._shared.SERIALIZERS``, the names a
dictionary can give) does with each name (``zorvik/shared/serializers.cpp``
and the binding's serialize step):

- ``pickle``: protocol 5 on every CPython version (pickle's default is 4 up
  to 3.13), so processes of 3.11 and 3.14 write every key alike;
- ``json``: the standard library's ``json.dumps`` with its defaults, whose
  text is stored as UTF-8;
- ``msgspec``: ``msgspec.json.encode``/``decode``;
- every other name (``orjson``, ``msgpack``): the package of that name, its
  own ``dumps``/``loads``.

A key is stored by the bytes a SharedDict stores it by: under pickle its key
form (``zorvik._shared.pickle_key``: the same bytes for equal keys, whatever
objects they share or order their frozensets hold), under the others what
the serializer writes. JSON and msgpack have no tuples: a key read back as a
list was a tuple, and comes back as one.

A key is hashed by the dictionary's hash function, by default zorvik's
portable hash (``zorvik.fennick.portable_hash``), which gives a key the same
hash in every process; the hash picks the key's shard.
"""

from __future__ import annotations

import importlib
import json
import pickle
from collections.abc import Callable
from typing import Any

from zorvik._shared import SERIALIZERS, pickle_key
from zorvik.fennick import portable_hash

__all__ = ["Codec"]


def _pickle_dumps(value: Any) -> bytes:
    return pickle.dumps(value, 5)


def _package(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as error:
        if error.name != name:
            raise
        raise ModuleNotFoundError(
            f"the serializer '{name}' needs the package {name}, which is not installed (pip install {name})",
            name=name,
        ) from None


def _functions(serializer: object) -> tuple[Callable[[Any], Any], Callable[[Any], Any], bool]:
    """(dumps, loads, text) of a serializer's name; text: dumps gives str,
    stored as its UTF-8 bytes."""
    if not isinstance(serializer, str):
        raise TypeError(f"serializer must be a str naming one, not {type(serializer).__name__}")
    if serializer not in SERIALIZERS:
        names = [repr(name) for name in SERIALIZERS]
        raise ValueError(f"unknown serializer {serializer!r}: choose {', '.join(names[:-1])} or {names[-1]}")
    if serializer == "pickle":
        return _pickle_dumps, pickle.loads, False
    if serializer == "json":
        return json.dumps, json.loads, True
    if serializer == "msgspec":
        _package("msgspec")
        encoder = importlib.import_module("msgspec.json")
        return encoder.encode, encoder.decode, False
    module = _package(serializer)
    return module.dumps, module.loads, False


class Codec:
    """Objects to stored bytes and back, and a key's hash, for one
    serializer and one hash function (None: the portable hash).

    dumps(value) -> bytes, loads(bytes) -> value, their forms for keys
    (dumps_key, loads_key: a key's bytes are what it is found by) and
    hash(key) -> int are attributes bound to the functions themselves where
    no check is needed, so that an operation calls the serializer with no
    frame between."""

    __slots__ = ("serializer", "hash_function", "dumps", "loads", "dumps_key", "loads_key", "hash")

    def __init__(self, serializer: str = "pickle", hash_function: Callable[[Any], int] | None = None) -> None:
        if hash_function is not None and not callable(hash_function):
            raise TypeError(f"hash_function must be callable or None, not {type(hash_function).__name__}")
        dumps, self.loads, text = _functions(serializer)
        self.dumps: Callable[[Any], bytes] = _utf8(dumps) if text else dumps
        if serializer == "pickle":
            self.dumps_key, self.loads_key = pickle_key, self.loads
        else:
            self.dumps_key, self.loads_key = self.dumps, _tuples_for_lists(self.loads)
        self.hash: Callable[[Any], int] = portable_hash if hash_function is None else _checked(hash_function)
        self.serializer = serializer
        self.hash_function = hash_function


def _tuple_of_lists(items: list[Any]) -> tuple[Any, ...]:
    return tuple(_tuple_of_lists(item) if type(item) is list else item for item in items)


def _tuples_for_lists(loads: Callable[[Any], Any]) -> Callable[[Any], Any]:
    """loads for keys: a list (which has no hash, so cannot have been a key)
    is the tuple it was stored as, nested lists too."""

    def loads_key(data: Any) -> Any:
        key = loads(data)
        return _tuple_of_lists(key) if type(key) is list else key

    return loads_key


def _utf8(dumps: Callable[[Any], Any]) -> Callable[[Any], bytes]:
    def dumps_utf8(value: Any) -> bytes:
        data = dumps(value)
        if type(data) is str:
            return data.encode("utf-8")
        raise TypeError(f"Expected bytes, got {type(data).__name__}")

    return dumps_utf8


def _checked(hash_function: Callable[[Any], int]) -> Callable[[Any], int]:
    """The hash function, its result checked as a file's dictionary checks it:
    an int of 64 bits, stored signed."""

    def hash_(key: Any) -> int:
        result = hash_function(key)
        if not isinstance(result, int):
            raise TypeError(f"hash function returned non-int (type {type(result).__name__})")
        if not -(1 << 63) <= result < 1 << 63:
            raise OverflowError("hash function returned an int beyond 64 bits!")
        return int(result)

    return hash_

"""RedisDict: SharedDict's interface on a Redis or Valkey server, standalone
or a Cluster.

Layout on the server. A dictionary named N is spread over S hashes, its
shards, named ``zorvik:{N:i}`` for i in 0..S-1; a key lives in shard
``hash(key) % S`` (the dictionary's hash function, by default the portable
hash), as a field whose name is the key's stored bytes and whose value is
the value's stored bytes: the bytes a SharedDict stores (codec.py). The
braces are a hash tag: in a Cluster each shard sits in one slot, so every
command and script touches one slot, and the shards spread over the nodes.
``zorvik:{N}:info`` records S, written by the first process that opens the
dictionary, so that every process finds each key in the same shard.

Every operation on one key is one command or one script (scripts.py), and
so atomic on the server; increment and update_with are optimistic, as on a
file: they read the value, compute the new one here, and store it with a
compare-and-set on the bytes they read, starting over when it changed. A
batch is one command per shard, sent in one pipeline: each key is its own
atomic operation, the batch is not a transaction.
"""

from __future__ import annotations

import math
import random
from itertools import islice
from collections.abc import Callable, ItemsView, Iterable, Iterator, KeysView, Mapping, MutableMapping, ValuesView
from typing import TYPE_CHECKING, Any, Literal, TypeVar, overload

import redis

from zorvik._shared import ABSENT
from zorvik.redis_dict import scripts
from zorvik.redis_dict.codec import Codec
from zorvik.redis_dict.scripts import Script
from zorvik.redis_dict.server import Server

__all__ = ["RedisDict"]

if TYPE_CHECKING:
    # A RedisDict made without its types given holds any keys and values.
    from typing_extensions import TypeVar as TypeVarWithDefault

    _K = TypeVarWithDefault("_K", default=Any)
    _V = TypeVarWithDefault("_V", default=Any)
else:
    _K = TypeVar("_K")
    _V = TypeVar("_V")
_T = TypeVar("_T")

# Shards of a new dictionary when the caller names none. A standalone server
# gains nothing from more than one (every batch is then one command); a
# Cluster spreads the shards over its nodes, and 16 gives three to sixteen
# nodes a share each within a few shards of even.
STANDALONE_SHARDS = 1
CLUSTER_SHARDS = 16
MOST_SHARDS = 16384  # a Cluster's slots: more shards than slots gain nothing

# Fields per command in a batch: a command, and the time a script holds the
# server, stay bounded however large the batch.
FIELDS_PER_COMMAND = 4096
# Fields an iteration asks for at each step (HSCAN's COUNT, a hint).
SCAN_STEP = 512
# Pairs that update() reads before it stores them as one batch.
UPDATE_STEP = 4096

_MISSING: Any = object()


class _Closed:
    """Stands for the server of a closed dictionary: every use raises."""

    def __getattr__(self, name: str) -> Any:
        raise ValueError("operation on a closed RedisDict")


def _check_name(name: object) -> str:
    if not isinstance(name, str):
        raise TypeError(f"a RedisDict's name must be a str, not {type(name).__name__}")
    if not name or "{" in name or "}" in name:
        raise ValueError(f"a RedisDict's name must be a non-empty str without braces (they make a Cluster's "
                         f"hash tags), not {name!r}")
    return name


def _check_shards(shards: object) -> int | None:
    if shards is None:
        return None
    if isinstance(shards, bool) or not isinstance(shards, int):
        raise TypeError(f"shards must be an int, not {type(shards).__name__}")
    if not 1 <= shards <= MOST_SHARDS:
        raise ValueError(f"shards must be between 1 and {MOST_SHARDS}, not {shards}")
    return shards


# The longest time to live: a server refuses a deadline past 2**48 - 1 ms
# after 1970 (about the year 10889), and the script that stores with a
# deadline must not fail after its store; 2**47 ms (some 4,400 years) from
# now stays below that for thousands of years.
LONGEST_TTL = 2**47 / 1000


def _milliseconds(ttl: object) -> int:
    """A time to live in seconds as the server's milliseconds, rounded up (a
    deadline is never earlier than asked)."""
    if isinstance(ttl, bool) or not isinstance(ttl, (int, float)):
        raise TypeError(f"ttl must be a number of seconds, not {type(ttl).__name__}")
    if not (math.isfinite(ttl) and 0 < ttl <= LONGEST_TTL):
        raise ValueError(f"ttl must be a number of seconds above 0 and at most {LONGEST_TTL:.0f}, not {ttl!r}")
    return math.ceil(ttl * 1000)


def _pairs(items: Any) -> Iterator[tuple[Any, Any]]:
    """The pairs of a mapping (anything with keys()) or of an iterable of
    pairs, checked as dict.update checks them."""
    if type(items) is dict:
        return iter(items.items())
    if hasattr(items, "keys"):
        return ((key, items[key]) for key in items.keys())
    return _checked_pairs(items)


def _checked_pairs(items: Iterable[Any]) -> Iterator[tuple[Any, Any]]:
    for index, item in enumerate(items):
        if type(item) is tuple and len(item) == 2:
            yield item
            continue
        try:
            pair = tuple(item)
        except TypeError:
            raise TypeError(f"cannot convert dictionary update sequence element #{index} to a sequence") from None
        if len(pair) != 2:
            raise ValueError(f"dictionary update sequence element #{index} has length {len(pair)}; 2 is required")
        yield pair


def _reopen(url: str, name: str, options: dict[str, Any]) -> RedisDict[Any, Any]:
    return RedisDict(url, name, **options)


class RedisKeysView(KeysView[_K]):
    pass


class RedisValuesView(ValuesView[_V]):
    _mapping: RedisDict[Any, _V]

    def __iter__(self) -> Iterator[_V]:
        loads = self._mapping._codec.loads
        return (loads(value) for _, value in self._mapping._entries())


class RedisItemsView(ItemsView[_K, _V]):
    _mapping: RedisDict[_K, _V]

    # Each value as the scan read it with its key, never by a second lookup.
    def __iter__(self) -> Iterator[tuple[_K, _V]]:
        codec = self._mapping._codec
        loads_key, loads = codec.loads_key, codec.loads
        return ((loads_key(key), loads(value)) for key, value in self._mapping._entries())


class RedisDict(MutableMapping[_K, _V]):
    """A dictionary on a Redis or Valkey server with SharedDict's interface.

    `url_or_client`: redis://host:port/db, rediss://... (TLS),
    unix:///path/to/socket?db=0, redis+cluster://host:port (any node of a
    Cluster), or a redis-py client (redis.Redis or redis.cluster.RedisCluster,
    not decoding responses). `name` names the dictionary on the server.
    `create`: None opens the dictionary or creates it, True requires a new
    one (FileExistsError), False an existing one (FileNotFoundError), as
    SharedDict's does for a file.
    `serializer` and `hash_function` are SharedDict's, and every process
    must name the same ones. `shards`: the number of hashes the entries are
    spread over, fixed when the dictionary is first opened (None: what it
    has, else 1 on a standalone server and 16 on a Cluster). `timeout`
    (seconds) bounds the connection and each reply; `retries` is how many
    times a command is sent again after a connection failure (a write only
    when it was not sent: see Server).
    """

    def __init__(
        self,
        url_or_client: Any,
        name: str,
        *,
        create: bool | None = None,
        serializer: Literal["pickle", "json", "orjson", "msgpack", "msgspec"] = "pickle",
        hash_function: Callable[[_K], int] | None = None,
        shards: int | None = None,
        timeout: float | None = 5.0,
        retries: int = 3,
    ) -> None:
        self._name = _check_name(name)
        if create not in (None, True, False):
            raise TypeError(f"create must be True, False or None, not {create!r}")
        requested = _check_shards(shards)
        self._codec = Codec(serializer, hash_function)
        server = Server(url_or_client, timeout, retries)
        self._server: Any = server
        self._execute = server.client.execute_command
        self._expiry: bool | None = None  # whether the server has per-field expiry, once asked
        self._info_key = f"zorvik:{{{name}}}:info".encode()
        default = CLUSTER_SHARDS if server.cluster else STANDALONE_SHARDS
        mode = {None: b"", True: b"new", False: b"existing"}[create]
        try:
            opened, stored = self._script(False, scripts.OPEN, self._info_key, requested or default, mode)
            if not opened:
                if stored is None:
                    raise FileNotFoundError(f"there is no dictionary named {name!r} at {server.where}")
                raise FileExistsError(f"a dictionary named {name!r} exists already at {server.where}")
            if not (stored.isdigit() and 1 <= int(stored) <= MOST_SHARDS):
                raise ValueError(f"the record of RedisDict {name!r} at {server.where} ({self._info_key.decode()}) "
                                 f"holds no number of shards but {stored!r}: it is not a RedisDict's")
            stored = int(stored)
            if requested is not None and stored != requested:
                raise ValueError(f"RedisDict {name!r} at {server.where} has {stored} shards, not the {requested} "
                                 f"asked for: open it with shards={stored} or None")
        except BaseException:
            server.close()
            raise
        self._count = stored
        self._shard_keys = [f"zorvik:{{{name}:{index}}}".encode() for index in range(stored)]
        self._options = dict(serializer=serializer, hash_function=hash_function, shards=stored, timeout=timeout,
                             retries=retries)

    # ---- what the dictionary is ------------------------------------------------------------

    @property
    def name(self) -> str:
        """The dictionary's name on the server."""
        return self._name

    @property
    def url(self) -> str:
        """The server's URL, without its password."""
        return self._where

    @property
    def shards(self) -> int:
        """The number of hashes on the server the entries are spread over."""
        return self._count

    @property
    def closed(self) -> bool:
        """True once close() was called."""
        return isinstance(self._server, _Closed)

    @property
    def _where(self) -> str:
        return self._server_was if self.closed else self._server.where

    def __repr__(self) -> str:
        return f"RedisDict({self._where!r}, {self._name!r}{', closed' if self.closed else ''})"

    def __reduce__(self) -> tuple[Any, ...]:
        if self.closed:
            raise ValueError("operation on a closed RedisDict")
        return _reopen, (self._server.url, self._name, self._options)

    def close(self) -> None:
        """Closes this object's connections (when it made its client); the
        dictionary stays on the server. Later operations raise ValueError."""
        if self.closed:
            return
        self._server_was = self._server.where
        self._server.close()
        self._server = _Closed()
        self._execute = None  # every operation meets the closed server first

    def __enter__(self) -> RedisDict[_K, _V]:
        self._check_open()
        return self

    def __exit__(self, *exception: object) -> Literal[False]:
        self.close()
        return False

    # ---- sending -------------------------------------------------------------------------

    def _locate(self, key: Any) -> tuple[bytes, bytes]:
        """(shard, field) of a key: its stored bytes, then its hash, in
        SharedDict's order (a key that fails both raises the serializer's
        error)."""
        field = self._codec.dumps_key(key)
        return self._shard_keys[self._codec.hash(key) % self._count], field

    def _located(self, keys: Iterable[Any]) -> tuple[list[bytes], list[int]]:
        """The stored bytes and the shard (its index) of every key, all
        computed before anything is sent: the bytes of every key, then their
        hashes, each in one pass. When a key fails, the keys are gone through
        again one at a time, as _locate does, so that the error raised is the
        one SharedDict raises (the first bad key's, its serializer's before
        its hash's)."""
        keys = keys if type(keys) is list else list(keys)
        codec, count = self._codec, self._count
        try:
            fields = list(map(codec.dumps_key, keys))
            hashes = list(map(codec.hash, keys))
        except Exception:
            for key in keys:
                self._locate(key)
            raise
        return fields, [0] * len(hashes) if count == 1 else [hash_ % count for hash_ in hashes]

    def _read(self, *command: Any) -> Any:
        return self._server.run(False, self._execute, *command)

    def _script(self, write: bool, script: Script, shard: bytes, *arguments: Any) -> Any:
        return self._server.run(write, self._evaluate, script, shard, arguments)

    def _evaluate(self, script: Script, shard: bytes, arguments: tuple[Any, ...]) -> Any:
        try:
            return self._execute("EVALSHA", script.sha, 1, shard, *arguments)
        except redis.exceptions.NoScriptError:
            return self._execute("EVAL", script.text, 1, shard, *arguments)

    def _batch(self, write: bool, commands: list[tuple[Any, ...]]) -> list[Any]:
        """The replies to commands on several shards: one pipeline, so one
        round trip to each server node (one command goes alone)."""
        if len(commands) == 1:
            command = commands[0]
            if command[0] == "EVALSHA":
                return [self._script(write, scripts.BY_SHA[command[1]], command[3], *command[4:])]
            return [self._server.run(write, self._execute, *command)]
        return self._server.run(write, self._server.pipeline, commands) if commands else []

    def _commands(self, shards: list[int], make: Callable[[bytes, list[int]], tuple[Any, ...]]
                  ) -> tuple[list[tuple[Any, ...]], list[list[int]]]:
        """One command per shard and per FIELDS_PER_COMMAND keys, made by
        make(shard's name, positions of its keys in order), and the positions
        each answers for."""
        if self._count == 1:  # every key in the one shard, in order
            groups = {0: list(range(len(shards)))}
        else:
            groups = {}
            for position, shard in enumerate(shards):
                groups.setdefault(shard, []).append(position)
        commands, answered = [], []
        for shard, positions in groups.items():
            for start in range(0, len(positions), FIELDS_PER_COMMAND):
                part = positions[start:start + FIELDS_PER_COMMAND]
                commands.append(make(self._shard_keys[shard], part))
                answered.append(part)
        return commands, answered

    # ---- the mapping -----------------------------------------------------------------------

    def __getitem__(self, key: _K) -> _V:
        shard, field = self._locate(key)
        data = self._read("HGET", shard, field)
        if data is None:
            raise KeyError(key)
        return self._codec.loads(data)

    def __setitem__(self, key: _K, value: _V) -> None:
        shard, field = self._locate(key)
        data = self._codec.dumps(value)
        self._server.run(True, self._execute, "HSET", shard, field, data)

    def __delitem__(self, key: _K) -> None:
        shard, field = self._locate(key)
        if not self._server.run(True, self._execute, "HDEL", shard, field):
            raise KeyError(key)

    def __contains__(self, key: object) -> bool:
        shard, field = self._locate(key)
        return bool(self._read("HEXISTS", shard, field))

    def __len__(self) -> int:
        """The entries of every shard, added up: each shard is counted at its
        own moment, so under concurrent writers this is no snapshot."""
        return sum(self._shard_lengths())

    def _shard_lengths(self) -> list[int]:
        return [int(n) for n in self._batch(False, [("HLEN", shard) for shard in self._shard_keys])]

    def __iter__(self) -> Iterator[_K]:
        loads_key = self._codec.loads_key
        return (loads_key(key) for key, _ in self._entries())

    def _entries(self) -> Iterator[tuple[bytes, bytes]]:
        """Every (field, value) of every shard, by HSCAN, a shard at a time.
        HSCAN returns every field present from its start to its end at least
        once; a field it returns again is skipped."""
        self._check_open()
        return self._scan()

    def _scan(self) -> Iterator[tuple[bytes, bytes]]:
        for shard in self._shard_keys:
            seen: set[bytes] | None = None
            cursor = 0
            while True:
                cursor, pairs = self._read("HSCAN", shard, cursor, "COUNT", SCAN_STEP)
                if seen is None and cursor == 0:  # the whole shard in one reply: no repeats
                    yield from pairs.items()
                    break
                seen = seen if seen is not None else set()
                for field, value in pairs.items():
                    if field not in seen:
                        seen.add(field)
                        yield field, value
                if cursor == 0:
                    break

    def keys(self) -> RedisKeysView[_K]:
        self._check_open()
        return RedisKeysView(self)

    def values(self) -> RedisValuesView[_V]:
        self._check_open()
        return RedisValuesView(self)

    def items(self) -> RedisItemsView[_K, _V]:
        self._check_open()
        return RedisItemsView(self)

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("operation on a closed RedisDict")

    def copy(self) -> dict[_K, _V]:
        """The entries as a plain dict, read as iteration reads them."""
        return dict(self.items())

    @overload
    def get(self, key: _K, default: None = None, /) -> _V | None: ...
    @overload
    def get(self, key: _K, default: _V | _T, /) -> _V | _T: ...
    def get(self, key: Any, default: Any = None, /) -> Any:
        shard, field = self._locate(key)
        data = self._read("HGET", shard, field)
        return default if data is None else self._codec.loads(data)

    @overload
    def pop(self, key: _K, /) -> _V: ...
    @overload
    def pop(self, key: _K, default: _V | _T, /) -> _V | _T: ...
    def pop(self, key: Any, default: Any = _MISSING, /) -> Any:
        """Removes key and returns its value, in one script: of processes
        popping one key at once, exactly one gets it."""
        shard, field = self._locate(key)
        data = self._script(True, scripts.POP, shard, field)
        if data is not None:
            return self._codec.loads(data)
        if default is _MISSING:
            raise KeyError(key)
        return default

    def popitem(self) -> tuple[_K, _V]:
        """Removes some entry and returns it (each entry goes to one caller).
        Shards are tried from a random one on, so that processes popping at
        once take from different shards."""
        start = random.randrange(self._count)
        for step in range(self._count):
            taken = self._script(True, scripts.POPITEM, self._shard_keys[(start + step) % self._count])
            if taken:
                return self._codec.loads_key(taken[0]), self._codec.loads(taken[1])
        raise KeyError("popitem(): dictionary is empty")

    def setdefault(self, key: _K, default: _V = None, /) -> _V:  # type: ignore[assignment]
        """Stores default unless key is present, in one script, and returns
        what key then holds."""
        shard, field = self._locate(key)
        existing = self._script(True, scripts.SETDEFAULT, shard, field, self._codec.dumps(default))
        return default if existing is None else self._codec.loads(existing)

    def update(self, other: Any = (), /, **kwargs: _V) -> None:
        """d[k] = v for each pair of other (a mapping or pairs), then of
        kwargs, stored as set_many stores them, a few thousand at a time as
        they are read: a pair that fails raises with the pairs before it
        stored."""
        self._check_open()
        for pairs in (_pairs(other), iter(kwargs.items())):
            shards: list[int] = []
            flat: list[bytes] = []
            try:
                while self._encode(pairs, shards, flat, UPDATE_STEP) == UPDATE_STEP:
                    self._store(shards, flat)
            except BaseException:
                self._store(shards, flat)  # the pairs read before the bad one, as dict.update leaves them
                raise
            self._store(shards, flat)

    def clear(self) -> None:
        """Removes every entry, a shard at a time: entries present from the
        start of the call to its end are removed; entries stored meanwhile
        may stay."""
        self._batch(False, [("UNLINK", shard) for shard in self._shard_keys])

    def unlink(self) -> None:
        """Deletes the dictionary from the server: its entries and its
        record. Objects that have it open go on working on an empty one."""
        self._batch(False, [("UNLINK", key) for key in (*self._shard_keys, self._info_key)])

    # ---- atomic operations -----------------------------------------------------------------

    def compare_and_set(self, key: _K, expected: Any, new: Any) -> bool:
        """Stores new when key holds expected (compared by serialized bytes),
        in one script; ABSENT as expected means "absent", as new "remove"."""
        shard, field = self._locate(key)
        return self._compare_and_set(shard, field, self._bytes_or_absent(expected),
                                     self._bytes_or_absent(new))[0] == 1

    def _bytes_or_absent(self, value: Any) -> bytes | None:
        return None if value is ABSENT else self._codec.dumps(value)

    def _compare_and_set(self, shard: bytes, field: bytes, expected: bytes | None, new: bytes | None) -> list[Any]:
        return self._script(True, scripts.COMPARE_AND_SET, shard, field,
                            b"0" if expected is None else b"1", expected or b"",
                            b"0" if new is None else b"1", new or b"")

    def increment(self, key: _K, delta: Any = 1, default: Any = 0) -> _V:
        """Adds delta to key's value (to default when absent) and returns the
        new value; no increment by another process is lost (see
        update_with)."""
        return self._read_modify_write(key, default, lambda value: value + delta)

    def update_with(self, key: _K, function: Callable[[_V], Any], default: Any = ABSENT) -> Any:
        """Stores function(value) for key and returns it. function runs here,
        between a read and a compare-and-set on the bytes read, and again
        when another process changed the value meanwhile: it must have no
        other effect. An absent key gives function default (KeyError when
        that is ABSENT); function returning ABSENT removes key."""
        if not callable(function):
            raise TypeError(f"update_with's function must be callable, not {type(function).__name__}")
        return self._read_modify_write(key, default, function)

    def _read_modify_write(self, key: Any, missing: Any, modify: Callable[[Any], Any]) -> Any:
        shard, field = self._locate(key)
        read = self._read("HGET", shard, field)
        while True:
            if read is None:
                if missing is ABSENT:
                    raise KeyError(key)
                current = missing
            else:
                current = self._codec.loads(read)
            updated = modify(current)
            outcome = self._compare_and_set(shard, field, read, self._bytes_or_absent(updated))
            if outcome[0] == 1:
                return updated
            read = outcome[1]  # the value another process stored meanwhile

    # ---- batches ---------------------------------------------------------------------------

    @overload
    def get_many(self, keys: Iterable[_K], default: None = None) -> list[_V | None]: ...
    @overload
    def get_many(self, keys: Iterable[_K], default: _T) -> list[_V | _T]: ...
    def get_many(self, keys: Iterable[Any], default: Any = None) -> list[Any]:
        """[d.get(k, default) for k in keys], one command per shard in one
        round trip."""
        fields, shards = self._located(keys)
        loads = self._codec.loads
        if self._count == 1 and 0 < len(fields) <= FIELDS_PER_COMMAND:  # one command, answering in order
            reply = self._read("HMGET", self._shard_keys[0], *fields)
            if None in reply:
                return [default if data is None else loads(data) for data in reply]
            return list(map(loads, reply))
        commands, answered = self._commands(shards, lambda shard, part: ("HMGET", shard, *[fields[i] for i in part]))
        results = [default] * len(fields)
        for part, reply in zip(answered, self._batch(False, commands)):
            for position, data in zip(part, reply):
                if data is not None:
                    results[position] = loads(data)
        return results

    def set_many(self, items: Mapping[_K, _V] | Iterable[tuple[_K, _V]]) -> None:
        """d[k] = v for every pair, in order (of two pairs with one key, the
        later one's value stays). Every key and value is serialized and
        hashed before anything is sent."""
        self._check_open()
        shards: list[int] = []
        flat: list[bytes] = []
        self._encode(_pairs(items), shards, flat)
        self._store(shards, flat)

    def _encode(self, pairs: Iterator[tuple[Any, Any]], shards: list[int], flat: list[bytes],
                most: int | None = None) -> int:
        """Serializes and hashes pairs as d[k] = v does, up to `most` of them
        (None: all), appending the shard (its index) of each to `shards` and
        its key's and value's stored bytes to `flat`; returns how many."""
        dumps_key, dumps, hash_, count = self._codec.dumps_key, self._codec.dumps, self._codec.hash, self._count
        add_shard, add_bytes = shards.append, flat.append
        done = 0
        for key, value in islice(pairs, most):
            field = dumps_key(key)
            data = dumps(value)
            shard = hash_(key) % count
            add_bytes(field)
            add_bytes(data)
            add_shard(shard)
            done += 1
        return done

    def _store(self, shards: list[int], flat: list[bytes]) -> None:
        """Stores the pairs of `flat` (key bytes, value bytes, key bytes...),
        the pair at position i in shard shards[i], and empties both lists."""
        if not shards:
            return
        if self._count == 1:  # HSET of the pairs in order: of one key's two pairs, the later one stays
            step = 2 * FIELDS_PER_COMMAND
            commands = [("HSET", self._shard_keys[0], *flat[start:start + step]) for start in range(0, len(flat), step)]
        else:
            commands = self._commands(shards, lambda shard, part: (
                "HSET", shard, *[data for i in part for data in flat[2 * i:2 * i + 2]]))[0]
        shards.clear()  # taken whether or not the store succeeds: a caller never sends them twice
        flat.clear()
        # Storing the same bytes again changes nothing: a batch of stores may be resent.
        self._batch(False, commands)

    def delete_many(self, keys: Iterable[_K]) -> list[bool]:
        """Removes each present key: True for each removed, False for each
        absent (a key given twice is removed by its first occurrence)."""
        return self._each(keys, scripts.DELETE_EACH, write=True)

    def contains_many(self, keys: Iterable[object]) -> list[bool]:
        """[k in d for k in keys]."""
        return self._each(keys, scripts.CONTAINS_EACH, write=False)

    def _each(self, keys: Iterable[Any], script: Script, write: bool) -> list[bool]:
        fields, shards = self._located(keys)
        commands, answered = self._commands(
            shards, lambda shard, part: ("EVALSHA", script.sha, 1, shard, *[fields[i] for i in part]))
        results = [False] * len(fields)
        for part, reply in zip(answered, self._batch(write, commands)):
            for position, flag in zip(part, reply):
                results[position] = flag == 1
        return results

    # ---- expiry ----------------------------------------------------------------------------

    def _has_expiry(self) -> bool:
        """Whether the server expires hash fields (HPEXPIRE and its kin:
        Redis 7.4, Valkey 9), asked once."""
        if self._expiry is None:
            try:
                self._read("HPTTL", self._info_key, "FIELDS", 1, b"shards")
                self._expiry = True
            except redis.ResponseError as error:
                if "unknown command" not in str(error).lower():
                    raise
                self._expiry = False
        return self._expiry

    def _need_expiry(self) -> None:
        if not self._has_expiry():
            raise NotImplementedError(
                f"the server at {self._where} cannot expire a key of a dictionary: that needs hash field "
                "expiry (HPEXPIRE), which Redis has from 7.4 on and Valkey from 9.0 on")

    def set(self, key: _K, value: _V, ttl: float | None = None) -> None:
        """d[key] = value; with ttl, key expires ttl seconds from now (it is
        then absent to every read). A store without ttl leaves key with no
        deadline."""
        if ttl is None:
            self[key] = value
            return
        milliseconds = _milliseconds(ttl)
        shard, field = self._locate(key)
        data = self._codec.dumps(value)
        self._need_expiry()
        self._script(True, scripts.SET_WITH_EXPIRY, shard, field, data, milliseconds)

    def ttl(self, key: _K) -> float | None:
        """Seconds until key expires, None when it has no deadline; KeyError
        when it is absent."""
        shard, field = self._locate(key)
        if not self._has_expiry():  # no deadline anywhere
            if not self._read("HEXISTS", shard, field):
                raise KeyError(key)
            return None
        left = int(self._read("HPTTL", shard, "FIELDS", 1, field)[0])
        if left == -2:
            raise KeyError(key)
        return None if left == -1 else left / 1000

    def expire(self, key: _K, ttl: float | None) -> bool:
        """Gives key a deadline ttl seconds from now (None: no deadline);
        False when key is absent."""
        milliseconds = None if ttl is None else _milliseconds(ttl)
        shard, field = self._locate(key)
        self._need_expiry()
        if milliseconds is None:
            reply = self._server.run(True, self._execute, "HPERSIST", shard, "FIELDS", 1, field)
        else:
            reply = self._server.run(True, self._execute, "HPEXPIRE", shard, milliseconds, "FIELDS", 1, field)
        return int(reply[0]) != -2

    def touch(self, key: _K) -> bool:
        """True when key is present. (A server keeps no access time per
        field: its eviction policies act on whole shards.)"""
        return key in self

    # ---- statistics ------------------------------------------------------------------------

    def stats(self) -> dict[str, int | float]:
        """entries (added up over the shards, as len), shards, and the
        entries of the largest shard."""
        lengths = self._shard_lengths()
        return {"entries": sum(lengths), "shards": self._count, "largest_shard": max(lengths)}

"""A dictionary on a server to and from the raw dump of a file's entries
(``python -m zorvik dump``/``load`` with a server's URL).

A file's dump carries each entry's stored hash, key bytes and value bytes;
a server stores the same bytes (codec.py), so a load puts them into the
shard the hash picks and a dump hands them out as they are. A server keeps
no hash, so a dump computes each key's: it loads the key through the
serializer and hashes it with the dictionary's hash function, as every
process using the dictionary does (under pickle, only for a server you
trust). The keys then hash in a file as they did where they came from.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import Any, BinaryIO

from zorvik.redis_dict.codec import Codec
from zorvik.redis_dict.dictionary import RedisDict
from zorvik.redis_dict.dump_stream import DumpWriter, read_dump

__all__ = ["dump", "load"]

# Entries a load stores as one batch (one command per shard).
LOAD_STEP = 4096

Progress = Callable[[int, int], None] | None


def dump(target: Any, name: str, out: BinaryIO, *, serializer: str = "auto",
         hash_function: Callable[[Any], int] | None = None, progress: Progress = None, **options: Any) -> int:
    """Writes the raw dump of the dictionary `name` on the server `target`
    to the binary file `out`; returns the number of entries. `serializer`
    loads the keys to hash them ('auto': guessed from the stored keys). A
    dictionary that is not there is refused (FileNotFoundError). Works while
    other processes use it, as an iteration does."""
    d: RedisDict[Any, Any]
    with RedisDict(target, name, create=False, hash_function=hash_function, **options) as d:
        if serializer == "auto":
            serializer = _guess_serializer(d)
        d._codec = Codec(serializer, hash_function)
        total = len(d)
        writer = DumpWriter(out)
        for key, value in d._entries():
            # loads_key gives a tuple key stored as a JSON or msgpack array back as the tuple it was.
            writer.entry(d._codec.hash(d._codec.loads_key(key)), key, value)
            if progress is not None and writer.entries % LOAD_STEP == 0:
                progress(writer.entries, total)
        writer.finish()
        return writer.entries


def _guess_serializer(d: RedisDict[Any, Any], sample: int = 16) -> str:
    """pickle, when the stored keys are pickles (which no other serializer's
    bytes look like); any other serializer must be named: a wrong guess
    would give every key a wrong hash."""
    from zorvik.tools import Refused, guess_serializer

    keys = []
    for key, _ in d._entries():
        keys.append(key)
        if len(keys) == sample:
            break
    guess = guess_serializer(keys)
    if not keys or guess.startswith("pickle"):
        return "pickle"
    raise Refused(f"the keys of {d.name!r} at {d.url} are not pickles (they look like {guess}): name their "
                  "serializer with --serializer")


def load(target: Any, name: str, stream: BinaryIO, *, shards: int | None = None, progress: Progress = None,
         **options: Any) -> int:
    """Reads a raw dump from the binary file `stream` into the dictionary
    `name` on the server `target`, new or existing (its entries with the
    same keys are replaced); returns the number of entries loaded. What is
    not a dump is refused before the server is asked anything; a dump
    damaged further on raises ValueError at the record where it breaks,
    with the entries before it loaded.

    A cache's dump keeps its deadlines: each entry with one expires on the
    server when it would have in the file (a server that cannot expire hash
    fields is refused before anything is stored), and one whose deadline
    has passed is left out. The cache's bounds and policy stay behind: a
    server bounds memory by its own maxmemory policy."""
    shape, entries = read_dump(getattr(stream, "buffer", stream))
    d: RedisDict[Any, Any]
    with RedisDict(target, name, shards=shards, **options) as d:
        if shape["cache"] is not None:
            d._need_expiry()
        loaded = 0
        in_shard: list[int] = []  # the shard of each entry read
        flat: list[bytes] = []
        deadlines: list[tuple[int, bytes, int]] = []  # (shard, key bytes, deadline ms) of the batch
        try:
            for hash_, key, value, deadline in entries:
                if deadline and deadline <= time.time() * 1000:
                    continue
                in_shard.append(hash_ % d.shards)
                flat += (key, value)
                if deadline:
                    deadlines.append((in_shard[-1], key, deadline))
                if len(in_shard) == LOAD_STEP:
                    loaded += len(in_shard)
                    _store_batch(d, in_shard, flat, deadlines)
                    if progress is not None:
                        progress(loaded, 0)
        finally:  # the entries before a damaged record are loaded
            loaded += len(in_shard)
            _store_batch(d, in_shard, flat, deadlines)
        return loaded


def _store_batch(d: RedisDict[Any, Any], in_shard: list[int], flat: list[bytes],
                 deadlines: list[tuple[int, bytes, int]]) -> None:
    """Stores a batch, then gives its entries with a deadline their expiry
    (HPEXPIREAT), one round trip each; empties the lists."""
    d._store(in_shard, flat)
    commands = [("HPEXPIREAT", d._shard_keys[shard], deadline, "FIELDS", 1, key) for shard, key, deadline in deadlines]
    deadlines.clear()
    d._batch(False, commands)  # an absolute deadline set again changes nothing

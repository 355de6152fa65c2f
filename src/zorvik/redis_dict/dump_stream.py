"""The raw dump's framing, read and written here for a dictionary on a
server. The format is the core's (``core/map/entry_stream.hpp`` defines it
and ``python -m zorvik dump``/``load`` use it for files); the tests check
that each side reads what the other writes. All integers little-endian:

    header  48 bytes: magic "\\x89ZVKDMP\\n", u16 version (1; 2 for a
            cache), u8 data chunk size, 5 zero bytes, u64 bucket chunk size,
            u64 bucket chunk number, u64 usable size, 4 zero bytes, u32
            CRC-32 of the 44 bytes before it
    rules   (version 2, right after the header) u8 'C', u8 policy, 6 zero
            bytes, u64 max_entries, u64 max_bytes, u64 default TTL in ms,
            u32 CRC-32 of the 32 bytes before it
    entry   u8 'E', i64 hash, u64 key length, u64 value length, key, value,
            u32 CRC-32 of the record before it
    expiring (version 2) u8 'X', i64 hash, u64 deadline (wall-clock ms since
            the epoch), then as an entry from the key length
    end     u8 'Z', u64 entries before it, u32 CRC-32 of the 9 bytes before it;
            nothing may follow

A dictionary on a server writes version 1 (it has no cache's rules); it
reads both, and a cache's deadlines become the fields' own.
"""

from __future__ import annotations

import struct
import zlib
from collections.abc import Iterator
from typing import Any, BinaryIO

__all__ = ["NEW_FILE_SHAPE", "DumpWriter", "read_dump"]

MAGIC = b"\x89ZVKDMP\n"
VERSION = 1
CACHE_VERSION = 2
_HEADER = struct.Struct("<8sHB5xQQQ4x")  # the 44 bytes the header's CRC covers
_RULES = struct.Struct("<cB6xQQQ")
_ENTRY = struct.Struct("<cqQQ")
_DEADLINE = struct.Struct("<Q")
_END = struct.Struct("<cQ")
_CRC = struct.Struct("<I")
# The shape a dump made from a server gives a new file that it loads into:
# the shape of a new SharedDict (1,024 buckets, room to double 18 times,
# 1 TiB of capacity, data chunks of 32 bytes); its table grows by itself.
NEW_FILE_SHAPE = {"bucket_chunk_size": 1024, "bucket_chunk_number": 2**18, "size": 2**40, "data_chunk_size": 32}
# A key or value is read in pieces of at most this much, so that a length
# garbled into something huge meets the end of a short stream first.
_READ_PIECE = 1 << 20


class _Reader:
    def __init__(self, stream: BinaryIO) -> None:
        self.stream = stream
        self.position = 0
        self.record = 0
        self.entries = 0

    def refuse(self, what: str) -> ValueError:
        return ValueError(f"the dump is damaged at byte {self.record}, after {self.entries} entries: {what}")

    def take(self, length: int, what: str) -> bytes:
        pieces = []
        left = length
        while left:
            piece = self.stream.read(min(left, _READ_PIECE))
            if not piece:
                raise self.refuse(f"the stream ends inside {what} (is it cut short?)")
            pieces.append(piece)
            left -= len(piece)
        self.position += length
        return b"".join(pieces)

    def check(self, record: bytes, what: str) -> None:
        (stored,) = _CRC.unpack(self.take(_CRC.size, what))
        if stored != zlib.crc32(record):
            raise self.refuse(f"the checksum of {what} is wrong")


def read_dump(stream: BinaryIO) -> tuple[dict[str, Any], Iterator[tuple[int, bytes, bytes, int]]]:
    """The header's shape (with "cache": the rules of a cache's dump, or
    None), and the entries (hash, key bytes, value bytes, deadline in
    wall-clock ms or 0 for none) as they are read. ValueError at a record
    that is damaged or cut short: the entries before it have been handed
    out."""
    reader = _Reader(stream)
    body = reader.take(_HEADER.size, "the header")
    magic, version, data_chunk_size, bucket_chunk_size, bucket_chunk_number, size = _HEADER.unpack(body)
    if magic != MAGIC:
        raise reader.refuse("it does not start as a zorvik dump")
    if version not in (VERSION, CACHE_VERSION):
        raise reader.refuse(f"a dump of version {version}, which this zorvik cannot read (it reads versions "
                            f"{VERSION} and {CACHE_VERSION})")
    reader.check(body, "the header")
    shape: dict[str, Any] = {"bucket_chunk_size": bucket_chunk_size, "bucket_chunk_number": bucket_chunk_number,
                             "size": size, "data_chunk_size": data_chunk_size, "cache": None}
    if version == CACHE_VERSION:
        reader.record = reader.position
        rules = reader.take(_RULES.size, "the cache's rules")
        reader.check(rules, "the cache's rules")
        tag, policy, max_entries, max_bytes, default_ttl_ms = _RULES.unpack(rules)
        if tag != b"C":
            raise reader.refuse("a cache's dump whose rules do not follow its header")
        shape["cache"] = {"policy": policy, "max_entries": max_entries, "max_bytes": max_bytes,
                          "default_ttl_ms": default_ttl_ms}
    return shape, _entries(reader, expiring=shape["cache"] is not None)


def _entries(reader: _Reader, expiring: bool) -> Iterator[tuple[int, bytes, bytes, int]]:
    while True:
        reader.record = reader.position
        tag = reader.take(1, "a record")
        if tag == b"Z":
            rest = reader.take(_END.size - 1, "the end record")
            reader.check(tag + rest, "the end record")
            (count,) = struct.unpack("<Q", rest)
            if count != reader.entries:
                raise reader.refuse(f"the end record counts {count} entries")
            if reader.stream.read(1):
                raise reader.refuse("bytes follow the end record")
            return
        if tag != b"E" and not (tag == b"X" and expiring):
            raise reader.refuse("a record that is neither an entry nor the end")
        hash_bytes = reader.take(8, "an entry")
        deadline_bytes = reader.take(_DEADLINE.size, "an entry") if tag == b"X" else b""
        lengths = reader.take(16, "an entry")
        (hash_,) = struct.unpack("<q", hash_bytes)
        deadline = _DEADLINE.unpack(deadline_bytes)[0] if deadline_bytes else 0
        if tag == b"X" and deadline == 0:
            raise reader.refuse("an expiring entry without a deadline")
        key_length, value_length = struct.unpack("<QQ", lengths)
        key = reader.take(key_length, "an entry's key")
        value = reader.take(value_length, "an entry's value")
        reader.check(tag + hash_bytes + deadline_bytes + lengths + key + value, "an entry")
        reader.entries += 1
        yield hash_, key, value, deadline


class DumpWriter:
    """Writes a dump to a binary stream: the header at once, an entry at a
    time, and the end record at finish()."""

    def __init__(self, out: BinaryIO, shape: dict[str, Any] = NEW_FILE_SHAPE) -> None:
        self.out = out
        self.entries = 0
        body = _HEADER.pack(MAGIC, VERSION, shape["data_chunk_size"], shape["bucket_chunk_size"],
                            shape["bucket_chunk_number"], shape["size"])
        out.write(body + _CRC.pack(zlib.crc32(body)))

    def entry(self, hash_: int, key: bytes, value: bytes) -> None:
        record = _ENTRY.pack(b"E", hash_, len(key), len(value)) + key + value
        self.out.write(record + _CRC.pack(zlib.crc32(record)))
        self.entries += 1

    def finish(self) -> None:
        record = _END.pack(b"Z", self.entries)
        self.out.write(record + _CRC.pack(zlib.crc32(record)))

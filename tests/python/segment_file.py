"""Reads and writes the words of a dictionary's segment file, for the tests
that check or fake its shared state from outside.

Layout relied on (little-endian, packed):
- file position 16: the allocator's 4-byte lock word (held: 1 | pid << 8);
- file position 32: the allocator's first unallocated byte, as an Offset;
- file positions 51, 61, 71: the free lists of entry, link and data chunks,
  each 2 bytes of sizes and the 8-byte header Offset of its first chunk; a
  free chunk's first 8 data bytes hold the header Offset of the next;
- file position 90: the map's header; an Offset counts from file position 24.
  Header offset 24: buckets per bucket chunk; 56: Offset of the chunk table;
  64, 72, 80, 96: Offsets of the words chunks_in_use, expansion_workers,
  expansion_lock and entry_count.
- A bucket is 56 bytes: its lock word, then the 40-byte list of its entries
  (Offset of the first ChunkLink, length, ...). A ChunkLink is the Offset of
  its payload chunk and the Offset of the next link; an entry chunk holds two
  88-byte entries: key list, value list (40 bytes each), hash.
- A held bucket or expansion lock has bytes 2..5 = pid bits 0-7,
  pid bits 8-15, 1, pid bits 16-23.
"""

import os
import struct
import subprocess

HEADER = 90
OFFSET_BASE = 24
ALLOCATOR_LOCK = 16
ALLOCATOR_TOP = 32
BUCKET_SIZE = 56
ENTRY_SIZE = 88
FREE_LISTS = {"entry": 51, "link": 61, "data": 71}

BUCKETS_PER_CHUNK = 24
CHUNK_TABLE = 56
CHUNKS_IN_USE = 64
EXPANSION_WORKERS = 72
EXPANSION_LOCK = 80
ENTRY_COUNT = 96


def _read(path, position, width):
    with open(path, "rb") as segment:
        segment.seek(position)
        data = segment.read(width)
    if len(data) != width:
        raise ValueError(f"{path!r} ends before position {position + width}")
    return int.from_bytes(data, "little")


def _write(path, position, data):
    # A plain write to the file: the processes that map it see it at once
    # (they share the file's pages).
    fd = os.open(path, os.O_WRONLY)
    try:
        os.pwrite(fd, data, position)
    finally:
        os.close(fd)


def read_u64(path, position):
    return _read(path, position, 8)


def write_u64(path, position, value):
    _write(path, position, struct.pack("<Q", value))


def header_field(path, field):
    return _read(path, HEADER + field, 8)


def shared_word_position(path, field):
    """File position of the shared word whose Offset the header holds at `field`."""
    return OFFSET_BASE + header_field(path, field)


def shared_word(path, field):
    return _read(path, shared_word_position(path, field), 8)


def entry_count(path):
    return shared_word(path, ENTRY_COUNT)


def chunks_in_use(path):
    return shared_word(path, CHUNKS_IN_USE)


def allocator_top(path):
    return _read(path, ALLOCATOR_TOP, 8)


def bucket_position(path, index):
    """File position of bucket `index` of the table in force."""
    per_chunk = header_field(path, BUCKETS_PER_CHUNK)
    table = OFFSET_BASE + header_field(path, CHUNK_TABLE)
    chunk = _read(path, table + 8 * (index // per_chunk), 8)
    return OFFSET_BASE + chunk + BUCKET_SIZE * (index % per_chunk)


def entry_position(path, bucket, slot):
    """File position of entry `slot` (0 or 1) of bucket `bucket`'s first entry chunk."""
    first_link = OFFSET_BASE + read_u64(path, bucket_position(path, bucket) + 8)
    return OFFSET_BASE + read_u64(path, first_link) + ENTRY_SIZE * slot


def first_link_position(path, array_position):
    """File position of the first ChunkLink of the list at `array_position`."""
    return OFFSET_BASE + read_u64(path, array_position)


def free_chunk_position(path, kind):
    """File position of the first chunk on free list `kind`, 0 when it is empty."""
    head = read_u64(path, FREE_LISTS[kind] + 2)
    return OFFSET_BASE + head if head else 0


def segment_lock_bytes(pid):
    return bytes([pid & 0xFF, (pid >> 8) & 0xFF, 1, (pid >> 16) & 0xFF])


def set_bucket_lock(path, index, pid):
    """Writes bucket `index`'s lock word as held by `pid` (0: free)."""
    data = segment_lock_bytes(pid) if pid else bytes(4)
    _write(path, bucket_position(path, index) + 2, data)


def set_expansion_lock(path, pid):
    data = segment_lock_bytes(pid) if pid else bytes(4)
    _write(path, shared_word_position(path, EXPANSION_LOCK) + 2, data)


def set_allocator_lock(path, pid):
    _write(path, ALLOCATOR_LOCK, struct.pack("<I", (1 | pid << 8) if pid else 0))


def held_locks(path):
    """Every lock word of the segment that is not free, as (name, value)."""
    held = []
    if _read(path, ALLOCATOR_LOCK, 4):
        held.append(("allocator lock", _read(path, ALLOCATOR_LOCK, 4)))
    if shared_word(path, EXPANSION_LOCK):
        held.append(("expansion lock", shared_word(path, EXPANSION_LOCK)))
    per_chunk = header_field(path, BUCKETS_PER_CHUNK)
    table = OFFSET_BASE + header_field(path, CHUNK_TABLE)
    with open(path, "rb") as segment:
        for chunk in range(chunks_in_use(path)):
            segment.seek(table + 8 * chunk)
            start = OFFSET_BASE + int.from_bytes(segment.read(8), "little")
            segment.seek(start)
            buckets = segment.read(BUCKET_SIZE * per_chunk)
            for slot in range(per_chunk):
                word = buckets[BUCKET_SIZE * slot:BUCKET_SIZE * slot + 8]
                if any(word):
                    held.append((f"bucket {chunk * per_chunk + slot}", int.from_bytes(word, "little")))
    return held


def lock_holder(name, word):
    """The process id that a held lock word (as held_locks gives it) names."""
    if name == "allocator lock":
        return word >> 8
    sub = (word >> 16) & 0xFFFFFFFF  # bytes 2..5
    return (sub & 0xFFFF) | ((sub >> 24) & 0xFF) << 16


def ended_pid():
    """The id of a process that has ended (a child, reaped at once)."""
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid

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
  expansion_lock and entry_count; 104: data Offset of the extension record,
  whose byte 24 holds the data Offset of a doubling's block of new buckets.
- A bucket is 56 bytes: its lock word, then the 40-byte list of its entries
  (Offset of the first ChunkLink, length, ...). A ChunkLink is the Offset of
  its payload chunk and the Offset of the next link; an entry chunk holds two
  88-byte entries: key list, value list (40 bytes each), hash.
- A held bucket or expansion lock has bytes 2..5 = pid bits 0-7,
  pid bits 8-15, 1, pid bits 16-23.
"""

import dataclasses
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

BUCKET_CHUNK_NUMBER = 16
BUCKETS_PER_CHUNK = 24
CHUNK_TABLE = 56
CHUNKS_IN_USE = 64
EXPANSION_WORKERS = 72
EXPANSION_LOCK = 80
ENTRY_COUNT = 96
EXTENSION = 104


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


def doubling_in_progress(path):
    """True while the chunk table's slot past the table in force is not 0: a
    doubling claimed (its marker), published, or clearing its marks."""
    chunks = chunks_in_use(path)
    if chunks >= header_field(path, BUCKET_CHUNK_NUMBER):
        return False
    table = OFFSET_BASE + header_field(path, CHUNK_TABLE)
    return _read(path, table + 8 * chunks, 8) & (2**48 - 1) != 0


def build_block(path):
    """The data Offset of the block of new buckets the header's extension
    record names (record byte 24), 0 when it names none or there is no record."""
    record = header_field(path, EXTENSION) & (2**48 - 1)
    return 0 if record == 0 else _read(path, OFFSET_BASE + record + 24, 8) & (2**48 - 1)


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


def set_bucket_lock_naming_no_process(path, index):
    """Writes bucket `index`'s lock word as held with no process named in it
    (as a damaged file, or a version that records no holder, would)."""
    _write(path, bucket_position(path, index) + 2, bytes([0, 0, 1, 0]))


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


# ---- structure -----------------------------------------------------------------------------------

LINK_SIZE = 16
ENTRY_CHUNK_SIZE = 176
DATA_CHUNK_SIZE = 24 + 16  # the MemoryManager's byte 16
MAP_HEADER_OFFSET = 66
HEADER_CHUNK_SIZE = 168


@dataclasses.dataclass
class Structure:
    faults: list = dataclasses.field(default_factory=list)
    entries: int = 0  # the sum of the buckets' lengths
    chunks: int = 0   # chunks reached, in use or free


class _Walk:
    """One walk over a segment file's bytes: every chunk reached is recorded
    with what reached it, so that a chunk reached twice names both."""

    def __init__(self, data):
        self.data = data
        self.top = self.u64(ALLOCATOR_TOP)
        self.data_chunk_size = data[DATA_CHUNK_SIZE]
        self.reached = {}
        self.faults = []

    def u64(self, position):
        return int.from_bytes(self.data[position:position + 8], "little")

    def at(self, offset, field=0):
        """The u64 at Offset `offset` + `field`."""
        return self.u64(OFFSET_BASE + offset + field)

    def inside(self, offset, length, what):
        if 64 <= offset and offset + length <= self.top:
            return True
        self.faults.append(f"{what}: Offset {offset} (+{length}) outside the allocated area [64, {self.top})")
        return False

    def chunk(self, data_offset, size, what):
        """Records the chunk whose data starts at `data_offset`; False when it
        cannot be one of `size` bytes or was reached before."""
        header = data_offset - 2
        if header % 8 or not self.inside(header, 2, what):
            if header % 8:
                self.faults.append(f"{what}: Offset {data_offset} is not a chunk's data")
            return False
        span, found = self.data[OFFSET_BASE + header], self.data[OFFSET_BASE + header + 1]
        if found != size or not self.inside(header, span, what):
            self.faults.append(f"{what}: chunk at {data_offset} has size {found}, not {size}")
            return False
        if data_offset in self.reached:
            self.faults.append(f"chunk at {data_offset} reached twice: {self.reached[data_offset]} and {what}")
            return False
        self.reached[data_offset] = what
        return True

    def links(self, head, count, payload_size, what):
        """Walks `count` ChunkLinks from `head`; yields each payload's data Offset."""
        link = head
        for k in range(count):
            if not self.chunk(link, LINK_SIZE, f"{what}, link {k}"):
                return
            payload = self.at(link)
            if not self.chunk(payload, payload_size, f"{what}, payload {k}"):
                return
            yield payload
            link = self.at(link, 8)

    def array(self, offset, what):
        head, length, count, per_chunk = (self.at(offset, 0), self.at(offset, 8), self.at(offset, 16),
                                          self.data[OFFSET_BASE + offset + 24])
        if length and (per_chunk != self.data_chunk_size or count != -(-length // per_chunk)):
            self.faults.append(f"{what}: {length} bytes in {count} chunks of {per_chunk}")
            return
        for _ in self.links(head, count if length else 0, self.data_chunk_size, what):
            pass

    def bucket(self, offset, index):
        head, length, count, per_chunk = (self.at(offset, 8), self.at(offset, 16), self.at(offset, 24),
                                          self.data[OFFSET_BASE + offset + 32])
        what = f"bucket {index}"
        if per_chunk != 2 or count == 0 or count < -(-length // 2):
            self.faults.append(f"{what}: {length} entries in {count} entry chunks of {per_chunk}")
            return 0
        payloads = list(self.links(head, count, ENTRY_CHUNK_SIZE, f"{what} entries"))
        for i in range(min(length, 2 * len(payloads))):
            entry = payloads[i // 2] + ENTRY_SIZE * (i % 2)
            self.array(entry, f"{what} entry {i} key")
            self.array(entry + 40, f"{what} entry {i} value")
        return length

    def free_list(self, kind, size):
        header = self.u64(FREE_LISTS[kind] + 2)
        while header:
            if not self.chunk(header + 2, size, f"free {kind} list"):
                return
            header = self.at(header + 2)


def check_structure(path):
    """Walks a dictionary's file that no process is changing: every bucket of
    every bucket chunk in use, its entry chunks, every key's and value's data
    chunks, and the allocator's three free lists. A chunk reached twice, an
    Offset outside the allocated area, a chunk of the wrong size and an
    entry_count word that is not the sum of the buckets' lengths are faults.
    Chunks cached by a live process's pools are not reached, and not missed."""
    with open(path, "rb") as segment:
        walk = _Walk(segment.read())
    walk.chunk(MAP_HEADER_OFFSET, HEADER_CHUNK_SIZE, "map header")
    per_chunk = walk.at(MAP_HEADER_OFFSET, BUCKETS_PER_CHUNK)
    table = walk.at(MAP_HEADER_OFFSET, CHUNK_TABLE)
    entries = 0
    for j in range(walk.at(walk.at(MAP_HEADER_OFFSET, CHUNKS_IN_USE))):
        chunk = walk.at(table, 8 * j)
        if not walk.inside(chunk, BUCKET_SIZE * per_chunk, f"bucket chunk {j}"):
            continue
        for i in range(per_chunk):
            entries += walk.bucket(chunk + BUCKET_SIZE * i, j * per_chunk + i)
    walk.free_list("entry", ENTRY_CHUNK_SIZE)
    walk.free_list("link", LINK_SIZE)
    walk.free_list("data", walk.data_chunk_size)
    counted = walk.at(walk.at(MAP_HEADER_OFFSET, ENTRY_COUNT))
    if counted != entries:
        walk.faults.append(f"entry_count word {counted}, buckets hold {entries}")
    return Structure(faults=walk.faults, entries=entries, chunks=len(walk.reached))

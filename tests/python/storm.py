"""A kill storm: worker processes insert, replace, remove and read owned and
shared keys of one dictionary, the table doubles by itself and on request of
an expander process, and the storm kills processes with SIGKILL at random
moments, starting a replacement for each. Afterwards every acknowledged
write must read back (the last value, or one written later), the file must be
sound once every bucket has been touched, and the dictionary must go on:
inserts work and the table grows.

The journal. Every worker thread is a slot: it owns a range of int keys and
writes its acknowledged operations to its part of a journal file that every
process maps, so that what a killed process had acknowledged outlives it:
    - before an operation, the in-flight record (what it is about to do),
      sealed by a check word written last;
    - after it, the operation's record at the slot's next place, then the
      count of acknowledged records (one aligned 8-byte store).
A replacement rebuilds the slot's model from the records and settles the
in-flight operation by reading the key: done or not done, whichever the
dictionary says (a killed operation is allowed to be either).

Shared keys are written by every slot; their values say which slot wrote
them at which of its steps. A shared key must end with a value that no
acknowledged write superseded: no write whose call began after that value's
write was acknowledged (or after its writer was killed).

Everything here is importable without pytest (the workers run it).
"""

import ctypes
import dataclasses
import mmap
import os
import random
import signal
import struct
import time
import traceback

import workload
from zorvik.brandel import brandel, dict_expansion

SLOTS_PER_PROCESS = 2
KEYS_PER_SLOT = 300
SHARED_KEYS = tuple(range(-1, -17, -1))
RECORD = struct.Struct("<qqQQ")  # key, version (-1: removed), call began, acknowledged (monotonic ns)
RECORDS_PER_SLOT = 1 << 16
# Per slot: acknowledged count, in-flight key, version, began, check word; the
# slowest operation (ns), operations that waited for a takeover (slower than
# 150 ms: a waiter first looks at a holder after 200 ms); then the records.
SLOT_HEADER = 64
SLOT_BYTES = SLOT_HEADER + RECORD.size * RECORDS_PER_SLOT
SLOW_NS = 150_000_000
FILE_HEADER = 64  # the stop flag, then the expander's count of doublings asked for
CHECK_MAGIC = 0x5EA1ED_F117
# The expander asks for doublings while the table has fewer bucket chunks.
EXPANDER_LIMIT = 32


def journal_size(slots):
    return FILE_HEADER + slots * SLOT_BYTES


def slot_hash(key):
    return workload.scrambled_hash(key)


class Journal:
    """The journal file, mapped."""

    def __init__(self, path, slots, create=False):
        self.slots = slots
        if create:
            with open(path, "wb") as f:
                f.truncate(journal_size(slots))
        self.file = open(path, "r+b")
        self.map = mmap.mmap(self.file.fileno(), journal_size(slots))

    def close(self):
        self.map.close()
        self.file.close()

    def word(self, position):
        return ctypes.c_uint64.from_buffer(self.map, position)

    @property
    def stopping(self):
        return self.word(0).value != 0

    def stop(self):
        self.word(0).value = 1

    def slot(self, slot):
        return SlotJournal(self, FILE_HEADER + slot * SLOT_BYTES)


class SlotJournal:
    def __init__(self, journal, start):
        self.map = journal.map
        self.start = start
        self.acked = ctypes.c_uint64.from_buffer(self.map, start)
        self.flight = [ctypes.c_int64.from_buffer(self.map, start + 8 + 8 * i) for i in range(3)]
        self.flight_began = ctypes.c_uint64.from_buffer(self.map, start + 32)
        self.flight_check = ctypes.c_uint64.from_buffer(self.map, start + 40)
        self.slowest = ctypes.c_uint64.from_buffer(self.map, start + 48)
        self.slow_ops = ctypes.c_uint64.from_buffer(self.map, start + 56)

    def full(self):
        return self.acked.value >= RECORDS_PER_SLOT

    def begin(self, key, version):
        """The in-flight record; the check word last seals it."""
        n = self.acked.value
        self.flight[0].value = n
        self.flight[1].value = key
        self.flight[2].value = version
        self.flight_began.value = time.monotonic_ns()
        self.flight_check.value = (n * 31 + key * 7 + version) ^ CHECK_MAGIC & (1 << 64) - 1

    def in_flight(self):
        """(key, version, began) of an operation begun and not acknowledged, or None."""
        n, key, version = (word.value for word in self.flight)
        sealed = self.flight_check.value == (n * 31 + key * 7 + version) ^ CHECK_MAGIC & (1 << 64) - 1
        return (key, version, self.flight_began.value) if sealed and n == self.acked.value else None

    def ack(self, key, version, began, took):
        n = self.acked.value
        RECORD.pack_into(self.map, self.start + SLOT_HEADER + n * RECORD.size, key, version, began,
                         time.monotonic_ns())
        self.acked.value = n + 1
        if took > self.slowest.value:
            self.slowest.value = took
        if took > SLOW_NS:
            self.slow_ops.value += 1

    def records(self):
        for n in range(self.acked.value):
            yield RECORD.unpack_from(self.map, self.start + SLOT_HEADER + n * RECORD.size)


def owned_value(key, version):
    """Mostly small values, some spanning hundreds of data chunks (where a
    kill lands inside the core's work more often)."""
    return workload.payload(key, version, workload.value_length(random.Random(key * 1_000_003 + version)))


def shared_value(key, slot, version):
    return (slot, version, workload.payload(f"s{key}w{slot}", version, (slot + version) % 50))


def owned_model(slot_journal, first):
    """An owned range's model and versions from its acknowledged records."""
    model, versions = {}, {}
    for key, version, _, _ in slot_journal.records():
        if key < 0:
            continue
        if version < 0:
            model.pop(key, None)
        else:
            model[key] = owned_value(key, version)
        versions[key] = max(versions.get(key, 0), abs(version))
    return model, versions


def settle_in_flight(d, slot_journal, slot, model):
    """Acknowledges the in-flight operation of a killed slot when the
    dictionary says it was done; returns whether it was."""
    flight = slot_journal.in_flight()
    if flight is None:
        return False
    key, version, began = flight
    found = d.get(key)
    if key < 0:
        done = found == [True, shared_value(key, slot, version)]
    elif version < 0:
        done = found == [False]
    else:
        done = found == [True, owned_value(key, version)]
    if done:
        slot_journal.ack(key, version, began, 0)
    return done


# ---- processes ---------------------------------------------------------------------


def run_worker(name, journal_path, slots, process_slots, seed, incarnation, errors_path):
    """A worker process: one thread per slot, until the journal says stop."""
    journal = Journal(journal_path, slots)
    errors = []
    try:
        d = brandel(name, hash_function=slot_hash)
        workload.run_threads(lambda slot: work_slot(d, journal, slot, seed, incarnation, errors), process_slots)
    except BaseException:
        errors.append(traceback.format_exc())
    if errors:
        with open(errors_path, "a") as log:
            log.write("\n".join(errors) + "\n")
    os._exit(0)


def work_slot(d, journal, slot, seed, incarnation, errors):
    try:
        slot_journal = journal.slot(slot)
        first = slot * KEYS_PER_SLOT
        model, versions = owned_model(slot_journal, first)
        if settle_in_flight(d, slot_journal, slot, model):
            model, versions = owned_model(slot_journal, first)
        shared_versions = {}
        for key, version, _, _ in slot_journal.records():
            if key < 0:
                shared_versions[key] = version
        rng = random.Random(f"{seed}/{slot}/{incarnation}")
        while not journal.stopping and not slot_journal.full():
            roll = rng.random()
            if roll < 0.1:
                key = rng.choice(SHARED_KEYS)
                version = shared_versions.get(key, 0) + 1
                slot_journal.begin(key, version)
                began = time.monotonic_ns()
                d.insert(key, shared_value(key, slot, version))
                slot_journal.ack(key, version, began, time.monotonic_ns() - began)
                shared_versions[key] = version
                continue
            key = first + rng.randrange(KEYS_PER_SLOT)
            began = time.monotonic_ns()
            if roll < 0.55:
                version = versions.get(key, 0) + 1
                slot_journal.begin(key, version)
                if d.insert(key, owned_value(key, version)) != 1:
                    errors.append(f"slot {slot}: insert({key}) did not return 1")
                slot_journal.ack(key, version, began, time.monotonic_ns() - began)
                versions[key] = version
                model[key] = owned_value(key, version)
            elif roll < 0.7:
                version = versions.get(key, 0) + 1
                slot_journal.begin(key, -version)
                removed = d.remove(key)
                if removed != int(key in model):
                    errors.append(f"slot {slot}: remove({key}) gave {removed}, the model holds {key in model}")
                slot_journal.ack(key, -version, began, time.monotonic_ns() - began)
                versions[key] = version
                model.pop(key, None)
            else:
                found = d.get(key)
                took = time.monotonic_ns() - began
                expected = [True, model[key]] if key in model else [False]
                if found != expected:
                    errors.append(f"slot {slot}: get({key}) gave {workload.abbreviated(found)}, "
                                  f"the model says {workload.abbreviated(expected)}")
                if took > slot_journal.slowest.value:
                    slot_journal.slowest.value = took
                if took > SLOW_NS:
                    slot_journal.slow_ops.value += 1
    except BaseException:
        errors.append(f"slot {slot}:\n{traceback.format_exc()}")


def run_expander(name, journal_path, slots, seed, incarnation):
    """Asks for a doubling now and then, as expansion() tasks do, while the
    table is small (the load rule doubles it further)."""
    import segment_file

    journal = Journal(journal_path, slots)
    rng = random.Random(f"{seed}/expander/{incarnation}")
    while not journal.stopping:
        chunks = segment_file.chunks_in_use(name)
        if chunks < EXPANDER_LIMIT:
            dict_expansion(name, 2 * chunks)
        time.sleep(rng.random() * 0.1)
    os._exit(0)


# ---- the storm -----------------------------------------------------------------------


@dataclasses.dataclass
class StormReport:
    seed: int
    kills: int = 0
    kills_in_expander: int = 0
    acknowledged: int = 0
    lost: list = dataclasses.field(default_factory=list)  # keys whose acknowledged write did not read back
    errors: list = dataclasses.field(default_factory=list)
    wedged: str | None = None  # why the dictionary did not go on, if it did not
    slowest_ns: int = 0
    slow_ops: int = 0
    doublings: int = 0
    count_off: int = 0  # the count word less the entries, before the offline repair
    left: dict | None = None  # what the storm left for the check to meet: held locks, changes in progress
    reclaimed: int = 0
    check: dict | None = None


def spawn(target, *args):
    pid = os.fork()
    if pid == 0:
        try:
            target(*args)
        finally:
            os._exit(1)
    return pid


def run_storm(directory, seed, kills, processes=3, pause=(0.005, 0.04)):
    """One storm of `kills` kills on a new dictionary in `directory`; its report."""
    rng = random.Random(seed)
    report = StormReport(seed)
    slots = processes * SLOTS_PER_PROCESS
    d = brandel(size=1 << 28, bucket_chunk_size_exponent=3, bucket_chunk_number=1 << 12, chunk_size_exponent=3,
                hash_function=slot_hash)
    name = d.name
    start_chunks = 1
    del d
    journal_path = os.path.join(directory, f"journal-{seed}")
    errors_path = os.path.join(directory, f"errors-{seed}")
    journal = Journal(journal_path, slots, create=True)
    incarnation = 0

    def start(role):
        nonlocal incarnation
        incarnation += 1
        if role == "expander":
            return spawn(run_expander, name, journal_path, slots, seed, incarnation)
        process_slots = list(range(role * SLOTS_PER_PROCESS, (role + 1) * SLOTS_PER_PROCESS))
        return spawn(run_worker, name, journal_path, slots, process_slots, seed, incarnation, errors_path)

    roles = {start(role): role for role in [*range(processes), "expander"]}
    killed_at = {}  # slot -> the last time a process of it was killed
    try:
        while report.kills < kills:
            time.sleep(rng.uniform(*pause))
            pid = rng.choice(sorted(roles))
            role = roles.pop(pid)
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            now = time.monotonic_ns()
            report.kills += 1
            if role == "expander":
                report.kills_in_expander += 1
            else:
                for slot in range(role * SLOTS_PER_PROCESS, (role + 1) * SLOTS_PER_PROCESS):
                    killed_at[slot] = now
            roles[start(role)] = role
    finally:
        journal.stop()
        for pid in roles:
            try:
                _, status = os.waitpid(pid, 0)
            except ChildProcessError:
                continue
    if os.path.exists(errors_path):
        with open(errors_path) as log:
            report.errors.append(log.read())
    verify(name, journal, slots, killed_at, report)
    journal.close()
    os.remove(journal_path)
    return name, report


def verify(name, journal, slots, killed_at, report):
    """Every acknowledged write reads back; the file is sound once every bucket
    was touched; inserts work and the table grows. Fills `report`."""
    from zorvik import _upkeep  # the offline check and repair

    import segment_file

    def hash_with_probes(key):
        # ("probe", i) leads to bucket i of any table: a get of each touches
        # every bucket, taking over and repairing what the dead left.
        return key[1] if isinstance(key, tuple) else slot_hash(key)

    try:
        left = _upkeep.check(name)
        report.left = {"held_locks": len(left["held_locks"]), "pending_intents": left["pending_intents"],
                       "expansion_workers": left["expansion_workers"], "marked_buckets": left["marked_buckets"],
                       "faults": left["faults"]}
        d = brandel(name, hash_function=hash_with_probes)
        shared_writes = {}  # key -> [(slot, version, began, acknowledged)]
        for slot in range(slots):
            slot_journal = journal.slot(slot)
            first = slot * KEYS_PER_SLOT
            model, _ = owned_model(slot_journal, first)
            if settle_in_flight(d, slot_journal, slot, model):
                model, _ = owned_model(slot_journal, first)
            report.acknowledged += slot_journal.acked.value
            report.slowest_ns = max(report.slowest_ns, slot_journal.slowest.value)
            report.slow_ops += slot_journal.slow_ops.value
            for key in range(first, first + KEYS_PER_SLOT):
                expected = [True, model[key]] if key in model else [False]
                if d.get(key) != expected:
                    report.lost.append(key)
            for key, version, began, acknowledged in slot_journal.records():
                if key < 0:
                    shared_writes.setdefault(key, []).append((slot, version, began, acknowledged))
        for key in SHARED_KEYS:
            writes = shared_writes.get(key, [])
            found = d.get(key)
            if found == [False] and not writes:
                continue
            sound = found[0] is True and isinstance(found[1], tuple) and len(found[1]) == 3
            if sound:
                slot, version, _ = found[1]
                sound = found[1] == shared_value(key, slot, version)
            if sound:
                # When the write read back was acknowledged, no acknowledged
                # write may have begun after that; when its writer was killed
                # first, none may have begun after the kill.
                mine = [w for w in writes if (w[0], w[1]) == (slot, version)]
                done_by = mine[0][3] if mine else killed_at.get(slot)
                sound = done_by is not None and not any(w[2] > done_by for w in writes)
            if not sound:
                report.lost.append(key)
        chunks = segment_file.chunks_in_use(name)
        # Every bucket touched: what a dead process held is taken over.
        for i in range(2 * chunks * segment_file.header_field(name, segment_file.BUCKETS_PER_CHUNK)):
            d.get(("probe", i))
        # Inserts work and the table grows again.
        for i in range(20000):
            d.insert(("grow", i), b"g")
            if segment_file.chunks_in_use(name) > chunks:
                break
        if segment_file.chunks_in_use(name) <= chunks:
            dict_expansion(name, 1 << 40)
        for i in range(20000):
            if d.remove(("grow", i)) != 1 and i < 100:
                report.wedged = f"a key inserted after the storm was not there: ('grow', {i})"
        report.doublings = segment_file.chunks_in_use(name).bit_length() - 1
        if segment_file.chunks_in_use(name) <= chunks:
            report.wedged = f"the table did not grow past {chunks} chunks"
        for i in range(2 * segment_file.chunks_in_use(name) * segment_file.header_field(name, segment_file.BUCKETS_PER_CHUNK)):
            d.get(("probe", i))
        del d
        check = _upkeep.check(name)
        report.count_off = check["entry_count"] - check["entries"]
        # A doubling that goes on by steps is at rest (its marks included).
        unfinished = (check["marked_buckets"] or check["expansion_in_progress"]) and not check["doubling_goes_on"]
        if check["faults"] or check["held_locks"] or check["pending_intents"] or unfinished or \
                check["expansion_workers"]:
            report.wedged = f"not sound after the storm: {check}"
        repaired = _upkeep.repair(name)
        report.reclaimed = repaired["reclaimed_chunks"]
        report.check = repaired["after"]
        if not repaired["after"]["clean"]:
            report.wedged = f"not clean after the offline repair: {repaired}"
    except Exception:
        report.wedged = traceback.format_exc()

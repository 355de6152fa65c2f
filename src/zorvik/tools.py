"""Operating a dictionary's file: what `python -m zorvik` (and the `zorvik`
command) does, as functions for programs.

Every function works on the file format, through the core, and needs neither
the serializer nor the hash function that wrote the file (except the JSON
forms of dump and load, which read and write objects): the files of every
dictionary class of zorvik are served alike.

    stat(path)            the shape, the entries, the space, in a dict
    check(path)           a full structural check: {'clean': bool, 'faults': [...], ...}
    locks(path)           the held locks and whether their holders live
    repair(path)          the offline repair (refused while any process holds the file open)
    dump(path, out)       the raw dump of every entry to a binary file
    load(path, stream)    a raw dump into a new or existing dictionary
    dump_json / load_json the same as JSON lines, through a serializer
    compact(src, dst)     a new file holding src's entries, its table sized for them

A refusal (a file in use, a dump that is damaged, a file that is no
dictionary) raises `Refused` (or the core's ValueError/RuntimeError/OSError);
`main()` in `zorvik.__main__` turns them into exit status 1.
"""

import contextlib
import json
import os
import pickle
import re

from zorvik import _docs, _upkeep
from zorvik._shared import SERIALIZERS

__all__ = ["Refused", "stat", "check", "locks", "repair", "dump", "load", "dump_json", "load_json", "compact",
           "guess_serializer", "holders"]

_DEFAULTS = _upkeep.defaults()

# The core's default shape in the constructor's numbers (zorvik.brandel.brandel's
# defaults), for a new file that takes its shape from nowhere else.
DEFAULT_SHAPE = _DEFAULTS["shape"]

# The table doubles once an insert finds more than this many entries per
# bucket on average (the core's load rule).
LOAD_RULE = _DEFAULTS["load_rule"]

# A check of a file that other processes change may meet a change half way
# and see a fault that is not there; a fault is only reported when every one
# of this many checks in a row sees it.
LIVE_CHECKS = 3


class Refused(Exception):
    """A command refused: the file is in use, or the input is not fit."""


def _path(path):
    """`path` (str, bytes or path-like) as the functions take it; an empty
    one names no file (and would make the current directory's parent the
    place of a new one)."""
    path = os.fspath(path)
    if not path:
        raise Refused("the path is empty: name the dictionary's file")
    return path


def holders(path):
    """The ids of the processes that hold the file open (this one too)."""
    return _upkeep.holders(_path(path))


# ---- stat ---------------------------------------------------------------------------------

def _exponent(power_of_two):
    return power_of_two.bit_length() - 1


def _writing(form):
    """The serializers whose stored bytes are `form`, as a sentence names them."""
    names = [name for name, stored in SERIALIZERS.items() if stored == form]
    if len(names) < 2:
        return "".join(names)
    return f"{', '.join(names[:-1])} or {names[-1]}"


def guess_serializer(values):
    """The serializer that most likely wrote `values` (stored bytes), by their form."""
    values = [v for v in values if v]
    if not values:
        return "unknown (no entries)"
    if all(v[:1] == b"\x80" and v[-1:] == b"." for v in values):
        return f"pickle (protocol {values[0][1]})"
    try:
        for v in values:
            json.loads(v.decode("utf-8"))
        return f"{_writing('json')} (JSON text)"
    except ValueError:
        pass
    try:
        import msgpack
        for v in values:
            msgpack.unpackb(v, strict_map_key=False)
        return "msgpack"
    except Exception:
        return "unknown"


def _sample_values(path, count=16):
    values = []

    def visit(hash_, key, value):
        values.append(value)
        return len(values) >= count

    _upkeep.entries(_path(path), visit)
    return values


def stat(path, progress=None):
    """The file's header and shape in numbers: a dict (see the keys below).
    On a file that processes use, the space figures are a snapshot and
    `clean` is None (check() judges such a file)."""
    path = _path(path)
    users = holders(path)
    survey = _upkeep.survey(path, progress)
    info = os.stat(path)
    chunks, reachable = survey["chunks_in_use"], survey["reachable_chunks"]
    buckets = survey["bucket_chunk_size"] * chunks
    entries = survey["check"]["entries"]
    return {
        "file": path,
        "file_size": info.st_size,
        "bytes_on_disk": info.st_blocks * 512,
        "bucket_chunk_size": survey["bucket_chunk_size"],
        "bucket_chunk_number": survey["bucket_chunk_number"],
        "bucket_chunks_in_use": chunks,
        "buckets": buckets,
        "most_buckets": survey["bucket_chunk_size"] * reachable,
        "doublings_left": _exponent(reachable) - _exponent(chunks),
        "entries": entries,
        "entry_count": survey["check"]["entry_count"],
        "load": entries / buckets if buckets else 0.0,
        "data_chunk_size": survey["data_chunk_size"],
        "serializer_guess": guess_serializer(_sample_values(path)),
        "space": survey["space"],
        # A file in use is judged by check(), which looks twice before it calls a fault one.
        "clean": None if users else survey["check"]["clean"],
        "open_by": users,
    }


# ---- check ---------------------------------------------------------------------------------

def _judged_locks(path):
    """Held locks whose holders have ended or are not named: faults at any time."""
    return [f"{name} held by {'process ' + str(pid) if pid else 'no process named'} ({holder})"
            for name, pid, holder in _upkeep.locks(path) if holder != "alive"]


def check(path, progress=None):
    """A full structural check. Returns a dict: `clean` (bool), `faults` (each
    with its place), `in_use_by` (the processes holding the file open), and the
    core's report (`report`).

    On a file no process holds open every finding counts: a fault of the
    structure, a lock still held, a change or an expansion left in progress,
    a wrong count of entries. While processes use the file, locks held by live
    processes, changes and expansions in progress and a count that is a little
    off are their work, not faults; each bucket is judged on its own (chunks
    that two buckets share, and the free lists, only on a file no process
    holds open: chunks move between them all the time), and a fault is only
    reported when LIVE_CHECKS checks in a row see it (a change met half way
    shows once); a lock held by a process that has ended is a fault either
    way."""
    path = _path(path)
    users = holders(path)
    report = _upkeep.check(path, progress, live=bool(users))
    faults = _live_faults(path, report) if users else _offline_faults(report)
    return {"clean": not faults, "faults": faults, "in_use_by": users, "report": report}


def _live_faults(path, report):
    """The faults that LIVE_CHECKS checks in a row see, and the locks of ended holders."""
    faults = list(report["faults"])
    for _ in range(LIVE_CHECKS - 1):
        if not faults:
            break
        again = set(_upkeep.check(path, live=True)["faults"])
        faults = [f for f in faults if f in again]
    return faults + _judged_locks(path)


def _offline_faults(report):
    """Every finding of a check of a file no process holds open, as faults."""
    faults = list(report["faults"])
    faults += [f"held: {lock}" for lock in report["held_locks"]]
    if report["entries"] != report["entry_count"]:
        faults.append(f"entry count: the count word says {report['entry_count']}, "
                      f"the buckets hold {report['entries']}")
    if report["pending_intents"]:
        faults.append(f"{report['pending_intents']} changes left in progress")
    # A doubling that goes on by steps (the next changes carry it on) is at
    # rest, its marks and marker included.
    unfinished = not report["doubling_goes_on"] and (report["expansion_in_progress"] or report["marked_buckets"])
    if unfinished or report["expansion_workers"]:
        faults.append(f"an expansion left unfinished ({report['marked_buckets']} buckets marked, "
                      f"{report['expansion_workers']} participants counted)")
    if report["unnamed_blocks"]:
        faults.append(f"{report['unnamed_blocks']} blocks no structure names ({report['unnamed_bytes']:,} bytes): "
                      "a repair gives them back")
    return faults


# ---- locks ---------------------------------------------------------------------------------

def locks(path, progress=None):
    """The held locks: a list of {'lock', 'pid', 'holder'}, holder one of
    'alive', 'ended' (its process is gone: the next waiter, or a repair, takes
    it over) and 'unnamed' (the word names no process: only a repair frees it)."""
    return [{"lock": name, "pid": pid, "holder": holder}
            for name, pid, holder in _upkeep.locks(_path(path), progress)]


# ---- repair --------------------------------------------------------------------------------

_CAP_DAC_OVERRIDE = 1  # capability(7): bypasses the file's permission bits


def _may_write(pid, info):
    """Whether process `pid` may write the file of `info` (an os.stat_result):
    by the rights of its file-system user and groups (root and holders of
    CAP_DAC_OVERRIDE always may), or by a descriptor or view of the file it
    opened for writing, where this user may see them. A process this user
    cannot look at counts as a writer: only a holder that surely cannot write
    is told apart."""
    try:
        with open(f"/proc/{pid}/status") as status:
            fields = dict(line.split(":", 1) for line in status if ":" in line)
        fs_uid = int(fields["Uid"].split()[3])
        fs_gid = int(fields["Gid"].split()[3])
        groups = {int(group) for group in fields.get("Groups", "").split()}
        capabilities = int(fields["CapEff"].strip(), 16)
    except (OSError, KeyError, IndexError, ValueError):
        return True
    if fs_uid == 0 or capabilities >> _CAP_DAC_OVERRIDE & 1:
        return True
    if fs_uid == info.st_uid:
        allowed = info.st_mode & 0o200
    elif info.st_gid == fs_gid or info.st_gid in groups:
        allowed = info.st_mode & 0o020
    else:
        allowed = info.st_mode & 0o002
    return bool(allowed) or _opened_for_writing(pid, info)


def _has_acl(path):
    """Whether the file has an access ACL, whose entries the mode bits do not
    tell user by user."""
    try:
        os.getxattr(path, "system.posix_acl_access")
    except OSError:
        return False
    return True


def _opened_for_writing(pid, info):
    """Whether `pid` holds the file by a descriptor opened for writing or a
    writable shared view (made while its rights allowed, kept after a chmod);
    what this user may not look at counts as written."""
    try:
        for name in os.listdir(f"/proc/{pid}/fd"):
            try:
                held = os.stat(f"/proc/{pid}/fd/{name}")
            except OSError:
                continue
            if (held.st_dev, held.st_ino) != (info.st_dev, info.st_ino):
                continue
            with open(f"/proc/{pid}/fdinfo/{name}") as fdinfo:
                flags = next(int(line.split()[1], 8) for line in fdinfo if line.startswith("flags:"))
            if flags & os.O_ACCMODE != os.O_RDONLY:
                return True
        with open(f"/proc/{pid}/maps") as maps:
            for line in maps:
                parts = line.split()
                if len(parts) >= 5 and parts[1].startswith("rw") and int(parts[4]) == info.st_ino:
                    return True
    except (OSError, StopIteration, ValueError):
        return True
    return False


def _holders_told_apart(message, path, pids):
    """The refusal `message`, with the holders that only read the file named
    as such: they hold its open lock, which keeps the repair out as a writer
    would, but they can never change it."""
    try:
        info = os.stat(path)
    except OSError:
        return message
    if _has_acl(path):  # who may write is the ACL's to say: every holder may
        return message
    readers = [pid for pid in pids if pid != os.getpid() and not _may_write(pid, info)]
    if not readers:
        return message
    listed = ", ".join(map(str, readers))
    return (f"{message}; of these, process{'es' if len(readers) > 1 else ''} {listed} only "
            f"read{'' if len(readers) > 1 else 's'} the file (its user cannot write it) but hold"
            f"{'' if len(readers) > 1 else 's'} its open lock: the repair can begin once "
            f"{'they close' if len(readers) > 1 else 'it closes'} the file or end"
            f"{'' if len(readers) > 1 else 's'}")

def repair(path, dry_run=False, progress=None):
    """The offline repair (zorvik._upkeep.repair), or with `dry_run` what it
    would do, from a check and the space figures, changing nothing. Refused
    (Refused, naming the pids) while any process holds the file open."""
    path = _path(path)
    try:
        if not dry_run:
            return _upkeep.repair(path, progress)
        _upkeep.refuse_if_in_use(path)
    except RuntimeError as error:
        pids = getattr(error, "pids", None)
        if pids is None:  # the core's refusal names the file's users
            raise
        raise _docs.note(Refused(_holders_told_apart(str(error), path, pids)), "repair") from None
    # One walk: a survey holds the same check as check() makes of a file no
    # process holds open, and the space figures beside it.
    survey = _upkeep.survey(path, progress)
    faults = _offline_faults(survey["check"])
    checked = {"clean": not faults, "faults": faults, "in_use_by": [], "report": survey["check"]}
    would = list(faults)
    # What the repair's reclaim gives back, as it would judge it now (a
    # mended structure may leave it more).
    reclaimable = survey["space"]["reclaimable"]
    if reclaimable:
        would.append(f"give back {reclaimable:,} bytes that nothing reaches")
    return {"dry_run": True, "would": would, "check": checked}


# ---- dump and load -------------------------------------------------------------------------

def dump(path, out, progress=None):
    """Writes the raw dump of every entry to the binary file `out`; returns the
    number of entries. Works while other processes use the dictionary: each
    bucket is read under its lock (an expansion meanwhile may write an entry
    twice; a load keeps the later, which is the same)."""
    return _upkeep.dump(_path(path), out.write, progress)


def _overridden(shape, overrides):
    """`shape` with the values that `overrides` gives (None gives nothing)."""
    return {**shape, **{k: v for k, v in (overrides or {}).items() if v is not None}}


def _shape_of(header, overrides):
    shape = {"bucket_chunk_size_exponent": _exponent(header["bucket_chunk_size"]),
             "bucket_chunk_number": header["bucket_chunk_number"],
             "size": header["size"],
             "chunk_size_exponent": _exponent(header["data_chunk_size"]) if header["data_chunk_size"] else 5}
    return _overridden(shape, overrides)


def least_capacity(shape):
    """About the least usable size a new file of `shape` needs: its chunk
    table, its first buckets with an entry chunk each (a 56-byte bucket, a
    16-byte link and a 176-byte chunk with their headers: 264 bytes), a pool
    refill of 100 entry chunks (208 bytes each with header and link) and a
    page for the header and the shared words (SharedDict says the same)."""
    buckets = 1 << shape["bucket_chunk_size_exponent"]
    return shape["bucket_chunk_number"] * 8 + buckets * 264 + 100 * 208 + 4096


@contextlib.contextmanager
def _new_file(path, shape):
    """A new dictionary file that becomes `path` only when the block succeeds:
    made beside it under a temporary name, linked to `path` at the end (never
    over an existing file), removed on any failure."""
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise Refused(f"{directory} is not a directory: the new file cannot be made there")
    if shape["size"] < least_capacity(shape):
        raise Refused(f"a size of {shape['size']:,} bytes is too small for a new file of "
                      f"{1 << shape['bucket_chunk_size_exponent']:,} buckets and {shape['bucket_chunk_number']:,} "
                      f"bucket chunks: it needs at least about {least_capacity(shape):,} bytes (--size)")
    try:
        made = _upkeep.create(directory, (shape["bucket_chunk_size_exponent"], shape["bucket_chunk_number"],
                                          shape["size"], shape["chunk_size_exponent"]))
    except (ValueError, MemoryError, RuntimeError) as error:
        raise Refused(f"cannot make a new file of {shape['size']:,} bytes in {directory}: {error}") from None
    try:
        yield made
        os.link(made, path)
    except FileExistsError:
        raise Refused(f"{path} exists already: a new file is never written over another") from None
    finally:
        os.unlink(made)


class _Prefixed:
    """A binary reader that gives back `head` before the rest of `stream`."""

    def __init__(self, head, stream):
        self.head, self.stream = head, stream

    def read(self, n):
        if self.head:
            piece, self.head = self.head[:n], self.head[n:]
            return piece
        return self.stream.read(n)


def load(path, stream, shape=None, progress=None):
    """Reads a raw dump from the binary file `stream` into the dictionary at
    `path`: an existing one (its entries with the same keys are replaced), or
    a new one with the dump's shape (`shape` overrides some of it: keys as
    DEFAULT_SHAPE). Returns the number of entries loaded.

    A damaged or cut stream raises ValueError at the record where it breaks;
    the entries before it are loaded into an existing file (the message says
    how many), and a new file is not made at all."""
    path = _path(path)
    reader = getattr(stream, "buffer", stream)
    head = b""
    while len(head) < 48:
        piece = reader.read(48 - len(head))
        if not piece:
            break
        head += piece
    header = _upkeep.dump_header(head)  # refuses what is not a dump, before any file is touched
    source = _Prefixed(head, reader)
    if os.path.exists(path):
        return _upkeep.load(path, source.read, progress)
    try:
        with _new_file(path, _shape_of(header, shape)) as made:
            return _upkeep.load(made, source.read, progress)
    except (ValueError, RuntimeError) as error:
        # The new file is gone with the entries loaded into it.
        said = _LOADED_BEFORE.sub("", str(error))
        raise type(error)(f"{said}; no file is made at {path}") from None


# How a load says how far it came (zorvik._upkeep), which is true of an
# existing file only: a new file goes when its load fails.
_LOADED_BEFORE = re.compile(r"; the [\d,]+ entries before it are loaded, nothing after them$")


def _codec(serializer):
    """(loads, dumps) for the bytes `serializer` stores; dumps only for pickle."""
    form = SERIALIZERS.get(serializer)
    if form == "pickle":
        return pickle.loads, pickle.dumps
    if form == "json":
        return (lambda b: json.loads(b.decode("utf-8"))), None
    if form == "msgpack":
        import msgpack
        return (lambda b: msgpack.unpackb(b, strict_map_key=False)), None
    raise Refused(f"unknown serializer {serializer!r}")


def _serializer_name(path, serializer):
    if serializer not in (None, "auto"):
        return serializer
    guess = guess_serializer(_sample_values(path))
    # Each stored form is named after the serializer that reads it.
    for form in dict.fromkeys(SERIALIZERS.values()):
        if guess.startswith(form):
            return form
    raise Refused(f"cannot tell the serializer of {path} ({guess}): name it with --serializer")


def dump_json(path, out, serializer="auto", progress=None):
    """Writes every entry as a JSON line {"key": ..., "value": ...} to the
    text file `out`, read through `serializer` ('auto' guesses it). An entry
    whose key or value has no JSON form is refused, naming it. Reading a
    pickle file's objects runs pickle, as every process that uses the
    dictionary does: only for files you trust (the raw dump runs nothing)."""
    path = _path(path)
    loads, _ = _codec(_serializer_name(path, serializer))
    written = 0

    def visit(hash_, key, value):
        nonlocal written
        try:
            line = json.dumps({"key": loads(key), "value": loads(value)}, ensure_ascii=False)
        except (TypeError, ValueError) as error:
            raise Refused(f"an entry (hash {hash_}) has no JSON form ({error}): use the raw dump") from None
        out.write(line + "\n")
        written += 1
        return False

    _upkeep.entries(path, visit, progress)
    return written


def _tuple_of_lists(items):
    """A key read from JSON as a list (nested ones too) is the tuple it was:
    a list has no hash, so it cannot have been a key."""
    return tuple(_tuple_of_lists(item) if isinstance(item, list) else item for item in items)


def _json_filler(path, serializer):
    """The dictionary class whose inserts into the file at `path` store keys
    as its entries' own: keys are found by their bytes, and under pickle
    SharedDict writes protocol 5 on every interpreter while brandel writes
    the interpreter's default (4 before CPython 3.14). A new or empty file,
    or one of protocol 5, gets SharedDict's; one of another protocol,
    brandel's when this interpreter writes that protocol, else a refusal."""
    from zorvik import SharedDict
    from zorvik.brandel import brandel

    def shared(name):
        return contextlib.closing(SharedDict(name, create=False, serializer=serializer))

    protocol = None
    if serializer == "pickle" and os.path.exists(path):
        guess = guess_serializer(_sample_values(path))
        if guess.startswith("pickle (protocol "):
            protocol = int(guess[len("pickle (protocol "):-1])
    if protocol in (None, 5):
        return lambda name, items: _fill(shared(name), lambda d, k, v: d.__setitem__(k, v), items)
    if protocol == pickle.DEFAULT_PROTOCOL:
        return lambda name, items: _fill(contextlib.nullcontext(brandel(os.fsencode(name), serializer=serializer)),
                                         lambda d, k, v: d.insert(k, v), items)
    raise Refused(f"{path} holds keys pickled with protocol {protocol}, which this Python does not write by "
                  f"default (it writes {pickle.DEFAULT_PROTOCOL}): load it with a Python that does")


def _fill(opened, insert, items):
    with opened as d:
        for key, value in items:
            insert(d, key, value)
    return len(items)


def load_json(path, stream, serializer="pickle", shape=None):
    """Reads JSON lines {"key": ..., "value": ...} from the text file `stream`
    into the dictionary at `path` (new or existing), through `serializer` and
    the default hash, stored as the file's own entries are (see
    _json_filler): a new file's as SharedDict(path, serializer=...) stores
    them. Every line is read and checked before the first insert: a bad line
    refuses the whole stream, naming its number."""
    path = _path(path)
    items = []
    for number, line in enumerate(stream, 1):
        if not line.strip():
            continue
        try:
            item = json.loads(line)
            key, value = item["key"], item["value"]
        except (ValueError, KeyError, TypeError) as error:
            raise Refused(f"line {number} is not a JSON object with a key and a value ({error})") from None
        items.append((_tuple_of_lists(key) if isinstance(key, list) else key, value))

    fill = _json_filler(path, serializer)
    if os.path.exists(path):
        return fill(path, items)
    with _new_file(path, _overridden(DEFAULT_SHAPE, shape)) as made:
        return fill(made, items)


# ---- compact -------------------------------------------------------------------------------

def compact_shape(survey):
    """The shape of a compact copy: the source's chunk size and capacity, a
    table of one bucket chunk holding its entries at one to two a bucket (as
    the load rule would leave it), and room to grow as far as the source
    could."""
    entries = survey["check"]["entries"]
    buckets = 1 << max(0, (max(1, -(-entries // LOAD_RULE)) - 1).bit_length())
    most = survey["bucket_chunk_size"] * survey["reachable_chunks"]
    return {"bucket_chunk_size_exponent": _exponent(buckets),
            "bucket_chunk_number": max(1, most // buckets),
            "size": survey["space"]["capacity"],
            "chunk_size_exponent": _exponent(survey["data_chunk_size"])}


def _on_disk(path):
    """Bytes the file takes on its file system (a sparse file takes room only
    for what was written): what du counts."""
    return os.stat(path).st_blocks * 512


def compact(source, target, progress=None):
    """A new file at `target` (which must not exist) holding `source`'s
    entries as stored, with a table sized for them. Returns {'entries',
    'shape', 'source_on_disk', 'target_on_disk'} (bytes each file takes on
    its file system, as du counts them) and 'source_allocated',
    'target_allocated' (bytes of each file's chunk area carved out)."""
    source, target = _path(source), _path(target)
    survey = _upkeep.survey(source)
    shape = compact_shape(survey)
    if os.path.lexists(target):
        raise Refused(f"{target} exists already: compact makes a new file")
    with _new_file(target, shape) as made:
        entries = _upkeep.copy(source, made, progress)
    after = _upkeep.survey(target)
    return {"entries": entries, "shape": shape, "source_on_disk": _on_disk(source),
            "target_on_disk": _on_disk(target), "source_allocated": survey["space"]["allocated"],
            "target_allocated": after["space"]["allocated"]}

"""Operating a dictionary's file: what `python -m zorvik` (and the `zorvik`
command) does, as functions for programs.

Every function works on the file format, through the core, and needs neither
the serializer nor the hash function that wrote the file (except the JSON
forms of dump and load, which read and write objects): the files of every
dictionary class of zorvik are served alike.

    stat(path)            the shape, the entries, the space, in a dict
    check(path)           a full structural check: {'clean': bool, 'faults': [...], ...}
    locks(path)           the held locks and whether their holders live
    repair(path)          the offline repair (refused while a process that may write the file holds it open)
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


_POLICIES = {1: "lru", 2: "lfu", 3: "random", 4: "ttl"}


def _rules_of(record):
    """A survey's cache record as the rules a new file is made with (None
    for a plain dictionary)."""
    if record is None:
        return None
    return (record["policy"], record["max_entries"], record["max_bytes"], record["default_ttl_ms"])


def _cache_rules_and_counts(record):
    """A cache's rules as SharedDict.cache_settings() names them and its
    counts as SharedDict.stats() does; None for a plain dictionary."""
    if record is None:
        return None
    return {
        "max_entries": record["max_entries"] or None,
        "max_bytes": record["max_bytes"] or None,
        "eviction": _POLICIES[record["policy"]],
        "default_ttl": record["default_ttl_ms"] / 1000 if record["default_ttl_ms"] else None,
        **{name: record[name] for name in ("hits", "misses", "sets", "evictions", "expirations", "entry_bytes")},
    }


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
        "cache": _cache_rules_and_counts(survey["cache"]),
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
    return faults + ([_MARKED] if report["repair_marked"] else []) + _judged_locks(path)


# A file left marked by a repair that was stopped before its end.
_MARKED = ("marked as being repaired: every process refuses to open it until the repair ends "
           "(a repair that was stopped leaves the mark; the next repair finishes its work)")


def _offline_faults(report):
    """Every finding of a check of a file no process holds open, as faults."""
    faults = list(report["faults"])
    if report["repair_marked"]:
        faults.append(_MARKED)
    faults += [f"held: {lock}" for lock in report["held_locks"]]
    if report["entries"] != report["entry_count"]:
        faults.append(f"entry count: the count word says {report['entry_count']}, "
                      f"the buckets hold {report['entries']}")
    if report["entry_bytes"] != report["entry_bytes_count"]:
        faults.append(f"cache bytes: the cache's count says {report['entry_bytes_count']:,}, "
                      f"its entries take {report['entry_bytes']:,}")
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

def repair(path, dry_run=False, progress=None):
    """The offline repair (zorvik._upkeep.repair), or with `dry_run` what it
    would do, from a check and the space figures, changing nothing. Refused
    (Refused, naming the pids) while any process that may write the file
    holds it open; while only processes that cannot write it hold it, the
    repair works on a copy that then takes the file's place (they go on
    reading the file as it was)."""
    path = _path(path)
    try:
        if not dry_run:
            return _upkeep.repair(path, progress)
        readers = _upkeep.refuse_writers(path)
    except RuntimeError as error:
        if getattr(error, "pids", None) is None:  # the core's refusal names the file's users
            raise
        raise _docs.note(Refused(str(error)), "repair") from None
    # One walk: a survey holds the same check as check() makes of a file no
    # process holds open, and the space figures beside it.
    survey = _upkeep.survey(path, progress)
    faults = _offline_faults(survey["check"])
    checked = {"clean": not faults, "faults": faults, "in_use_by": readers, "report": survey["check"]}
    would = list(faults)
    # What the repair's reclaim gives back, as it would judge it now (a
    # mended structure may leave it more).
    reclaimable = survey["space"]["reclaimable"]
    if reclaimable:
        would.append(f"give back {reclaimable:,} bytes that nothing reaches")
    beside = None
    if readers:
        many = len(readers) > 1
        beside = (f"the repair works on a copy beside process{'es' if many else ''} {', '.join(map(str, readers))}, "
                  f"which only read{'' if many else 's'} the file, and puts it in the file's place (new openers are "
                  f"refused meanwhile; {'they go' if many else 'it goes'} on reading the file as it was)")
    return {"dry_run": True, "would": would, "check": checked, "beside_readers": beside}


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
             "chunk_size_exponent": _exponent(header["data_chunk_size"]) if header["data_chunk_size"] else 5,
             "cache": header["cache"]}
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
                                          shape["size"], shape["chunk_size_exponent"]), shape.get("cache"))
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
    DEFAULT_SHAPE), a cache with its rules when the dump is a cache's.
    Returns the number of entries loaded. A cache's entries keep their
    deadlines in a cache and become plain entries in a plain dictionary;
    those whose deadline has passed are left out.

    A damaged or cut stream raises ValueError at the record where it breaks;
    the entries before it are loaded into an existing file (the message says
    how many), and a new file is not made at all."""
    path = _path(path)
    reader = getattr(stream, "buffer", stream)
    # The header and, in a cache's dump, its rules: what a new file needs.
    # Bytes read past them are handed to the load as the stream's.
    head = b""
    while len(head) < _DUMP_HEAD:
        piece = reader.read(_DUMP_HEAD - len(head))
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


# A dump's header (48 bytes) and a cache's rules after it (36).
_DUMP_HEAD = 48 + 36

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
    the load rule would leave it), room to grow as far as the source could,
    and a cache's rules."""
    entries = survey["check"]["entries"]
    buckets = 1 << max(0, (max(1, -(-entries // LOAD_RULE)) - 1).bit_length())
    most = survey["bucket_chunk_size"] * survey["reachable_chunks"]
    return {"bucket_chunk_size_exponent": _exponent(buckets),
            "bucket_chunk_number": max(1, most // buckets),
            "size": survey["space"]["capacity"],
            "chunk_size_exponent": _exponent(survey["data_chunk_size"]),
            "cache": _rules_of(survey["cache"])}


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

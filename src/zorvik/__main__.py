"""Inspects, checks, repairs, dumps, loads and compacts a dictionary's file.

    python -m zorvik stat FILE [--json]       the shape, entries and space in words
    python -m zorvik check FILE [--json]      a full structural check; exit 1 on a fault
    python -m zorvik locks FILE [--json]      held locks and whether their holders live
    python -m zorvik repair FILE [--dry-run]  the offline repair, when no process that may write the file holds it
    python -m zorvik dump FILE [--json]       every entry to standard output
    python -m zorvik load FILE [--json]       entries from standard input, into a new or existing file
    python -m zorvik compact SRC DST          a new file with SRC's entries, its table sized for them

dump and load also take a server's URL (redis://, rediss://, unix://,
redis+cluster://) and --name NAME: a dictionary on a server (RedisDict)
dumps and loads in the same raw form, so a file's entries move to a server
and back as they are stored.

Exit status: 0 when all is well, 1 when a check finds a fault or a command is
refused (the message says why), 2 for a command line that cannot be used.
The commands are functions of zorvik.tools too.

A dictionary repairs itself online: a process that meets a lock whose holder
has ended takes it over and finishes or undoes what that holder left half
done. The offline repair does what online repairs cannot: it frees locks that
name no process, recounts the entries, mends a damaged structure and gives
back the chunks that dead processes had taken and not handed on.
"""

import argparse
import contextlib
import json
import os
import sys

from zorvik import tools
from zorvik._shared import SERIALIZERS
from zorvik._version import __version__

EXIT_OK, EXIT_FAULT, EXIT_USAGE = 0, 1, 2


def program_name():
    return "python -m zorvik" if os.path.basename(sys.argv[0]) in ("__main__.py", "-m", "") else "zorvik"


# ---- output -----------------------------------------------------------------------------

def size(n):
    """Bytes in binary units, for a terminal."""
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if n < 1024 or unit == "TiB":
            return f"{n} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024


@contextlib.contextmanager
def progress_bar(what, unit="buckets"):
    """A progress(done, total) callback drawing a bar on standard error when
    it is a terminal; None (no bar) otherwise."""
    if not sys.stderr.isatty():
        yield None
        return
    from tqdm import tqdm

    bar = tqdm(desc=what, unit=unit, unit_scale=True, leave=False, file=sys.stderr, dynamic_ncols=True)

    def update(done, total):
        if done < bar.n:  # a walk begins again (a repair walks the file three times)
            bar.reset()
        if total and bar.total != total:
            bar.total = total
        bar.update(done - bar.n)

    try:
        yield update
    finally:
        bar.close()


def describe(state):
    """The core's check report, in lines (used for the repair's result)."""
    lines = [f"{state['entries']:,} entries (the count says {state['entry_count']:,}), "
             f"{state['chunks_reached']:,} chunks in use or free"]
    if state["doubling_goes_on"]:
        lines.append(f"a doubling is in progress ({state['doubling']}), carried on by the next changes")
    elif state["expansion_in_progress"]:
        lines.append("an expansion is in progress")
    for name, what in (("expansion_workers", "expansion participants counted"),
                       ("marked_buckets", "buckets marked by an expansion"),
                       ("pending_intents", "changes left in progress"),
                       ("unnamed_blocks", "blocks no structure names")):
        if state[name]:
            lines.append(f"{state[name]:,} {what}")
    lines += [f"held: {lock}" for lock in state["held_locks"]]
    lines += [f"fault: {fault}" for fault in state["faults"]]
    return lines


def printable(text):
    """`text` with its control characters (and whatever else a terminal
    would not show as it is, like an undecodable byte of a file name)
    written as escapes: a path or message shown on a terminal cannot move
    the cursor or change colours."""
    text = str(text)
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape", "backslashreplace").decode("ascii")
                   for c in text)


def print_json(value):
    print(json.dumps(value, indent=2))


def open_by(pids):
    return ("process" + ("es " if len(pids) > 1 else " ") + ", ".join(map(str, pids))) if pids else "no process"


# ---- commands -----------------------------------------------------------------------------

def command_stat(arguments):
    with progress_bar("stat") as progress:
        info = tools.stat(arguments.file, progress)
    if arguments.json:
        print_json(info)
        return EXIT_OK
    space = info["space"]
    free = (f"{size(space['free_listed'])} in free lists ({space['free_entry_chunks']:,} entry, "
            f"{space['free_link_chunks']:,} link, {space['free_data_chunks']:,} data chunks)")
    rows = [
        ("file", f"{printable(info['file'])}: {size(info['file_size'])}, {size(info['bytes_on_disk'])} on disk"),
        ("table", f"{info['buckets']:,} buckets ({info['bucket_chunks_in_use']:,} of "
                  f"{info['bucket_chunk_number']:,} bucket chunks of {info['bucket_chunk_size']:,}); "
                  f"{info['doublings_left']} doubling{'' if info['doublings_left'] == 1 else 's'} left, "
                  f"up to {info['most_buckets']:,} buckets"),
        ("entries", f"{info['entries']:,}, {info['load']:.2f} per bucket (the table doubles past "
                    f"{tools.LOAD_RULE})" + ("" if info["entries"] == info["entry_count"]
                                              else f"; the count word says {info['entry_count']:,}")),
        ("strings", f"in data chunks of {info['data_chunk_size']} bytes"),
        ("serializer", f"{info['serializer_guess']}, guessed from the stored values"),
        ("space", f"{size(space['allocated'])} allocated of {size(space['capacity'])}: "
                  f"{size(space['in_use'])} in use, {free}, {size(space['unreachable'])} unreachable "
                  "(cached by live processes, or lost by dead ones until a repair)"),
        *cache_rows(info["cache"]),
        ("state", "clean" if info["clean"] else
                  f"in use: {program_name()} check judges it" if info["clean"] is None else
                  f"not clean: {program_name()} check says why"),
        ("open by", open_by(info["open_by"])),
    ]
    for name, text in rows:
        print(f"{name:<11} {text}")
    return EXIT_OK


def cache_rows(cache):
    """The stat lines of a cache: its rules, and its counts from every process."""
    if cache is None:
        return []
    bounds = [f"{cache['max_entries']:,} entries" if cache["max_entries"] else "",
              f"{size(cache['max_bytes'])}" if cache["max_bytes"] else ""]
    ttl = f"default TTL {cache['default_ttl']:g} s" if cache["default_ttl"] else "no default TTL"
    lookups = cache["hits"] + cache["misses"]
    ratio = f" ({cache['hits'] / lookups:.1%} hits)" if lookups else ""
    return [
        ("cache", f"eviction {cache['eviction']}, bound {' and '.join(b for b in bounds if b) or 'none'}, {ttl}; "
                  f"entries take {size(cache['entry_bytes'])}"),
        ("counts", f"{cache['hits']:,} hits, {cache['misses']:,} misses{ratio}, {cache['sets']:,} stores, "
                   f"{cache['evictions']:,} evictions, {cache['expirations']:,} expirations "
                   "(each process adds its counts every few thousand and at close)"),
    ]


def command_check(arguments):
    with progress_bar("check") as progress:
        result = tools.check(arguments.file, progress)
    if arguments.json:
        print_json(result)
    else:
        report = result["report"]
        print(f"{report['entries']:,} entries, {report['chunks_reached']:,} chunks in use or free; "
              f"open by {open_by(result['in_use_by'])}")
        if result["in_use_by"]:
            print("in use: each bucket judged on its own (shared chunks and free lists only when no process "
                  f"holds the file open); a fault counts when {tools.LIVE_CHECKS} checks in a row see it")
        for fault in result["faults"]:
            print(fault if fault.startswith("held: ") else f"fault: {fault}")
        print("clean" if result["clean"] else
              f"not clean: {len(result['faults'])} faults; {program_name()} repair FILE repairs them "
              "when no process uses the dictionary")
    return EXIT_OK if result["clean"] else EXIT_FAULT


def command_locks(arguments):
    with progress_bar("locks") as progress:
        held = tools.locks(arguments.file, progress)
    users = tools.holders(arguments.file)
    if arguments.json:
        print_json({"locks": held, "open_by": users})
    else:
        for lock in held:
            holder = f"process {lock['pid']}" if lock["pid"] else "no process named"
            print(f"{lock['lock']:<20} {holder:<20} {lock['holder']}")
        if not held:
            print("no lock is held")
        print(f"open by {open_by(users)}")
    return EXIT_FAULT if any(lock["holder"] != "alive" for lock in held) else EXIT_OK


def command_repair(arguments):
    with progress_bar("repair") as progress:
        result = tools.repair(arguments.file, dry_run=arguments.dry_run, progress=progress)
    if arguments.dry_run:
        if arguments.json:
            print_json(result)
        else:
            for line in result["would"]:
                print(f"would repair: {line}")
            if result["beside_readers"]:
                print(result["beside_readers"])
            print("nothing to repair" if not result["would"] else "dry run: nothing changed")
        return EXIT_FAULT if result["would"] else EXIT_OK
    if arguments.json:
        print_json(result)
    else:
        for line in result["done"] or ["nothing to repair"]:
            print(line)
        print("\n".join(describe(result["after"])))
    return EXIT_OK if result["after"]["clean"] else EXIT_FAULT


def command_dump(arguments):
    if on_server(arguments):
        return server_dump(arguments)
    if arguments.json:
        with progress_bar("dump", "buckets") as progress:
            tools.dump_json(arguments.file, sys.stdout, arguments.serializer, progress)
        return EXIT_OK
    if sys.stdout.isatty():
        print(f"{program_name()} dump: standard output is a terminal; send the raw dump to a file or a pipe "
              "(or use --json)", file=sys.stderr)
        return EXIT_USAGE
    with progress_bar("dump", "buckets") as progress:
        tools.dump(arguments.file, sys.stdout.buffer, progress)
    sys.stdout.flush()
    return EXIT_OK


def command_load(arguments):
    if on_server(arguments):
        return server_load(arguments)
    shape = {"size": arguments.size, "bucket_chunk_size_exponent": arguments.bucket_chunk_size_exponent,
             "bucket_chunk_number": arguments.bucket_chunk_number,
             "chunk_size_exponent": arguments.chunk_size_exponent}
    if arguments.json:
        count = tools.load_json(arguments.file, sys.stdin, arguments.serializer or "pickle", shape)
    else:
        with progress_bar("load", "entries") as progress:
            count = tools.load(arguments.file, sys.stdin.buffer, shape, progress)
    print(f"loaded {count:,} entries into {printable(arguments.file)}", file=sys.stderr)
    return EXIT_OK


def command_compact(arguments):
    with progress_bar("compact") as progress:
        result = tools.compact(arguments.source, arguments.target, progress)
    shape = result["shape"]
    print(f"{printable(arguments.target)}: {result['entries']:,} entries, a table of "
          f"{1 << shape['bucket_chunk_size_exponent']:,} buckets; {size(result['target_on_disk'])} on disk "
          f"(the source: {size(result['source_on_disk'])})")
    return EXIT_OK


# ---- a dictionary on a server -------------------------------------------------------------

def on_server(arguments):
    """True when FILE is a server's URL (RedisDict): such a dictionary needs
    --name, and moves in the raw form only."""
    from zorvik.redis_dict.targets import is_server_target

    if not is_server_target(arguments.file):
        if arguments.name is not None or getattr(arguments, "shards", None) is not None:
            raise tools.Refused("--name and --shards are for a dictionary on a server (a URL); a file is its path")
        return False
    if arguments.name is None:
        raise tools.Refused(f"{arguments.file} is a server: name the dictionary on it with --name")
    if arguments.json:
        raise tools.Refused("a dictionary on a server dumps and loads in the raw form only (as stored)")
    import importlib.util

    if importlib.util.find_spec("redis") is None:
        raise tools.Refused("a dictionary on a server needs the package redis (pip install redis, or zorvik[redis])")
    return True


def server_dump(arguments):
    from zorvik.redis_dict import transfer

    if sys.stdout.isatty():
        print(f"{program_name()} dump: standard output is a terminal; send the raw dump to a file or a pipe",
              file=sys.stderr)
        return EXIT_USAGE
    with progress_bar("dump", "entries") as progress:
        transfer.dump(arguments.file, arguments.name, sys.stdout.buffer, serializer=arguments.serializer,
                      progress=progress)
    sys.stdout.flush()
    return EXIT_OK


def server_load(arguments):
    from zorvik.redis_dict import transfer

    with progress_bar("load", "entries") as progress:
        count = transfer.load(arguments.file, arguments.name, sys.stdin.buffer, shards=arguments.shards,
                              progress=progress)
    print(f"loaded {count:,} entries into {arguments.name!r} at {printable(redacted(arguments.file))}",
          file=sys.stderr)
    return EXIT_OK


def redacted(url):
    from zorvik.redis_dict.targets import redact

    return redact(url)


# ---- command line ---------------------------------------------------------------------------

def positive_number(text):
    """An argparse type: a whole number above 0."""
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number <= 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number above 0")
    return number


def parser():
    top = argparse.ArgumentParser(prog=program_name(), description=__doc__.split("\n\n")[0],
                                  epilog="Exit status: 0 all is well, 1 a fault found or a command refused, "
                                         "2 a command line that cannot be used.")
    top.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, text, run, json_text="print the result as JSON"):
        sub = commands.add_parser(name, help=text, description=text)
        sub.set_defaults(run=run)
        if name != "compact":
            on_a_server = ", or a server's URL with --name" if name in ("dump", "load") else ""
            sub.add_argument("file", metavar="FILE", help=f"the dictionary's file{on_a_server}")
        if json_text:
            sub.add_argument("--json", action="store_true", help=json_text)
        return sub

    command("stat", "the shape, entries and space of a dictionary's file", command_stat)
    command("check", "a full structural check of a dictionary's file (read only)", command_check)
    command("locks", "the held locks of a dictionary's file and whether their holders live", command_locks)
    repair = command("repair", "repair a dictionary's file that no process that may write it holds open", command_repair)
    repair.add_argument("--dry-run", action="store_true", help="report what a repair would do; change nothing")
    serializers = ["auto", *SERIALIZERS]
    dump = command("dump", "write every entry to standard output (raw: as stored, bit for bit)", command_dump,
                   "JSON lines {\"key\": ..., \"value\": ...}, read through the serializer")
    dump.add_argument("--serializer", choices=serializers, default="auto",
                      help="the file's serializer, for --json; a server's, to hash its keys (default: guessed)")
    dump.add_argument("--name", help="the dictionary's name, when FILE is a server's URL")
    load = command("load", "read a dump from standard input into a new or existing dictionary file", command_load,
                   "read JSON lines (as dump --json writes them) and insert them through the serializer")
    load.add_argument("--serializer", choices=serializers[1:], help="for --json (default: pickle)")
    load.add_argument("--name", help="the dictionary's name, when FILE is a server's URL")
    load.add_argument("--shards", type=positive_number, metavar="N",
                      help="shards of a new dictionary on a server (default: 1, or 16 on a Cluster)")
    for option, text in (("--size", "usable size of a new file in bytes (default: the dump's)"),
                         ("--bucket-chunk-size-exponent", "for a new file (default: the dump's)"),
                         ("--bucket-chunk-number", "for a new file (default: the dump's)"),
                         ("--chunk-size-exponent", "for a new file (default: the dump's)")):
        load.add_argument(option, type=positive_number, metavar="N", help=text)
    compact = command("compact", "copy a dictionary's entries into a new file whose table is sized for them",
                      command_compact, json_text=None)
    compact.add_argument("source", metavar="SRC", help="the dictionary's file")
    compact.add_argument("target", metavar="DST", help="the new file (must not exist)")
    return top


def main(argv=None):
    """The command line (also the `zorvik` console script): returns the exit status."""
    arguments = parser().parse_args(argv)  # exits with status 2 on a bad command line
    try:
        return arguments.run(arguments)
    except BrokenPipeError:
        # The reader went away (dump | head): nothing more to say.
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")
        return EXIT_FAULT
    except (tools.Refused, OSError, RuntimeError, ValueError, IndexError, MemoryError, TypeError,
            OverflowError) as error:
        print(f"{program_name()} {arguments.command}: {printable(error)}", file=sys.stderr)
        for note in getattr(error, "__notes__", ()):  # the documentation's section on it
            print(f"  {printable(note)}", file=sys.stderr)
        return EXIT_FAULT


if __name__ == "__main__":
    sys.exit(main())

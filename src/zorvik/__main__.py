"""Looks after a dictionary's file when no process uses it.

    python -m zorvik check FILE     # reports the file's state; changes nothing but the attach record
    python -m zorvik repair FILE    # repairs what processes that died left behind

A dictionary repairs itself online: a process that meets a lock held by a
process that has ended takes it over and finishes or undoes what that process
left half done. Three things need this offline repair instead: a lock that
names no process (a damaged file, or one used by a version of zorvik that does
not record lock holders), the count of entries (after a death between two of
its words, online repairs can only take it as changed), and the chunks that
dead processes had taken and not handed on, which only a walk of the whole
file can give back. Run it when no process uses the dictionary; it refuses a
file that another process maps.
"""

import argparse
import json
import sys

from zorvik import _upkeep


def describe(state):
    lines = [f"{state['entries']} entries (the count says {state['entry_count']}), "
             f"{state['chunks_reached']} chunks in use or free"]
    if state["expansion_in_progress"]:
        lines.append("an expansion is in progress")
    for name, what in (("expansion_workers", "expansion participants counted"),
                       ("marked_buckets", "buckets marked by an expansion"),
                       ("pending_intents", "changes left in progress")):
        if state[name]:
            lines.append(f"{state[name]} {what}")
    lines += [f"held: {lock}" for lock in state["held_locks"]]
    lines += [f"fault: {fault}" for fault in state["faults"]]
    return lines


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m zorvik", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    for name, text in (("check", "report the state of a dictionary's file"),
                       ("repair", "repair a dictionary's file that no process uses")):
        command = commands.add_parser(name, help=text, description=text)
        command.add_argument("file", help="the dictionary's file (its name)")
        command.add_argument("--json", action="store_true", help="print the report as JSON")
    arguments = parser.parse_args(argv)
    try:
        report = getattr(_upkeep, arguments.command)(arguments.file)
    except (OSError, RuntimeError, ValueError, IndexError, MemoryError) as error:
        print(f"python -m zorvik {arguments.command}: {error}", file=sys.stderr)
        return 2
    if arguments.json:
        print(json.dumps(report, indent=2))
    elif arguments.command == "check":
        print("\n".join(describe(report)))
        print("clean" if report["clean"] else "not clean: python -m zorvik repair repairs it")
    else:
        for line in report["done"] or ["nothing to repair"]:
            print(line)
        print("\n".join(describe(report["after"])))
    state = report if arguments.command == "check" else report["after"]
    return 0 if state["clean"] else 1


if __name__ == "__main__":
    sys.exit(main())

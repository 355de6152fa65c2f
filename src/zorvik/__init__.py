"""zorvik: a dictionary shared by threads and processes through a file.

    from zorvik import SharedDict

    with SharedDict("/dev/shm/counts") as d:   # opened, or created, by any process
        d["apple"] = 3
        d.increment("apple")                   # atomic across processes: 4

SharedDict is a collections.abc.MutableMapping; ABSENT stands for "no entry"
in compare_and_set and update_with. The original interface, brandel, lives
in zorvik.brandel and opens the same files.

Batches of keys, much faster per key than one at a time (each key its own
atomic operation; a batch is not a transaction), as methods of SharedDict and
as functions that take a SharedDict or a brandel first:

    values = get_many(d, keys, default=None)    # d.get_many(keys, default=None)
    set_many(d, {"a": 1, "b": 2})                # d.set_many(mapping_or_pairs)
    removed = delete_many(d, keys)               # [True, False, ...]
    present = contains_many(d, keys)             # [True, False, ...]

Operating a dictionary's file (stat, check, locks, repair, dump, load,
compact) is :mod:`zorvik.tools`, and ``python -m zorvik`` on the command line.
"""

from zorvik._version import __version__

__all__ = ["ABSENT", "SharedDict", "contains_many", "delete_many", "get_many", "set_many"]


def __getattr__(name):
    # Loaded on first use, so that a program that imports only zorvik.brandel
    # loads nothing more than it always did.
    if name in __all__:
        from zorvik import _shared

        return getattr(_shared, name)
    raise AttributeError(f"module 'zorvik' has no attribute {name!r}")


def __dir__():
    return sorted([*globals(), *__all__])

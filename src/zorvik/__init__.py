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

A function's results kept in a dictionary, for every process that opens it
(one process computes a missing value while the others wait, with
single_flight):

    @zorvik.memoize(d, ttl=60, single_flight=True)
    def render(page): ...

Operating a dictionary's file (stat, check, locks, repair, dump, load,
compact) is :mod:`zorvik.tools`, and ``python -m zorvik`` on the command line.

Beyond one host, RedisDict has SharedDict's interface on a Redis or Valkey
server (zorvik.redis_dict), and open() gives either one by where it lives:

    d = zorvik.open("/dev/shm/counts")                        # a SharedDict
    d = zorvik.open("redis://cache:6379/0", name="counts")    # a RedisDict
"""

from zorvik._version import __version__

__all__ = ["ABSENT", "RedisDict", "SharedDict", "contains_many", "delete_many", "get_many", "memoize", "open",
           "set_many"]

# Where each lazily loaded name lives.
_HOMES = {"RedisDict": "zorvik.redis_dict", "memoize": "zorvik._memoize"}


def __getattr__(name):
    # Loaded on first use, so that a program that imports only zorvik.brandel
    # loads nothing more than it always did (and only RedisDict needs redis).
    if name in __all__:
        import importlib

        return getattr(importlib.import_module(_HOMES.get(name, "zorvik._shared")), name)
    raise AttributeError(f"module 'zorvik' has no attribute {name!r}")


def open(target, *, name=None, **options):
    """The dictionary at `target`: a SharedDict for a path (str, bytes or
    path-like), a RedisDict for a server's URL (redis://, rediss://,
    unix://, or redis+cluster:// for a Cluster) or a redis-py client, where
    `name` names it (required). `options` go to the class."""
    from zorvik.redis_dict.targets import is_server_target

    if is_server_target(target):
        if name is None:
            raise TypeError("zorvik.open() needs name= for a dictionary on a server")
        from zorvik.redis_dict import RedisDict

        return RedisDict(target, name, **options)
    if name is not None:
        raise TypeError("zorvik.open() takes name= only for a dictionary on a server; a file's is its path")
    from zorvik._shared import SharedDict

    return SharedDict(target, **options)


def __dir__():
    return sorted([*globals(), *__all__])

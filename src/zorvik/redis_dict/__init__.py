"""A dictionary with SharedDict's interface on a Redis or Valkey server,
standalone or a Cluster: for work that outgrows one host.

    from zorvik import RedisDict

    d = RedisDict("redis://cache.internal:6379/0", "users")
    d["apple"] = 3
    d.increment("apple")                 # atomic on the server: 4

The entries are stored as the same bytes a SharedDict stores (codec.py), so
a file's dump loads into a server and back (transfer.py). RedisDict needs
the package redis (redis-py); the rest of zorvik does not, so it is loaded
on first use.
"""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from zorvik.redis_dict.dictionary import RedisDict as RedisDict

__all__ = ["RedisDict"]


def __getattr__(name: str) -> object:
    if name == "RedisDict":
        try:
            import redis  # noqa: F401
        except ModuleNotFoundError as error:
            if error.name != "redis":
                raise
            raise ModuleNotFoundError("RedisDict needs the package redis, which is not installed "
                                      "(pip install redis, or zorvik[redis])", name="redis") from None
        from zorvik.redis_dict.dictionary import RedisDict

        return RedisDict
    raise AttributeError(f"module 'zorvik.redis_dict' has no attribute {name!r}")

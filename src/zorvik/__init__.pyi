import os
from typing import Any, overload

from zorvik._shared import (
    ABSENT as ABSENT,
    SharedDict as SharedDict,
    contains_many as contains_many,
    delete_many as delete_many,
    get_many as get_many,
    set_many as set_many,
)

from zorvik._memoize import memoize as memoize
from zorvik.redis_dict.dictionary import RedisDict as RedisDict

__version__: str

__all__ = ["ABSENT", "RedisDict", "SharedDict", "contains_many", "delete_many", "get_many", "memoize", "open",
           "set_many"]

# A path gives a SharedDict; a server's URL (redis://, rediss://, unix://,
# redis+cluster://) or a redis-py client, with name=, a RedisDict.
@overload
def open(target: bytes | os.PathLike[str] | os.PathLike[bytes], *, name: None = None, **options: Any) -> SharedDict[Any, Any]: ...
@overload
def open(target: str, *, name: str | None = None, **options: Any) -> SharedDict[Any, Any] | RedisDict[Any, Any]: ...
@overload
def open(target: object, *, name: str, **options: Any) -> RedisDict[Any, Any]: ...

from collections.abc import Callable
from typing import Any, Generic, ParamSpec, Protocol, TypeVar

from zorvik._shared import SharedDict

_P = ParamSpec("_P")
_R = TypeVar("_R")
_R_co = TypeVar("_R_co", covariant=True)

__all__ = ["memoize"]

# The function memoize returns: called as the function was, and with key(),
# the key of its result for some arguments.
class _Memoized(Protocol, Generic[_P, _R_co]):
    __wrapped__: Callable[_P, _R_co]
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R_co: ...
    def key(self, *args: _P.args, **kwargs: _P.kwargs) -> tuple[str, str]: ...

def memoize(
    d: SharedDict[Any, Any],
    *,
    ttl: float | None = None,
    single_flight: bool = False,
    timeout: float | None = 60.0,
    name: str | None = None,
) -> Callable[[Callable[_P, _R]], _Memoized[_P, _R]]: ...

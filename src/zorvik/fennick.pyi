from typing import Any, Callable

class fennick:
    def __init__(self, hash_function: Callable[[Any], int], /) -> None: ...
    @property
    def name(self) -> bytes | None: ...

def portable_hash(key: Any, /) -> int: ...

__pyx_capi__: dict[str, object]

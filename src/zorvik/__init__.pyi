from zorvik._shared import (
    ABSENT as ABSENT,
    SharedDict as SharedDict,
    contains_many as contains_many,
    delete_many as delete_many,
    get_many as get_many,
    set_many as set_many,
)

__version__: str

__all__ = ["ABSENT", "SharedDict", "contains_many", "delete_many", "get_many", "set_many"]

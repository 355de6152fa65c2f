"""zorvik: a dictionary shared by threads and processes through a file.

    from zorvik import SharedDict

    with SharedDict("/dev/shm/counts") as d:   # opened, or created, by any process
        d["apple"] = 3
        d.increment("apple")                   # atomic across processes: 4

SharedDict is a collections.abc.MutableMapping; ABSENT stands for "no entry"
in compare_and_set and update_with. The original interface, brandel, lives
in zorvik.brandel and opens the same files.
"""
from zorvik._shared import ABSENT, SharedDict

__all__ = ["ABSENT", "SharedDict"]

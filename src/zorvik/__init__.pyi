from zorvik._shared import ABSENT as ABSENT, SharedDict as SharedDict

__all__ = ["ABSENT", "SharedDict"]

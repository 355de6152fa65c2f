"""zorvik: a dictionary shared by threads and processes through a file-backed segment.

The dictionary class lives in :mod:`zorvik.brandel`::

    from zorvik.brandel import brandel
"""

"""zorvik: a dictionary shared by threads and processes through a file-backed segment.

The dictionary class lives in :mod:`zorvik.brandel`::

    from zorvik.brandel import brandel

Operating a dictionary's file (stat, check, locks, repair, dump, load,
compact) is :mod:`zorvik.tools`, and ``python -m zorvik`` on the command line.
"""

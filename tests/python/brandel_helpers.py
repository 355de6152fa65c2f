"""Helpers shared by the Python tests."""

import os
import struct
import subprocess
import sys
import textwrap

# Small dictionaries: 16 buckets per bucket chunk, a 4 MiB segment.
SMALL = dict(size=1 << 22, bucket_chunk_size_exponent=4)


def chunks_in_use(path):
    """The map's chunks_in_use word, read from the segment file.

    The map header sits at file offset 90; its field at offset 64 is the
    Offset of the chunks_in_use word, and an Offset counts from file byte 24.
    """
    with open(path, "rb") as segment:
        segment.seek(90 + 64)
        (offset,) = struct.unpack("<Q", segment.read(8))
        segment.seek(24 + offset)
        (value,) = struct.unpack("<Q", segment.read(8))
    return value


def run_python(code, cwd, env=None):
    """Runs `code` in a fresh interpreter; returns its standard output."""
    full_env = dict(os.environ, **(env or {}))
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=cwd,
        env=full_env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout

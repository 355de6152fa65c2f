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


def second_interpreter_import(module, order, cwd):
    """Imports `module` in the main interpreter and in a subinterpreter of one
    process, in `order` ("main first" or "subinterpreter first"); returns the
    message of the ImportError that refused the second import (when it is not
    refused: "imported", or nothing if the main interpreter's came second)."""
    in_subinterpreter = textwrap.dedent(f"""
        try:
            import {module}
            result = "imported"
        except ImportError as error:
            result = str(error)
        open("sub.txt", "w").write(result)
        """)
    return run_python(
        f"""
        import _testcapi
        code = {in_subinterpreter!r}
        if {order!r} == "main first":
            import {module}
            _testcapi.run_in_subinterp(code)
            print(open("sub.txt").read())
        else:
            _testcapi.run_in_subinterp(code)
            assert open("sub.txt").read() == "imported"
            try:
                import {module}
            except ImportError as error:
                print(error)
        """,
        cwd=cwd,
    ).strip()

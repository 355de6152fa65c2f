"""The examples run to their end and leave no file behind (each one's
dictionary is temporary and deleted when it is closed)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.mark.parametrize("example", sorted(path.name for path in EXAMPLES.glob("*.py")))
def test_example_runs(segment_dir, example):
    done = subprocess.run([sys.executable, str(EXAMPLES / example)], capture_output=True, text=True, timeout=300,
                          env={**os.environ, "TMPDIR": str(segment_dir)})
    assert done.returncode == 0, done.stderr
    assert done.stdout
    assert os.listdir(segment_dir) == []

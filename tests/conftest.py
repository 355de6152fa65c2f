"""Shared set-up for the Python tests.

The tests exercise the installed package. `python -m pytest` puts the current
directory at the front of sys.path; run from the repository root, that would
make `import zorvik` find the source folder, which holds no built modules. The
repository root is therefore taken off sys.path here, before any test module
imports zorvik (pytest loads this file first).
"""

import os
import pathlib
import sys

import pytest

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent


def _is_repository(entry):
    try:
        return pathlib.Path(entry or os.getcwd()).resolve() == REPOSITORY
    except OSError:
        return False


sys.path[:] = [entry for entry in sys.path if not _is_repository(entry)]
for _name in [name for name in sys.modules if name == "zorvik" or name.startswith("zorvik.")]:
    _file = getattr(sys.modules[_name], "__file__", None)
    if _file and pathlib.Path(_file).resolve().is_relative_to(REPOSITORY / "zorvik"):
        del sys.modules[_name]


@pytest.fixture
def segment_dir(tmp_path, monkeypatch):
    """New segment files go to this test's own directory, removed with it."""
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    return tmp_path

"""Shared set-up for the Python tests, which exercise the installed package.

The package's source lives under src/, so running pytest from the repository
root imports the installed build, not the source folder.
"""

import pytest


@pytest.fixture
def segment_dir(tmp_path, monkeypatch):
    """New segment files go to this test's own directory, removed with it."""
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    return tmp_path

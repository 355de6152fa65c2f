"""The tests of this folder run the version before this one (the release
files must stay readable by) in child interpreters, beside this one.
`python3 scripts/dev.py prev` builds it into .cache/prev-<commit>/site;
ZORVIK_PREV_SITE names another build. Without one the tests are skipped,
saying how to make it."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PREVIOUS_COMMIT = "27cc770"


def previous_site():
    named = os.environ.get("ZORVIK_PREV_SITE")
    site = Path(named) if named else ROOT / ".cache" / f"prev-{PREVIOUS_COMMIT}" / "site"
    return site if (site / "zorvik").is_dir() else None


@pytest.fixture(scope="session")
def previous():
    """run(code) -> the child's stdout: `code` run by the previous version."""
    site = previous_site()
    if site is None:
        pytest.skip(f"no build of the previous version ({PREVIOUS_COMMIT}): python3 scripts/dev.py prev makes it")

    def run(code):
        environment = {**os.environ, "PYTHONPATH": str(site), "PYTHONDONTWRITEBYTECODE": "1"}
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=environment, capture_output=True,
                              text=True, timeout=120, cwd="/")
        assert done.returncode == 0, done.stderr
        return done.stdout

    # The child must import the previous version, not this one.
    assert run("import zorvik, sys; print(zorvik.__file__)").startswith(str(site))
    return run

"""The build of the version before this one, for the tests that check files
stay readable both ways: they run it in child interpreters, with its site
first on the path.

`python3 scripts/dev.py test` builds it once (into .cache/prev-<commit>/site)
and names it in ZORVIK_PREV_SITE; pytest run by hand after that finds the
build there. Without one these tests are skipped, saying how to make it.
"""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def _find_site():
    named = os.environ.get("ZORVIK_PREV_SITE")
    candidates = [Path(named)] if named else sorted(ROOT.glob(".cache/prev-*/site"))
    for site in candidates:
        if (site / "zorvik").is_dir():
            return str(site.resolve())
    return None


SITE = _find_site()

needs_previous = pytest.mark.skipif(
    SITE is None, reason="no build of the previous version: python3 scripts/dev.py prev makes it")


def environment_for_previous():
    """os.environ for a child that must import the previous version, not this one."""
    path = os.pathsep.join(filter(None, [SITE, os.environ.get("PYTHONPATH")]))
    return {**os.environ, "PYTHONPATH": path, "PYTHONDONTWRITEBYTECODE": "1"}


@pytest.fixture(scope="session")
def previous():
    """run(code) -> the child's stdout: `code` run by the previous version."""
    if SITE is None:
        pytest.skip("no build of the previous version: python3 scripts/dev.py prev makes it")

    def run(code):
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=environment_for_previous(),
                              capture_output=True, text=True, timeout=120, cwd="/")
        assert done.returncode == 0, done.stderr
        return done.stdout

    # The child must import the previous version, not this one.
    assert run("import zorvik; print(zorvik.__file__)").startswith(SITE)
    return run

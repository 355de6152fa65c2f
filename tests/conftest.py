"""Shared set-up for the tests.

The Python tests exercise the installed package: its source lives under src/,
so running pytest from the project's root imports the installed build, not the
source folder.

A run leaves nothing behind in the checkout or in the temporary directory:
hypothesis keeps its example database in .cache/hypothesis and pytest its own
cache in .cache/pytest (pyproject.toml), both ignored by git, and the tests'
temporary directories live in one directory per run, removed at its end.
"""

import contextlib
import shutil
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

try:
    from hypothesis.configuration import set_hypothesis_home_dir
except ImportError:  # the tests that need hypothesis say so themselves
    pass
else:
    # Hypothesis would make .hypothesis/ in the current directory.
    set_hypothesis_home_dir(ROOT / ".cache" / "hypothesis")

_RUN_TEMP = pytest.StashKey[Path]()


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    # Runs before pytest's tmp_path factory reads --basetemp. Left to itself,
    # pytest keeps the last three runs' directories in $TMPDIR/pytest-of-<user>.
    if config.option.basetemp is None:
        run_temp = Path(tempfile.mkdtemp(prefix="zorvik-tests-"))
        config.stash[_RUN_TEMP] = run_temp
        config.option.basetemp = str(run_temp)


def pytest_unconfigure(config):
    run_temp = config.stash.get(_RUN_TEMP, None)
    if run_temp is not None:
        shutil.rmtree(run_temp, ignore_errors=True)


@pytest.hookimpl(trylast=True)
def pytest_collection_finish(session):
    """Builds the C++ core tests this session will run before its first test,
    with CMake's progress on the terminal: inside a test, pytest would hold the
    output back until the test ended. A test module that needs a build says so
    with a function build_core_tests(variants, echo)."""
    if session.config.option.collectonly:
        return
    wanted = {}
    for item in session.items:
        build = getattr(getattr(item, "module", None), "build_core_tests", None)
        if build is not None:
            wanted.setdefault(build, []).append(item.callspec.params["variant"])
    if not wanted:
        return
    plugins = session.config.pluginmanager
    reporter = plugins.get_plugin("terminalreporter")
    capture = plugins.get_plugin("capturemanager")
    echo = reporter.write_line if reporter is not None else print
    with capture.global_and_fixture_disabled() if capture is not None else contextlib.nullcontext():
        if reporter is not None:
            reporter.ensure_newline()
        for build, variants in wanted.items():
            build(variants, echo)


@pytest.fixture
def segment_dir(tmp_path, monkeypatch):
    """New segment files go to this test's own directory, removed with it."""
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    return tmp_path

"""The package as it is published: one version everywhere, and distributions
that hold everything the package and its tests need.

`python -m build` makes the sdist, and the wheel from the sdist (the one
compilation of this module, a minute or two). The sdist must hold every file
of the checkout's sources, tests, examples, docs and benchmarks, and the wheel
every Python file, stub and marker of the package and the license. The wheel
then goes into a fresh virtual environment, and a subset of the tests runs
from the unpacked sdist against it: every module's import, SharedDict and its
operations, the operator's commands, the examples, and the examples of the
README and the docs. auditwheel names the wheel's platform policy.
"""

import importlib.metadata
import os
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

import zorvik

ROOT = Path(__file__).resolve().parents[2]
# What the sdist must hold: these files, and every file under these folders
# but caches, built modules and benchmark results (which sdist.exclude and
# .gitignore keep out).
SDIST_FILES = ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "CHANGELOG.md"]
SDIST_FOLDERS = ["src", "tests", "examples", "docs", "bench", "scripts"]
NOT_SHIPPED = re.compile(r"(^|/)__pycache__/|\.pyc$|\.so$|^bench/results/")
# The tests run against the installed wheel, from the sdist: quick ones that
# touch every module, file and example the sdist ships.
SUBSET = ["test_import.py", "test_shared_dict.py", "test_operations.py", "test_tools.py", "test_examples.py",
          "test_docs.py"]
# Left out: a minute-long dump of a million entries, and the site's build
# (Sphinx is not in the fresh environment; the suite builds the site itself).
LEFT_OUT = "not a_million_entries and not the_site_builds"
LIMIT = 1200  # seconds; a guard against a hang, never part of a check


def run(command, **options):
    done = subprocess.run([str(word) for word in command], capture_output=True, text=True, timeout=LIMIT, **options)
    if done.returncode != 0:
        pytest.fail(f"{' '.join(map(str, command))} failed:\n{done.stdout[-6000:]}\n{done.stderr[-6000:]}",
                    pytrace=False)
    return done.stdout


def test_one_version():
    assert zorvik.__version__ == importlib.metadata.version("zorvik")
    said = run([sys.executable, "-m", "zorvik", "--version"])
    assert said.split()[-1] == zorvik.__version__


def shipped_from_the_checkout():
    files = set(SDIST_FILES)
    for folder in SDIST_FOLDERS:
        files |= {path.relative_to(ROOT).as_posix() for path in (ROOT / folder).rglob("*") if path.is_file()}
    return {name for name in files if not NOT_SHIPPED.search(name)}


def test_the_distributions(tmp_path, capsys):
    pytest.importorskip("build", reason="the release extra is not installed")
    pytest.importorskip("auditwheel", reason="the release extra is not installed")
    dist = tmp_path / "dist"
    run([sys.executable, "-m", "build", "--outdir", dist, ROOT])
    (sdist,), (wheel,) = dist.glob("*.tar.gz"), dist.glob("*.whl")

    with tarfile.open(sdist) as archive:
        top = f"zorvik-{zorvik.__version__}/"
        in_sdist = {member.name.removeprefix(top) for member in archive.getmembers() if member.isfile()}
        archive.extractall(tmp_path / "sdist", filter="data")
    missing = shipped_from_the_checkout() - in_sdist
    assert not missing, f"files the sdist lacks: {sorted(missing)}"

    in_wheel = set(zipfile.ZipFile(wheel).namelist())
    package = {f"zorvik/{path.name}" for path in (ROOT / "src/zorvik").iterdir()
               if path.suffix in (".py", ".pyi") or path.name == "py.typed"}
    assert not package - in_wheel, f"files the wheel lacks: {sorted(package - in_wheel)}"
    assert any(name.endswith(".dist-info/licenses/LICENSE") for name in in_wheel)

    environment = tmp_path / "venv"
    run([sys.executable, "-m", "venv", environment])
    python = environment / "bin" / "python"
    run([python, "-m", "pip", "install", "--disable-pip-version-check", "--quiet", f"{wheel}[test,serializers]"])
    source = tmp_path / "sdist" / top
    run([python, "-m", "pytest", "-q", "-k", LEFT_OUT,
         *(f"tests/python/{name}" for name in SUBSET)],
        cwd=source, env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"})

    shown = run([sys.executable, "-m", "auditwheel", "show", wheel])
    policy = re.search(r'platform tag:\s*"([^"]+)"', shown.replace("\n", " "))
    assert policy, shown
    with capsys.disabled():
        print(f"\n  {wheel.name}: auditwheel names the platform tag {policy[1]}")

#!/usr/bin/env python3
"""Sets up this checkout of zorvik, then runs its main job or its tests.

    python3 scripts/dev.py run     # set up, then run examples/shared_dict.py
    python3 scripts/dev.py test    # set up, then run every test (Python and C++)
    python3 scripts/dev.py docs    # set up, then build the documentation site
    python3 scripts/dev.py prev    # set up, then build the previous version (test does it too)
    python3 scripts/dev.py aarch64 # cross-build the C++ core tests for aarch64, run them under qemu

The set-up needs nothing but python3 to start from. On Debian and Ubuntu it
installs the system packages that are missing (a C++ compiler, CMake, make,
the Python headers, venv, GoogleTest, Redis's server) with apt-get, through sudo when not run
as root; it makes a virtual environment in .venv and builds and installs
zorvik with its test, serializer, docs and release extras into it. Each step says what it
does, and is skipped when its result is already there: a second run starts
its job within seconds. Only the standard library is used here, since nothing
else can be assumed before the set-up.
"""

import argparse
import hashlib
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VENV = ROOT / ".venv"
# The wheel's CMake build stays here between installs: a rebuild after a
# change compiles only what changed, and the unstripped modules are there for
# profilers.
WHEEL_BUILD = VENV / "build"
# Written after a successful install; it holds a digest of what the install
# was made from, so that an unchanged checkout is not rebuilt.
INSTALL_STAMP = VENV / "zorvik-install.stamp"
EXTRAS = "test,serializers,redis,docs,release"
EXTRAS_SAY = "pytest, hypothesis, mypy, orjson, msgpack, msgspec, redis, sphinx, myst-parser, furo, build, auditwheel"
# What the installed package is built from; a change to any of it means a rebuild.
BUILD_INPUTS = ["pyproject.toml", "CMakeLists.txt", "README.md", "src"]
MIN_PYTHON = (3, 11)
MIN_CMAKE = (3, 21)  # CMakeLists.txt's cmake_minimum_required


class SetupError(Exception):
    """A set-up step failed; the message says what to do."""


def say(text: str) -> None:
    print(f"==> {text}", flush=True)


def run(command: list[str], **options) -> None:
    """Runs a command with its output on the terminal; fails the set-up when it fails."""
    done = subprocess.run(command, **options)
    if done.returncode != 0:
        raise SetupError(f"{' '.join(map(str, command))} failed (exit status {done.returncode})")


# ---- system packages ------------------------------------------------------------------------------


def python_series() -> str:
    return f"{sys.version_info.major}.{sys.version_info.minor}"


def is_system_python() -> bool:
    """True when this interpreter is the distribution's, so that its missing
    pieces come from its packages (python3.X-dev, python3.X-venv)."""
    return Path(sys.base_prefix).resolve() == Path("/usr")


def cmake_version(cmake: str) -> tuple[int, ...] | None:
    try:
        text = subprocess.run([cmake, "--version"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    found = re.search(r"version (\d+)\.(\d+)", text)
    return (int(found[1]), int(found[2])) if found else None


def has_gtest() -> bool:
    """GoogleTest's headers and library where CMake's find_package(GTest) looks."""
    prefixes = [Path("/usr"), Path("/usr/local")]
    headers = any((prefix / "include/gtest/gtest.h").is_file() for prefix in prefixes)
    libraries = any(
        next(prefix.glob(pattern), None) is not None
        for prefix in prefixes
        for pattern in ("lib/libgtest.*", "lib/*/libgtest.*", "lib64/libgtest.*")
    )
    return headers and libraries


def missing_packages(need_venv_module: bool) -> list[tuple[str, str]]:
    """(Debian package, what it is for) for each thing the build, the
    virtual environment or the tests need and this machine lacks."""
    missing = []
    if not (shutil.which("g++") or shutil.which("c++")):
        missing.append(("g++", "the C++ compiler"))
    cmake = shutil.which("cmake")
    if cmake is None or (cmake_version(cmake) or (0,)) < MIN_CMAKE:
        missing.append(("cmake", f"CMake {'.'.join(map(str, MIN_CMAKE))} or newer"))
    if not (shutil.which("make") or shutil.which("ninja")):
        missing.append(("make", "the build tool CMake drives"))
    if not (Path(sysconfig.get_paths()["include"]) / "Python.h").is_file():
        missing.append((f"python{python_series()}-dev", "the Python headers the extension modules build against"))
    if need_venv_module and importlib.util.find_spec("ensurepip") is None:
        missing.append((f"python{python_series()}-venv", "the venv module with pip"))
    if not has_gtest():
        missing.append(("libgtest-dev", "GoogleTest, for the C++ core tests"))
    if not (shutil.which("redis-server") and shutil.which("redis-cli")):
        # The tests start their own servers, on a socket or loopback port of
        # their own; the package's service is not started (nor wanted).
        missing.append(("redis-server", "Redis, the server the RedisDict tests start and stop"))
    return missing


def install_system_packages(missing: list[tuple[str, str]], recheck=None,
                            present: str = "compiler, CMake, Python headers, venv, GoogleTest and Redis") -> None:
    """Installs the missing packages with apt-get, then asks `recheck` (by
    default missing_packages) whether anything is still missing."""
    if not missing:
        say(f"system packages: {present} are all there")
        return
    names = [name for name, _ in missing]
    python_own = {f"python{python_series()}-dev", f"python{python_series()}-venv"}
    if python_own & set(names) and not is_system_python():
        raise SetupError(
            f"{sys.executable} lacks its headers or its venv module, and it is not the system's"
            " Python, so no system package can add them: install them for that Python, or run"
            " this script with the system's python3"
        )
    if shutil.which("apt-get") is None:
        raise SetupError(
            "missing, and no apt-get to install them with: "
            + "; ".join(f"{name} ({why})" for name, why in missing)
        )
    if os.geteuid() == 0:
        as_root = []
    elif shutil.which("sudo"):
        as_root = ["sudo"]
    else:
        raise SetupError(f"run as root, or install sudo, to install: {' '.join(names)}")
    say("installing system packages with apt-get:")
    for name, why in missing:
        print(f"      {name}: {why}", flush=True)
    apt = [*as_root, "env", "DEBIAN_FRONTEND=noninteractive", "apt-get"]
    run([*apt, "update", "-q"])
    run([*apt, "install", "-y", "-q", "--no-install-recommends", *names])
    # Recheck: a package can install and still not be enough (an old CMake).
    if recheck is None:
        still = missing_packages(need_venv_module=any(name.endswith("-venv") for name in names))
    else:
        still = recheck()
    if still:
        raise SetupError("still missing after apt-get: " + "; ".join(f"{name} ({why})" for name, why in still))


# ---- the virtual environment and the package -------------------------------------------------------


def venv_python() -> Path:
    return VENV / "bin" / "python"


def venv_matches() -> bool:
    """True when .venv runs and was made from this interpreter's Python series."""
    try:
        done = subprocess.run(
            [str(venv_python()), "-c", "import sys; print(sys.version_info[:2])"],
            capture_output=True, text=True, timeout=60,
        )
    except (OSError, subprocess.TimeoutExpired):
        return False
    return done.returncode == 0 and done.stdout.strip() == str(sys.version_info[:2])


def make_venv() -> None:
    if venv_matches():
        say(f"virtual environment: {VENV.relative_to(ROOT)} is there")
        return
    if VENV.exists():
        say(f"{VENV.relative_to(ROOT)} was made by another Python or does not run: making it anew")
        shutil.rmtree(VENV)
    say(f"making a virtual environment in {VENV.relative_to(ROOT)} with {sys.executable} (Python {python_series()})")
    run([sys.executable, "-m", "venv", str(VENV)])


def build_digest() -> str:
    """A digest of every file the package is built from, of the extras and of the interpreter."""
    digest = hashlib.sha256(f"{EXTRAS}\0{sys.version}\0".encode())
    for name in BUILD_INPUTS:
        top = ROOT / name
        files = sorted(top.rglob("*")) if top.is_dir() else [top]
        for path in files:
            if path.is_file() and "__pycache__" not in path.parts:
                digest.update(str(path.relative_to(ROOT)).encode() + b"\0")
                digest.update(path.read_bytes())
    return digest.hexdigest()


def install_package() -> None:
    wanted = build_digest()
    if INSTALL_STAMP.is_file() and INSTALL_STAMP.read_text().strip() == wanted:
        say("zorvik in .venv is up to date with the sources")
        return
    say(f"building zorvik and installing it into .venv, with {EXTRAS_SAY}")
    INSTALL_STAMP.unlink(missing_ok=True)
    run(
        [str(venv_python()), "-m", "pip", "install", "--disable-pip-version-check",
         f"--config-settings=build-dir={WHEEL_BUILD}", f".[{EXTRAS}]"],
        cwd=ROOT,
    )
    INSTALL_STAMP.write_text(wanted + "\n")


def set_up() -> None:
    if sys.version_info < MIN_PYTHON:
        raise SetupError(
            f"zorvik needs Python {'.'.join(map(str, MIN_PYTHON))} or newer; {sys.executable} is {python_series()}"
        )
    install_system_packages(missing_packages(need_venv_module=not venv_matches()))
    make_venv()
    install_package()


# ---- the jobs --------------------------------------------------------------------------------------


def job_environment() -> dict[str, str]:
    # No __pycache__ folders in the checkout: the installed package is
    # compiled by pip, and the tests and the example are quick to compile.
    return {**os.environ, "PYTHONDONTWRITEBYTECODE": "1"}


def run_example(_extra: list[str]) -> int:
    say("running the main job: examples/shared_dict.py")
    return subprocess.run([str(venv_python()), "examples/shared_dict.py"], cwd=ROOT, env=job_environment()).returncode


def run_tests(extra: list[str]) -> int:
    environment = job_environment()
    site = previous_site()
    if site:
        environment["ZORVIK_PREV_SITE"] = str(site)
    say("running every test: the Python tests, then the C++ core tests (plain, ASan+UBSan, TSan)")
    command = [str(venv_python()), "-m", "pytest", "-ra", *extra]
    return subprocess.run(command, cwd=ROOT, env=environment).returncode


# The documentation site: built from docs/ with warnings as errors (the tests
# build it too, into their own directory), into a folder git ignores.
DOCS_OUT = ROOT / ".cache" / "docs" / "html"


def build_docs(_extra: list[str]) -> int:
    say(f"building the documentation site into {DOCS_OUT.relative_to(ROOT)}")
    command = [str(venv_python()), "-m", "sphinx", "--fresh-env", "--fail-on-warning", "--keep-going",
               "--quiet", "--builder", "html", "docs", str(DOCS_OUT)]
    done = subprocess.run(command, cwd=ROOT, env=job_environment())
    if done.returncode == 0:
        say(f"the site is in {DOCS_OUT.relative_to(ROOT)}: open {DOCS_OUT / 'index.html'}")
    return done.returncode


# The version before this one, which every file this one makes must still
# work with, and whose files this one must read: the tests that check both
# run it in child interpreters, from the build named by ZORVIK_PREV_SITE.
PREVIOUS_COMMIT = "27cc770"
PREVIOUS = ROOT / ".cache" / f"prev-{PREVIOUS_COMMIT}"
# Another checkout whose .cache holds the source already exported, for a
# checkout without git history to export it from (CI's copy inside the 3.14
# root is made without .git).
PREVIOUS_SOURCE_VARIABLE = "ZORVIK_PREV_FROM"


def previous_source() -> Path | None:
    source = PREVIOUS / "source"
    if source.is_dir():
        return source
    named = os.environ.get(PREVIOUS_SOURCE_VARIABLE)
    if named:
        exported = Path(named) / source.relative_to(ROOT)
        return exported if exported.is_dir() else None
    archive = subprocess.run(["git", "archive", PREVIOUS_COMMIT], cwd=ROOT, capture_output=True)
    if archive.returncode != 0:
        return None
    say(f"exporting commit {PREVIOUS_COMMIT} into {source.relative_to(ROOT)}")
    partial = PREVIOUS / "source.partial"
    shutil.rmtree(partial, ignore_errors=True)
    partial.mkdir(parents=True)
    subprocess.run(["tar", "-x", "-C", str(partial)], input=archive.stdout, check=True)
    partial.rename(source)
    return source


def previous_site() -> Path | None:
    """The previous version built for this interpreter, built first if it is not; None when its source is missing."""
    site = PREVIOUS / "site"
    if (site / "zorvik").is_dir():
        say(f"the previous version ({PREVIOUS_COMMIT}) is built in {site.relative_to(ROOT)}")
        return site
    source = previous_source()
    if source is None:
        say(f"no source of the previous version ({PREVIOUS_COMMIT}): this checkout has no git history with it "
            f"and {PREVIOUS_SOURCE_VARIABLE} names no checkout that exported it; the tests beside it are skipped")
        return None
    say(f"building the previous version ({PREVIOUS_COMMIT}) into {site.relative_to(ROOT)}")
    partial = PREVIOUS / "site.partial"
    shutil.rmtree(partial, ignore_errors=True)
    run([str(venv_python()), "-m", "pip", "install", "--no-deps", "--disable-pip-version-check", "--target",
         str(partial), f"--config-settings=build-dir={PREVIOUS / 'build'}", str(source)])
    partial.rename(site)
    return site


def build_previous(_extra: list[str]) -> int:
    return 0 if previous_site() else 1


# ---- the core on aarch64 -----------------------------------------------------------------------------
#
# The C++ core and its tests, cross-compiled with Debian's aarch64 compiler and
# run on this machine under qemu's user-mode emulation. This shows that every
# core source builds for aarch64 and that the protocol holds on that
# architecture's instructions (its exclusive pairs, its misaligned stores, its
# 48-bit field words); it cannot show a reordering of memory accesses that an
# aarch64 core would make, since qemu runs the guest's threads on the host's
# cores, which keep x86-64's order: the ordering rests on the atomics' stated
# orders, ThreadSanitizer and runs on real aarch64 hardware.

AARCH64_SYSROOT = Path("/usr/aarch64-linux-gnu")
AARCH64_TOOLCHAIN = ROOT / "cmake" / "aarch64-linux-gnu.cmake"
AARCH64_BUILD = ROOT / ".cache" / "core-tests" / "aarch64"
# The same tests built for this machine, which take turns with the aarch64
# build at one file (tests/core/file_across_builds_test.cpp).
AARCH64_PEER_BUILD = ROOT / ".cache" / "core-tests" / "aarch64-peer"
# Debian's googletest package ships GoogleTest's source here; the cross build
# compiles it with the aarch64 compiler (there is no aarch64 library to link).
GTEST_SOURCE = Path("/usr/src/googletest/googletest")
# Tests that qemu cannot run truthfully, and why. qemu-user answers a process's
# reads of its own /proc/<pid>/stat itself, and gives a forked child its
# parent's start time: a child that takes a lock writes its parent's start tag
# beside its id, which the parent (reading the kernel's figure for the child)
# rightly takes for another process's, so a live holder looks ended.
AARCH64_EXCLUDED = {
    "SpinLock/HolderThatEnded.IsTakenOverAndALiveOneIsNot/*":
        "qemu-user reports a forked child's start time as its parent's",
}


def missing_aarch64_packages() -> list[tuple[str, str]]:
    missing = []
    if not shutil.which("aarch64-linux-gnu-g++"):
        missing.append(("g++-aarch64-linux-gnu", "the C++ compiler for aarch64 and its C and C++ libraries"))
    if not shutil.which("qemu-aarch64"):
        missing.append(("qemu-user", "qemu-aarch64, which runs aarch64 programs on this machine"))
    if not (GTEST_SOURCE / "CMakeLists.txt").is_file():
        missing.append(("googletest", "GoogleTest's source, built for aarch64 with the tests"))
    if not (shutil.which("g++") or shutil.which("c++")):
        missing.append(("g++", "the C++ compiler, for the same tests on this machine"))
    if not has_gtest():
        missing.append(("libgtest-dev", "GoogleTest, for the same tests on this machine"))
    cmake = shutil.which("cmake")
    if cmake is None or (cmake_version(cmake) or (0,)) < MIN_CMAKE:
        missing.append(("cmake", f"CMake {'.'.join(map(str, MIN_CMAKE))} or newer"))
    if not (shutil.which("make") or shutil.which("ninja")):
        missing.append(("make", "the build tool CMake drives"))
    return missing


def build_core_tests(build: Path, *options: str) -> Path:
    run(["cmake", "-S", str(ROOT), "-B", str(build), "--log-level=WARNING", "-DCMAKE_BUILD_TYPE=Release",
         "-DZORVIK_PYTHON_MODULES=OFF", "-DZORVIK_CORE_TESTS=ON", *options])
    run(["cmake", "--build", str(build), "-j2", "--target", "zorvik_core_tests"])
    return build / "tests" / "core" / "zorvik_core_tests"


def run_aarch64(_extra: list[str]) -> int:
    install_system_packages(missing_aarch64_packages(), recheck=missing_aarch64_packages,
                            present="the aarch64 compiler, qemu-user, GoogleTest's source and CMake")
    say(f"cross-building the C++ core tests for aarch64 in {AARCH64_BUILD.relative_to(ROOT)}")
    aarch64 = build_core_tests(AARCH64_BUILD, f"-DCMAKE_TOOLCHAIN_FILE={AARCH64_TOOLCHAIN}",
                               f"-DZORVIK_GTEST_SOURCE={GTEST_SOURCE}")
    say(f"building them for this machine too, in {AARCH64_PEER_BUILD.relative_to(ROOT)}")
    peer = build_core_tests(AARCH64_PEER_BUILD)
    emulated = ["qemu-aarch64", "-L", str(AARCH64_SYSROOT), str(aarch64)]
    for name, why in AARCH64_EXCLUDED.items():
        say(f"left out under qemu: {name} ({why})")
    with tempfile.TemporaryDirectory(prefix="zorvik-aarch64-") as scratch:
        # The tests' segment files go to a directory of their own, removed
        # even when a test dies before its clean-up.
        environment = {**os.environ, "TMPDIR": scratch}
        say("running the C++ core tests under qemu-aarch64")
        status = subprocess.run([*emulated, "--gtest_brief=1", "--gtest_filter=-" + ":".join(AARCH64_EXCLUDED)],
                                cwd=ROOT, env=environment).returncode
        if status != 0:
            return status
        environment["ZORVIK_ACROSS_FILE"] = str(Path(scratch) / "across.zorvik")
        turns = [("this machine", [str(peer)]), ("aarch64", emulated), ("this machine", [str(peer)])]
        for where, command in turns:
            say(f"one file in turns: {where} checks what the runs before it left and adds its own")
            status = subprocess.run([*command, "--gtest_brief=1", "--gtest_filter=FileAcrossBuilds.*"],
                                    cwd=ROOT, env=environment).returncode
            if status != 0:
                return status
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(
        description="Set up this checkout (system packages, .venv, the package), then run a job.",
    )
    jobs = parser.add_subparsers(dest="job", required=True)
    jobs.add_parser("run", help="set up, then run the main job (examples/shared_dict.py)")
    jobs.add_parser("test", help="set up, then run every test; arguments after it go to pytest (e.g. -k expansion)")
    jobs.add_parser("docs", help="set up, then build the documentation site (warnings are errors)")
    jobs.add_parser("prev", help="set up, then build the previous version that tests run beside this one")
    jobs.add_parser("aarch64", help="cross-build the C++ core tests for aarch64 and run them under qemu")
    arguments, extra = parser.parse_known_args()
    if extra and arguments.job != "test":
        parser.error(f"unrecognized arguments: {' '.join(extra)}")
    job = {"run": run_example, "test": run_tests, "docs": build_docs, "prev": build_previous,
           "aarch64": run_aarch64}[arguments.job]
    try:
        if arguments.job != "aarch64":  # it needs no virtual environment, only its own packages
            set_up()
        return job(extra)
    except SetupError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())

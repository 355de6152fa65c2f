"""Builds the C++ core tests with CMake and runs them, once plainly optimised,
once under AddressSanitizer and UndefinedBehaviorSanitizer, and (the threaded
ones) under ThreadSanitizer.

The builds happen before the first test of the session (conftest.py calls
build_core_tests once collection is done), so that CMake's progress reaches
the terminal; pytest would hold a test's output back until the test ended.
Build trees live in .cache/core-tests/ (ignored by git) and are reused by later
runs. A missing cmake or GoogleTest fails the test: a skip would hide a
broken set-up.
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BUILD_ROOT = ROOT / ".cache" / "core-tests"
SANITIZE_FLAGS = "-O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

THREAD_FLAGS = "-O1 -g -fsanitize=thread"

VARIANTS = {
    "plain": ["-DCMAKE_BUILD_TYPE=Release"],
    "sanitize": [
        "-DCMAKE_BUILD_TYPE=",
        f"-DCMAKE_CXX_FLAGS={SANITIZE_FLAGS}",
        "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined",
    ],
    "thread": [
        "-DCMAKE_BUILD_TYPE=",
        f"-DCMAKE_CXX_FLAGS={THREAD_FLAGS}",
        "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread",
    ],
}

# ThreadSanitizer runs the tests whose threads share one process (it does not
# follow forked children): the map's threads through expansions, a walk of the
# table while another thread doubles it, the process lock, the registry of
# chunk pools, threads racing to take over a lock whose holder ended, and
# threads meeting together what killed children left, threads storing into
# a cache at its bound.
TEST_FILTERS = {
    "thread": "SpinLock.ProcessWordExcludesThreads:MapTest.ThreadsKeepFindingKeysDuringExpansions:"
    "MapTest.WalksWhileAnotherThreadFillsAndDoubles:MapTest.GetManyFindsEveryKeyWhileAnotherThreadDoubles:"
    "Pool/PoolRegistry.ThreadsComeAndGoWhileTheProcessForks/0:"
    "SpinLock/HolderThatEnded.ThreadsRaceToTakeItOverOnce/*:CrashTest.ThreadsMeetTheDamageTogether:"
    "CacheTest.ThreadsKeepTheBound",
}

# Generous bounds for a two-core machine; a run normally takes seconds.
CONFIGURE_TIMEOUT = 300
BUILD_TIMEOUT = 1200
RUN_TIMEOUT = 600
OUTPUT_TAIL = 20000

# A build step's progress line: "[ 42%] Building CXX object ..." from make,
# "[3/17] Building CXX object ..." from ninja.
PROGRESS_LINE = re.compile(r"^\[\s*\d+(%|/\d+)\]")

# variant -> (failure text or None); filled by build_core_tests.
BUILDS: dict[str, str | None] = {}


def build_dir(variant):
    """One tree per variant and environment: a CMake cache records its
    compiler and the source tree's path, so the host and a chroot that mounts
    the same checkout (another Python, often another compiler) keep their own."""
    environment = hashlib.sha256(f"{ROOT}\0{sys.base_prefix}".encode()).hexdigest()[:8]
    return BUILD_ROOT / f"{variant}-{sys.implementation.cache_tag}-{environment}"


def run(command, timeout, env=None, echo=None):
    """Runs a command and returns (exit status, combined output); lines that
    `echo` accepts are passed to it as they come."""
    process = subprocess.Popen(
        command,
        cwd=ROOT,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        stdin=subprocess.DEVNULL,
        text=True,
        errors="replace",
    )
    timed_out = threading.Event()

    def kill():
        timed_out.set()
        process.kill()

    timer = threading.Timer(timeout, kill)
    timer.start()
    lines = []
    try:
        for line in process.stdout:
            lines.append(line)
            if echo is not None:
                echo(line.rstrip("\n"))
        status = process.wait()
    finally:
        timer.cancel()
        process.stdout.close()
    output = "".join(lines)
    if timed_out.is_set():
        return None, output + f"\n[timed out after {timeout} s]"
    return status, output


def tail(text):
    return text if len(text) <= OUTPUT_TAIL else "...\n" + text[-OUTPUT_TAIL:]


def build_variant(variant, echo):
    """Configures and builds one variant; returns None, or why it failed."""
    cmake = shutil.which("cmake")
    if cmake is None:
        return "cmake is not installed: the C++ core tests need CMake (Debian: apt-get install cmake)"
    build = build_dir(variant)
    configure = [
        cmake,
        "-S", str(ROOT),
        "-B", str(build),
        "--log-level=WARNING",  # CMake's own chatter; warnings and errors still show
        "-DZORVIK_PYTHON_MODULES=OFF",
        "-DZORVIK_CORE_TESTS=ON",
        *VARIANTS[variant],
    ]
    status, output = run(configure, CONFIGURE_TIMEOUT)
    if status != 0:
        if "GTest" in output:
            return (
                "GoogleTest was not found: the C++ core tests need it "
                "(Debian: apt-get install libgtest-dev)\n" + tail(output)
            )
        return f"configuring the C++ core tests failed:\n{tail(output)}"

    def progress(line):
        if PROGRESS_LINE.match(line) and "Built target" not in line:
            echo(f"  {variant}: {line}")

    status, output = run(
        [cmake, "--build", str(build), "-j2", "--target", "zorvik_core_tests"], BUILD_TIMEOUT, echo=progress
    )
    if status != 0:
        return f"building the C++ core tests failed:\n{tail(output)}"
    return None


def build_core_tests(variants, echo):
    """Builds the variants the session will run, telling `echo` how it goes."""
    where = BUILD_ROOT.relative_to(ROOT)
    echo(f"C++ core tests: building {', '.join(variants)} in {where}/ (the first build takes minutes; later ones reuse it)")
    for variant in variants:
        started = time.monotonic()
        BUILDS[variant] = failure = build_variant(variant, echo)
        outcome = "failed" if failure else "ready"
        echo(f"C++ core tests: {variant} {outcome} after {time.monotonic() - started:.0f} s")


@pytest.mark.parametrize("variant", sorted(VARIANTS))
def test_core_cpp(variant, tmp_path):
    if variant not in BUILDS:  # collected without the session hook (another conftest)
        BUILDS[variant] = build_variant(variant, echo=lambda line: None)
    if BUILDS[variant] is not None:
        pytest.fail(BUILDS[variant])

    env = dict(os.environ)
    env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0")
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1")
    env.setdefault("TSAN_OPTIONS", "halt_on_error=1")
    # The tests' segment files and scratch directories go to this test's own
    # directory, which pytest removes, even when a test dies before its clean-up.
    env["TMPDIR"] = str(tmp_path)
    executable = build_dir(variant) / "tests" / "core" / "zorvik_core_tests"
    command = [str(executable), "--gtest_brief=1"]
    if variant in TEST_FILTERS:
        command.append(f"--gtest_filter={TEST_FILTERS[variant]}")
    status, output = run(command, RUN_TIMEOUT, env=env)
    if status != 0:
        pytest.fail(f"the C++ core tests failed ({variant}, exit status {status}):\n{tail(output)}")

"""Builds the C++ core tests with CMake and runs them, once plainly optimised,
once under AddressSanitizer and UndefinedBehaviorSanitizer, and (the threaded
ones) under ThreadSanitizer.

Build trees live in build/core-tests/<variant>-<python tag>, so that
interpreters sharing this tree (the host's and a chroot's) keep separate CMake
caches. A missing cmake or GoogleTest fails the test: CI installs both, and a
skip would hide a broken CI.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
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
# follow forked children): the map's threads through expansions, the process
# lock, and the registry of chunk pools.
TEST_FILTERS = {
    "thread": "SpinLock.ProcessWordExcludesThreads:MapTest.ThreadsKeepFindingKeysDuringExpansions:"
    "Pool/PoolRegistry.ThreadsComeAndGoWhileTheProcessForks/0",
}

# Generous bounds for a two-core machine; a run normally takes seconds.
CONFIGURE_TIMEOUT = 300
BUILD_TIMEOUT = 1200
RUN_TIMEOUT = 600
OUTPUT_TAIL = 20000


def run(command, timeout, env=None):
    """Runs a command and returns (exit status, combined output)."""
    try:
        done = subprocess.run(
            command,
            cwd=ROOT,
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL,
            text=True,
            errors="replace",
            timeout=timeout,
        )
    except subprocess.TimeoutExpired as expired:
        output = expired.stdout or ""
        if isinstance(output, bytes):
            output = output.decode(errors="replace")
        return None, output + f"\n[timed out after {timeout} s]"
    return done.returncode, done.stdout


def tail(text):
    return text if len(text) <= OUTPUT_TAIL else "...\n" + text[-OUTPUT_TAIL:]


@pytest.mark.parametrize("variant", sorted(VARIANTS))
def test_core_cpp(variant):
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.fail("cmake is not installed: the C++ core tests need CMake (Debian: apt-get install cmake)")

    build = ROOT / "build" / "core-tests" / f"{variant}-{sys.implementation.cache_tag}"
    configure = [
        cmake,
        "-S", str(ROOT),
        "-B", str(build),
        "-DZORVIK_PYTHON_MODULES=OFF",
        "-DZORVIK_CORE_TESTS=ON",
        *VARIANTS[variant],
    ]
    status, output = run(configure, CONFIGURE_TIMEOUT)
    if status != 0:
        if "GTest" in output:
            pytest.fail(
                "GoogleTest was not found: the C++ core tests need it "
                "(Debian: apt-get install libgtest-dev)\n" + tail(output)
            )
        pytest.fail(f"configuring the C++ core tests failed:\n{tail(output)}")

    status, output = run(
        [cmake, "--build", str(build), "-j2", "--target", "zorvik_core_tests"], BUILD_TIMEOUT
    )
    if status != 0:
        pytest.fail(f"building the C++ core tests failed:\n{tail(output)}")

    env = dict(os.environ)
    env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0")
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1")
    executable = build / "tests" / "core" / "zorvik_core_tests"
    env.setdefault("TSAN_OPTIONS", "halt_on_error=1")
    command = [str(executable), "--gtest_brief=1"]
    if variant in TEST_FILTERS:
        command.append(f"--gtest_filter={TEST_FILTERS[variant]}")
    status, output = run(command, RUN_TIMEOUT, env=env)
    if status != 0:
        pytest.fail(f"the C++ core tests failed ({variant}, exit status {status}):\n{tail(output)}")

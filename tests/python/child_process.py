"""Runs a function in a child process, so that a crash or a hang in the
extension fails the test that caused it instead of taking the test runner down
or stopping it."""

import dataclasses
import faulthandler
import multiprocessing
import os
import signal
import traceback

import pytest

from zorvik import _upkeep

# A forked child starts at once and inherits the test's set-up (TMPDIR, any
# monkeypatching). The test process has no threads of its own to trouble fork.
_CONTEXT = multiprocessing.get_context("fork")
HANG_LIMIT = 120  # seconds; a guard against a hang, never part of a check


@dataclasses.dataclass
class Outcome:
    result: object = None
    error: str | None = None  # the exception's type name
    message: str = ""
    trace: str = ""

    def raised(self, error, fragment=""):
        """True when the call raised `error` (a name) with `fragment` in its message."""
        return self.error == error and fragment in self.message

    def __str__(self):
        if self.error is None:
            return f"returned {self.result!r}"
        return f"raised {self.error}: {self.message}\n{self.trace}"


def _run(sender, function, args):
    # The exit status tells of a crash; the runner's fault handler would only
    # print the parent's stack to the test run's terminal.
    faulthandler.disable()
    try:
        outcome = Outcome(result=function(*args))
    except BaseException as error:  # noqa: BLE001 - every failure is reported back
        outcome = Outcome(error=type(error).__name__, message=str(error), trace=traceback.format_exc())
    try:
        sender.send(outcome)
    except Exception as error:  # an unpicklable result
        sender.send(Outcome(error="UnpicklableResult", message=repr(error)))
    sender.close()


def in_child(function, *args, timeout=HANG_LIMIT):
    """function(*args) in a forked child; its Outcome. A child that dies by a
    signal or does not finish within `timeout` seconds fails the test."""
    receiver, sender = _CONTEXT.Pipe(duplex=False)
    process = _CONTEXT.Process(target=_run, args=(sender, function, args))
    process.start()
    sender.close()
    try:
        if not receiver.poll(timeout):
            process.kill()
            process.join()
            pytest.fail(f"{getattr(function, '__name__', function)}{args!r} hung for {timeout} s")
        try:
            outcome = receiver.recv()
        except EOFError:
            outcome = None
    finally:
        receiver.close()
    process.join(timeout)
    if process.exitcode is None:
        process.kill()
        process.join()
        pytest.fail(f"{getattr(function, '__name__', function)}{args!r} did not exit")
    if outcome is None or process.exitcode != 0:
        cause = f"signal {signal.Signals(-process.exitcode).name}" if process.exitcode < 0 else f"exit code {process.exitcode}"
        pytest.fail(f"{getattr(function, '__name__', function)}{args!r} died ({cause})")
    return outcome


def died_at(step, work):
    """Runs work() in a forked child armed to die at its `step`-th crash point;
    True when it died there, False when it finished first."""
    pid = os.fork()
    if pid == 0:
        try:
            _upkeep._crash_after(step)
            work()
        finally:
            os._exit(0)
    _, status = os.waitpid(pid, 0)
    return os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL

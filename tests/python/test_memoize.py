"""zorvik.memoize: a function's results kept in a SharedDict for every
process that opens it; with single_flight, one computation of a missing value
among many processes or threads, taken over when its process dies."""

import multiprocessing
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from zorvik import SharedDict, memoize

HANG_LIMIT = 120  # seconds; a guard against a hang, never part of a check
FORK = multiprocessing.get_context("fork")


@pytest.fixture
def d(tmp_path):
    with SharedDict(str(tmp_path / "memo")) as d:
        yield d


def counted(d, pause=0.0, fail_first=False):
    """A function of x that counts its calls in d (d[("calls", x)]) and
    returns x * x after `pause` seconds; with fail_first, its first call
    raises ValueError instead."""

    def square(x):
        calls = d.increment(("calls", x))
        d[("started", x)] = os.getpid()
        time.sleep(pause)
        if fail_first and calls == 1:
            raise ValueError("the first call fails")
        return x * x

    return square


def calls(d, x):
    return d.get(("calls", x), 0)


def claim_key(function, *args):
    return (*function.key(*args), "computing")


def wait_until(condition):
    deadline = time.monotonic() + HANG_LIMIT
    while not condition():
        assert time.monotonic() < deadline, "hung"
        time.sleep(0.005)


# ---- across processes ---------------------------------------------------------------------


def square_in_worker(d, x, single_flight):
    # Each worker is a new interpreter with a hash seed of its own: the key
    # must not depend on it.
    square = memoize(d, single_flight=single_flight, name="square")(counted(d, pause=0.2))
    return square(x)


@pytest.mark.parametrize("single_flight", [False, True])
def test_results_are_shared_by_the_processes_of_a_pool(d, single_flight):
    with multiprocessing.get_context("spawn").Pool(4) as pool:
        results = pool.starmap(square_in_worker, [(d, x, single_flight) for x in [3, 4] * 6])
    assert results == [9, 16] * 6
    if single_flight:
        assert (calls(d, 3), calls(d, 4)) == (1, 1)
    before = (calls(d, 3), calls(d, 4))
    # This process finds them too, whatever its own hash seed.
    square = memoize(d, name="square")(counted(d))
    assert (square(3), square(4)) == (9, 16)
    assert (calls(d, 3), calls(d, 4)) == before
    assert claim_key(square, 3) not in d and claim_key(square, 4) not in d


MAIN_SCRIPT = """
import multiprocessing, sys
from zorvik import SharedDict, memoize

def where(x):
    import os
    return os.getpid()

def in_worker(d):
    return memoize(d)(where)(1)

if __name__ == "__main__":
    with SharedDict(sys.argv[1]) as d:
        with multiprocessing.get_context(sys.argv[2]).Pool(1) as pool:
            computed_by = pool.apply(in_worker, (d,))
        print(memoize(d)(where)(1) == computed_by)
"""


@pytest.mark.parametrize("start_method", ["spawn", "forkserver"])
def test_a_main_script_shares_results_with_its_pool(tmp_path, start_method):
    # Such a pool's workers import the main script as __mp_main__; its
    # functions must make the keys they make in the script's own process.
    script = tmp_path / "script.py"
    script.write_text(MAIN_SCRIPT)
    done = subprocess.run([sys.executable, str(script), str(tmp_path / "memo"), start_method],
                          capture_output=True, text=True, timeout=HANG_LIMIT)
    assert done.stdout.strip() == "True", done.stderr


def test_single_flight_among_threads(d):
    square = memoize(d, single_flight=True)(counted(d, pause=0.2))
    start = threading.Barrier(8)
    results = []

    def call():
        start.wait()
        results.append(square(5))

    threads = [threading.Thread(target=call) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(HANG_LIMIT)
    assert results == [25] * 8
    assert calls(d, 5) == 1


def call_into(d, function, x):
    """In a child: stores function(x), or the name of what it raised, in d[("result", pid)]."""
    try:
        d[("result", os.getpid())] = function(x)
    except Exception as error:
        d[("result", os.getpid())] = type(error).__name__


def test_a_computing_process_that_dies_is_taken_over(d):
    # The first caller computes for ever; the second waits without a limit
    # and must notice the first's death (a zombie: killed, not yet reaped).
    square = memoize(d, single_flight=True, timeout=None, name="six")(counted(d, pause=HANG_LIMIT * 2))
    first = FORK.Process(target=call_into, args=(d, square, 6))
    first.start()
    wait_until(lambda: ("started", 6) in d)
    quick = memoize(d, single_flight=True, timeout=None, name="six")(counted(d))
    second = FORK.Process(target=call_into, args=(d, quick, 6))
    second.start()
    time.sleep(0.2)  # the second is waiting by now (if not, it meets the claim later: the same path)
    os.kill(first.pid, signal.SIGKILL)
    second.join(HANG_LIMIT)
    first.join()
    assert second.exitcode == 0
    assert d[("result", second.pid)] == 36
    assert calls(d, 6) == 2
    assert d[square.key(6)] == 36 and claim_key(square, 6) not in d


def test_an_exception_goes_to_the_computing_process_and_the_waiters_compute(d):
    square = memoize(d, single_flight=True, timeout=None)(counted(d, pause=0.5, fail_first=True))
    first = FORK.Process(target=call_into, args=(d, square, 7))
    first.start()
    wait_until(lambda: ("started", 7) in d)
    second = FORK.Process(target=call_into, args=(d, square, 7))
    second.start()
    for process in (first, second):
        process.join(HANG_LIMIT)
        assert process.exitcode == 0
    assert d[("result", first.pid)] == "ValueError"
    assert d[("result", second.pid)] == 49
    assert calls(d, 7) == 2 and d[square.key(7)] == 49 and claim_key(square, 7) not in d


@pytest.mark.parametrize("single_flight", [False, True])
def test_an_exception_stores_nothing(d, single_flight):
    square = memoize(d, single_flight=single_flight)(counted(d, fail_first=True))
    with pytest.raises(ValueError, match="first call"):
        square(8)
    assert square.key(8) not in d and claim_key(square, 8) not in d
    assert square(8) == 64 and calls(d, 8) == 2


def ended_pid():
    process = FORK.Process(target=int)
    process.start()
    process.join()
    return process.pid


@pytest.mark.parametrize(
    "claim, taken_over",
    [
        (lambda where: (ended_pid(), -1, 1, where, 1), True),
        # A live pid whose start time is not the claim's: a pid reused.
        (lambda where: (os.getppid(), -1, 1, where, 1), True),
        # From another boot or pid namespace, or of a form not known: waited
        # on until the timeout, never taken over.
        (lambda where: (ended_pid(), -1, 1, "another boot", 1), False),
        (lambda where: "a claim of a later version", False),
    ],
    ids=["ended", "reused-pid", "elsewhere", "unknown-form"],
)
def test_claims_that_are_taken_over(d, claim, taken_over):
    square = memoize(d, single_flight=True, timeout=0.3)(counted(d))
    forged = claim(own_place(d))
    d[claim_key(square, 9)] = forged
    assert square(9) == 81
    if taken_over:
        assert claim_key(square, 9) not in d
    else:
        assert d[claim_key(square, 9)] == forged


def own_place(d):
    """The boot and pid namespace this process's claims hold, read from one while it stands."""
    seen = []

    @memoize(d, single_flight=True, name="peek")
    def peek(x):
        seen.append(d[claim_key(peek, x)])

    peek(0)
    return seen[0][3]


# ---- the key -------------------------------------------------------------------------------


SHARED = "ab" * 3


@pytest.mark.parametrize(
    "first, second, one_key",
    [
        # Keyword arguments in any order.
        (((1,), {"a": 1, "b": 2}), ((1,), {"b": 2, "a": 1}), True),
        # Equal arguments, whether one object twice or two objects.
        (((SHARED, SHARED), {}), (("ab" * 3, "".join(["ab"] * 3)), {}), True),
        # Different values, or the same by position and by name: two keys.
        (((1,), {}), ((1.0,), {}), False),
        (((1,), {}), ((), {"x": 1}), False),
        (((1, 2), {}), (((1, 2),), {}), False),
    ],
)
def test_which_calls_share_a_key(d, first, second, one_key):
    @memoize(d)
    def function(*args, **kwargs):
        d.increment("calls")
        return args, kwargs

    for args, kwargs in (first, second):
        assert function(*args, **kwargs) == (args, kwargs)
    assert (function.key(*first[0], **first[1]) == function.key(*second[0], **second[1])) is one_key
    assert d["calls"] == (1 if one_key else 2)


def test_none_is_a_result_like_any_other(d):
    @memoize(d, single_flight=True)
    def nothing(x):
        d.increment("calls")

    assert nothing(1) is None and nothing(1) is None
    assert d["calls"] == 1


class Cyclic:
    def __init__(self):
        self.me = self

    def __hash__(self):
        return 1


@pytest.mark.parametrize(
    "args, kwargs, fragment",
    [
        (([1],), {}, "hashable"),
        ((), {"x": {1: 2}}, "hashable"),
        ((threading.Lock(),), {}, "picklable"),
        ((lambda: 0,), {}, "picklable"),
        ((Cyclic(),), {}, "picklable"),
    ],
    ids=["list", "dict-by-name", "lock", "lambda", "cyclic"],
)
def test_arguments_that_make_no_key(d, args, kwargs, fragment):
    square = memoize(d, single_flight=True)(counted(d))
    with pytest.raises(TypeError, match=fragment):
        square(*args, **kwargs)
    assert len(d) == 0


# ---- on a cache ----------------------------------------------------------------------------


def test_results_live_for_the_ttl_given(tmp_path):
    with SharedDict(str(tmp_path / "cache"), default_ttl=3600) as cache:
        short = memoize(cache, ttl=0.2, single_flight=True)(counted(cache))
        default = memoize(cache, name="default")(counted(cache))
        assert short(2) == 4 and default(3) == 9
        assert 0 < cache.ttl(short.key(2)) <= 0.2
        assert 3500 < cache.ttl(default.key(3)) <= 3600
        time.sleep(0.3)
        assert short(2) == 4 and calls(cache, 2) == 2


def test_a_bounded_cache_evicts_results(tmp_path):
    with SharedDict(str(tmp_path / "cache"), max_entries=10) as cache:
        square = memoize(cache, single_flight=True)(lambda x: x * x)
        assert [square(x) for x in range(50)] == [x * x for x in range(50)]
        assert len(cache) <= 11


@pytest.mark.parametrize(
    "options, error, fragment",
    [
        (dict(ttl=5), ValueError, "plain dictionary"),
        (dict(ttl=0), ValueError, "above 0"),
        (dict(ttl=True), TypeError, "number of seconds"),
        (dict(timeout=-1), ValueError, "finite"),
        (dict(timeout=float("nan")), ValueError, "finite"),
        (dict(timeout="1"), TypeError, "number of seconds"),
        (dict(name=3), TypeError, "name must be"),
    ],
)
def test_bad_options(d, options, error, fragment):
    with pytest.raises(error, match=fragment):
        memoize(d, **options)


def test_only_a_shared_dict_keeps_results():
    with pytest.raises(TypeError, match="needs a SharedDict, not dict"):
        memoize({})

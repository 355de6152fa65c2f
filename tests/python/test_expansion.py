"""dict_expansion and brandel.expansion: arguments, the pool, other processes."""

import multiprocessing
import os
import re
import types

import pytest

from brandel_helpers import SMALL, chunks_in_use

import zorvik.brandel as module
from zorvik.brandel import brandel, dict_expansion

START_METHODS = [m for m in ("fork", "spawn", "forkserver") if m in multiprocessing.get_all_start_methods()]


def exact(message):
    return "^" + re.escape(message) + "$"


@pytest.fixture
def d(segment_dir):
    return brandel(**SMALL)


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((None, 2), TypeError, "expected bytes, NoneType found"),
        ((b"x", -1), OverflowError, "can't convert negative value to size_t"),
        ((bytearray(b"x"), 2), TypeError, "Argument 'name' has incorrect type (expected bytes, got bytearray)"),
        ((b"x",), TypeError, "dict_expansion() takes exactly 2 positional arguments (1 given)"),
        ((b"/nonexistent/zorvik-segment", 2), RuntimeError, "file status wrong with errno: 2"),
        ((b"/tmp\0/x", 2), ValueError, "embedded null byte"),
    ],
)
def test_dict_expansion_errors(segment_dir, args, error, message):
    with pytest.raises(error, match=exact(message)):
        dict_expansion(*args)


def test_dict_expansion_with_an_empty_name_fails_to_create(segment_dir):
    with pytest.raises(RuntimeError):
        dict_expansion(b"", 2)
    assert list(segment_dir.iterdir()) == []


def test_dict_expansion_doubles_once_and_only_below_target(d):
    for key in range(20):
        d.insert(key, key)
    start = chunks_in_use(d.name)
    assert dict_expansion(d.name, start) == 1
    assert chunks_in_use(d.name) == start
    assert dict_expansion(name=d.name, target_length=64 * start) == 1
    assert chunks_in_use(d.name) == 2 * start
    assert all(d.get(key) == [True, key] for key in range(20))


@pytest.mark.parametrize("start_method", START_METHODS)
def test_expansion_with_a_pool(d, monkeypatch, start_method):
    monkeypatch.setattr(module, "multiprocessing", multiprocessing.get_context(start_method))
    for key in range(30):
        d.insert(key, str(key))
    start = chunks_in_use(d.name)
    assert d.expansion(2) == 1
    # A task that compares just before the first expansion ends and joins just
    # after it starts a second one; more than two doublings cannot happen.
    assert chunks_in_use(d.name) in (2 * start, 4 * start)
    assert all(d.get(key) == [True, str(key)] for key in range(30))


def test_expansion_uses_cpu_count_for_zero(d, monkeypatch):
    counted = []

    def cpu_count():
        counted.append(1)
        return 1

    monkeypatch.setattr(module, "os", types.SimpleNamespace(cpu_count=cpu_count))
    start = chunks_in_use(d.name)
    assert d.expansion() == 1
    assert counted == [1] and chunks_in_use(d.name) == 2 * start


@pytest.mark.parametrize(
    ("cpu_count", "error", "message"),
    [(lambda: None, TypeError, "an integer is required"),
     (lambda: -2, OverflowError, "can't convert negative value to size_t")],
)
def test_unusable_cpu_count_fails_before_any_pool(d, monkeypatch, cpu_count, error, message):
    pools = []
    monkeypatch.setattr(module, "os", types.SimpleNamespace(cpu_count=cpu_count))
    monkeypatch.setattr(module, "multiprocessing", types.SimpleNamespace(Pool=pools.append))
    with pytest.raises(error, match=exact(message)):
        d.expansion()
    assert pools == []


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((-1,), {}, OverflowError, "can't convert negative value to size_t"),
        ((1, 2), {}, TypeError, "expansion() takes at most 1 positional argument (2 given)"),
        ((), {"processes": 1}, TypeError, "expansion() got an unexpected keyword argument 'processes'"),
    ],
)
def test_expansion_argument_errors(d, args, kwargs, error, message):
    with pytest.raises(error, match=exact(message)):
        d.expansion(*args, **kwargs)


def test_failed_task_is_reported_with_its_exception(d):
    os.remove(d.name)
    with pytest.raises(RuntimeError) as caught:
        d.expansion(parallelism=1)
    assert str(caught.value) == "Subprocess finished with error[RuntimeError('file status wrong with errno: 2')]"


def test_expansion_beyond_bucket_chunk_number_is_refused(segment_dir):
    d = brandel(bucket_chunk_number=1, **SMALL)
    with pytest.raises(RuntimeError, match="exceeds bucket_chunk_number"):
        d.expansion(1)


def read_in_child(name, key):
    return brandel(name).get(key)


@pytest.mark.parametrize("start_method", [m for m in START_METHODS if m != "fork"])
def test_value_is_read_in_a_child_process(d, start_method):
    d.insert(12345, {"from": "parent"})
    with multiprocessing.get_context(start_method).Pool(1) as pool:
        assert pool.apply(read_in_child, (d.name, 12345)) == [True, {"from": "parent"}]
        assert pool.apply(dict_expansion, (d.name, 1)) == 1


class FakeResult:
    def __init__(self, log, outcome):
        self.log, self.outcome = log, outcome

    def get(self):
        self.log.append("get")
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


class FakePool:
    """Stands in for multiprocessing.Pool; records what the driver does."""

    def __init__(self, outcomes, log):
        self.outcomes, self.log = list(outcomes), log

    def apply_async(self, function, arguments):
        self.log.append(("apply_async", function, arguments))
        return FakeResult(self.log, self.outcomes.pop(0))

    def close(self):
        self.log.append("close")

    def join(self):
        self.log.append("join")


@pytest.mark.parametrize(
    ("outcomes", "error", "waits", "closed"),
    [
        ([1, 1, 1], None, 3, True),
        ([1, ValueError("boom"), OSError("later")], "Subprocess finished with error[ValueError('boom')]", 2, True),
        ([KeyboardInterrupt(), 1, 1], KeyboardInterrupt, 1, False),
    ],
    ids=["success", "first-failure-kept", "interrupt-propagates"],
)
def test_pool_driver(d, monkeypatch, outcomes, error, waits, closed):
    log, pools = [], []

    def make_pool(processes):
        pools.append(processes)
        return FakePool(outcomes, log)

    monkeypatch.setattr(module, "multiprocessing", types.SimpleNamespace(Pool=make_pool))
    target = 2 * chunks_in_use(d.name)
    if error is None:
        assert d.expansion(3) == 1
    elif isinstance(error, str):
        with pytest.raises(RuntimeError, match=exact(error)):
            d.expansion(3)
    else:
        with pytest.raises(error):
            d.expansion(3)
    assert pools == [3]
    assert log[:3] == [("apply_async", dict_expansion, (d.name, target))] * 3
    assert log[3:] == ["get"] * waits + (["close", "join"] if closed else [])

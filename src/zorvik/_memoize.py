"""Memoizing a function in a SharedDict: every process that opens the
dictionary shares the results.

    @zorvik.memoize(d, ttl=60, single_flight=True)
    def render(page): ...

A result is stored under the key (the function's qualified name, its
arguments pickled), a tuple of two str, which hashes alike in every process
(the portable hash of str), so a result computed by one process is a hit in
all the others.

With single_flight, a process that misses first claims the computation: it
stores a claim under a key of its own, (qualified name, arguments,
"computing"), by compare_and_set from ABSENT, so that exactly one process wins
it. The claim holds the winner's pid and the start time the kernel gives that
pid (/proc/<pid>/stat), so a pid reused by a later process is not taken for
the winner. The others poll, with a growing pause, until the value is there.
A claim whose process is gone is taken over by compare_and_set from that
claim, so that only one waiter takes it over. The winner stores the value
before it removes its claim: a waiter that sees the claim gone and no value
knows that the computation failed (or that its value was evicted at once),
and computes for itself.
"""

from __future__ import annotations

import binascii
import functools
import io
import os
import pickle
import random
import threading
import time

from zorvik._shared import ABSENT, SharedDict

__all__ = ["memoize"]

_MISSING = object()

# The third item of a claim's key: a tuple of three can never be a value's
# key, which has two.
_CLAIM_TAG = "computing"

# A waiter's first pause, and the longest it grows to by doubling: short
# computations are picked up within a few milliseconds, and a long one is
# polled 20 times a second per waiter at most.
_FIRST_PAUSE = 0.001
_LONGEST_PAUSE = 0.05


def memoize(d, *, ttl=None, single_flight=False, timeout=60.0, name=None):
    """A decorator that keeps the results of a function in `d`, a SharedDict,
    where every process that opens it finds them.

    The key is the function's qualified name (module and qualname, or `name`)
    and its arguments, which must be hashable and picklable (TypeError
    otherwise); keyword arguments in any order make the same key, but f(1)
    and f(x=1) are two keys, as with functools.lru_cache. Results are stored
    with `ttl` seconds to live (needs a cache-mode dictionary; None: the
    dictionary's default TTL, if any).

    With single_flight=True, one process (or thread) computes a missing
    value while the others wait for it, polling. A waiter takes over when
    the computing process is gone; when the computation raises, its
    exception goes to the process that ran it, and the waiters compute for
    themselves. A waiter that has waited `timeout` seconds (None: no limit)
    computes for itself.

    The decorated function has `key(*args, **kwargs)`: the key its result
    for those arguments is stored under (to remove it: d.pop(f.key(...), None)).
    """
    if not isinstance(d, SharedDict):
        raise TypeError(f"memoize needs a SharedDict, not {type(d).__name__}")
    if ttl is not None:
        _check_seconds(ttl, "ttl", allow_zero=False)
        if d.cache_settings() is None:
            raise ValueError("memoize(ttl=...) needs a dictionary made as a cache (with max_entries, "
                             "eviction or default_ttl); this one is a plain dictionary")
    if timeout is not None:
        _check_seconds(timeout, "timeout", allow_zero=True)
    if name is not None and not isinstance(name, str):
        raise TypeError(f"name must be a str or None, not {type(name).__name__}")

    def decorate(function):
        memo = _Memo(d, _qualified_name(function) if name is None else name, function, ttl, timeout)
        call = memo.call_single_flight if single_flight else memo.call

        @functools.wraps(function)
        def memoized(*args, **kwargs):
            return call(args, kwargs)

        memoized.key = lambda *args, **kwargs: memo.key(args, kwargs)
        return memoized

    return decorate


def _check_seconds(value, what, allow_zero):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{what} must be a number of seconds or None, not {type(value).__name__}")
    if not (value >= 0 if allow_zero else value > 0) or value != value or value == float("inf"):
        raise ValueError(f"{what} must be a finite number of seconds{'' if allow_zero else ' above 0'}, not {value!r}")


def _qualified_name(function):
    try:
        module, qualname = function.__module__, function.__qualname__
    except AttributeError:
        raise TypeError(f"memoize needs a function with __module__ and __qualname__ (or name=), not "
                        f"{type(function).__name__}") from None
    # A pool started by spawn or forkserver imports the main script as
    # __mp_main__: its functions are the same as the parent's __main__ ones.
    if module == "__mp_main__":
        module = "__main__"
    return f"{module}.{qualname}"


# Each thread's pickler of arguments, with its buffer: making one costs more
# than the pickling of a few arguments. Taken out while in use, so that an
# argument whose pickling calls a memoized function gets a pickler of its own.
_picklers = threading.local()


def _fast_pickler():
    buffer = io.BytesIO()
    pickler = pickle.Pickler(buffer, protocol=5)
    pickler.fast = True
    return buffer, pickler


def _arguments_text(function_name, args, kwargs):
    """The arguments as text: pickled, then in base64, so that every
    serializer can store the key. The pickler runs in fast mode, which writes
    every object in full rather than as a reference to an earlier copy: equal
    arguments make equal bytes whether or not they are one object (f(s, s)
    and f(s, t) with s == t)."""
    named = tuple(sorted(kwargs.items())) if kwargs else ()
    try:
        hash((args, named))
    except TypeError as error:
        raise TypeError(f"the arguments of memoized {function_name} must be hashable: {error}") from None
    pair = getattr(_picklers, "pair", None)
    _picklers.pair = None
    buffer, pickler = pair if pair is not None else _fast_pickler()
    try:
        buffer.seek(0)
        buffer.truncate()
        pickler.dump((args, named))
        pickled = buffer.getvalue()
    except (pickle.PicklingError, TypeError, AttributeError, ValueError) as error:
        # ValueError: fast mode meeting an object that contains itself.
        raise TypeError(f"the arguments of memoized {function_name} must be picklable: {error}") from None
    finally:
        _picklers.pair = (buffer, pickler)
    return binascii.b2a_base64(pickled, newline=False).decode("ascii")


class _Memo:
    """One memoized function: its keys, its plain call and its single-flight call."""

    def __init__(self, d, name, function, ttl, timeout):
        self.d = d
        self.name = name
        self.function = function
        self.ttl = ttl
        self.timeout = timeout

    def key(self, args, kwargs):
        return (self.name, _arguments_text(self.name, args, kwargs))

    def store(self, key, value):
        if self.ttl is None:
            self.d[key] = value
        else:
            self.d.set(key, value, ttl=self.ttl)

    def compute(self, key, args, kwargs):
        value = self.function(*args, **kwargs)
        self.store(key, value)
        return value

    def call(self, args, kwargs):
        key = self.key(args, kwargs)
        value = self.d.get(key, _MISSING)
        if value is _MISSING:
            value = self.compute(key, args, kwargs)
        return value

    def call_single_flight(self, args, kwargs):
        key = self.key(args, kwargs)
        value = self.d.get(key, _MISSING)
        if value is not _MISSING:
            return value
        claim_key = (*key, _CLAIM_TAG)
        mine = _Claim.mine()
        waited_for_one = False
        deadline = None
        pause = _FIRST_PAUSE
        while True:
            holder = self.d.get(claim_key, _MISSING)
            if holder is _MISSING:
                value = self.d.get(key, _MISSING)
                if value is not _MISSING:
                    return value
                if waited_for_one:
                    # The computation we waited for ended without a value: it raised.
                    return self.compute(key, args, kwargs)
                if self.d.compare_and_set(claim_key, ABSENT, mine):
                    return self.compute_claimed(key, claim_key, mine, args, kwargs)
                continue
            waited_for_one = True
            state = _Claim.state(holder)
            if state == "gone":
                if self.d.compare_and_set(claim_key, holder, mine):
                    return self.compute_claimed(key, claim_key, mine, args, kwargs)
                continue
            if state == "this thread":
                # A recursive call with the same arguments: waiting would wait for itself.
                return self.compute(key, args, kwargs)
            if deadline is None and self.timeout is not None:
                deadline = time.monotonic() + self.timeout
            if deadline is not None and time.monotonic() >= deadline:
                return self.compute(key, args, kwargs)
            time.sleep(pause * (0.5 + random.random()))
            pause = min(pause * 2, _LONGEST_PAUSE)
            value = self.d.get(key, _MISSING)
            if value is not _MISSING:
                return value

    def compute_claimed(self, key, claim_key, mine, args, kwargs):
        try:
            # A process that finished between our miss and our claim has stored the value.
            value = self.d.get(key, _MISSING)
            if value is _MISSING:
                value = self.compute(key, args, kwargs)
            return value
        finally:
            # After the store: a waiter that finds the claim gone and no
            # value takes it that the computation raised.
            self.d.compare_and_set(claim_key, mine, ABSENT)


class _Claim:
    """A claim on a computation: (pid, the pid's start time in clock ticks
    since boot, thread id, the boot and pid namespace it was made in, a
    random number that makes each claim unique). Plain ints and str, which
    every serializer stores; a claim is compared by compare_and_set as
    stored, so one read back (a list under JSON) matches."""

    _own = None  # (pid, start ticks, where) of this process, read once per process

    @classmethod
    def mine(cls):
        pid = os.getpid()
        if cls._own is None or cls._own[0] != pid:  # unset, or read before a fork
            cls._own = (pid, _start_ticks(pid), _where())
        _, start, where = cls._own
        return (pid, start, threading.get_ident(), where, random.getrandbits(62))

    @classmethod
    def state(cls, claim):
        """'gone' when the claiming process has ended, 'this thread' when it is
        this process's calling thread, else 'alive' (also when it cannot be
        told: a claim from another boot, pid namespace or of a form unknown)."""
        try:
            pid, start, thread, where, _ = claim
        except (TypeError, ValueError):
            return "alive"
        own_pid, own_start, own_where = cls._own  # set by mine(), which a waiter calls first
        if where != own_where:
            return "alive"
        if pid == own_pid and start == own_start:
            return "this thread" if thread == threading.get_ident() else "alive"
        try:
            now_start = _start_ticks(pid)
        except ProcessLookupError:
            return "gone"
        except PermissionError:
            return "alive"  # /proc hides it, but it exists
        return "alive" if now_start == start else "gone"


def _start_ticks(pid):
    """The start time of process `pid` in clock ticks since boot (field 22
    of /proc/<pid>/stat); ProcessLookupError when it has ended, a zombie
    included (killed, not yet waited for by its parent)."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as stat:
            text = stat.read()
    except FileNotFoundError:
        # Gone, or hidden by a /proc mounted with hidepid: the signal 0 tells.
        os.kill(pid, 0)  # ProcessLookupError when gone, PermissionError when hidden
        raise PermissionError(f"process {pid} exists but /proc does not show it") from None
    # The command name (field 2) is in parentheses and may hold spaces and
    # parentheses of its own: the fields after the last ')' start at field 3.
    fields = text[text.rindex(b")") + 2:].split()
    if fields[0] in (b"Z", b"X"):  # zombie, dead
        raise ProcessLookupError(pid)
    return int(fields[19])


def _where():
    """The boot and the pid namespace of this process: a pid means the same
    process only within both."""
    try:
        with open("/proc/sys/kernel/random/boot_id") as boot:
            boot_id = boot.read().strip()
        namespace = os.readlink("/proc/self/ns/pid")
    except OSError:
        return "unknown"
    return f"{boot_id} {namespace}"

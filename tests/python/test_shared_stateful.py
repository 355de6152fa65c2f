"""SharedDict against a dict, in sequences of operations that hypothesis
chooses and shrinks: the whole mapping protocol and the atomic operations,
on two objects sharing one file (either may be closed and opened anew), and
the batches of keys, whose every key must fare as it does one at a time.

The table starts with one bucket and may double 256 times over; a tiny hash
function gives every key one of three hashes, so that keys collide all the
time and each doubling moves some of them; 8-byte data chunks make values
span many chunks. Keys are told apart by their serialized bytes (1, 1.0 and
True are three keys under pickle), so the model is keyed by them too."""

import pickle

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule, run_state_machine_as_test

import zorvik
from zorvik import ABSENT, SharedDict

HASHES = (0, -1, 2**62 + 5)  # never moves in a split, moves in every one, moves in some


def tiny_hash(key):
    return HASHES[hash(key) % 3]


def identity(key):
    return pickle.dumps(key, protocol=5)


keys = st.one_of(
    st.integers(-30, 30),
    st.floats(-4, 4, allow_nan=False).map(lambda number: round(number, 1)),
    st.text(alphabet="abcé", max_size=3),
    st.binary(max_size=3),
    st.tuples(st.integers(0, 3), st.booleans()),
    st.booleans(),
)
values = st.one_of(
    st.binary(max_size=120),
    st.text(max_size=30),
    st.integers(),
    st.lists(st.integers(-1, 1), max_size=12),
    st.none(),
)
handles = st.integers(0, 1)


class AgainstADict(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        first = SharedDict(capacity=1 << 22, initial_buckets=1, max_buckets=256, chunk_size=8,
                           hash_function=tiny_hash, delete_on_close=False)
        self.path = first.path
        self.handles = [first, self.open()]
        self.model = {}  # serialized key -> (key, value)

    def open(self):
        return SharedDict(self.path, create=False, hash_function=tiny_hash)

    def expected(self, key, default=ABSENT):
        return self.model.get(identity(key), (key, default))[1]

    @rule(which=handles, key=keys, value=values)
    def set_item(self, which, key, value):
        self.handles[which][key] = value
        self.model[identity(key)] = (key, value)

    @rule(which=handles, key=keys)
    def get_item(self, which, key):
        expected = self.expected(key)
        if expected is ABSENT:
            try:
                self.handles[which][key]
            except KeyError as error:
                assert error.args == (key,)
            else:
                raise AssertionError(f"{key!r} found")
        else:
            assert self.handles[which][key] == expected
        assert self.handles[which].get(key, "default") == (expected if expected is not ABSENT else "default")
        assert (key in self.handles[which]) == (expected is not ABSENT)

    @rule(which=handles, key=keys)
    def delete_item(self, which, key):
        present = identity(key) in self.model
        try:
            del self.handles[which][key]
        except KeyError:
            assert not present
        else:
            assert present
        self.model.pop(identity(key), None)

    @rule(which=handles, key=keys, with_default=st.booleans())
    def pop(self, which, key, with_default):
        expected = self.expected(key)
        if with_default:
            assert self.handles[which].pop(key, "default") == (expected if expected is not ABSENT else "default")
        elif expected is ABSENT:
            try:
                self.handles[which].pop(key)
            except KeyError:
                pass
            else:
                raise AssertionError(f"{key!r} popped")
        else:
            assert self.handles[which].pop(key) == expected
        self.model.pop(identity(key), None)

    @rule(which=handles)
    def popitem(self, which):
        try:
            key, value = self.handles[which].popitem()
        except KeyError:
            assert not self.model
            return
        assert self.model.pop(identity(key)) == (key, value)

    @rule(which=handles, key=keys, value=values)
    def setdefault(self, which, key, value):
        expected = self.expected(key)
        assert self.handles[which].setdefault(key, value) == (value if expected is ABSENT else expected)
        self.model.setdefault(identity(key), (key, value))

    @rule(which=handles, pairs=st.lists(st.tuples(keys, values), max_size=6), as_dict=st.booleans())
    def update(self, which, pairs, as_dict):
        self.handles[which].update(dict(pairs) if as_dict else pairs)
        for key, value in dict(pairs).items() if as_dict else pairs:
            self.model[identity(key)] = (key, value)

    # The batches, as methods and as the module's functions, with keys given
    # more than once.
    @rule(which=handles, batch=st.lists(keys, max_size=12), as_function=st.booleans())
    def get_many(self, which, batch, as_function):
        d = self.handles[which]
        got = zorvik.get_many(d, batch, "default") if as_function else d.get_many(batch, default="default")
        expected = [self.expected(key) for key in batch]
        assert got == ["default" if value is ABSENT else value for value in expected]
        assert d.contains_many(iter(batch)) == [value is not ABSENT for value in expected]

    @rule(which=handles, batch=st.lists(keys, max_size=12), as_function=st.booleans())
    def delete_many(self, which, batch, as_function):
        d = self.handles[which]
        removed = zorvik.delete_many(d, batch) if as_function else d.delete_many(batch)
        assert removed == [self.model.pop(identity(key), None) is not None for key in batch]

    @rule(which=handles, pairs=st.lists(st.tuples(keys, values), max_size=12), as_dict=st.booleans(),
          as_function=st.booleans())
    def set_many(self, which, pairs, as_dict, as_function):
        items = dict(pairs) if as_dict else pairs
        if as_function:
            zorvik.set_many(self.handles[which], items)
        else:
            self.handles[which].set_many(items)
        for key, value in dict(pairs).items() if as_dict else pairs:
            self.model[identity(key)] = (key, value)

    @precondition(lambda self: len(self.model) < 40)
    @rule(which=handles)
    def clear(self, which):
        self.handles[which].clear()
        self.model.clear()

    @rule(which=handles, key=keys, guess=st.sampled_from(["right", "wrong", "absent"]),
          new=st.one_of(values, st.just(ABSENT)))
    def compare_and_set(self, which, key, guess, new):
        current = self.expected(key)
        expected = {"right": current, "wrong": ("no such value",), "absent": ABSENT}[guess]
        stored = self.handles[which].compare_and_set(key, expected, new)
        assert stored == (identity(expected) == identity(current) if ABSENT not in (expected, current)
                          else expected is current)
        if stored and new is ABSENT:
            self.model.pop(identity(key), None)
        elif stored:
            self.model[identity(key)] = (key, new)

    @rule(which=handles, key=keys, delta=st.integers(-5, 5))
    def increment(self, which, key, delta):
        current = self.expected(key, default=0)
        try:
            wanted = current + delta
        except TypeError:
            try:
                self.handles[which].increment(key, delta)
            except TypeError:
                return
            raise AssertionError(f"{current!r} + {delta} succeeded")
        assert self.handles[which].increment(key, delta) == wanted
        self.model[identity(key)] = (key, wanted)

    @rule(which=handles, key=keys, remove=st.booleans())
    def update_with(self, which, key, remove):
        current = self.expected(key)
        function = (lambda value: ABSENT) if remove else (lambda value: [value])
        if current is ABSENT:
            try:
                self.handles[which].update_with(key, function)
            except KeyError:
                return
            raise AssertionError(f"update_with of the absent {key!r} without a default")
        result = self.handles[which].update_with(key, function)
        if remove:
            assert result is ABSENT
            del self.model[identity(key)]
        else:
            assert result == [current]
            self.model[identity(key)] = (key, [current])

    @rule(which=handles)
    def reopen(self, which):
        self.handles[which].close()
        self.handles[which] = self.open()

    @invariant()
    def same_entries(self):
        d = self.handles[0]
        assert len(d) == len(self.model)
        walked = {identity(key): (key, value) for key, value in d.items()}
        assert len(walked) == len(self.model)  # no key came twice
        assert walked == self.model
        assert sorted(map(identity, d)) == sorted(self.model)
        as_dict = {key: value for key, value in self.model.values()}
        if len(as_dict) == len(self.model):  # else keys equal in Python (1, 1.0, True) were merged
            assert d == as_dict

    def teardown(self):
        for handle in self.handles:
            handle.close()
        SharedDict.unlink(self.path)


def test_against_a_dict(segment_dir):
    run_state_machine_as_test(AgainstADict, settings=settings(max_examples=60, stateful_step_count=60, deadline=None))

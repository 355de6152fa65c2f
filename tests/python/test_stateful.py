"""insert, get and remove against a dict model, in sequences that hypothesis
chooses and shrinks. A tiny hash function gives every key one of three hashes,
so keys collide all the time; the table starts with one bucket and doubles by
load alone; values span many 8-byte data chunks. Two objects on the same file
take turns, and either may be dropped and attached anew."""

import os
import pickle

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule, run_state_machine_as_test

import segment_file
from zorvik.brandel import brandel

# Hash 0 never moves in a split, -1 moves in every one, the third in some.
HASHES = (0, -1, 2**62 + 5)
CAPACITY = 256  # bucket chunks of one bucket each


def tiny_hash(key):
    return HASHES[hash(key) % 3]


def bucket(key, buckets):
    return (tiny_hash(key) & (2**64 - 1)) % buckets


keys = st.one_of(
    st.integers(-30, 30),
    st.floats(-4, 4, allow_nan=False).map(lambda number: round(number, 1)),
    st.text(alphabet="abcé", max_size=3),
    st.binary(max_size=3),
    st.tuples(st.integers(0, 3), st.booleans()),
    st.booleans(),
)
values = st.one_of(
    st.binary(max_size=200),
    st.text(max_size=40),
    st.integers(),
    st.lists(st.integers(-1, 1), max_size=20),
    st.none(),
)


class AgainstADict(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        first = brandel(size=1 << 22, bucket_chunk_size_exponent=0, bucket_chunk_number=CAPACITY,
                        chunk_size_exponent=3, hash_function=tiny_hash)
        self.name = first.name
        self.handles = [first, self.attach()]
        # Keys are told apart by their serialised bytes (1, 1.0 and True are
        # three keys), so the model is keyed by them too.
        self.model = {}
        self.changes_in_doubling = 0

    def attach(self):
        return brandel(self.name, hash_function=tiny_hash)

    def buckets(self):
        return segment_file.chunks_in_use(self.name)

    def changed(self, before, busy_before, load_rule, stepped=True):
        """After a change: a doubling starts exactly when the load rule asks
        for it while none runs; one that runs is carried a step on, and
        doubles the table once; none outlasts a few dozen changes."""
        after, busy = self.buckets(), segment_file.doubling_in_progress(self.name)
        if busy_before:
            assert after in (before, 2 * before)
            self.changes_in_doubling += stepped
            assert self.changes_in_doubling < 64, "a doubling outlasted the changes that carry it"
        elif load_rule:
            assert busy or after == 2 * before
        else:
            assert (after, busy) == (before, False), "the table grew without the load rule"
        if not busy:
            self.changes_in_doubling = 0

    @rule(which=st.integers(0, 1), key=keys, value=values)
    def insert(self, which, key, value):
        identity = pickle.dumps(key)
        before = self.buckets()
        busy_before = segment_file.doubling_in_progress(self.name)
        fresh = identity not in self.model
        joins_entries = any(bucket(pickle.loads(other), before) == bucket(key, before) for other in self.model)
        assert self.handles[which].insert(key, value) == 1
        self.model[identity] = value
        # A doubling is due when a new key joins a bucket that holds entries
        # and leaves more than two entries per bucket.
        load_rule = fresh and joins_entries and 2 * before < len(self.model) and 2 * before <= CAPACITY
        self.changed(before, busy_before, load_rule)

    @rule(which=st.integers(0, 1), key=keys)
    def get(self, which, key):
        identity = pickle.dumps(key)
        expected = [True, self.model[identity]] if identity in self.model else [False]
        assert self.handles[which].get(key) == expected

    @rule(which=st.integers(0, 1), key=keys)
    def remove(self, which, key):
        identity = pickle.dumps(key)
        before = self.buckets()
        busy_before = segment_file.doubling_in_progress(self.name)
        present = identity in self.model
        assert self.handles[which].remove(key) == int(present)
        self.model.pop(identity, None)
        self.changed(before, busy_before, False, stepped=present)  # a remove that finds nothing changes nothing

    @rule(which=st.integers(0, 1))
    def attach_anew(self, which):
        self.handles[which] = None  # its pools go back before the new object takes any
        self.handles[which] = self.attach()

    @invariant()
    def entry_count_follows_the_model(self):
        assert segment_file.entry_count(self.name) == len(self.model)

    def teardown(self):
        for identity, value in self.model.items():
            assert self.handles[0].get(pickle.loads(identity)) == [True, value]
        self.handles.clear()
        os.remove(self.name)


def test_against_a_dict_model(segment_dir):
    run_state_machine_as_test(
        AgainstADict, settings=settings(max_examples=60, stateful_step_count=80, deadline=None)
    )

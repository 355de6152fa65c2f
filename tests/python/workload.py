"""Checked workloads for the stress and fault tests.

A worker owns a range of int keys and keeps a model of it: every get of an
owned key must return exactly what the model holds, and every insert and remove
must answer as the model says. Shared keys (negative ints) are written by every
worker; what a get returns for them must be a value that some worker could have
written, and each worker remembers its last action on each of them, against
which the final value is judged.

Values are bytes whose content is derived from the key, a version and a length,
so that a value handed back under the wrong key, an older version, or with
chunks mixed up or cut short does not compare equal.

Everything here is importable without pytest: the worker processes of the
stress and fault tests run it.
"""

import dataclasses
import random
import threading
import traceback

from zorvik.brandel import brandel

MASK64 = (1 << 64) - 1


def scrambled_hash(key):
    """The same in every process (unlike the built-in hash of str), and spread
    over the whole signed 64-bit range, top bit included."""
    return ((key * 0x9E3779B97F4A7C15 + 0x632BE59BD9B4E019) & MASK64) - (1 << 63)


def payload(tag, version, length):
    stamp = f"{tag}.{version}|".encode()
    return (stamp * (length // len(stamp) + 1))[:length]


def value_length(rng):
    """Mostly small values, some spanning many data chunks."""
    roll = rng.random()
    if roll < 0.6:
        return rng.randrange(0, 24)
    if roll < 0.9:
        return rng.randrange(24, 300)
    return rng.randrange(300, 4000)


def shared_value(key, worker, seq, length):
    return (worker, seq, payload(f"s{key}w{worker}", seq, length))


def is_possible_shared_value(key, value):
    """Whether `value` is one that some worker could have written under `key`."""
    if not (isinstance(value, tuple) and len(value) == 3):
        return False
    worker, seq, data = value
    return isinstance(data, bytes) and data == payload(f"s{key}w{worker}", seq, len(data))


class Mismatch(AssertionError):
    pass


class DictModel:
    """Stands in for a dictionary: replays a worker's operations without one."""

    def __init__(self):
        self.entries = {}

    def insert(self, key, value):
        self.entries[key] = value
        return 1

    def get(self, key):
        return [True, self.entries[key]] if key in self.entries else [False]

    def remove(self, key):
        return int(self.entries.pop(key, None) is not None)


class OwnedRange:
    """One worker's keys first .. first+count-1, its model and its checked steps."""

    def __init__(self, worker, first, count, seed, shared_keys=()):
        self.worker = worker
        self.first, self.count = first, count
        self.rng = random.Random(f"{seed}/{worker}")
        self.model = {}
        self.versions = {}
        self.shared_keys = list(shared_keys)
        self.shared_last = {}  # key -> ("insert", seq) or ("remove",)
        self.seq = 0
        self.counts = {"insert": 0, "replace": 0, "get": 0, "remove": 0, "shared": 0}

    def expected(self, key):
        return [True, self.model[key]] if key in self.model else [False]

    def step(self, d):
        """One random operation on `d`, checked against the model."""
        rng = self.rng
        roll = rng.random()
        if self.shared_keys and roll < 0.1:
            self._shared_step(d, rng)
            return
        key = self.first + rng.randrange(self.count)
        if roll < 0.45:
            version = self.versions.get(key, 0) + 1
            value = payload(key, version, value_length(rng))
            self._check("insert", key, d.insert(key, value), 1)
            self.counts["replace" if key in self.model else "insert"] += 1
            self.versions[key] = version
            self.model[key] = value
        elif roll < 0.85:
            self._check("get", key, d.get(key), self.expected(key))
            self.counts["get"] += 1
        else:
            self._check("remove", key, d.remove(key), int(key in self.model))
            self.counts["remove"] += 1
            self.model.pop(key, None)

    def _shared_step(self, d, rng):
        key = rng.choice(self.shared_keys)
        roll = rng.random()
        self.counts["shared"] += 1
        if roll < 0.45:
            self.seq += 1
            d.insert(key, shared_value(key, self.worker, self.seq, value_length(rng)))
            self.shared_last[key] = ("insert", self.seq)
        elif roll < 0.9:
            found = d.get(key)
            if found != [False] and not (found[0] is True and is_possible_shared_value(key, found[1])):
                raise Mismatch(f"shared key {key}: {found!r} is no value any worker wrote")
        else:
            d.remove(key)
            self.shared_last[key] = ("remove",)

    def _check(self, operation, key, got, expected):
        if got != expected:
            raise Mismatch(
                f"worker {self.worker}: {operation}({key}) gave {abbreviated(got)}, the model says {abbreviated(expected)}"
            )

    def check_all(self, d):
        """Every owned key, present or absent, against the model."""
        for key in range(self.first, self.first + self.count):
            self._check("final get", key, d.get(key), self.expected(key))


def abbreviated(value, limit=120):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + f"...({len(text)} chars)"


def replay(worker, first, count, seed, steps):
    """The model of a worker without shared keys after `steps` of its steps."""
    owned = OwnedRange(worker, first, count, seed)
    model = DictModel()
    for _ in range(steps):
        owned.step(model)
    return owned.model


# ---- processes ------------------------------------------------------------------


@dataclasses.dataclass
class StressPlan:
    name: bytes
    seed: int
    process: int
    threads: int
    keys_per_worker: int
    steps: int  # per thread
    shared_keys: tuple = ()

    def worker_id(self, thread):
        return self.process * self.threads + thread


def run_threads(work, arguments):
    """Runs work(argument) in a thread of its own for each argument and waits for all of them."""
    threads = [threading.Thread(target=work, args=(argument,)) for argument in arguments]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def key_range(worker, keys_per_worker):
    return worker * keys_per_worker, keys_per_worker


def run_stress_process(plan, results, progress):
    """A worker process: `plan.threads` threads on one dictionary object, each
    with its own key range; puts one report dict on `results`."""
    report = {"process": plan.process, "models": {}, "shared_last": {}, "counts": {}, "error": None}
    try:
        d = brandel(plan.name, hash_function=scrambled_hash)
        owners = [
            OwnedRange(plan.worker_id(t), *key_range(plan.worker_id(t), plan.keys_per_worker), plan.seed,
                       plan.shared_keys)
            for t in range(plan.threads)
        ]
        errors = []

        def work(owned):
            try:
                for done in range(1, plan.steps + 1):
                    owned.step(d)
                    if done % 100 == 0:
                        with progress.get_lock():
                            progress.value += 100
                owned.check_all(d)
            except BaseException:
                errors.append(f"seed {plan.seed}, worker {owned.worker}:\n{traceback.format_exc()}")

        run_threads(work, owners)
        if errors:
            report["error"] = "\n".join(errors)
        for owned in owners:
            report["models"][owned.worker] = owned.model
            report["shared_last"][owned.worker] = owned.shared_last
            for name, number in owned.counts.items():
                report["counts"][name] = report["counts"].get(name, 0) + number
    except BaseException:
        report["error"] = f"seed {plan.seed}, process {plan.process}:\n{traceback.format_exc()}"
    results.put(report)


def run_expander(name, thresholds, progress, done, results):
    """Asks for a doubling through brandel.expansion each time the workers'
    progress passes the next threshold; reports how many it got."""
    report = {"expansions": 0, "error": None}
    try:
        d = brandel(name, hash_function=scrambled_hash)
        pending = list(thresholds)
        while pending and not done.is_set():
            if progress.value < pending[0]:
                done.wait(0.01)
                continue
            pending.pop(0)
            try:
                d.expansion(2)
            except RuntimeError as error:
                if "exceeds bucket_chunk_number" not in str(error):
                    raise
                break  # the table is as large as it can be
            report["expansions"] += 1
    except BaseException:
        report["error"] = f"expander:\n{traceback.format_exc()}"
    results.put(report)

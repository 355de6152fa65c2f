"""The stores zorvik is measured against, each used the way its users use it,
with the same keys, values and serializer.

Every peer stores the serializer's bytes of the key and of the value, and
pays the same serializer calls zorvik pays: dumps of key and value on insert,
dumps of the key on get and remove, loads of the value on a get that finds it.
None of them flushes to disk at each operation, as zorvik does not either:
LMDB runs with sync=False, SQLite and diskcache in WAL mode with
synchronous=NORMAL, Redis without persistence.

Every operation loop binds the store's callables to locals, so that no peer
pays a layer of the harness that another does not.
A get loop serves hits and misses alike, as user code would; only the floor
uses the cheapest form for each (a subscript for a hit), since it stands for
the work no store can avoid.
"""
from __future__ import annotations

import os
import shutil
import socket
import subprocess
import time

from harness import remove_file, segment_used_bytes, serializer

# ---- the peers ---------------------------------------------------------------


class Peer:
    """One store opened with one serializer. Subclasses fill in the loops."""

    name = "?"
    # Operations per timed run: the slow peers get fewer so that a full run
    # stays within its time budget; the figure is per operation either way.
    speed = "fast"

    def __init__(self, serializer_name: str, scratch):
        self.serializer_name = serializer_name
        self.dumps, self.loads = serializer(serializer_name)
        self.scratch = scratch

    def preload(self, keys, value):
        """Fills the store before the timed runs, the fastest way the store offers."""
        self.insert(keys, value)

    def insert(self, keys, value):
        raise NotImplementedError

    def get(self, keys):
        raise NotImplementedError

    def get_miss(self, keys):
        self.get(keys)

    def remove(self, keys):
        raise NotImplementedError

    def lookup(self, key):
        """The value stored under `key`, or None: used to check results, untimed."""
        raise NotImplementedError

    def space_bytes(self):
        """Bytes the store uses for its data, where it can say; else None."""
        return None

    def close(self):
        pass


class Floor(Peer):
    """A process-local dict plus the serializer calls: the work that cannot be avoided."""

    name = "floor"

    def __init__(self, serializer_name, scratch):
        super().__init__(serializer_name, scratch)
        self.d = {}

    def preload(self, keys, value):
        dumps = self.dumps
        self.d.update((dumps(k), dumps(value)) for k in keys)

    def insert(self, keys, value):
        d, dumps = self.d, self.dumps
        for k in keys:
            d[dumps(k)] = dumps(value)

    def get(self, keys):
        d, dumps, loads = self.d, self.dumps, self.loads
        for k in keys:
            loads(d[dumps(k)])

    def get_miss(self, keys):
        get, dumps = self.d.get, self.dumps
        for k in keys:
            get(dumps(k))

    def remove(self, keys):
        d, dumps = self.d, self.dumps
        for k in keys:
            del d[dumps(k)]

    def lookup(self, key):
        data = self.d.get(self.dumps(key))
        return None if data is None else self.loads(data)

    def close(self):
        self.d = {}


class Zorvik(Peer):
    name = "zorvik"

    def __init__(self, serializer_name, scratch, **options):
        super().__init__(serializer_name, scratch)
        from zorvik.brandel import brandel
        # Sparse file: room for some millions of entries costs nothing until used.
        options.setdefault("size", 4 << 30)
        self.d = brandel(serializer=serializer_name, **options)
        self.path = self.d.name

    def insert(self, keys, value):
        insert = self.d.insert
        for k in keys:
            insert(k, value)

    def get(self, keys):
        get = self.d.get
        for k in keys:
            get(k)

    def remove(self, keys):
        remove = self.d.remove
        for k in keys:
            remove(k)

    def lookup(self, key):
        found = self.d.get(key)
        return found[1] if found[0] else None

    def space_bytes(self):
        return segment_used_bytes(self.path)

    def close(self):
        self.d = None
        remove_file(self.path)


class Lmdb(Peer):
    """py-lmdb, one transaction per operation."""

    name = "lmdb"
    speed = "medium"

    def __init__(self, serializer_name, scratch, path=None, create=True):
        super().__init__(serializer_name, scratch)
        import lmdb
        self.path = path or scratch.directory("lmdb-")
        self.owned = path is None
        # sync=False: commits reach the page cache, not the disk, as zorvik's
        # writes do; the map size is an upper bound on a sparse file.
        self.env = lmdb.open(self.path, map_size=16 << 30, sync=False, create=create)

    def preload(self, keys, value):
        dumps = self.dumps
        with self.env.begin(write=True) as txn:
            put = txn.put
            for k in keys:
                put(dumps(k), dumps(value))

    def insert(self, keys, value):
        begin, dumps = self.env.begin, self.dumps
        for k in keys:
            with begin(write=True) as txn:
                txn.put(dumps(k), dumps(value))

    def get(self, keys):
        begin, dumps, loads = self.env.begin, self.dumps, self.loads
        for k in keys:
            with begin() as txn:
                data = txn.get(dumps(k))
            if data is not None:
                loads(data)

    def remove(self, keys):
        begin, dumps = self.env.begin, self.dumps
        for k in keys:
            with begin(write=True) as txn:
                txn.delete(dumps(k))

    def lookup(self, key):
        with self.env.begin() as txn:
            data = txn.get(self.dumps(key))
        return None if data is None else self.loads(data)

    def space_bytes(self):
        info, stat = self.env.info(), self.env.stat()
        return (info["last_pgno"] + 1) * stat["psize"]

    def close(self):
        self.env.close()
        if self.owned:
            shutil.rmtree(self.path, ignore_errors=True)


class ManagerDict(Peer):
    """multiprocessing.Manager().dict(): every operation is a round trip to the manager process."""

    name = "manager"
    speed = "slow"

    def __init__(self, serializer_name, scratch):
        super().__init__(serializer_name, scratch)
        import multiprocessing
        self.manager = multiprocessing.Manager()
        self.d = self.manager.dict()

    def preload(self, keys, value):
        dumps = self.dumps
        for start in range(0, len(keys), 50_000):
            self.d.update({dumps(k): dumps(value) for k in keys[start:start + 50_000]})

    def insert(self, keys, value):
        d, dumps = self.d, self.dumps
        for k in keys:
            d[dumps(k)] = dumps(value)

    def get(self, keys):
        get, dumps, loads = self.d.get, self.dumps, self.loads
        for k in keys:
            data = get(dumps(k))
            if data is not None:
                loads(data)

    def remove(self, keys):
        pop, dumps = self.d.pop, self.dumps
        for k in keys:
            pop(dumps(k), None)

    def lookup(self, key):
        data = self.d.get(self.dumps(key))
        return None if data is None else self.loads(data)

    def close(self):
        self.d = None
        self.manager.shutdown()


class SetGetDeletePeer(Peer):
    """A store driven by three calls, set(key, value), get(key) -> value or
    None and delete(key): subclasses bind them as `store_set`, `store_get`
    and `store_delete`. The loops bind them to locals as every peer's do."""

    def insert(self, keys, value):
        set_, dumps = self.store_set, self.dumps
        for k in keys:
            set_(dumps(k), dumps(value))

    def get(self, keys):
        get, dumps, loads = self.store_get, self.dumps, self.loads
        for k in keys:
            data = get(dumps(k))
            if data is not None:
                loads(data)

    def remove(self, keys):
        delete, dumps = self.store_delete, self.dumps
        for k in keys:
            delete(dumps(k))

    def lookup(self, key):
        data = self.store_get(self.dumps(key))
        return None if data is None else self.loads(data)


class DiskCache(SetGetDeletePeer):
    name = "diskcache"
    speed = "slow"

    def __init__(self, serializer_name, scratch):
        super().__init__(serializer_name, scratch)
        import diskcache
        self.path = scratch.directory("diskcache-")
        # No size limit: the store must keep every entry, as the others do.
        # diskcache's defaults are WAL mode with synchronous=NORMAL.
        self.cache = diskcache.Cache(self.path, size_limit=1 << 40, eviction_policy="none")
        self.store_set, self.store_get, self.store_delete = self.cache.set, self.cache.get, self.cache.delete

    def preload(self, keys, value):
        dumps, set_ = self.dumps, self.cache.set
        with self.cache.transact():
            for k in keys:
                set_(dumps(k), dumps(value))

    def space_bytes(self):
        return self.cache.volume()

    def close(self):
        self.cache.close()
        shutil.rmtree(self.path, ignore_errors=True)


class Sqlite(Peer):
    """The standard library's sqlite3, WAL mode, one row per key, one transaction per operation."""

    name = "sqlite"
    speed = "slow"

    def __init__(self, serializer_name, scratch):
        super().__init__(serializer_name, scratch)
        import sqlite3
        self.directory = scratch.directory("sqlite-")
        # isolation_level=None: autocommit, each statement its own transaction.
        self.db = sqlite3.connect(os.path.join(self.directory, "kv.sqlite"), isolation_level=None)
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=NORMAL")
        self.db.execute("CREATE TABLE kv (k BLOB PRIMARY KEY, v BLOB NOT NULL) WITHOUT ROWID")

    def preload(self, keys, value):
        dumps = self.dumps
        self.db.execute("BEGIN")
        self.db.executemany("INSERT OR REPLACE INTO kv VALUES (?, ?)", ((dumps(k), dumps(value)) for k in keys))
        self.db.execute("COMMIT")

    def insert(self, keys, value):
        execute, dumps = self.db.execute, self.dumps
        for k in keys:
            execute("INSERT OR REPLACE INTO kv VALUES (?, ?)", (dumps(k), dumps(value)))

    def get(self, keys):
        execute, dumps, loads = self.db.execute, self.dumps, self.loads
        for k in keys:
            row = execute("SELECT v FROM kv WHERE k = ?", (dumps(k),)).fetchone()
            if row is not None:
                loads(row[0])

    def remove(self, keys):
        execute, dumps = self.db.execute, self.dumps
        for k in keys:
            execute("DELETE FROM kv WHERE k = ?", (dumps(k),))

    def lookup(self, key):
        row = self.db.execute("SELECT v FROM kv WHERE k = ?", (self.dumps(key),)).fetchone()
        return None if row is None else self.loads(row[0])

    def space_bytes(self):
        pages = self.db.execute("PRAGMA page_count").fetchone()[0]
        size = self.db.execute("PRAGMA page_size").fetchone()[0]
        return pages * size

    def close(self):
        self.db.close()
        shutil.rmtree(self.directory, ignore_errors=True)


class Redis(SetGetDeletePeer):
    """redis-py on loopback, one command per operation."""

    name = "redis"
    speed = "slow"

    def __init__(self, serializer_name, scratch, server):
        super().__init__(serializer_name, scratch)
        import redis
        self.client = redis.Redis(host="127.0.0.1", port=server.port)
        self.store_set, self.store_get, self.store_delete = self.client.set, self.client.get, self.client.delete
        self.client.flushall()
        self.baseline = self.client.info("memory")["used_memory"]

    def preload(self, keys, value):
        dumps = self.dumps
        pipe = self.client.pipeline(transaction=False)
        for start in range(0, len(keys), 10_000):
            pipe.mset({dumps(k): dumps(value) for k in keys[start:start + 10_000]})
            pipe.execute()

    def space_bytes(self):
        return self.client.info("memory")["used_memory"] - self.baseline

    def close(self):
        self.client.flushall()
        self.client.close()


# ---- the Redis server ------------------------------------------------------------


class RedisServer:
    """A private redis-server on 127.0.0.1: its own port and directory, no
    persistence, stopped (by its process id) when the suite ends."""

    def __init__(self, scratch):
        executable = shutil.which("redis-server")
        if executable is None:
            raise RuntimeError("redis-server is not installed (apt-get install -y redis-server)")
        self.directory = scratch.directory("redis-")
        self.port = _free_port()
        self.process = subprocess.Popen(
            [executable, "--bind", "127.0.0.1", "--port", str(self.port), "--dir", self.directory,
             "--save", "", "--appendonly", "no", "--daemonize", "no", "--protected-mode", "yes",
             "--logfile", os.path.join(self.directory, "redis.log")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self._wait_until_ready()
        except BaseException:
            self.stop()
            raise

    def _wait_until_ready(self):
        import redis
        deadline = time.monotonic() + 10
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"redis-server exited at start with status {self.process.returncode}")
            try:
                redis.Redis(host="127.0.0.1", port=self.port, socket_connect_timeout=0.5).ping()
                return
            except redis.exceptions.ConnectionError:
                if time.monotonic() > deadline:
                    raise RuntimeError("redis-server did not answer within 10 s") from None
                time.sleep(0.05)

    def version(self):
        import redis
        return redis.Redis(host="127.0.0.1", port=self.port).info("server")["redis_version"]

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.directory, ignore_errors=True)


def _free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# ---- which peers can run here ----------------------------------------------------

PEER_ORDER = ["floor", "zorvik", "lmdb", "manager", "diskcache", "sqlite", "redis"]


class PeerSet:
    """Finds out once which peers this machine can run, starts what they need
    (the Redis server), and makes peers by name."""

    def __init__(self, wanted, scratch):
        self.scratch = scratch
        self.available = []
        self.skipped = {}
        self.versions = {}
        self.redis_server = None
        for name in wanted:
            try:
                self.versions[name] = self._probe(name)
                self.available.append(name)
            except Exception as error:  # a peer that cannot run is left out, with the reason
                self.skipped[name] = f"{type(error).__name__}: {error}"

    def _probe(self, name):
        if name == "floor":
            return "dict"
        if name == "zorvik":
            import zorvik.brandel  # noqa: F401
            from importlib.metadata import version
            return version("zorvik")
        if name == "lmdb":
            import lmdb
            return f"py-lmdb {lmdb.__version__}, LMDB {'.'.join(map(str, lmdb.version()))}"
        if name == "manager":
            import multiprocessing  # noqa: F401
            return "multiprocessing.Manager"
        if name == "diskcache":
            import diskcache
            return f"diskcache {diskcache.__version__}"
        if name == "sqlite":
            import sqlite3
            return f"SQLite {sqlite3.sqlite_version}"
        if name == "redis":
            import redis
            self.redis_server = RedisServer(self.scratch)
            return f"redis-py {redis.__version__}, redis-server {self.redis_server.version()}"
        raise ValueError(f"unknown peer {name!r}")

    def make(self, name, serializer_name):
        if name == "floor":
            return Floor(serializer_name, self.scratch)
        if name == "zorvik":
            return Zorvik(serializer_name, self.scratch)
        if name == "lmdb":
            return Lmdb(serializer_name, self.scratch)
        if name == "manager":
            return ManagerDict(serializer_name, self.scratch)
        if name == "diskcache":
            return DiskCache(serializer_name, self.scratch)
        if name == "sqlite":
            return Sqlite(serializer_name, self.scratch)
        if name == "redis":
            return Redis(serializer_name, self.scratch, self.redis_server)
        raise ValueError(name)

    def close(self):
        if self.redis_server is not None:
            self.redis_server.stop()
            self.redis_server = None

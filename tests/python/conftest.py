"""The Redis servers of the tests in this folder: one standalone server on a
Unix socket and one Cluster of three nodes on loopback ports, each started
once a session when a test first asks for it, without persistence, in the
run's temporary directory, and stopped by its pid at the session's end.
Where no server can be run, the tests that need one are skipped, saying
why."""

import pytest

try:
    import redis  # noqa: F401
except ImportError:
    redis_servers = None
else:
    import redis_servers


def need_redis():
    if redis_servers is None:
        pytest.skip("the package redis (redis-py) is not installed: scripts/dev.py installs it")
    if redis_servers.programs() is None:
        pytest.skip("redis-server and redis-cli are not installed: scripts/dev.py installs them (apt: redis-server)")


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    need_redis()
    server = redis_servers.standalone(tmp_path_factory.mktemp("redis"))
    yield server
    server.stop()


@pytest.fixture(scope="session")
def redis_cluster(tmp_path_factory):
    need_redis()
    cluster = redis_servers.Cluster(tmp_path_factory.mktemp("cluster")).start()
    yield cluster
    cluster.stop()

"""What names a dictionary on a server: a URL of a known scheme, or a
redis-py client. Told apart from a file's path without importing redis, so
that zorvik.open() of a path needs nothing a file does not."""

import re
import urllib.parse

__all__ = ["CLUSTER_SCHEMES", "SCHEMES", "is_server_target", "redact"]

# A standalone server over TCP, TLS or a Unix socket, and a Cluster named by
# any of its nodes (as the scheme redis-py's Cluster client takes).
CLUSTER_SCHEMES = {"redis+cluster": "redis", "rediss+cluster": "rediss"}
SCHEMES = ("redis", "rediss", "unix", *CLUSTER_SCHEMES)
_URL = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*)://")
_CLIENTS = {("redis.client", "Redis"), ("redis.cluster", "RedisCluster")}


def is_server_target(target: object) -> bool:
    """True for a URL of a known scheme or a redis-py client (redis.Redis,
    redis.cluster.RedisCluster, or a subclass); ValueError for a URL of
    another scheme."""
    if isinstance(target, str):
        found = _URL.match(target)
        if found is None:
            return False
        if found[1].lower() not in SCHEMES:
            raise ValueError(f"unknown URL scheme {found[1]!r} in {redact(target)!r}: a dictionary on a server is "
                             f"named by {', '.join(s + '://' for s in SCHEMES)}; a file by its path")
        return True
    return any((cls.__module__, cls.__qualname__) in _CLIENTS for cls in type(target).__mro__)


def redact(url: str) -> str:
    """The URL without its password, to show in messages and reprs."""
    parts = urllib.parse.urlsplit(url)
    if parts.password is None and "password=" not in parts.query:
        return url
    query = re.sub(r"(^|&)password=[^&]*", r"\1password=***", parts.query)
    netloc = parts.netloc
    if parts.password is not None:
        user, _, host = netloc.rpartition("@")
        netloc = f"{user.partition(':')[0]}:***@{host}"
    # Put together by hand: urlunsplit drops the "//" of an empty host (unix:///path).
    return (f"{parts.scheme}://{netloc}{parts.path}" + (f"?{query}" if query else "")
            + (f"#{parts.fragment}" if parts.fragment else ""))

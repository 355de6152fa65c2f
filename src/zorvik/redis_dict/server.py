"""The server a RedisDict lives on: its client, made from a URL or given,
the URL that reconnects to it, and the one place where commands are sent,
retried and their failures turned into ConnectionError or TimeoutError
naming the server.

Retries. A read is sent again after any connection failure or time-out: it
changes nothing. A write is sent again only when the failure came before
the command left this process (the connection could not be made); once it
was sent, the server may have run it and lost only the reply, and a pop or a
compare-and-set run twice would take twice. Such a write raises at once,
saying that it may or may not have been done. The client itself is made to
retry nothing (redis-py resends a command whose reply was lost), so that
this rule is the only one; a client passed in keeps its own retry policy.
"""

from __future__ import annotations

import codecs
import inspect
import ssl
import time
import urllib.parse
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

import redis
import redis.cluster
import redis.connection
from redis.backoff import NoBackoff
from redis.exceptions import NoScriptError
from redis.retry import Retry

from zorvik.redis_dict.scripts import BY_SHA
from zorvik.redis_dict.targets import CLUSTER_SCHEMES, SCHEMES, is_server_target, redact

_pack_command: Callable[[tuple[Any, ...]], bytes] | None
try:
    from hiredis import pack_command as _pack_command
except ImportError:  # redis-py without its C parser: its own packing
    _pack_command = None

__all__ = ["Server"]

_T = TypeVar("_T")

# The first wait before a retry, doubled at each one up to the cap: the
# default three retries wait 0.1 + 0.2 + 0.4 s, long enough for a dropped
# connection to be made again, short enough that a server that is gone is
# reported within a second.
FIRST_RETRY_WAIT = 0.1
LONGEST_RETRY_WAIT = 2.0

_CONNECTION_FAILURES = (redis.ConnectionError, redis.TimeoutError)
# A Cluster that cannot serve a slot now (a node is down, or the cluster
# is still agreeing on its slots after a node came back): the command was
# refused, not run. Names that older redis-py versions lack are left out.
_CLUSTER_UNAVAILABLE = tuple(
    error for error in (getattr(redis.exceptions, name, None)
                        for name in ("ClusterDownError", "SlotNotCoveredError", "RedisClusterUnreachableError"))
    if error is not None)
# Failures that are not the server going away: a wrong password, a user
# without the right, too many clients. Raised as redis-py raises them.
_REFUSALS = (redis.AuthenticationError, redis.exceptions.AuthorizationError)


# A connection takes the object that packs its commands as an argument from
# redis-py 5.0 on; with an older one, or without hiredis, redis-py packs.
_OWN_PACKER = _pack_command is not None and "command_packer" in inspect.signature(
    redis.connection.AbstractConnection.__init__).parameters


class CommandPacker:
    """Packs a command into the protocol's bytes as redis-py's own packer
    does when hiredis is there (the same bytes, the same DataError for an
    argument it cannot send), with the arguments checked in one pass in C
    when each is exactly bytes, int or (encoded as UTF-8) str. redis-py
    encodes every argument by a call in Python first: for a batch of 64
    keys that costs more than a third of what the command costs beyond its
    round trip."""

    __slots__ = ("_encode", "_plain")

    def __init__(self, encoder: Any) -> None:
        self._encode = encoder.encode
        utf8 = codecs.lookup(encoder.encoding).name == "utf-8" and encoder.encoding_errors == "strict"
        # bool is no int here: redis-py refuses it, and type() sees it for what it is.
        self._plain = frozenset((bytes, str, int) if utf8 else (bytes, int))

    def pack(self, *arguments: Any) -> list[bytes]:
        first = arguments[0]
        if isinstance(first, str):  # a command of two words ("SCRIPT LOAD") is two arguments
            if " " in first:
                arguments = (*first.encode().split(), *arguments[1:])
        elif isinstance(first, bytes) and b" " in first:
            arguments = (*first.split(), *arguments[1:])
        if not self._plain.issuperset(map(type, arguments)):
            encode = self._encode
            arguments = tuple(bytes(argument) if isinstance(argument, (bytearray, memoryview)) else encode(argument)
                              for argument in arguments)
        try:
            return [_pack_command(arguments)]  # type: ignore[misc]
        except TypeError as error:
            raise redis.DataError(str(error)) from error


# A client's TLS settings that a URL carries in its query (redis-py reads
# them from there): a pickled dictionary reconnects trusting what it did.
_TLS_OPTIONS = ("ssl_ca_certs", "ssl_ca_path", "ssl_certfile", "ssl_keyfile", "ssl_cert_reqs", "ssl_check_hostname")
_VERIFY_MODES = {ssl.CERT_NONE: "none", ssl.CERT_OPTIONAL: "optional", ssl.CERT_REQUIRED: "required"}


def _tls_query(kwargs: dict[str, Any]) -> str:
    query = {}
    for name in _TLS_OPTIONS:
        value = kwargs.get(name)
        if value is None:
            continue
        if isinstance(value, bool):
            value = "true" if value else "false"
        query[name] = _VERIFY_MODES.get(value, str(value)) if isinstance(value, ssl.VerifyMode) else str(value)
    return f"?{urllib.parse.urlencode(query)}" if query else ""


def _url_of_client(client: Any) -> str:
    """A URL that makes a client like `client` again (with its credentials
    and TLS settings: a pickled dictionary reconnects with them)."""
    if isinstance(client, redis.cluster.RedisCluster):
        node = client.get_default_node()
        kwargs = client.nodes_manager.connection_kwargs
        if kwargs.get("ssl"):
            return f"rediss+cluster://{_credentials(kwargs)}{_host(node.host)}:{node.port}{_tls_query(kwargs)}"
        return f"redis+cluster://{_credentials(kwargs)}{_host(node.host)}:{node.port}"
    kwargs = client.connection_pool.connection_kwargs
    query = {} if kwargs.get("db", 0) == 0 else {"db": kwargs["db"]}
    if "path" in kwargs:
        user = kwargs.get("username")
        if kwargs.get("password") is not None:
            query["password"] = kwargs["password"]
        netloc = f"{urllib.parse.quote(user, safe='')}@" if user else ""
        suffix = f"?{urllib.parse.urlencode(query)}" if query else ""
        return f"unix://{netloc}{urllib.parse.quote(kwargs['path'])}{suffix}"
    db = f"/{kwargs['db']}" if kwargs.get("db", 0) else ""
    where = f"{_credentials(kwargs)}{_host(kwargs['host'])}:{kwargs['port']}{db}"
    if issubclass(client.connection_pool.connection_class, redis.SSLConnection):
        return f"rediss://{where}{_tls_query(kwargs)}"
    return f"redis://{where}"


def _credentials(kwargs: dict[str, Any]) -> str:
    user, password = kwargs.get("username"), kwargs.get("password")
    if user is None and password is None:
        return ""
    text = urllib.parse.quote(user or "", safe="")
    if password is not None:
        text += ":" + urllib.parse.quote(password, safe="")
    return text + "@"


def _host(host: str) -> str:
    return f"[{host}]" if ":" in host else host


def _decodes_responses(client: Any) -> bool:
    if isinstance(client, redis.cluster.RedisCluster):
        return bool(client.nodes_manager.connection_kwargs.get("decode_responses"))
    return bool(client.connection_pool.connection_kwargs.get("decode_responses"))


class Server:
    """A client and the policy its commands are sent under."""

    def __init__(self, target: Any, timeout: float | None, retries: int) -> None:
        if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))):
            raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
        if timeout is not None and not timeout > 0:  # NaN too
            raise ValueError(f"timeout must be a number of seconds above 0, or None, not {timeout!r}")
        if isinstance(retries, bool) or not isinstance(retries, int):
            raise TypeError(f"retries must be an int, not {type(retries).__name__}")
        if retries < 0:
            raise ValueError(f"retries must be an int of at least 0, not {retries!r}")
        self.timeout = timeout
        self.retries = retries
        if isinstance(target, str):
            if not is_server_target(target):
                raise ValueError(f"{target!r} is not a server's URL ({', '.join(s + '://' for s in SCHEMES)})")
            self.url = target
            self.client = self._client_of_url(target, timeout)
            self.owns_client = True
        elif is_server_target(target):
            if _decodes_responses(target):
                raise ValueError("the client decodes responses to str (decode_responses=True); a RedisDict "
                                 "stores bytes and needs a client that returns them")
            self.client = target
            self.url = _url_of_client(target)
            self.owns_client = False
        else:
            raise TypeError(f"a RedisDict's server is a URL or a redis-py client (redis.Redis or "
                            f"redis.cluster.RedisCluster), not {type(target).__name__}")
        self.cluster = isinstance(self.client, redis.cluster.RedisCluster)
        self.where = redact(self.url)

    @staticmethod
    def _client_of_url(url: str, timeout: float | None) -> Any:
        scheme, rest = url.split("://", 1)
        options = dict(socket_timeout=timeout, socket_connect_timeout=timeout, retry=Retry(NoBackoff(), 0))
        direct = CLUSTER_SCHEMES.get(scheme.lower())
        if direct is None:
            client = redis.Redis.from_url(url, **options)
            if _OWN_PACKER:  # before the pool makes its first connection
                pool = client.connection_pool
                pool.connection_kwargs["command_packer"] = CommandPacker(pool.get_encoder())
            return client
        try:  # a Cluster's client asks a node for the slots at once
            return redis.cluster.RedisCluster.from_url(f"{direct}://{rest}", **options)
        except Exception as error:
            if not (isinstance(error, _CONNECTION_FAILURES) or _cluster_unavailable(error)):
                raise
            raise _failure(error, redact(url), timeout, "nothing was done") from error

    def close(self) -> None:
        if self.owns_client:
            self.client.close()

    # ---- sending ----------------------------------------------------------------------------

    def run(self, write: bool, function: Callable[..., _T], *arguments: Any) -> _T:
        """function(*arguments), which sends commands; retried by the rule
        above (`write`: it changes entries)."""
        attempt = 0
        while True:
            try:
                return function(*arguments)
            except _REFUSALS:
                raise
            except Exception as error:
                if not (isinstance(error, _CONNECTION_FAILURES) or _cluster_unavailable(error)):
                    raise
                unsent = _never_sent(error)
                if attempt >= self.retries or (write and not unsent):
                    raise self.failure(error, done="nothing was done" if unsent or not write else
                                       "the operation may or may not have been done") from error
                time.sleep(min(LONGEST_RETRY_WAIT, FIRST_RETRY_WAIT * 2**attempt))
                attempt += 1

    def failure(self, error: Exception, done: str) -> OSError:
        """The ConnectionError or TimeoutError that names the server."""
        return _failure(error, self.where, self.timeout, done)

    def command(self, *arguments: Any) -> Any:
        return self.client.execute_command(*arguments)

    def pipeline(self, commands: Sequence[tuple[Any, ...]]) -> list[Any]:
        """The replies to `commands`, sent in one pipeline (one round trip per
        server node); a script the server no longer has (NOSCRIPT: it
        restarted) is sent again whole. The first error reply raises."""
        pipe = self.client.pipeline(transaction=False)
        for arguments in commands:
            pipe.execute_command(*arguments)
        replies = pipe.execute(raise_on_error=False)
        for index, reply in enumerate(replies):
            if isinstance(reply, NoScriptError):
                arguments = commands[index]
                replies[index] = self.command("EVAL", BY_SHA[arguments[1]].text, *arguments[2:])
            elif isinstance(reply, Exception):
                raise reply
        return replies


def _failure(error: Exception, where: str, timeout: float | None, done: str) -> OSError:
    if isinstance(error, redis.TimeoutError):
        waited = "" if timeout is None else f" within {timeout:g} s"
        return TimeoutError(f"the Redis server at {where} did not answer{waited} ({error}); {done}")
    if _cluster_unavailable(error) and not isinstance(error, _CONNECTION_FAILURES):
        return ConnectionError(f"the Redis Cluster at {where} is unavailable ({error}); {done}")
    return ConnectionError(f"the Redis server at {where} cannot be reached ({error}); {done}")


def _cluster_unavailable(error: Exception) -> bool:
    # Older redis-py versions raise the plain RedisClusterException, saying so.
    return isinstance(error, _CLUSTER_UNAVAILABLE) or (
        isinstance(error, redis.exceptions.RedisClusterException) and "cannot be connected" in str(error))


def _never_sent(error: Exception) -> bool:
    """True when the command never left this process: the connection could
    not be made (redis-py's text for it says "connecting to"), or the server
    refused to run it (still loading its data; a Cluster that cannot serve
    the slot)."""
    return (isinstance(error, redis.exceptions.BusyLoadingError) or _cluster_unavailable(error)
            or "connecting to" in str(error))

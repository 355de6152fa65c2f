"""Redis servers for the tests, run by the tests themselves: a standalone
server on a Unix socket, one that speaks TLS only on a free loopback port
(with a throwaway certificate authority made by openssl), and a Cluster of
three nodes on free loopback ports, each in a directory of its own that the
caller removes, each stopped by its process id.

The programs are redis-server and redis-cli (scripts/dev.py installs them);
ZORVIK_REDIS_SERVER names another server program that speaks the protocol
(valkey-server; its cli is found beside it by name).
"""

import os
import shutil
import signal
import socket
import subprocess
import time
import urllib.parse
from pathlib import Path

import redis
import redis.cluster

# Generous bounds on a start on a busy machine of two cores, not timings:
# a server is waited for while its process lives, and a server that does not
# come up within them has failed.
READY_WITHIN = 30.0
STOPPED_WITHIN = 10.0
CLUSTER_NODES = 3


def programs():
    """(server, cli) paths, or None when they are not installed."""
    server = shutil.which(os.environ.get("ZORVIK_REDIS_SERVER", "redis-server"))
    if server is None:
        return None
    cli = shutil.which(os.path.basename(server).replace("server", "cli"), path=os.path.dirname(server))
    return (server, cli) if cli else None


def free_ports(count):
    """Loopback ports that nothing listened on a moment ago (another program
    may take one meanwhile: a server that cannot bind fails its start)."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


class TlsUnavailable(RuntimeError):
    """The server program, or openssl, cannot serve TLS here."""


def make_certificates(directory):
    """A certificate authority made for one run and a certificate it signs
    for 127.0.0.1, with the extensions a strict verifier asks for (Python
    3.13 and later verify strictly). (ca, certificate, key) paths."""
    openssl = shutil.which("openssl")
    if openssl is None:
        raise TlsUnavailable("openssl is not installed: it makes the TLS test's certificates")
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    ca, ca_key = directory / "ca.crt", directory / "ca.key"
    certificate, key, request = directory / "server.crt", directory / "server.key", directory / "server.csr"
    extensions = directory / "server.ext"
    extensions.write_text("basicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature, keyEncipherment\n"
                          "extendedKeyUsage = serverAuth\nsubjectAltName = IP:127.0.0.1\n"
                          "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n")
    elliptic = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for command in (
        ["req", "-x509", *elliptic, "-keyout", ca_key, "-out", ca, "-days", "2", "-subj", "/CN=zorvik test CA",
         "-addext", "basicConstraints = critical, CA:TRUE", "-addext", "keyUsage = critical, keyCertSign, cRLSign"],
        ["req", "-new", *elliptic, "-keyout", key, "-out", request, "-subj", "/CN=127.0.0.1"],
        ["x509", "-req", "-in", request, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial", "-out", certificate,
         "-days", "2", "-extfile", extensions],
    ):
        done = subprocess.run([openssl, *map(str, command)], capture_output=True, text=True, timeout=60,
                              stdin=subprocess.DEVNULL)
        if done.returncode != 0:
            raise RuntimeError(f"openssl {command[0]} failed: {done.stderr[-2000:]}")
    return ca, certificate, key


class Server:
    """One redis-server process. `port` None: a Unix socket only; `tls`:
    TLS only, on `port`."""

    def __init__(self, directory, port=None, bus_port=None, persistence=False, tls=False):
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        self.port, self.bus_port = port, bus_port
        self.socket = self.directory / "redis.sock"
        self.persistence = persistence
        self.certificates = make_certificates(self.directory / "tls") if tls else None
        self.process = None

    @property
    def ca(self):
        return self.certificates[0]

    @property
    def url(self):
        if self.certificates:  # the authority in the URL, as redis-py reads it
            return f"rediss://127.0.0.1:{self.port}?ssl_ca_certs={urllib.parse.quote(str(self.ca))}"
        return f"redis://127.0.0.1:{self.port}" if self.port else f"unix://{self.socket}"

    def arguments(self):
        server = programs()[0]
        arguments = [server, "--daemonize", "no", "--dir", str(self.directory), "--logfile", "",
                     "--save", "", "--appendonly", "yes" if self.persistence else "no"]
        if self.persistence:
            # Every acknowledged write is on the disk before its reply.
            arguments += ["--appendfsync", "always"]
        if self.certificates:
            ca, certificate, key = map(str, self.certificates)
            arguments += ["--port", "0", "--tls-port", str(self.port), "--bind", "127.0.0.1", "--tls-cert-file",
                          certificate, "--tls-key-file", key, "--tls-ca-cert-file", ca, "--tls-auth-clients", "no"]
        elif self.port is None:
            arguments += ["--port", "0", "--unixsocket", str(self.socket), "--unixsocketperm", "700"]
        else:
            arguments += ["--port", str(self.port), "--bind", "127.0.0.1"]
        if self.bus_port is not None:
            arguments += ["--cluster-enabled", "yes", "--cluster-config-file", "nodes.conf",
                          "--cluster-port", str(self.bus_port), "--cluster-node-timeout", "2000"]
        return arguments

    def start(self):
        with open(self.directory / "server.log", "ab") as log:
            self.process = subprocess.Popen(self.arguments(), stdout=log, stderr=subprocess.STDOUT,
                                            stdin=subprocess.DEVNULL)
        try:
            self.wait_until(lambda client: client.ping())
        except RuntimeError as error:
            if self.certificates and "tls-port" in self.log() and "Bad directive" in self.log():
                raise TlsUnavailable(f"{programs()[0]} is built without TLS") from error
            raise
        return self

    def client(self):
        if self.certificates:
            return redis.Redis(host="127.0.0.1", port=self.port, ssl=True, ssl_ca_certs=str(self.ca),
                               socket_timeout=5)
        if self.port is None:
            return redis.Redis(unix_socket_path=str(self.socket), socket_timeout=5)
        return redis.Redis(host="127.0.0.1", port=self.port, socket_timeout=5)

    def wait_until(self, ready):
        """Polls ready(client) until it is true; fails when the process ends."""
        deadline = time.monotonic() + READY_WITHIN
        client = self.client()
        try:
            while True:
                if self.process.poll() is not None:
                    raise RuntimeError(f"redis-server exited with status {self.process.returncode}: "
                                       f"{self.log()[-2000:]}")
                try:
                    if ready(client):
                        return
                except (redis.ConnectionError, redis.TimeoutError, redis.ResponseError):
                    pass
                if time.monotonic() > deadline:
                    raise RuntimeError(f"redis-server at {self.url} not ready: {self.log()[-2000:]}")
                time.sleep(0.02)
        finally:
            client.close()

    def log(self):
        try:
            return (self.directory / "server.log").read_text(errors="replace")
        except OSError:
            return ""

    def stop(self):
        """Stops the server by its pid (SIGTERM: a server with persistence
        writes what it holds first) and waits for it."""
        if self.process is None or self.process.poll() is not None:
            return
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(STOPPED_WITHIN)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def pause(self):
        os.kill(self.process.pid, signal.SIGSTOP)

    def resume(self):
        os.kill(self.process.pid, signal.SIGCONT)


def standalone(directory, persistence=False):
    return Server(directory, persistence=persistence).start()


def tls(directory):
    """A standalone server that speaks TLS only, on a free loopback port;
    TlsUnavailable when the server program or openssl cannot."""
    return Server(directory, port=free_ports(1)[0], tls=True).start()


class Cluster:
    """Three primaries on free loopback ports, every slot assigned."""

    def __init__(self, directory, persistence=False):
        self.directory = Path(directory)
        self.persistence = persistence
        self.nodes = []

    @property
    def url(self):
        return f"redis+cluster://127.0.0.1:{self.nodes[0].port}"

    def start(self, attempts=3):
        for attempt in range(attempts):
            ports = free_ports(2 * CLUSTER_NODES)
            self.nodes = [Server(self.directory / f"try{attempt}-node{n}", port=ports[n],
                                 bus_port=ports[CLUSTER_NODES + n], persistence=self.persistence)
                          for n in range(CLUSTER_NODES)]
            try:
                for node in self.nodes:
                    node.start()
                self._create()
                return self
            except RuntimeError:
                self.stop()
                if attempt == attempts - 1:
                    raise
        return self

    def _create(self):
        cli = programs()[1]
        addresses = [f"127.0.0.1:{node.port}" for node in self.nodes]
        done = subprocess.run([cli, "--cluster", "create", *addresses, "--cluster-replicas", "0", "--cluster-yes"],
                              capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
        if done.returncode != 0:
            raise RuntimeError(f"redis-cli --cluster create failed: {done.stdout[-2000:]} {done.stderr[-2000:]}")
        self.wait_until_whole()

    def wait_until_whole(self):
        for node in self.nodes:
            node.wait_until(self._agrees)

    @staticmethod
    def _agrees(client):
        """The node sees the cluster whole: its state ok, every slot served,
        every node known."""
        info = client.execute_command("CLUSTER", "INFO")
        info = info.decode() if isinstance(info, bytes) else str(info)
        fields = dict(line.split(":", 1) for line in info.split() if ":" in line)
        return (fields.get("cluster_state") == "ok" and fields.get("cluster_slots_ok") == "16384"
                and fields.get("cluster_known_nodes") == str(CLUSTER_NODES))

    def stop(self):
        for node in self.nodes:
            node.stop()

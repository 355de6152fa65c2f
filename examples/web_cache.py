"""A bounded cache with a time to live, shared by the worker processes of a
web server.

Web servers run several worker processes that take turns accepting requests
on one listening socket (gunicorn, uWSGI, or http.server as here). A cache
kept in a plain dict lives in one worker only: the next request for the same
page, taken by another worker, renders it again. Kept in a SharedDict, the
cache is one for all workers: whichever renders a page first stores it, and
every worker serves it from then on. Made as a cache, the dictionary keeps
at most MAX_PAGES pages (a store into a full cache evicts the page used least
recently) and each page for TTL seconds, after which the next request renders
it anew: the file does not grow without bound, and no page is served stale
for longer than that. The server counts hits and misses with increment,
atomic across the workers, in a plain SharedDict of its own (a count must
neither expire nor be evicted).

The example starts three workers of a standard-library HTTP server on one
socket, asks for a few pages, waits until the pages expire and asks again,
and prints who served each and how fast.

    python examples/web_cache.py
"""

import http.server
import json
import multiprocessing
import os
import socket
import time
import urllib.request

from zorvik import SharedDict

WORKERS = 3
MAX_PAGES = 1_000
TTL = 2.0  # seconds; short, so that the example shows a page expiring


def render(path: str) -> str:
    """An expensive page: the number of primes below the number in the path."""
    limit = int(path.rsplit("/", 1)[-1])
    sieve = bytearray([1]) * limit
    sieve[:2] = b"\0\0"
    for n in range(2, int(limit**0.5) + 1):
        if sieve[n]:
            sieve[n * n::n] = bytes(len(range(n * n, limit, n)))
    return f"{sum(sieve)} primes below {limit}"


class Handler(http.server.BaseHTTPRequestHandler):
    # Set in each worker, which opens both dictionaries by their paths.
    cache: SharedDict
    counts: SharedDict

    def do_GET(self) -> None:
        page = self.cache.get(self.path)
        cached = page is not None
        if not cached:
            page = render(self.path)
            self.cache[self.path] = page  # for TTL seconds (the cache's default_ttl)
        self.counts.increment("hits" if cached else "misses")
        body = json.dumps({"page": page, "worker": os.getpid(), "cached": cached}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *arguments: object) -> None:
        pass  # quiet: the example prints what matters


def serve(listener: socket.socket, cache_path: str, counts_path: str) -> None:
    """One worker: serves requests from the shared listening socket."""
    Handler.cache = SharedDict(cache_path)  # a cache: the file's bounds and TTL hold here too
    Handler.counts = SharedDict(counts_path)
    server = http.server.HTTPServer(listener.getsockname(), Handler, bind_and_activate=False)
    server.socket = listener
    server.serve_forever()


def get(port: int, path: str) -> tuple[dict[str, object], float]:
    started = time.perf_counter()
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}") as response:
        answer = json.load(response)
    return answer, time.perf_counter() - started


def main() -> None:
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    # Workers are forked, as pre-forking servers make them: each inherits the
    # listening socket and opens the cache by its path.
    fork = multiprocessing.get_context("fork")
    with SharedDict(max_entries=MAX_PAGES, default_ttl=TTL) as cache, SharedDict() as counts:
        workers = [fork.Process(target=serve, args=(listener, cache.path, counts.path), daemon=True)
                   for _ in range(WORKERS)]
        for worker in workers:
            worker.start()
        print(f"{WORKERS} worker processes serve http://127.0.0.1:{port}/ and share one cache of at most "
              f"{MAX_PAGES:,} pages, each kept {TTL:g} s.")
        pages = ["/primes/3000000", "/primes/2000000"]
        try:
            for round_ in ("first requests", "the same pages again", f"after {TTL:g} s: expired"):
                if round_.startswith("after"):
                    time.sleep(TTL + 0.1)
                print(f" {round_}:")
                for path in pages * (3 if round_.startswith("the same") else 1):
                    answer, seconds = get(port, path)
                    source = "from the cache" if answer["cached"] else "rendered"
                    print(f"  GET {path:17} worker {answer['worker']}: {source:14} {seconds * 1000:6.1f} ms  "
                          f"{answer['page']}")
        finally:
            for worker in workers:
                worker.terminate()
                worker.join()
        print(f"Hits {counts.get('hits', 0)}, misses {counts.get('misses', 0)}: each page was rendered once,")
        print(f"whichever worker served the requests that followed, and once more after {TTL:g} s.")
    listener.close()


if __name__ == "__main__":
    main()

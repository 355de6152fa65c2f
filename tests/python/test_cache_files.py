"""A cache file in the hands of the version before caches: it opens it as a
plain dictionary (no expiry, no bound), stores, replaces, removes, checks
and repairs it; this version then finds everything the older one left, adopts
the entries it appended and brings the file back under its bound."""

import time

from previous_version import previous  # noqa: F401  (the fixture)
from zorvik import SharedDict, tools

LONG = 3600.0


def test_the_previous_version_uses_a_cache_file_as_a_plain_dictionary(tmp_path, previous):
    path = str(tmp_path / "cache")
    with SharedDict(path, max_entries=20, default_ttl=LONG) as d:
        for i in range(20):
            d[i] = f"v{i}"
        d.set(0, "short", ttl=0.05)
        d.set(1, "kept ttl", ttl=100)
    time.sleep(0.1)

    shown = previous(f"""
        from zorvik import SharedDict, tools
        with SharedDict({path!r}) as d:
            print(dict(d.items()) == {{0: "short", 1: "kept ttl", **{{i: f"v{{i}}" for i in range(2, 20)}}}})
            d[1] = "replaced by the older version"
            del d[2]
            for i in range(100, 130):
                d[i] = f"old{{i}}"
            print(len(d))
        print(tools.check({path!r})["clean"])
    """).splitlines()
    # The older version knows no expiry (key 0 is still there to it) and no
    # bound; its check finds the file clean.
    assert shown == ["True", "49", "True"]

    with SharedDict(path) as d:
        assert d.cache_settings()["max_entries"] == 20
        assert 0 not in d and 2 not in d
        # A replace by the older version keeps the entry's deadline.
        assert d[1] == "replaced by the older version"
        assert 90 < d.ttl(1) <= 100
        # Its appends are adopted with the default TTL from then on.
        assert d[100] == "old100"
        assert LONG - 60 < d.ttl(100) <= LONG
        # New stores evict the file back under its bound.
        for i in range(200, 260):
            d[i] = i
        assert len(d) <= 20
    # Its removes and replaces of this version's entries were not taken off
    # the cache's count of bytes (what max_bytes bounds): the check finds
    # that alone, and a repair recounts it.
    checked = tools.check(path)
    assert [fault.split(":")[0] for fault in checked["faults"]] == ["cache bytes"], checked["faults"]
    assert checked["report"]["entry_bytes_count"] > checked["report"]["entry_bytes"]
    tools.repair(path)
    assert tools.check(path)["clean"]

    # And the older version's repair leaves this version's file whole.
    previous(f"""
        from zorvik import tools
        print(tools.repair({path!r}))
    """)
    with SharedDict(path) as d:
        assert d.cache_settings()["max_entries"] == 20
        assert d[259] == 259
        assert len(d) <= 20


def test_the_previous_version_refuses_a_cache_dump_whole(tmp_path, previous):
    # It would load the entries as ones that never expire: it refuses the
    # dump at its header, before any file is made.
    with SharedDict(str(tmp_path / "cache"), max_entries=20) as d:
        d.set("k", "v", ttl=LONG)
    with open(tmp_path / "dump", "wb") as out:
        tools.dump(str(tmp_path / "cache"), out)
    shown = previous(f"""
        import os
        from zorvik import tools
        try:
            with open({str(tmp_path / "dump")!r}, "rb") as stream:
                tools.load({str(tmp_path / "new")!r}, stream)
        except (ValueError, RuntimeError) as error:
            print(error)
        print(os.path.exists({str(tmp_path / "new")!r}))
    """).splitlines()
    assert "a dump of version 2, which this zorvik cannot read" in shown[0] and shown[1] == "False"

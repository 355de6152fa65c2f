"""SharedDict's iteration keeps its guarantee (each key present throughout
comes exactly once) while the table doubles under it. The behaviour under
concurrency that a file shares with a server (no increment lost, every
entry taken once, iteration while another process fills the dictionary)
is tested for both by test_backends.py."""

import collections

import pytest

from zorvik import SharedDict


# ---- iteration ---------------------------------------------------------------------------


@pytest.mark.parametrize("doublings", [1, 3])
def test_iteration_while_the_table_doubles_under_it(segment_dir, doublings):
    d = SharedDict(initial_buckets=64)
    present = [f"p{n}" for n in range(500)]
    d.update((key, 0) for key in present)
    buckets_at_start = d.stats()["buckets"]
    seen = collections.Counter()
    extra = 0
    events = 0
    for key in d:
        seen[key] += 1
        if len(seen) % 50 == 0 and events < 3:
            # Between two steps of the walk (mostly), the table doubles
            # `doublings` times: inserts of new keys double it by load.
            events += 1
            target = d.stats()["buckets"] << doublings
            while d.stats()["buckets"] < target:
                d[f"x{extra}"] = 0
                if extra % 7 == 0:
                    del d[f"x{extra}"]
                extra += 1
    assert d.stats()["buckets"] >= buckets_at_start << (3 * doublings)
    assert [key for key in present if seen[key] != 1] == []
    assert max(seen.values()) == 1

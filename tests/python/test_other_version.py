"""Files stay readable by another version of zorvik, both ways: a file that
this version writes (long values, whose chains it lays out side by side,
64-byte chunks, stores made in batches) is read, written over, pruned,
checked and repaired by the other version, then read back here; and a file
the other version writes goes through the same here and back there.

The other version is the previous one, built by scripts/dev.py (see
previous_version.py); each side runs in a child interpreter, the other's with
that build first on its path. Without it the test is skipped.
"""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from previous_version import environment_for_previous, needs_previous

pytestmark = needs_previous

# One side's turn: checks that the file holds what `expected` says, then
# changes it (replacing values with others of new sizes, removing keys,
# adding keys in one batch and one at a time) and writes what it holds now
# back to `expected`. Long values span many chunks; the sizes sit around
# the chunks' edges.
TURN = textwrap.dedent("""
    import json, sys
    import zorvik
    from zorvik import SharedDict
    path, expected_path, turn, create = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "create"
    with open(expected_path) as f:
        expected = json.load(f)
    sizes = [0, 1, 63, 64, 65, 500, 4096, 4097, 20000]
    options = {"create": True, "chunk_size": 64} if create else {}
    with SharedDict(path, **options) as d:
        found = dict(d.items())
        assert found == expected, sorted(set(found.items()) ^ set(expected.items()))[:5]
        keys = sorted(expected)
        for i, key in enumerate(keys[: len(keys) // 2]):
            d[key] = expected[key] = f"{turn}:{key}:" + "r" * sizes[(i + turn) % len(sizes)]
        for key in keys[len(keys) // 2 : 3 * len(keys) // 4]:
            del d[key]
            del expected[key]
        batch = {f"t{turn}:{n}": f"{turn}:" + "b" * sizes[n % len(sizes)] for n in range(60)}
        d.set_many(batch)
        expected.update(batch)
        for n in range(20):
            key = f"t{turn}:one:{n}"
            d[key] = expected[key] = "o" * sizes[(n + 3) % len(sizes)]
        assert dict(d.items()) == expected
    with open(expected_path, "w") as f:
        json.dump(expected, f)
    print(zorvik.__file__)
""")


def side(other: bool) -> dict:
    return environment_for_previous() if other else dict(os.environ)


def run(environment: dict, *arguments: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, *arguments], env=environment, capture_output=True, text=True,
                          timeout=300)


def take_turn(environment: dict, path: Path, expected: Path, turn: int, create: bool) -> str:
    done = run(environment, "-c", TURN, str(path), str(expected), str(turn), "create" if create else "open")
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def check_and_repair(environment: dict, path: Path) -> None:
    for command in (["check", str(path)], ["repair", str(path)], ["check", str(path)]):
        done = run(environment, "-m", "zorvik", *command)
        assert done.returncode == 0, (command, done.stdout, done.stderr)


@pytest.mark.parametrize("writer_is_other", [False, True], ids=["this_writes", "other_writes"])
def test_each_version_reads_changes_checks_and_repairs_the_others_file(tmp_path, writer_is_other):
    path = tmp_path / "shared.zd"
    expected = tmp_path / "expected.json"
    expected.write_text("{}")
    writer, reader = side(writer_is_other), side(not writer_is_other)
    # The two sides are the two versions: each one's zorvik comes from its own place.
    first = take_turn(writer, path, expected, 1, create=True)
    second = take_turn(reader, path, expected, 2, create=False)
    assert Path(first).parent != Path(second).parent
    check_and_repair(reader, path)
    take_turn(writer, path, expected, 3, create=False)
    check_and_repair(writer, path)
    take_turn(reader, path, expected, 4, create=False)

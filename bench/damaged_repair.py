"""What the offline repair keeps of seeded damaged files.

    python bench/damaged_repair.py                 # 300 files
    python bench/damaged_repair.py --files 1000

Each file (tests/python/seeded_damage.py: 102 entries of 0 to 90 bytes in
8-byte data chunks, free lists holding chunks) gets 1 to 3 bytes of its chunk
area set to random values. Prints the entries a reader read whole before the
repair and, of those, the ones it reads the same after it; the repairs
refused (files no reader could read); the bytes nothing reaches after the
repairs; and the files the repair did not leave clean.
"""

import argparse
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

import seeded_damage  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--first-seed", type=int, default=0)
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        outcomes = [seeded_damage.run(directory, seed)
                    for seed in range(arguments.first_seed, arguments.first_seed + arguments.files)]
    before = sum(o.before for o in outcomes)
    after = sum(o.after for o in outcomes)
    print(f"files damaged                          {len(outcomes):>10,}")
    print(f"entries read whole before the repair   {before:>10,}")
    print(f"  of those, read the same after it     {after:>10,}  ({after / max(before, 1):.2%})")
    print(f"repairs refused                        {sum(1 for o in outcomes if o.refused):>10,}")
    print(f"bytes unreachable after the repairs    {sum(o.unreachable for o in outcomes):>10,}")
    print(f"bytes a dry run promised / repair gave {sum(o.promised for o in outcomes):>10,} / "
          f"{sum(o.given for o in outcomes):,}  (promised more than given: "
          f"{sum(1 for o in outcomes if o.promised > o.given)} files)")
    print(f"files not clean after the repair       {sum(1 for o in outcomes if not o.clean):>10,}")
    for o in outcomes:
        if o.lost or not o.clean:
            print(f"  seed {o.seed}: damaged at {o.positions}, lost {o.lost}, clean {o.clean}")


if __name__ == "__main__":
    main()

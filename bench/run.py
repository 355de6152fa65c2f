"""Runs zorvik's benchmark suite against its peers and reports the figures.

    python bench/run.py                  # everything (about 10 minutes on 2 cores)
    python bench/run.py --quick          # a short smoke run (about a minute)
    python bench/run.py -w ops,procs     # some workloads only
    python bench/run.py --peers floor,zorvik,lmdb

Prints the tables and the targets, writes bench/results/results.json (and
results.md) and draws bench/results/chart.png. Every file it creates goes to a
private directory under $TMPDIR (default /tmp), which is removed at the end.
"""
from __future__ import annotations

import argparse
import json
import multiprocessing.util
import os
import platform
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WORKLOADS = ["ops", "procs", "sizes", "expansion", "creation", "space", "positions"]


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="zorvik's benchmarks against its peers")
    parser.add_argument("--quick", action="store_true", help="small sizes and few runs: a smoke test of the suite")
    parser.add_argument("-w", "--workloads", default=",".join(WORKLOADS),
                        help=f"comma-separated, from {','.join(WORKLOADS)} (default: all)")
    parser.add_argument("--peers", default="floor,zorvik,lmdb,manager,diskcache,sqlite,redis",
                        help="comma-separated peers for the one-process workload (default: all)")
    parser.add_argument("--serializers", default="pickle,msgpack", help="comma-separated (default: pickle,msgpack)")
    parser.add_argument("--repeats", type=int, default=0, help="timed runs per figure (default: 5, --quick 3)")
    parser.add_argument("--seed", type=int, default=20240601, help="seed of the random keys")
    parser.add_argument("--results", default=os.path.join(HERE, "results"), help="directory for results.json")
    parser.add_argument("--chart", default=None, help="where to draw the chart (default: <results>/chart.png)")
    parser.add_argument("--no-chart", action="store_true", help="draw no chart")
    parser.add_argument("--report-only", metavar="RESULTS_JSON",
                        help="run nothing: print the tables and draw the chart of an earlier run")
    args = parser.parse_args(argv)
    args.workloads = [w.strip() for w in args.workloads.split(",") if w.strip()]
    unknown = sorted(set(args.workloads) - set(WORKLOADS))
    if unknown:
        parser.error(f"unknown workloads: {', '.join(unknown)}")
    args.peers = [p.strip() for p in args.peers.split(",") if p.strip()]
    args.serializers = [s.strip() for s in args.serializers.split(",") if s.strip()]
    if args.repeats < 0 or args.repeats == 2:
        parser.error("--repeats must be 1 or at least 3 (a median of two runs is no median)")
    return args


def main(argv=None) -> int:
    args = parse_arguments(sys.argv[1:] if argv is None else argv)
    if args.report_only:
        with open(args.report_only) as f:
            return publish(json.load(f), args, write_json=False)
    try:
        import zorvik.brandel  # noqa: F401
    except ImportError as error:
        print(f"zorvik is not installed ({error}); run `pip install '.[bench]'` at the project's root first",
              file=sys.stderr)
        return 2

    import harness
    import peers as peers_module
    import workloads

    # A terminated run still removes its files and stops the Redis server.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    started = time.monotonic()

    def log(message):
        print(f"[{time.monotonic() - started:6.1f} s] {message}", flush=True)

    serializers, missing_serializers = harness.available_serializers(args.serializers)
    # multiprocessing makes its own temporary directory on first use and
    # removes it at exit; make it now, beside the scratch directory rather
    # than inside it, so that removing the scratch directory leaves it alone.
    multiprocessing.util.get_temp_dir()
    scratch = harness.Scratch()
    wanted_peers = [p for p in peers_module.PEER_ORDER if p in set(args.peers) | {"floor", "zorvik", "lmdb"}]
    peerset = None
    results = {
        "meta": {
            "started": time.strftime("%Y-%m-%d %H:%M:%S %z"),
            "quick": args.quick,
            "python": sys.version.split()[0],
            "platform": platform.platform(),
            "cpus": os.cpu_count(),
            "processor": _processor(),
            "load_average_at_start": harness.load_average(),
            "seed": args.seed,
            "tmpdir": scratch.parent_tmp,
            "tmpdir_filesystem": harness.filesystem_of(scratch.parent_tmp),
            "workloads": args.workloads,
        },
        "skipped": {f"serializer {k}": v for k, v in missing_serializers.items()},
        "workloads": {},
    }
    try:
        peerset = peers_module.PeerSet(wanted_peers, scratch)
        results["skipped"].update(peerset.skipped)
        results["meta"]["versions"] = peerset.versions
        for name, reason in peerset.skipped.items():
            log(f"left out {name}: {reason}")
        plan = workloads.make_plan(args.quick, args.repeats, args.seed, serializers, args.peers)
        results["meta"]["repeats"] = plan.repeats
        runners = {
            "ops": lambda: workloads.run_ops(plan, peerset, log),
            "procs": lambda: workloads.run_procs(plan, peerset, scratch, log),
            "sizes": lambda: workloads.run_sizes(plan, peerset, scratch, log),
            "expansion": lambda: workloads.run_expansion(plan, peerset, scratch, log),
            "creation": lambda: workloads.run_creation(plan, peerset, scratch, log),
            "space": lambda: workloads.run_space(plan, peerset, scratch, log),
            "positions": lambda: workloads.run_positions(plan, peerset, scratch, log),
        }
        for name in WORKLOADS:
            if name in args.workloads:
                begin = time.monotonic()
                results["workloads"][name] = runners[name]()
                results["workloads"][name]["seconds"] = time.monotonic() - begin
    finally:
        if peerset is not None:
            peerset.close()
        scratch.cleanup()

    results["meta"]["load_average_at_end"] = harness.load_average()
    results["meta"]["seconds"] = time.monotonic() - started
    print()
    return publish(results, args, write_json=True)


def publish(results, args, write_json) -> int:
    """Prints the tables and writes results.json, results.md and the chart."""
    import report
    results["targets"] = report.targets(results)
    print(report.text_report(results))
    os.makedirs(args.results, exist_ok=True)
    if write_json:
        with open(os.path.join(args.results, "results.json"), "w") as f:
            json.dump(results, f, indent=1)
    with open(os.path.join(args.results, "results.md"), "w") as f:
        f.write(report.markdown_report(results))
    if not args.no_chart:
        chart = args.chart or os.path.join(args.results, "chart.png")
        if report.draw_chart(results, chart):
            print(f"\nchart: {chart}")
        else:
            print("\nno chart: matplotlib is not installed")
    where = os.path.join(args.results, "results.json" if write_json else "results.md")
    print(f"results: {where} (a run of {results['meta']['seconds']:.0f} s; "
          f"load average {results['meta']['load_average_at_start'][0]:.1f} at start, "
          f"{results['meta']['load_average_at_end'][0]:.1f} at end)")
    return 0


def _processor():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor()


if __name__ == "__main__":
    sys.exit(main())

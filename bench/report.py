"""Turns the suite's results into text tables, the list of targets with
PASS/MISS, a Markdown summary and a chart."""
from __future__ import annotations

from workloads import OP_LABELS, OPS

# ---- targets ---------------------------------------------------------------------


def _target(name, value, limit, at_most, detail=""):
    ok = value == value and (value <= limit if at_most else value >= limit)
    return {"name": name, "value": value, "limit": limit, "at_most": at_most, "pass": bool(ok), "detail": detail}


def targets(results: dict) -> list:
    found = []
    workloads = results["workloads"]
    ops = workloads.get("ops", {}).get("serializers", {})
    for serializer_name, data in ops.items():
        peers = {name: p["median_ns"] for name, p in data["peers"].items()}
        z, floor, lmdb = peers.get("zorvik"), peers.get("floor"), peers.get("lmdb")
        if z and floor:
            for op, limit in (("get_hit", 1.2), ("insert", 1.4), ("replace", 1.4), ("remove", 1.5)):
                found.append(_target(f"{OP_LABELS[op]} vs the floor [{serializer_name}]", z[op] / floor[op], limit,
                                     True, f"{z[op]:.0f} ns vs {floor[op]:.0f} ns"))
        if z and lmdb:
            found.append(_target(f"insert (new key) speed-up over LMDB [{serializer_name}]",
                                 lmdb["insert"] / z["insert"], 5.0, False,
                                 f"{lmdb['insert']:.0f} ns vs {z['insert']:.0f} ns"))
            for op in ("get_hit", "get_miss"):
                found.append(_target(f"{OP_LABELS[op]} vs LMDB [{serializer_name}]", z[op] / lmdb[op], 1.0, True,
                                     f"{z[op]:.0f} ns vs {lmdb[op]:.0f} ns"))
    procs_peers = workloads.get("procs", {}).get("peers", {})
    procs = procs_peers.get("zorvik")
    if procs:
        one, two = procs["median_ops_per_s"].get("1"), procs["median_ops_per_s"].get("2")
        if one and two:
            detail = f"{two / 1e3:.0f}k vs {one / 1e3:.0f}k ops/s"
            floor = procs_peers.get("floor", {}).get("median_ops_per_s", {})
            if floor.get("1") and floor.get("2"):
                detail += f"; process-local dicts: {floor['2'] / floor['1']:.2f}x"
            found.append(_target("2 processes vs 1 process, aggregate throughput", two / one, 1.8, False, detail))
    sizes = workloads.get("sizes", {}).get("sizes", {})
    if len(sizes) >= 2:
        small_key, large_key = min(sizes, key=int), max(sizes, key=int)
        small, large = sizes[small_key]["median_ns"], sizes[large_key]["median_ns"]
        for op, serializer_part in (("get_hit", "serializer_get"), ("replace", "serializer_insert")):
            # The serializer's own time is the same at every size; take the
            # smaller of the two measurements so that no noise is subtracted twice.
            own = min(small[serializer_part], large[serializer_part])
            a, b = large[f"zorvik_{op}"] - own, small[f"zorvik_{op}"] - own
            detail = f"{a:.0f} ns vs {b:.0f} ns"
            # The process-local dict's own growth, for scale: memory that no
            # cache holds costs every store, not only zorvik.
            fa, fb = large[f"floor_{op}"] - own, small[f"floor_{op}"] - own
            if fb > 0:
                detail += f"; process-local dict: {fa:.0f} ns vs {fb:.0f} ns"
            found.append(_target(f"{OP_LABELS[op]} at {int(large_key):,} vs {int(small_key):,} entries, "
                                 "serializer time taken out", a / b if b > 0 else float("nan"), 1.5, True, detail))
    positions = workloads.get("positions", {})
    if positions.get("positions"):
        medians = [p["median_ns"] for p in positions["positions"].values()]
        found.append(_target("slowest bucket position mod 8 vs the median of the 8", positions["slowest_over_median"],
                             1.3, True, f"{max(medians):.0f} ns vs {sorted(medians)[3]:.0f}-{sorted(medians)[4]:.0f} ns"))
    return found


# ---- text tables -----------------------------------------------------------------


def _table(header, rows):
    widths = [max(len(str(x)) for x in column) for column in zip(header, *rows)]
    line = lambda cells: "  ".join(str(c).rjust(w) if i else str(c).ljust(w)  # noqa: E731
                                   for i, (c, w) in enumerate(zip(cells, widths)))
    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def _ns(value):
    if value is None or value != value:
        return "-"
    if value >= 10_000:
        return f"{value / 1000:,.0f} us"
    return f"{value:,.0f} ns"


def _bytes(value):
    return "-" if value is None else f"{value:,.0f}"


def text_report(results: dict) -> str:
    meta = results.get("meta", {})
    parts = [f"Python {meta.get('python')}, {meta.get('cpus')} CPUs ({meta.get('processor')}); segment and "
             f"store files in {meta.get('tmpdir')} ({meta.get('tmpdir_filesystem')}); load average "
             f"{meta.get('load_average_at_start', [0])[0]:.1f} at start"]
    workloads = results["workloads"]
    ops = workloads.get("ops")
    if ops:
        for serializer_name, data in ops["serializers"].items():
            peers = data["peers"]
            floor = peers.get("floor", {}).get("median_ns")
            header = ["peer"] + [OP_LABELS[op] for op in OPS] + ["bytes/entry", "ops/run"]
            rows = []
            for name, p in peers.items():
                m = p["median_ns"]
                cells = []
                for op in OPS:
                    text = _ns(m[op])
                    if floor and name != "floor":
                        text += f" ({m[op] / floor[op]:.2f}x)"
                    cells.append(text)
                rows.append([name] + cells + [_bytes(p["space_bytes_per_entry"]), f"{p['run_ops']:,}"])
            parts.append(f"1. One process, {ops['table_entries']:,} entries, {serializer_name} "
                         f"(median per operation over {ops['repeats']} runs; (x) = times the floor)\n"
                         + _table(header, rows))
    procs = workloads.get("procs")
    if procs and procs["peers"]:
        counts = sorted({n for p in procs["peers"].values() for n in p["median_ops_per_s"]}, key=int)
        header = ["peer"] + [f"{n} process{'es' if n != '1' else ''}" for n in counts] + [f"{n}p / 1p" for n in counts[1:]]
        rows = []
        for name, p in procs["peers"].items():
            m = p["median_ops_per_s"]
            rows.append([name] + [f"{m[n] / 1e3:,.0f}k ops/s" for n in counts]
                        + [f"{m[n] / m['1']:.2f}x" for n in counts[1:]])
        parts.append(f"2. Processes on one store, {procs['entries']:,} entries, 90% get / 10% insert, "
                     f"{procs['ops_per_process']:,} operations per process (median aggregate over "
                     f"{procs['repeats']} runs)\n" + _table(header, rows))
    sizes = workloads.get("sizes")
    if sizes and sizes["sizes"]:
        header = ["entries", "per bucket", "zorvik get", "zorvik replace", "zorvik miss", "floor get",
                  "floor replace", "serializer get", "serializer insert"]
        rows = []
        for entries, s in sorted(sizes["sizes"].items(), key=lambda kv: int(kv[0])):
            m = s["median_ns"]
            rows.append([f"{int(entries):,}", f"{s['entries_per_bucket']:.2f}", _ns(m["zorvik_get_hit"]),
                         _ns(m["zorvik_replace"]), _ns(m["zorvik_get_miss"]), _ns(m["floor_get_hit"]),
                         _ns(m["floor_replace"]), _ns(m["serializer_get"]), _ns(m["serializer_insert"])])
        parts.append(f"3. Size sweep, pickle (median per operation over {sizes['repeats']} runs of "
                     f"{sizes['ops_per_run']:,})\n" + _table(header, rows))
    expansion = workloads.get("expansion")
    if expansion and expansion["parallelism"]:
        header = ["expansion(p)", "time", "pool start+stop", "insert median", "insert p99", "insert worst",
                  "before: median", "before: p99"]
        rows = []
        for p, e in expansion["parallelism"].items():
            rows.append([f"p = {p}", f"{e['median_seconds']:.2f} s", f"{e['median_pool_seconds']:.2f} s",
                         _ns(e["during"]["median_ns"]), _ns(e["during"]["p99_ns"]), _ns(e["during"]["max_ns"]),
                         _ns(e["before"]["median_ns"]), _ns(e["before"]["p99_ns"])])
        parts.append(f"4. Doubling a table of {expansion['entries']:,} entries (2^"
                     f"{expansion['bucket_chunk_size_exponent']} buckets) while another process inserts "
                     f"(median over {expansion['repeats']} runs)\n" + _table(header, rows))
    creation = workloads.get("creation")
    if creation and creation["configs"]:
        header = ["brandel(...)", "time", "resident", "of which file pages", "file length", "file allocated"]
        rows = []
        for label, c in creation["configs"].items():
            m = c["median"]
            options = ", ".join(f"{k}={v}" for k, v in c["options"].items()) or "defaults"
            rows.append([options, f"{m['seconds'] * 1e3:,.0f} ms", f"{m['rss_bytes'] / 2**20:,.1f} MiB",
                         f"{m['rss_file_bytes'] / 2**20:,.1f} MiB", f"{m['file_length'] / 2**20:,.0f} MiB",
                         f"{m['file_allocated'] / 2**20:,.1f} MiB"])
        parts.append(f"5. Creation (median over {creation['repeats']} fresh processes)\n" + _table(header, rows))
    space = workloads.get("space")
    if space and space["serializers"]:
        header = ["serializer", "key+value bytes", "chunk size", "segment bytes/entry", "overhead"]
        rows = []
        for serializer_name, s in space["serializers"].items():
            for exponent, r in s["chunk_size_exponent"].items():
                rows.append([serializer_name, f"{s['payload_bytes_per_entry']:.0f}", str(r["data_chunk_size"]),
                             f"{r['bytes_per_entry']:.0f}", f"{r['overhead_factor']:.2f}x"])
        parts.append(f"6. Space: segment bytes used per entry, {space['entries']:,} entries, about 2 per bucket\n"
                     + _table(header, rows))
    positions = workloads.get("positions")
    if positions and positions["positions"]:
        header = ["bucket index mod 8"] + list(positions["positions"]) + ["slowest / median"]
        rows = [["get hit"] + [_ns(p["median_ns"]) for p in positions["positions"].values()]
                + [f"{positions['slowest_over_median']:.2f}"]]
        parts.append(f"7. Get hit by bucket position, {positions['entries']:,} entries, pickle (median per operation "
                     f"over {positions['repeats']} runs of {positions['ops_per_run']:,})\n" + _table(header, rows))
    found = results.get("targets", [])
    if found:
        rows = [["PASS" if t["pass"] else "MISS", t["name"], f"{t['value']:.2f}",
                 ("<= " if t["at_most"] else ">= ") + f"{t['limit']:g}", t["detail"]] for t in found]
        parts.append("Targets (ratios from this run)\n" + _table(["", "target", "ratio", "wanted", "figures"], rows))
    if results.get("skipped"):
        parts.append("Left out: " + "; ".join(f"{k}: {v}" for k, v in results["skipped"].items()))
    return "\n\n".join(parts)


def markdown_report(results: dict) -> str:
    """The same tables as Markdown (for the README)."""
    out = []
    for block in text_report(results).split("\n\n"):
        lines = block.splitlines()
        if len(lines) >= 3 and set(lines[2].replace(" ", "")) == {"-"}:
            title, header, body = lines[0], lines[1], lines[3:]
            # Recover the columns from the dashes line.
            spans, start = [], None
            for i, ch in enumerate(lines[2] + " "):
                if ch == "-" and start is None:
                    start = i
                elif ch != "-" and start is not None:
                    spans.append((start, i))
                    start = None
            cell = lambda row, a, b, last: (row[a:] if last else row[a:b]).strip()  # noqa: E731
            split = lambda row: [cell(row, a, b, i == len(spans) - 1) for i, (a, b) in enumerate(spans)]  # noqa: E731
            out.append(f"**{title}**\n")
            out.append("| " + " | ".join(split(header)) + " |")
            out.append("|" + "|".join("---" for _ in spans) + "|")
            out.extend("| " + " | ".join(split(row)) + " |" for row in body)
            out.append("")
        else:
            out.append(block + "\n")
    return "\n".join(out)


# ---- chart ------------------------------------------------------------------------


def draw_chart(results: dict, path: str) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    workloads = results["workloads"]
    fig, axes = plt.subplots(2, 2, figsize=(11, 7.5), dpi=72)
    meta = results.get("meta", {})
    fig.suptitle(f"zorvik and its peers: medians of {meta.get('repeats')} runs, {meta.get('cpus')} cores, "
                 f"files on {meta.get('tmpdir_filesystem')}", fontsize=10)
    _chart_ops(axes[0][0], workloads.get("ops"))
    _chart_procs(axes[0][1], workloads.get("procs"))
    _chart_sizes(axes[1][0], workloads.get("sizes"))
    _chart_expansion(axes[1][1], workloads.get("expansion"))
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return True


def _bar_positions(series, index, width, groups):
    """x positions of the bars of series `index` (of `series`) in groups 0 .. groups-1."""
    return [j + (index - (series - 1) / 2) * width for j in range(groups)]


def _finish(ax, title, ylabel, xlabel=None, **legend):
    if xlabel:
        ax.set_xlabel(xlabel, fontsize=8)
    ax.set_ylabel(ylabel, fontsize=8)
    ax.set_title(title, fontsize=9)
    ax.legend(fontsize=7, **legend)


def _empty(ax, title):
    ax.set_title(title, fontsize=9)
    ax.text(0.5, 0.5, "not run", ha="center", va="center", transform=ax.transAxes)
    ax.set_axis_off()


def _chart_ops(ax, ops):
    title = "One process: time per operation (log scale)"
    if not ops or not ops["serializers"]:
        return _empty(ax, title)
    serializer_name = "pickle" if "pickle" in ops["serializers"] else next(iter(ops["serializers"]))
    peers = ops["serializers"][serializer_name]["peers"]
    width = 0.8 / len(peers)
    for i, (name, p) in enumerate(peers.items()):
        ax.bar(_bar_positions(len(peers), i, width, len(OPS)), [p["median_ns"][op] / 1000 for op in OPS], width,
               label=name)
    ax.set_xticks(range(len(OPS)), [OP_LABELS[op] for op in OPS], fontsize=8)
    ax.set_yscale("log")
    # Head room above the tallest bar for the legend.
    tallest = max(p["median_ns"][op] for p in peers.values() for op in OPS) / 1000
    ax.set_ylim(top=tallest * 30)
    _finish(ax, f"{title}, {ops['table_entries']:,} entries, {serializer_name}", "microseconds per operation",
            ncol=4, loc="upper center", frameon=False)


def _chart_procs(ax, procs):
    title = "Processes on one store: 90% get, 10% insert"
    if not procs or not procs["peers"]:
        return _empty(ax, title)
    for name, p in procs["peers"].items():
        counts = sorted(p["median_ops_per_s"], key=int)
        label = "floor (a dict in each process)" if name == "floor" else name
        ax.plot([int(n) for n in counts], [p["median_ops_per_s"][n] / 1e3 for n in counts], marker="o", label=label)
    ax.set_xticks([1, 2, 4])
    ax.set_ylim(bottom=0)
    _finish(ax, title, "thousand operations per second", "processes (2 cores)")


def _chart_sizes(ax, sizes):
    title = "Time per operation by number of entries (pickle)"
    if not sizes or not sizes["sizes"]:
        return _empty(ax, title)
    keys = sorted(sizes["sizes"], key=int)
    xs = [int(k) for k in keys]
    for series, label in (("zorvik_get_hit", "zorvik get"), ("zorvik_replace", "zorvik replace"),
                          ("floor_get_hit", "floor get"), ("floor_replace", "floor replace"),
                          ("serializer_get", "serializer alone (get)")):
        style = "--" if series.startswith(("floor", "serializer")) else "-"
        ax.plot(xs, [sizes["sizes"][k]["median_ns"][series] / 1000 for k in keys], style, marker="o", label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    _finish(ax, title, "microseconds per operation", "entries")


def _chart_expansion(ax, expansion):
    title = "Insert latency in another process (log scale)"
    if not expansion or not expansion["parallelism"]:
        return _empty(ax, title)
    groups = [("before", "no expansion", None)]
    groups += [("during", f"during expansion({p})", p) for p in expansion["parallelism"]]
    stats = ["median_ns", "p99_ns", "max_ns"]
    width = 0.8 / len(groups)
    first = next(iter(expansion["parallelism"].values()))
    for i, (part, label, p) in enumerate(groups):
        source = first if p is None else expansion["parallelism"][p]
        if p is not None:
            label += f": {source['median_seconds']:.2f} s"
        values = [(source[part][s] or 0) / 1000 for s in stats]
        ax.bar(_bar_positions(len(groups), i, width, len(stats)), values, width, label=label)
    ax.set_xticks(range(len(stats)), ["median", "99th percentile", "worst"], fontsize=8)
    ax.set_yscale("log")
    _finish(ax, f"{title}, table of {expansion['entries']:,} entries", "microseconds per insert")

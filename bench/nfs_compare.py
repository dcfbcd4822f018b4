#!/usr/bin/env python3
"""Side-by-side medians of nfsbench outputs of several servers.

  nfs_compare.py run1.txt run2.txt ...

Rows are grouped by (server, workload, qd); a row that failed verification is
never used. One line per workload: the median main figure of each server
(MiB/s for data rows, ops/s otherwise), the ratio of each quen column to the
ganesha column, and each server's CPU time per request (median over the runs
of srv cpu% x secs / ops). The last column is the highest median "other cpu%"
of the line: CPU used on the machine by neither client nor server, i.e. how
disturbed the figures are.
"""
import statistics
import sys

COLS = ["server", "workload", "qd", "ops", "secs", "ops/s", "MiB/s", "p50 us", "p99 us",
        "cli cpu%", "srv cpu%", "other cpu%", "check / notes"]


def num(s):
    try:
        return float(s)
    except ValueError:
        return None


def rows(path):
    with open(path) as f:
        for line in f:
            if not line.startswith("| ") or line.startswith("| server "):
                continue
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if len(cells) == len(COLS):
                yield dict(zip(COLS, cells))


def cpu_us_per_op(r):
    cpu, secs, ops = num(r["srv cpu%"]), num(r["secs"]), num(r["ops"])
    # Process CPU time is counted in ticks: a row shorter than a few is no measure.
    if cpu is None or secs is None or secs < 0.05 or not ops:
        return None
    return cpu / 100.0 * secs / ops * 1e6


def median(vals):
    vals = [v for v in vals if v is not None]
    return statistics.median(vals) if vals else None


def fmt(v, digits=0):
    return "-" if v is None else f"{v:.{digits}f}"


def main(paths):
    groups, workloads, servers, failed = {}, [], [], 0
    for path in paths:
        for r in rows(path):
            if not r["check / notes"].startswith("ok"):
                failed += 1
                continue
            key = (r["workload"], r["qd"])
            if key not in workloads:
                workloads.append(key)
            if r["server"] not in servers:
                servers.append(r["server"])
            groups.setdefault((r["server"],) + key, []).append(r)
    if not servers:
        print("no verified rows")
        return 1
    quens = sorted((s for s in servers if not s.startswith("ganesha")),
                   key=lambda s: (len(s), s))
    others = [s for s in servers if s.startswith("ganesha")]
    ref = others[0] if others else None
    cols = quens + others
    short = {s: s.split(" ")[0] if s.startswith("ganesha") else s.replace("quen ds=", "q").replace(" ", "+")
             for s in cols}
    head = ["workload", "qd", "unit"] + [short[s] for s in cols]
    if ref:
        head += [f"{short[q]}/{short[ref]}" for q in quens]
    head += [f"cpu us/op {short[s]}" for s in cols] + ["other cpu%"]
    print("| " + " | ".join(head) + " |")
    print("|---|---:|---|" + "---:|" * (len(head) - 3))
    for wl, qd in workloads:
        g = {s: groups.get((s, wl, qd), []) for s in cols}
        sample = next(r for rs in g.values() for r in rs)
        unit = "MiB/s" if num(sample["MiB/s"]) is not None else "ops/s"
        main_fig = {s: median(num(r[unit]) for r in g[s]) for s in cols}
        cells = [wl, qd, unit] + [fmt(main_fig[s], 1 if unit == "MiB/s" else 0) for s in cols]
        if ref:
            for q in quens:
                a, b = main_fig[q], main_fig[ref]
                cells.append("-" if a is None or not b else f"{a / b:.2f}" if a / b >= 0.1 else f"{a / b:.3f}")
        cells += [fmt(median(cpu_us_per_op(r) for r in g[s]), 1) for s in cols]
        noise = [median(num(r["other cpu%"]) for r in g[s]) for s in cols]
        cells.append(fmt(max((v for v in noise if v is not None), default=None)))
        print("| " + " | ".join(cells) + " |")
    if failed:
        print(f"\n{failed} row(s) failed verification and were left out")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

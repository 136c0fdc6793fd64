"""Writes the benchmark report from the summaries of bench/run_bench.py.

    python bench/report.py --results RESULTS.md --plot ratios.png \
        [--seconds N] build/bench/cp37.json build/bench/cp38.json ...

RESULTS.md gets one table per interpreter (medians of the module, the twin
and the floor, the two ratios, the target and whether it is met) and
ratios.png the ratio of every case on every interpreter: each case labelled
with its title and the operation it times, each bar with the spread of its
values, the targets drawn and every missed one marked (hatched bar, ✗).
Needs matplotlib (make bench runs it in build/plot-venv).  The section of
instruction counts that make bench-instructions writes into RESULTS.md
(instructions_report.py) is kept, at the end of the file.

The targets of run_bench.py hold for CPython 3.11.  On 3.8 to 3.13 a result
within 20 % of the target meets it (a speed-up of at least 0.8 times the
target, a cost over the floor of at most 1.2 times the target); 3.7 has no
target and is reported for information.
"""

import argparse
import datetime
import json
import math
import os
import platform
import re
import textwrap

from instructions_report import cpu_name, kept_section

TARGET_TAG = "cp311"
TOLERANT_TAGS = ("cp38", "cp39", "cp310", "cp312", "cp313")
TOLERANCE = 0.20


def target_for(tag, target):
    """(op, value) that the ratio must meet on this interpreter, or None."""
    op, value = target["op"], target["value"]
    if tag == TARGET_TAG:
        return op, value
    if tag in TOLERANT_TAGS:
        return op, value * (1 - TOLERANCE) if op == ">=" else value * (1 + TOLERANCE)
    return None


def ratios(case):
    r = case["results"]
    twin = r["twin"]["median"] / r["native"]["median"] if "twin" in r else None
    floor = r["native"]["median"] / r["floor"]["median"] if "floor" in r else None
    return {"twin/native": twin, "native/floor": floor}


def verdict(tag, case):
    """(ratio value, (op, limit) or None, met or None)."""
    value = ratios(case)[case["target"]["ratio"]]
    limit = target_for(tag, case["target"])
    if limit is None:
        return value, None, None
    op, bound = limit
    return value, limit, value >= bound if op == ">=" else value <= bound


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale or unit == "ns":
            value = seconds / scale
            return "{:.3g} {}".format(value, unit) if value < 100 else "{:.0f} {}".format(value, unit)


def fmt_cell(stats):
    if stats is None:
        return "—"
    return "{} ±{:.0f}%".format(fmt_time(stats["median"]), 100 * stats["rel_stdev"])


def fmt_ratio(value):
    return "—" if value is None else "{:.2f}×".format(value)


def fmt_target(ratio, limit):
    if limit is None:
        return "— (no target)"
    op, bound = limit
    return "{} {} {:.2f}×".format(ratio, "≥" if op == ">=" else "≤", bound)


def interpreter_table(summary):
    tag = summary["tag"]
    lines = [
        "| case | native | twin | floor | twin/native | native/floor | target | met |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for case in summary["cases"]:
        r = case["results"]
        rs = ratios(case)
        _, limit, met = verdict(tag, case)
        lines.append("| {} {} | {} | {} | {} | {} | {} | {} | {} |".format(
            case["key"], case["title"], fmt_cell(r.get("native")), fmt_cell(r.get("twin")),
            fmt_cell(r.get("floor")), fmt_ratio(rs["twin/native"]),
            fmt_ratio(rs["native/floor"]), fmt_target(case["target"]["ratio"], limit),
            "n/a" if met is None else ("yes" if met else "**no**")))
    return lines


# One-minute load average above which another job shared the machine: the
# benchmark keeps one core busy, and its worker processes start one at a time.
BUSY_LOAD = 1.6


def fmt_rate(ops):
    return "{:,.0f}/s".format(ops)


def scaling_verdicts(summary):
    """(entry, met or None) for the thread-scaling cases of a summary."""
    return [(e, e["native"]["scaling"] >= e["target"] if e["key"] != "S0" else None)
            for e in summary.get("scaling") or []]


def scaling_table(summary):
    out = ["Thread scaling (free-threaded build): operations per second on 1 and "
           "on 2 threads, each thread with its own instance or str: the best of "
           "{} in which 1 and 2 threads take turns (the machine's second core is "
           "not always free; the control S0 shows what it gives), and the median "
           "of the rounds' ratios.".format(plural(15, "round")), "",
           "| case | 1 thread | 2 threads | 2 threads / 1 | median of rounds | "
           "twin 2 / 1 | target | met |",
           "|---|---|---|---|---|---|---|---|"]
    for entry, met in scaling_verdicts(summary):
        native, twin = entry["native"], entry.get("twin")
        out.append("| {} {} | {} | {} | {:.2f}× | {:.2f}× | {} | {} | {} |".format(
            entry["key"], entry["title"], fmt_rate(native["one"]), fmt_rate(native["two"]),
            native["scaling"], native["median_scaling"],
            "{:.2f}×".format(twin["scaling"]) if twin else "—",
            "≥ {:.2f}×".format(entry["target"]) if met is not None else "—",
            "n/a" if met is None else "yes" if met else "**no**"))
    return out


def is_busy(summary):
    loads = [summary.get("load_before"), summary.get("load_after")]
    return any(load is not None and load > BUSY_LOAD for load in loads)


def plural(n, word):
    return "{} {}{}".format(n, word, "" if n == 1 else "es" if word.endswith("s") else "s")


def write_results(path, summaries, seconds):
    first = summaries[0]
    config = first["pyperf_config"]
    smoke = any(s["smoke"] for s in summaries)
    out = ["# Benchmark results: quorvane.global_var.globals", ""]
    if smoke:
        out += ["**Smoke run (`make bench BENCH_FAST=1`): one value per "
                "benchmark; the numbers below are not measurements.**", ""]
    out += [
        "Written by `make bench` on {} ({}, {} cores, {}).".format(
            datetime.date.today().isoformat(), cpu_name(), os.cpu_count(),
            platform.system()),
        "See README.md in this directory for what each case measures.",
        "",
        "- *native*: the extension module; *twin*: `bench/twin.py`, the same "
        "module written in plain Python; *floor*: the library call underneath "
        "(P3: `parser.getint(section, option)`; P4: "
        "`unidecode(s.encode(\"ascii\", \"ignore\").decode(\"ascii\", \"ignore\"))`; "
        "P6: `ConfigParser().read(path)`).",
        "- Times are medians per operation over {} ({} × {} × {} per "
        "process, each of at least {:g} ms, with the cyclic garbage collector "
        "off while the clock runs); ± is the relative standard deviation of "
        "those values.".format(
            plural(first["cases"][0]["results"]["native"]["values"], "value"),
            plural(config["rounds"], "round"), plural(config["processes"], "process"),
            plural(config["values"], "value"), config["min_time"] * 1000),
        "- Targets hold for CPython 3.11; on 3.8–3.13 a ratio within 20 % of "
        "the target meets it (speed-ups ≥ 0.8 × the target, costs over the "
        "floor ≤ 1.2 × the target); 3.7 has none.",
        "- The module and the twin (and the floor) were checked to give equal "
        "results on each case's input before it was timed, and nothing was "
        "written to stderr while checking or timing.",
    ]
    if seconds is not None:
        out.append("- Timing all interpreters took {:.0f} s ({}).".format(
            seconds, ", ".join("{} {:.0f} s".format(s["tag"], s["seconds"])
                               for s in summaries)))
    out += ["", "## Summary", ""]
    for s in summaries:
        verdicts = [(c, verdict(s["tag"], c)) for c in s["cases"]]
        judged = [(c, v) for c, v in verdicts if v[2] is not None]
        missed = [(c, v) for c, v in judged if not v[2]]
        if not judged:
            text = "no targets (reported for information)"
        elif not missed:
            text = "all {} targets met".format(len(judged))
        else:
            text = "{} of {} targets met; missed: {}".format(
                len(judged) - len(missed), len(judged), "; ".join(
                    "{} {} {:.2f}× (target {})".format(
                        c["key"], c["target"]["ratio"], v[0],
                        fmt_target(c["target"]["ratio"], v[1]).split(" ", 1)[1])
                    for c, v in missed))
        scaling = [(e, met) for e, met in scaling_verdicts(s) if met is not None]
        if scaling:
            text += "; thread scaling {} (target ≥ {:.2f}×): {}".format(
                ", ".join("{} {:.2f}×".format(e["key"], e["native"]["scaling"])
                          for e, _ in scaling), scaling[0][0]["target"],
                "met" if all(met for _, met in scaling) else "missed by " + ", ".join(
                    e["key"] for e, met in scaling if not met))
        out.append("- **CPython {}** ({}): {}".format(s["python"], s["tag"], text))
    busy = [s for s in summaries if is_busy(s)]
    if busy:
        out += ["", "**The machine was busy with other work while {} ran (load "
                "average above {:g} on {} cores, where the benchmark itself adds "
                "about 1): those numbers are unreliable.**".format(
                    ", ".join(s["tag"] for s in busy), BUSY_LOAD, os.cpu_count())]
    for s in summaries:
        out += ["", "## CPython {} ({})".format(s["python"], s["tag"]), "",
                "pyperf {}, Unidecode {}, module `{}`; load average {} before, "
                "{} after.".format(s["pyperf"], s["unidecode"], s["module_file"],
                                   s.get("load_before"), s.get("load_after")), ""]
        out += interpreter_table(s)
        if s.get("scaling"):
            out += [""] + scaling_table(s)
    # Figures of earlier states, kept by hand.
    history = os.path.join(os.path.dirname(os.path.abspath(__file__)), "history.md")
    if os.path.exists(history) and not smoke:
        with open(history, encoding="utf-8") as fh:
            out += [""] + fh.read().rstrip("\n").split("\n")
    # The instruction counts of make bench-instructions stay as they are.
    instructions = kept_section(path)
    if instructions:
        out += [""] + instructions
    with open(path, "w", encoding="utf-8") as fh:
        fh.write("\n".join(out) + "\n")


def ratio_spread(case, ratio):
    """The ratio's relative standard deviation, from those of its two medians'
    values (independent measurements: the relative deviations add in
    quadrature); None when either has fewer than two values."""
    r = case["results"]
    names = ratio.split("/")
    if any(r[n]["values"] < 2 for n in names):
        return None
    return math.sqrt(sum(r[n]["rel_stdev"] ** 2 for n in names))


def operation(case):
    """What the case times, as code: the start of its description, up to the
    first ':' or ' on ' (run_bench.py writes them that way)."""
    return re.split(r":| on ", case["measures"], maxsplit=1)[0]


def case_label(case):
    return "{}\n{}\n{}".format(case["key"], textwrap.fill(case["title"], 25),
                               operation(case))


def write_plot(path, summaries):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    cases = {c["key"]: c for c in summaries[0]["cases"]}
    keys = list(cases)
    panels = [
        ("twin/native", "How much faster than the plain-Python twin\n"
                        "(twin / native, higher is better)"),
        ("native/floor", "Cost over the library call underneath\n"
                         "(native / floor, lower is better)"),
    ]
    panels = [(ratio, title, [k for k in keys if cases[k]["target"]["ratio"] == ratio])
              for ratio, title in panels]
    panels = [p for p in panels if p[2]]
    fig, axes = plt.subplots(1, len(panels), figsize=(4 + 1.7 * len(keys), 6.5),
                             gridspec_kw={"width_ratios": [len(p[2]) for p in panels]},
                             squeeze=False)
    n = len(summaries)
    width = 0.8 / n
    colors = plt.get_cmap("viridis")([i / max(n - 1, 1) for i in range(n)])
    missed_any = spread_missing = False
    for ax, (ratio, title, case_keys) in zip(axes[0], panels):
        top = 0.0
        for i, s in enumerate(summaries):
            by_key = {c["key"]: c for c in s["cases"]}
            for j, k in enumerate(case_keys):
                case = by_key.get(k)
                if case is None:
                    continue
                x = j - 0.4 + width * (i + 0.5)
                y = ratios(case)[ratio]
                spread = ratio_spread(case, ratio)
                spread_missing = spread_missing or spread is None
                met = verdict(s["tag"], case)[2]
                missed = met is False
                missed_any = missed_any or missed
                ax.bar(x, y, width, color=colors[i],
                       label="CPython " + s["python"] + (
                           " free-threaded" if s["tag"].endswith("t") else "")
                       if j == 0 else None,
                       hatch="///" if missed else None,
                       edgecolor="crimson" if missed else colors[i],
                       linewidth=1.5 if missed else 0)
                err = y * spread if spread else 0.0
                if spread is not None:
                    ax.errorbar(x, y, yerr=[[min(err, y)], [err]], fmt="none", ecolor="black",
                                elinewidth=0.8, capsize=2)
                if missed:
                    ax.annotate("✗", (x, y + err), xytext=(0, 2),
                                textcoords="offset points", ha="center",
                                va="bottom", color="crimson", fontsize=10,
                                fontweight="bold")
                top = max(top, y + err)
        for j, k in enumerate(case_keys):
            t = cases[k]["target"]
            ax.hlines(t["value"], j - 0.45, j + 0.45, colors="crimson", linewidth=2)
            tolerant = t["value"] * (1 - TOLERANCE if t["op"] == ">=" else 1 + TOLERANCE)
            ax.hlines(tolerant, j - 0.45, j + 0.45, colors="crimson", linewidth=1,
                      linestyles="dashed")
            top = max(top, t["value"], tolerant)
        if ratio == "native/floor":
            ax.axhline(1.0, color="grey", linewidth=0.8)
        ax.set_ylim(0, top * 1.1)
        ax.set_xticks(range(len(case_keys)))
        ax.set_xticklabels([case_label(cases[k]) for k in case_keys], fontsize=8)
        ax.set_title(title, fontsize=10)
        ax.set_ylabel(ratio)
        ax.grid(axis="y", alpha=0.3)
    handles, labels = axes[0][0].get_legend_handles_labels()
    handles += [plt.Line2D([], [], color="crimson", linewidth=2),
                plt.Line2D([], [], color="crimson", linewidth=1, linestyle="dashed"),
                plt.Line2D([], [], color="black", linewidth=0.8, marker="_",
                           markersize=6)]
    labels += ["target (3.11)", "within 20 % (3.8–3.13)",
               "± std. dev. of the ratio (from both variants' values)"
               + (" (none: one value)" if spread_missing else "")]
    if missed_any:
        handles.append(Patch(facecolor="white", edgecolor="crimson", hatch="///"))
        labels.append("✗ target missed on that interpreter")
    fig.legend(handles, labels, loc="lower center", ncol=min(len(labels), 5), fontsize=8)
    smoke = " (smoke run: not measurements)" if any(s["smoke"] for s in summaries) else ""
    fig.suptitle("quorvane.global_var.globals: benchmark ratios" + smoke)
    fig.tight_layout(rect=(0, 0.12, 1, 0.95))
    fig.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("summaries", nargs="+", help="cpXY.json files of run_bench.py")
    parser.add_argument("--results", required=True, help="Markdown file to write")
    parser.add_argument("--plot", required=True, help="PNG file to write")
    parser.add_argument("--seconds", type=float, help="duration of the timing, for the report")
    args = parser.parse_args()
    summaries = []
    for name in args.summaries:
        with open(name, encoding="utf-8") as fh:
            summaries.append(json.load(fh))
    summaries.sort(key=lambda s: tuple(int(x) for x in s["python"].split(".")[:2]))
    write_results(args.results, summaries, args.seconds)
    write_plot(args.plot, summaries)
    print("== report: {} and {}".format(args.results, args.plot))


if __name__ == "__main__":
    main()

"""Writes the instruction-count report from the results of
bench/instructions.py.

    python bench/instructions_report.py --results RESULTS.md \
        --plot instructions.png build/bench/instructions/cp311.json ...

The report is one section of RESULTS.md, between the two marker lines
below: it replaces the section that is there, or is appended when there is
none, and leaves the rest of the file alone (report.py, which writes the
timings, keeps the section in turn).  It is printed as well.  The plot
(needs matplotlib) shows the ratios of the table.
"""

import argparse
import datetime
import json
import os
import platform
import textwrap

BEGIN = "<!-- begin: instruction counts, written by make bench-instructions -->"
END = "<!-- end: instruction counts -->"

BUILDS = ("default", "public")
# Elements of P5's structure and option names of P6's file (bench/inputs.py).
P5_ELEMENTS = 10000
P6_OPTIONS = 5000

# The goals set for the instruction counts: (what, ratio, op, bound, tags,
# case keys or None for every case).  ratio is a key of ratios() below.
TARGETS = [
    ("public-API build ≤ 1.15 × default build, 3.13, every case", "public/default",
     "<=", 1.15, ("cp313",), None),
    ("free-threaded 3.13 ≤ 1.30 × default build of 3.13, every case", "ft/default",
     "<=", 1.30, ("cp313t",), None),
    ("P3 ≤ 1.08 × `getint`", "default/floor", "<=", 1.08, ("cp311", "cp313"), ("P3",)),
    ("P4a ≤ 0.75 × the twin's instructions, 3.11", "twin/default", ">=", 1 / 0.75,
     ("cp311",), ("P4a",)),
    ("P4a ≤ 0.80 × the twin's instructions, 3.13", "twin/default", ">=", 1 / 0.80,
     ("cp313",), ("P4a",)),
    ("P6 ≤ 1.30 × `read`", "default/floor", "<=", 1.30, ("cp311", "cp313"), ("P6",)),
    # The newest CPython, where only the public-API build exists.
    ("`g.MAX_ROWS` ≤ 2,000 instructions, 3.14", "default", "<=", 2000, ("cp314",), ("R1",)),
    ("`g.MAX_ROWS` ≥ 5 × fewer than the twin's, 3.14", "twin/default", ">=", 5,
     ("cp314",), ("R1",)),
    ("`g.NOT_A_SETTING` ≥ 4 × fewer than the twin's, 3.14", "twin/default", ">=", 4,
     ("cp314",), ("R2",)),
    ("an ASCII str ≤ 0.80 × the twin's instructions, 3.14", "twin/default", ">=", 1 / 0.80,
     ("cp314",), ("P4a", "R4")),
]


def per_op(case, variant):
    entry = case["results"].get(variant) if case else None
    return entry["per_op"] if entry else None


def quotient(a, b):
    return a / b if a is not None and b else None


def gil_twin(summary, by_tag):
    """The summary of the interpreter with the GIL of the same version, for
    a free-threaded one (cp313 for cp313t), else None."""
    tag = summary["tag"]
    return by_tag.get(tag[:-1]) if tag.endswith("t") else None


def ratios(case, other_case=None):
    default = per_op(case, "default")
    return {
        "default": default,
        "twin/default": quotient(per_op(case, "twin"), default),
        "public/default": quotient(per_op(case, "public"), default),
        "default/floor": quotient(default, per_op(case, "floor")),
        "ft/default": quotient(default, per_op(other_case, "default")),
    }


def fmt_count(value):
    return "—" if value is None else "{:,.0f}".format(value)


def fmt_ratio(value):
    return "—" if value is None else "{:.2f}×".format(value)


def label(summary):
    return "{} ({})".format(summary["python"], summary["tag"])


def cases_of(summary):
    return {case["key"]: case for case in summary["cases"]}


def extra_builds(summaries):
    """Builds given to instructions.py under other names than default and
    public (--ext NAME=...), in order of appearance."""
    names = []
    for s in summaries:
        for case in s["cases"]:
            for v in case["results"]:
                if v not in BUILDS + ("twin", "floor", "strfloor") and v not in names:
                    names.append(v)
    return names


def main_table(summaries):
    by_tag = {s["tag"]: s for s in summaries}
    extra = extra_builds(summaries)
    keys = []
    for s in summaries:
        keys += [c["key"] for c in s["cases"] if c["key"] not in keys]
    head = (["case", "CPython", "default", "public"] + extra + ["twin", "floor",
            "twin / default", "public / default"] + ["{} / default".format(v) for v in extra]
            + ["default / floor", "free-threaded / default of the GIL build"])
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for key in keys:
        first = True
        for s in summaries:
            case = cases_of(s).get(key)
            if case is None:
                continue
            other = gil_twin(s, by_tag)
            r = ratios(case, cases_of(other).get(key) if other else None)
            cells = ["{} {}<br>`{}`".format(key, case["title"], case["operation"])
                     if first else "", label(s)]
            cells += [fmt_count(per_op(case, v)) for v in BUILDS + tuple(extra)]
            cells += [fmt_count(per_op(case, "twin")), fmt_count(per_op(case, "floor")),
                      fmt_ratio(r["twin/default"]), fmt_ratio(r["public/default"])]
            cells += [fmt_ratio(quotient(per_op(case, v), per_op(case, "default")))
                      for v in extra]
            cells += [fmt_ratio(r["default/floor"]), fmt_ratio(r["ft/default"])]
            lines.append("| " + " | ".join(cells) + " |")
            first = False
    return lines


def per_element_table(summaries):
    """What one str (P4a), one element of P5 and one option name of P6 over
    the file's reading cost, side by side."""
    rows = []
    for s in summaries:
        cases = cases_of(s)
        for key, what, value in (
                ("P4a", "P4a: one ASCII str", lambda c, v: per_op(c, v)),
                ("P5", "P5: one element of 10,000",
                 lambda c, v: quotient(per_op(c, v), P5_ELEMENTS)),
                ("P6", "P6: one option name, beyond `read`",
                 lambda c, v: None if per_op(c, v) is None or per_op(c, "floor") is None
                 else (per_op(c, v) - per_op(c, "floor")) / P6_OPTIONS)):
            case = cases.get(key)
            if case is not None:
                rows.append("| {} | {} | {} |".format(what, label(s), " | ".join(
                    fmt_count(value(case, v)) for v in BUILDS + ("twin",))))
    if not rows:
        return []
    return ["| per | CPython | default | public | twin |", "|---|---|---|---|---|"] + rows


def str_floor_table(summaries):
    rows = []
    for s in summaries:
        for case in s["cases"]:
            floor = per_op(case, "strfloor")
            if floor is None:
                continue
            cells = ["{} `{}`".format(case["key"], case["operation"]), label(s),
                     fmt_count(floor)]
            for build in BUILDS:
                value = per_op(case, build)
                cells += [fmt_count(value), fmt_count(None if value is None else value - floor),
                          fmt_ratio(quotient(value, floor))]
            rows.append("| " + " | ".join(cells) + " |")
    if not rows:
        return []
    head = ["case", "CPython", "str floor"]
    for build in BUILDS:
        head += [build, "{} overhead".format(build), "{} / str floor".format(build)]
    return ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)] + rows


def target_lines(summaries):
    by_tag = {s["tag"]: s for s in summaries}
    out = []
    for what, ratio, op, bound, tags, keys in TARGETS:
        met, missed = [], []
        for tag in tags:
            s = by_tag.get(tag)
            if s is None:
                continue
            other = gil_twin(s, by_tag)
            for case in s["cases"]:
                if keys is not None and case["key"] not in keys:
                    continue
                other_case = cases_of(other).get(case["key"]) if other else None
                value = ratios(case, other_case)[ratio]
                if value is None:
                    continue
                ok = value <= bound if op == "<=" else value >= bound
                shown = ("{:,.0f}" if ratio == "default" else "{:.3f}×").format(value)
                (met if ok else missed).append("{} {} {}".format(tag, case["key"], shown))
        if not met and not missed:
            continue
        text = "met" if not missed else "**missed** by " + ", ".join(missed)
        if met and missed:
            text += "; met by " + ", ".join(met)
        elif met:
            text += " ({})".format(", ".join(met))
        out.append("- {} ({} {} {}): {}".format(
            what, ratio, "≤" if op == "<=" else "≥",
            "{:,}".format(bound) if ratio == "default" else "{:.2f}".format(bound), text))
    return out


def cpu_name():
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def section(summaries, seconds):
    first = summaries[0]
    builds = {}
    for s in summaries:
        for name, b in s["builds"].items():
            builds.setdefault(name, []).append("`{}` ({}{})".format(
                b["file"], b["sha256"][:8],
                ", the same file as {}'s, counted once".format(b["same_as"])
                if "same_as" in b else ""))
    counts = sorted({tuple(c["counts"]) for s in summaries for c in s["cases"]}, reverse=True)
    out = [BEGIN, "## Instructions per operation (callgrind)", "",
           "Written by `make bench-instructions` on {} ({}, {}; {}, Unidecode {}).".format(
               datetime.date.today().isoformat(), cpu_name(), platform.system(),
               first["valgrind"], first["unidecode"]),
           "See README.md in this directory, *Instruction counts*, for how they "
           "are counted and how to read them; `instructions.png` plots the ratios.",
           "",
           "- Instructions per operation: the instructions of a process making N "
           "operations minus those of the same process making M, divided by N − M "
           "(N, M = {}), with `PYTHONHASHSEED=0`; start-up, imports, set-up and "
           "warm-up cancel out. Counts repeat exactly from run to run, but a change "
           "of what the process allocated before (the heap's layout) can move "
           "them by about 1 % (50 instructions on the smallest): smaller "
           "differences mean nothing.".format(
               " and ".join("{:,}, {:,}".format(*c) for c in counts)),
           "- *default*: the build `make` copies into the package; *public*: "
           "`make PUBLIC_API_ONLY=1`'s (on free-threaded interpreters both "
           "builds use the public API only); *twin*: `bench/twin.py`; *floor*: "
           "the library call underneath (P3 `parser.getint(section, option)`, "
           "P4 and R4 `unidecode(s.encode(\"ascii\", \"ignore\").decode(\"ascii\", "
           "\"ignore\"))`, P6 `ConfigParser().read(path)`).",
           "- R1, R2, R4: the operations whose counts issue #16 quotes (counted "
           "there in a loop at module level, which adds about 500 per operation).",
           "- Builds: " + "; ".join("{}: {}".format(name, ", ".join(files))
                                   for name, files in builds.items()) + ".",
           ]
    if seconds is not None:
        out.append("- Counting took {:.0f} s ({}).".format(seconds, ", ".join(
            "{} {:.0f} s".format(s["tag"], s["seconds"]) for s in summaries)))
    targets = target_lines(summaries)
    if targets:
        out += ["", "Targets:", ""] + targets
    out += [""] + main_table(summaries)
    per_element = per_element_table(summaries)
    if per_element:
        out += ["", "Per str or element (P5: strs, numbers and containers alike; "
                "P6: (build − floor) / 5,000 option names):", ""] + per_element
    str_floor = str_floor_table(summaries)
    if str_floor:
        out += ["", "The str path against its floor (*str floor*: `bench/str_floor.cpp`, "
                "the work that exactness requires for one plain str — the global read "
                "three times, the two AttributeErrors with their entries and handled "
                "state, the ASCII text, the call of `unidecode` — done in a C loop with "
                "the cheapest public calls; *overhead*: what the build does beyond it, "
                "the call of `apply_unidecoding` itself included):", ""] + str_floor
    out.append(END)
    return out


def kept_section(path):
    """The section as it stands in the file at path (lines), or []: for
    report.py, which rewrites the rest of the file."""
    try:
        with open(path, encoding="utf-8") as fh:
            old = fh.read()
    except FileNotFoundError:
        return []
    start, end = old.find(BEGIN), old.find(END)
    return old[start:end + len(END)].split("\n") if 0 <= start < end else []


def splice(path, lines):
    """Puts the section into the file at path: in place of the one there, or
    at its end."""
    text = "\n".join(lines) + "\n"
    try:
        with open(path, encoding="utf-8") as fh:
            old = fh.read()
    except FileNotFoundError:
        old = ""
    start, end = old.find(BEGIN), old.find(END)
    if start >= 0 and end > start:
        new = old[:start] + text + old[end + len(END):].lstrip("\n")
    else:
        new = old.rstrip("\n") + ("\n\n" if old else "") + text
    with open(path, "w", encoding="utf-8") as fh:
        fh.write(new)


PLOT_PANELS = [
    ("twin/default", "How much more the twin executes\n(twin / default build, higher is better)"),
    ("public/default", "Public-API build against the default build\n(lower is better)"),
    ("default/floor", "Cost over the library call underneath\n(default build / floor, "
                      "lower is better)"),
    ("ft/default", "Free-threaded against the GIL build\n(default builds, lower is better)"),
]


def write_plot(path, summaries):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    by_tag = {s["tag"]: s for s in summaries}
    keys = []
    for s in summaries:
        keys += [c["key"] for c in s["cases"] if c["key"].startswith("P") and c["key"] not in keys]
    titles = {c["key"]: c for s in summaries for c in s["cases"]}
    colors = dict(zip([s["tag"] for s in summaries], plt.get_cmap("viridis")(
        [i / max(len(summaries) - 1, 1) for i in range(len(summaries))])))
    # value[ratio][key] = [(summary, value)]
    values = {ratio: {k: [] for k in keys} for ratio, _ in PLOT_PANELS}
    for s in summaries:
        other = gil_twin(s, by_tag)
        for case in s["cases"]:
            if case["key"] not in keys:
                continue
            other_case = cases_of(other).get(case["key"]) if other else None
            for ratio, value in ratios(case, other_case).items():
                if ratio in values and value is not None:
                    values[ratio][case["key"]].append((s, value))
    panels = [(ratio, title, [k for k in keys if values[ratio][k]])
              for ratio, title in PLOT_PANELS]
    panels = [p for p in panels if p[2]]
    if not panels:
        return False
    fig, axes = plt.subplots(len(panels), 1, squeeze=False, figsize=(
        max(8, 2.2 + 1.5 * len(keys)), 3.3 * len(panels)))
    seen = set()
    for ax, (ratio, title, case_keys) in zip(axes[:, 0], panels):
        top = 1.0
        for j, k in enumerate(case_keys):
            bars = values[ratio][k]
            width = 0.8 / len(bars)
            for i, (s, value) in enumerate(bars):
                x = j - 0.4 + width * (i + 0.5)
                name = "CPython {}{}".format(s["python"], " free-threaded"
                                             if s["tag"].endswith("t") else "")
                ax.bar(x, value, width, color=colors[s["tag"]],
                       label=name if s["tag"] not in seen else None)
                seen.add(s["tag"])
                ax.annotate("{:.2f}".format(value), (x, value), xytext=(0, 2),
                            textcoords="offset points", ha="center", va="bottom",
                            fontsize=7)
                top = max(top, value)
                for what, t_ratio, op, bound, tags, t_keys in TARGETS:
                    if t_ratio == ratio and s["tag"] in tags and (
                            t_keys is None or k in t_keys):
                        ax.hlines(bound, x - width / 2, x + width / 2, colors="crimson",
                                  linewidth=2, label="target" if "target" not in seen else None)
                        seen.add("target")
                        top = max(top, bound)
        ax.axhline(1.0, color="grey", linewidth=0.8)
        ax.set_ylim(0, top * 1.15)
        ax.set_xlim(-0.5, len(case_keys) - 0.5)
        ax.set_xticks(range(len(case_keys)))
        ax.set_xticklabels(["{} {}\n{}".format(k, textwrap.fill(titles[k]["title"], 22),
                                               titles[k]["operation"]) for k in case_keys],
                           fontsize=7)
        ax.set_title(title, fontsize=9)
        ax.set_ylabel(ratio.replace("ft/", "free-threaded/"), fontsize=8)
        ax.grid(axis="y", alpha=0.3)
    handles, labels = [], []
    for ax in axes[:, 0]:
        for h, lab in zip(*ax.get_legend_handles_labels()):
            if lab not in labels:
                handles.append(h)
                labels.append(lab)
    fig.legend(handles, labels, loc="lower center", ncol=len(labels), fontsize=8)
    fig.suptitle("quorvane.global_var.globals: instructions per operation, ratios (callgrind)")
    fig.tight_layout(rect=(0, 0.04, 1, 0.97))
    fig.savefig(path, dpi=100)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("summaries", nargs="+", help="cpXY.json files of instructions.py")
    parser.add_argument("--results", required=True, help="Markdown file to put the section into")
    parser.add_argument("--plot", help="PNG file to write")
    parser.add_argument("--seconds", type=float, help="duration of the counting, for the report")
    args = parser.parse_args()
    summaries = []
    for name in args.summaries:
        with open(name, encoding="utf-8") as fh:
            summaries.append(json.load(fh))
    summaries.sort(key=lambda s: (tuple(int(x) for x in s["python"].split(".")[:2]),
                                  s["tag"].endswith("t")))
    lines = section(summaries, args.seconds)
    splice(args.results, lines)
    print("\n".join(lines[1:-1]))
    wrote = [args.results]
    if args.plot and write_plot(args.plot, summaries):
        wrote.append(args.plot)
    elif args.plot and os.path.exists(args.plot):
        os.remove(args.plot)  # an earlier run's, with no ratio to show now
    print("== report: " + " and ".join(os.path.relpath(p) for p in wrote))


if __name__ == "__main__":
    main()

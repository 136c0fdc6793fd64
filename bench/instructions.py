"""Counts the instructions per operation of quorvane.global_var.globals, of
its plain-Python twin (twin.py) and of the floors, with valgrind's callgrind.

    python bench/instructions.py --out build/bench/instructions/cp311.json \\
        --ext default=build/cp311/globals.cpython-311-x86_64-linux-gnu.so \\
        --ext public=build/public-cp311/globals.cpython-311-x86_64-linux-gnu.so \\
        [--cases P1,P4a] [--variants default,twin] [--jobs N] [--keep]

Run it with the interpreter under test, from an environment that has
unidecode (make bench-instructions uses build/bench-venv-cpXY), and valgrind
on PATH (or --valgrind).  It needs nothing of the repository but bench/ and
the package's .py files, so it also runs where there is no more than an
interpreter, valgrind and a built extension (a chroot, say).

Variants:

    --ext NAME=PATH   a build of the module: PATH is an extension file, which
                      is imported from a throw-away copy of the package (the
                      .py files of this tree and that file, in
                      WORK/pkg-NAME/), or a directory holding the quorvane
                      package, imported from there as it is.  Any number of
                      them; make bench-instructions names them default and
                      public.  A build identical to one given before it is
                      counted once.
    twin              bench/twin.py, with the .py files of this tree's package
    floor             the library call underneath, for the cases that have one
    strfloor          for P4a, P4b and R4: bench/str_floor.cpp, the work that
                      exactness requires of the module for one plain str,
                      compiled (by $CXX, else c++) against this interpreter
                      into WORK/str_floor/; left out, with a note, when it
                      cannot be compiled

Every (case, variant) runs in two processes under callgrind that differ only
in how many operations the measured loop makes, N and M (3,000 and 1,000; 3
and 1 for P5 and P6).  Start-up, imports, the case's set-up and the first M
operations (specialisation, caches) are the same in both, so (instructions
of the N run - those of the M run) / (N - M) is what one operation costs
once warmed up.  instructions_child.py is the process under callgrind; it
says what else keeps the two runs alike.  Up to --jobs of them run at a
time: instruction counts do not depend on the machine's load.

Before anything is counted, a process per build (without valgrind) checks
that the build, the twin and the floor give equal results on every case's
input; nothing may be written to stderr then or while counting.

--out gets the instructions per operation of each case and variant, and
the two processes' totals, as JSON; bench/instructions_report.py makes the
table and the plot of them.  WORK (--work-dir, by default a directory named
after the interpreter's tag beside --out) holds the inputs, the package
copies and, with --keep, callgrind's files (callgrind/CASE-VARIANT-N.out).
"""

import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import time

sys.dont_write_bytecode = True

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)
if BENCH_DIR not in sys.path:
    sys.path.insert(0, BENCH_DIR)

import inputs  # noqa: E402
from instructions_child import CASES, SMALL, InstrError, case_named  # noqa: E402

TAG = "cp{}{}{}".format(sys.version_info[0], sys.version_info[1],
                        "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
CASE_KEYS = [case.key for case in CASES]
# What the package copies are made of, besides the extension file.
PACKAGE_FILES = ("quorvane/__init__.py", "quorvane/global_var/__init__.py",
                 "quorvane/global_var/global_var.py")
BUILTIN_VARIANTS = ("twin", "floor", "strfloor")
INPUTS_DIR = None


# -- the process that was started ---------------------------------------------

def child_env(args):
    """The environment of every process started: this one's without the
    PYTHON* variables, with a fixed string hash, and the byte code of
    everything it imports cached in WORK/pycache (from 3.8 on; 3.7 would
    write into the source tree, so there nothing is cached and every run
    compiles the .py files of bench/ and of the package anew)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONHASHSEED"] = "0"
    if getattr(args, "str_floor_dir", None):
        env["QV_STR_FLOOR"] = args.str_floor_dir
    if sys.version_info >= (3, 8):
        env["PYTHONPYCACHEPREFIX"] = os.path.join(args.work_dir, "pycache")
    else:
        env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def package_copy(name, path, work):
    """(package root, the extension file) for --ext NAME=PATH."""
    if os.path.isdir(path):
        where = os.path.join(path, "quorvane", "global_var")
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        built = os.path.join(where, "globals" + suffix)
        if not os.path.isfile(built):
            raise InstrError("--ext {}: {} holds no {}".format(name, where, "globals" + suffix))
        return os.path.abspath(path), built
    if not os.path.isfile(path):
        raise InstrError("--ext {}: no such file or directory: {}".format(name, path))
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    if not path.endswith(suffix):
        raise InstrError("--ext {}: {} does not end in this interpreter's extension "
                         "suffix {}".format(name, path, suffix))
    root = os.path.join(work, "pkg-" + name)
    shutil.rmtree(root, ignore_errors=True)
    for rel in PACKAGE_FILES:
        dest = os.path.join(root, rel)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copyfile(os.path.join(ROOT, rel), dest)
    built = os.path.join(root, "quorvane", "global_var", "globals" + suffix)
    shutil.copyfile(path, built)
    return root, os.path.abspath(path)


def build_str_floor(work_dir):
    """Compiles bench/str_floor.cpp for this interpreter; its directory, or
    None (with a note) when that fails."""
    import sysconfig
    out_dir = os.path.join(work_dir, "str_floor")
    os.makedirs(out_dir, exist_ok=True)
    target = os.path.join(out_dir, "str_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    source = os.path.join(BENCH_DIR, "str_floor.cpp")
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        print("== {}: no C++ compiler: the strfloor variant is left out".format(TAG))
        return None
    cmd = [compiler, "-O2", "-std=c++17", "-shared", "-fPIC",
           "-I" + sysconfig.get_paths()["include"], source, "-o", target]
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    if proc.returncode:
        print("== {}: str_floor.cpp does not compile, the strfloor variant is left out:"
              "\n{}".format(TAG, proc.stdout[-2000:]))
        return None
    return out_dir


def digest(path):
    with open(path, "rb") as fh:
        return hashlib.sha256(fh.read()).hexdigest()[:16]


def show_path(path):
    path = os.path.abspath(path)
    return os.path.relpath(path, ROOT) if path.startswith(ROOT + os.sep) else path


# The child is imported rather than run as a script, whose byte code would
# never be cached.
CHILD_MAIN = ("import sys; sys.path.insert(0, {!r}); import instructions_child; "
              "instructions_child.main(sys.argv)".format(BENCH_DIR))


def child_command(*args):
    return [sys.executable, "-c", CHILD_MAIN, args[0], INPUTS_DIR] + list(args[1:])


def check(args, cases, roots):
    """One checking process per build (or, with none selected, one for the
    twin and the floors)."""
    keys = ",".join(case.key for case in cases)
    for name, root in (sorted(roots.items()) or [(None, None)]):
        cmd = child_command("check", ROOT, keys, *([root] if root else []))
        proc = subprocess.run(cmd, env=child_env(args), cwd=args.work_dir,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)
        if proc.returncode or proc.stdout or proc.stderr:
            raise InstrError("checking {} failed (exit status {}):\n{}{}".format(
                name or "the twin and the floors", proc.returncode, proc.stdout,
                proc.stderr))


TOTALS = re.compile(r"^(?:totals|summary):\s*(\d+)", re.M)


def warm_up(args, case, variant, root, ops):
    """Runs the set-up of (case, variant) once without valgrind, so that the
    byte code of all it imports is cached before either run is counted: the
    first run to import a module would otherwise compile it and write the
    cache, the second only read it."""
    cmd = child_command("count", case.key, variant, str(ops), "0", root)
    proc = subprocess.run(cmd, env=child_env(args), cwd=args.work_dir,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    if proc.returncode or proc.stdout or proc.stderr:
        raise InstrError("{} {} (set-up only): exit status {}\n{}{}".format(
            case.key, variant, proc.returncode, proc.stdout, proc.stderr))


def count(args, case, variant, root, ops, n):
    """Instructions callgrind counts for the whole process that does the
    set-up of (case, variant) for ops operations and then n of them."""
    stem = os.path.join(args.work_dir, "callgrind", "{}-{}-{}".format(case.key, variant, n))
    cmd = [args.valgrind, "--tool=callgrind", "--callgrind-out-file=" + stem + ".out",
           "--log-file=" + stem + ".log"]
    cmd += child_command("count", case.key, variant, str(ops), str(n), root)
    proc = subprocess.run(cmd, env=child_env(args), cwd=args.work_dir,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    try:
        with open(stem + ".out", encoding="utf-8", errors="replace") as fh:
            totals = TOTALS.findall(fh.read())
    except OSError:
        totals = []
    if proc.returncode or proc.stdout or proc.stderr or not totals:
        log = ""
        if os.path.exists(stem + ".log"):
            with open(stem + ".log", encoding="utf-8", errors="replace") as fh:
                log = fh.read()[-3000:]
        raise InstrError("{} {} ({} operations): exit status {}\n{}{}{}".format(
            case.key, variant, n, proc.returncode, proc.stdout, proc.stderr, log))
    if not args.keep:
        os.remove(stem + ".out")
        os.remove(stem + ".log")
    return int(totals[-1])


def selected(names, known, what):
    if not names:
        return list(known)
    wanted = names.replace(",", " ").split()
    unknown = [name for name in wanted if name not in known]
    if unknown:
        raise InstrError("unknown {}: {} (known: {})".format(
            what, ", ".join(unknown), ", ".join(known)))
    return [name for name in known if name in wanted]


def package_version(name):
    try:
        from importlib.metadata import version
    except ImportError:  # 3.7
        from pkg_resources import get_distribution
        return get_distribution(name).version
    return version(name)


def main_measure(args):
    global INPUTS_DIR
    started = time.monotonic()
    args.out = os.path.abspath(args.out)
    args.work_dir = os.path.abspath(args.work_dir or os.path.join(
        os.path.dirname(args.out), TAG))
    INPUTS_DIR = os.path.join(args.work_dir, "inputs")
    os.makedirs(os.path.join(args.work_dir, "callgrind"), exist_ok=True)
    inputs.ensure_files(INPUTS_DIR)
    valgrind = shutil.which(args.valgrind)
    if not valgrind:
        raise InstrError("valgrind not found ({}); on Debian: apt-get install "
                         "valgrind".format(args.valgrind))
    args.valgrind = valgrind

    builds = {}
    for item in args.ext:
        name, sep, path = item.partition("=")
        if not sep or not name or not path or name in BUILTIN_VARIANTS or name in builds:
            raise InstrError("--ext {}: expected NAME=PATH, NAME neither twin, floor "
                             "nor given twice".format(item))
        builds[name] = path
    variants = selected(args.variants, list(builds) + list(BUILTIN_VARIANTS), "variant(s)")
    cases = [case_named(key) for key in selected(args.cases, CASE_KEYS, "case(s)")]
    roots, files, digests, same_as = {}, {}, {}, {}
    for name in builds:
        if name in variants:
            roots[name], files[name] = package_copy(name, builds[name], args.work_dir)
            digests[name] = digest(files[name])
            # A build identical to one given before it (on a free-threaded
            # interpreter the default build is already the public-API one)
            # is counted once.
            for other in roots:
                if other != name and other not in same_as and digests[other] == digests[name]:
                    same_as[name] = other
                    del roots[name]
                    break
    roots_all = dict(roots, twin=ROOT, floor=ROOT, strfloor=ROOT)
    args.str_floor_dir = build_str_floor(args.work_dir) if "strfloor" in variants else None
    if args.str_floor_dir is None and "strfloor" in variants:
        variants.remove("strfloor")

    print("== {} ({}): checking that builds, twin and floors agree".format(
        TAG, sys.version.split()[0]))
    sys.stdout.flush()
    check(args, cases, roots)

    jobs = [(case, variant, n)
            for case in cases for variant in case.variants(roots)
            if variant in variants for n in case.counts]
    # The longest first, so that the pool finishes together.
    jobs.sort(key=lambda job: job[0].counts is SMALL)
    print("== {}: {} callgrind runs, {} at a time".format(TAG, len(jobs), args.jobs))
    sys.stdout.flush()
    totals = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for future in [pool.submit(warm_up, args, case, variant, roots_all[variant],
                                   case.counts[0])
                       for case, variant, n in jobs if n == case.counts[0]]:
            future.result()
        futures = {pool.submit(count, args, case, variant, roots_all[variant],
                               case.counts[0], n): (case.key, variant, n)
                   for case, variant, n in jobs}
        for future in concurrent.futures.as_completed(futures):
            totals[futures[future]] = future.result()

    results = []
    for case in cases:
        n, m = case.counts
        per_op = {}
        for variant in case.variants(files):
            if variant in variants:
                big, small = (totals[case.key, same_as.get(variant, variant), k]
                              for k in (n, m))
                per_op[variant] = {"per_op": (big - small) / (n - m), "totals": [big, small]}
        results.append({"key": case.key, "title": case.title, "operation": case.operation,
                        "counts": [n, m], "results": per_op})
        print("   {:4} {:40} {}".format(case.key, case.operation[:40], "  ".join(
            "{} {:,.0f}".format(v, r["per_op"]) for v, r in per_op.items())))
    summary = {
        "tag": TAG,
        "python": sys.version.split()[0],
        "executable": sys.executable,
        "valgrind": subprocess.run([args.valgrind, "--version"], stdout=subprocess.PIPE,
                                   universal_newlines=True).stdout.strip(),
        "unidecode": package_version("Unidecode"),
        "builds": {name: dict({"file": show_path(files[name]), "sha256": digests[name]},
                              **({"same_as": same_as[name]} if name in same_as else {}))
                   for name in files},
        "seconds": round(time.monotonic() - started, 1),
        "cases": results,
    }
    with open(args.out, "w", encoding="utf-8") as fh:
        json.dump(summary, fh, indent=1)
        fh.write("\n")
    print("== {}: counted in {:.0f} s, results in {}".format(
        TAG, summary["seconds"], show_path(args.out)))


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="cases: " + ", ".join("{} {}".format(c.key, c.operation) for c in CASES))
    parser.add_argument("--out", required=True, help="the JSON file to write")
    parser.add_argument("--ext", action="append", default=[], metavar="NAME=PATH",
                        help="a build to measure: its extension file or a "
                             "directory holding the quorvane package")
    parser.add_argument("--cases", default="", help="only these cases, e.g. P1,P4a")
    parser.add_argument("--variants", default="",
                        help="only these variants (names of --ext, twin, floor)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="callgrind runs at a time (default: %(default)s)")
    parser.add_argument("--work-dir", help="package copies, inputs and callgrind's "
                        "files (default: a directory named after the interpreter's "
                        "tag beside --out)")
    parser.add_argument("--keep", action="store_true",
                        help="keep callgrind's files (WORK/callgrind/CASE-VARIANT-N.out) "
                             "for callgrind_annotate")
    parser.add_argument("--valgrind", default="valgrind", help="the valgrind to run")
    main_measure(parser.parse_args())


if __name__ == "__main__":
    try:
        main()
    except InstrError as exc:
        sys.exit("instructions: {}".format(exc))

"""Times quorvane.global_var.globals next to its plain-Python twin (twin.py)
and, where a case has one, next to the floor: the library call that the
operation cannot avoid.

    python bench/run_bench.py --out-dir build/bench [pyperf options]

Run it with the interpreter of a benchmark environment (pyperf and unidecode
installed); quorvane is imported from this source tree, so the extension must
have been built for that interpreter (`make`).  `make bench` runs it once per
interpreter and then bench/report.py over the summaries.

On a free-threaded build the process that was started then measures thread
scaling: operations per second on 1 and on 2 threads, each thread with
instances and inputs of its own.

What the process that was started writes into --out-dir:

    inputs/settings.ini, inputs/large.ini   the INI files of cases P3 and P6
    cpXY.json                               medians and targets, for report.py
    cpXY-pyperf.json                        every value, for `pyperf stats`,
                                            `pyperf compare_to`, ...

pyperf runs each benchmark in fresh worker processes that execute this script
again with --worker; a worker sets up only the case that it times.

Before anything is timed, every case checks that the module and the twin
(and the floor) give the same result on the case's input and stops the run
if they do not.  Nothing may be written to stderr while a case is checked or
timed: apply_unidecoding reports its errors only there, so any output is
treated as a failure instead of being lost among the timings.
"""

import gc
import io
import os
import sys
import sysconfig
import time

# Nothing is written into the source tree: neither quorvane's nor this
# directory's bytecode.
sys.dont_write_bytecode = True

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)
# pyperf starts its workers with a reduced environment (no PYTHONPATH), so the
# source tree is put on the path here rather than by the caller.
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)
if BENCH_DIR not in sys.path:
    sys.path.insert(0, BENCH_DIR)

import importlib  # noqa: E402
import importlib.machinery  # noqa: E402
import json  # noqa: E402
import statistics  # noqa: E402
from configparser import ConfigParser  # noqa: E402

import pyperf  # noqa: E402
from unidecode import unidecode  # noqa: E402

import inputs  # noqa: E402

native = importlib.import_module("quorvane.global_var.globals")
if not native.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
    sys.exit("run_bench: quorvane.global_var.globals was loaded from {}, "
             "not from a built extension".format(native.__file__))

import twin  # noqa: E402

# cp313t for the free-threaded 3.13, whose results must not overwrite cp313's.
TAG = "cp{}{}{}".format(sys.version_info[0], sys.version_info[1],
                        "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")

# pyperf's defaults (20 processes of 1 warm-up and 3 values of 100 ms, plus a
# calibration process) take about 5 s per benchmark; with 18 benchmarks on
# each of 7 interpreters that is far over 10 minutes on a 2-core machine.
# Here every benchmark gets 3 rounds of 2 processes with 1 warm-up and 3
# values of 50-100 ms: 18 values from 6 differently seeded processes (string
# hashing, memory layout), spread over the whole run of the interpreter, in
# about 2.5 s.  The median of those is stable to a few per cent on this
# machine, which is what the ratios need.
ROUNDS = 3
# (One warm-up per process is pyperf's default.)
PYPERF_DEFAULTS = dict(processes=2, values=3, loops=1, min_time=0.05)


# -- checking ----------------------------------------------------------------

class BenchError(Exception):
    pass


def expect_same(case, what, got, expected):
    if not inputs.same(got, expected):
        raise BenchError("{}: {} differ:\n  {}\n  {}".format(
            case, what, shorten(got), shorten(expected)))


def shorten(value, limit=300):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."


class StderrWatch:
    """Collects what is written to sys.stderr inside the with-block (where
    traceback.print_exc() writes) and raises BenchError if there was any."""

    def __init__(self, what):
        self.what = what

    def __enter__(self):
        self.saved = sys.stderr
        self.buffer = sys.stderr = io.StringIO()
        return self

    def __exit__(self, exc_type, exc, tb):
        sys.stderr = self.saved
        text = self.buffer.getvalue()
        if text and exc_type is None:
            raise BenchError("{} wrote to stderr:\n{}".format(self.what, text))
        if text:
            self.saved.write(text)
        return False


# -- timers ------------------------------------------------------------------

def statement_timer(stmt, unroll, **names):
    """time_func(n): runs stmt n * unroll times, with `names` as local
    variables, and returns the elapsed seconds.

    Like timeit, it compiles the loop so that the statement is timed
    directly, without a function call around it; unrolling it `unroll` times
    keeps the loop's own cost small next to sub-microsecond statements."""
    params = "".join(", {0}={0}".format(name) for name in names)
    src = ("def time_func(n{}, perf_counter=perf_counter):\n"
           "    it = range(n)\n"
           "    t0 = perf_counter()\n"
           "    for _ in it:\n"
           "{}"
           "    return perf_counter() - t0\n").format(params, ("        " + stmt + "\n") * unroll)
    namespace = dict(names, perf_counter=time.perf_counter)
    exec(compile(src, "<timer {}>".format(stmt), "exec"), namespace)
    return namespace["time_func"]


def fresh_copies_timer(func, template):
    """time_func(n) timing func(copy) on n fresh copies of template, made
    before the clock starts."""
    def time_func(n):
        copies = [inputs.rebuild(template) for _ in range(n)]
        t0 = time.perf_counter()
        for value in copies:
            func(value)
        return time.perf_counter() - t0
    return time_func


def collected_calls_timer(func, *args):
    """time_func(n) timing n calls of func(*args), each one alone, with a
    full collection before it.  For calls that leave about a megabyte of
    cyclic garbage (a ConfigParser refers to itself through its section
    proxies):
    with the collector off while the clock runs, that garbage would pile up
    over a value and make each further call slower, by how much depending
    on the number of calls per value."""
    def time_func(n):
        total = 0.0
        for _ in range(n):
            gc.collect()
            t0 = time.perf_counter()
            func(*args)
            total += time.perf_counter() - t0
        return total
    return time_func


# -- cases -------------------------------------------------------------------

class Case:
    """One measurement: the module, the twin and (optionally) the floor
    doing the same work.

    measures describes what is timed, starting with the operation as code
    followed by ':' or ' on ' (report.py labels the plot with that part).
    setup(case) checks that they agree and returns {variant: time_func},
    time_func(n) timing n repetitions (n * unroll statements); it runs once,
    and only in a process that needs it.  target is (ratio, op, value), the
    goal on CPython 3.11: ratio "twin/native" with op ">=" (how much faster
    than the twin the module must be) or "native/floor" with op "<=" (how
    close to the library call underneath)."""

    def __init__(self, key, title, measures, setup, variants, unroll, target):
        self.key = key
        self.title = title
        self.measures = measures
        self._setup = setup
        self.variants = variants
        self.unroll = unroll
        self.target = target
        self._timers = None

    def timers(self):
        if self._timers is None:
            with StderrWatch("{} (checking the results)".format(self.key)):
                timers = self._setup(self)
            assert sorted(timers) == sorted(self.variants), self.key
            self._timers = timers
        return self._timers

    def run(self, variant, n):
        """Seconds taken by n repetitions of variant.

        As timeit does, the cyclic garbage collector is off while the clock
        runs, and a full collection comes first, so that every value is taken
        from the same state.  Otherwise a value of a few calls that happens
        to include a full collection (the parsers of P6 are cyclic garbage)
        comes out 15-20 % slower than its neighbours."""
        func = self.timers()[variant]
        with StderrWatch("{} {} (timed)".format(self.key, variant)):
            gc.collect()
            gc.disable()
            try:
                return func(n)
            finally:
                gc.enable()

    def calibrate(self, variant, min_time):
        """Repetitions that take at least min_time (at most twice that)."""
        n = 1
        while self.run(variant, n) < min_time and n < 2 ** 40:
            n *= 2
        return n


def input_path(name):
    return os.path.join(ARGS.out_dir, "inputs", name)


def setup_p1(case):
    expect_same(case.key, "module and twin", native.g.APP_NAME, twin.g.APP_NAME)
    expect_same(case.key, "module and defaults", native.g.APP_NAME,
                native.g.module.APP_NAME)
    return {
        "native": statement_timer("obj.APP_NAME", case.unroll, obj=native.g),
        "twin": statement_timer("obj.APP_NAME", case.unroll, obj=twin.g),
    }


def setup_p2(case):
    if hasattr(native.g.module, inputs.MISSING_NAME):
        raise BenchError("P2: the defaults module defines " + inputs.MISSING_NAME)
    expect_same(case.key, "module and twin", getattr(native.g, inputs.MISSING_NAME),
                getattr(twin.g, inputs.MISSING_NAME))
    expect_same(case.key, "module and None", getattr(native.g, inputs.MISSING_NAME), None)
    stmt = "obj." + inputs.MISSING_NAME
    return {
        "native": statement_timer(stmt, case.unroll, obj=native.g),
        "twin": statement_timer(stmt, case.unroll, obj=twin.g),
    }


def setup_p3(case):
    path = input_path(inputs.SETTINGS_INI)
    native_settings = native.config_global_var(path)
    twin_settings = twin.config_global_var(path)
    parser = ConfigParser()
    parser.read(path)
    section, option = inputs.P3_SECTION, inputs.P3_SETTING
    got = getattr(native_settings, option)
    expect_same(case.key, "module and twin", got, getattr(twin_settings, option))
    expect_same(case.key, "module and floor", got, parser.getint(section, option))
    expect_same(case.key, "module and file", got, inputs.P3_VALUE)
    stmt = "obj." + option
    return {
        "native": statement_timer(stmt, case.unroll, obj=native_settings),
        "twin": statement_timer(stmt, case.unroll, obj=twin_settings),
        "floor": statement_timer("parser.getint(section, option)", case.unroll,
                                 parser=parser, section=section, option=option),
    }


def setup_p4(text):
    def setup(case):
        floor = unidecode(text.encode("ascii", "ignore").decode("ascii", "ignore"))
        got = native.apply_unidecoding(text)
        expect_same(case.key, "module and twin", got, twin.apply_unidecoding(text))
        expect_same(case.key, "module and floor", got, floor)
        return {
            "native": statement_timer("apply(text)", case.unroll,
                                      apply=native.apply_unidecoding, text=text),
            "twin": statement_timer("apply(text)", case.unroll,
                                    apply=twin.apply_unidecoding, text=text),
            "floor": statement_timer(
                'unidecode(text.encode("ascii", "ignore").decode("ascii", "ignore"))',
                case.unroll, unidecode=unidecode, text=text),
        }
    return setup


def setup_p5(case):
    template = inputs.nested_template()
    a, b = inputs.rebuild(template), inputs.rebuild(template)
    got = native.apply_unidecoding(a)
    if got is not a or twin.apply_unidecoding(b) is not b:
        raise BenchError("P5: the list was not processed in place")
    expect_same(case.key, "module and twin", a, b)
    expect_same(case.key, "input and template", inputs.rebuild(template), template)
    return {
        "native": fresh_copies_timer(native.apply_unidecoding, template),
        "twin": fresh_copies_timer(twin.apply_unidecoding, template),
    }


def parser_contents(parser):
    return {s: dict(parser.items(s, raw=True)) for s in parser.sections()}


def setup_p6(case):
    path = input_path(inputs.LARGE_INI)
    native_settings = native.config_global_var(path)
    twin_settings = twin.config_global_var(path)
    floor = ConfigParser()
    floor.read(path)
    for name in ("variables", "config_json", "filename"):
        expect_same(case.key, "module's and twin's " + name,
                    getattr(native_settings, name), getattr(twin_settings, name))
    if native_settings.module is not twin_settings.module:
        raise BenchError("P6: the module and the twin hold different defaults modules")
    expect_same(case.key, "parsed file", parser_contents(native_settings.parser),
                parser_contents(floor))
    expected = inputs.LARGE_SECTIONS * inputs.LARGE_OPTIONS_PER_SECTION
    if len(native_settings.variables) != expected:
        raise BenchError("P6: {} options indexed, {} expected".format(
            len(native_settings.variables), expected))
    return {
        "native": collected_calls_timer(native.config_global_var, path),
        "twin": collected_calls_timer(twin.config_global_var, path),
        "floor": collected_calls_timer(read_with_new_parser, path),
    }


def read_with_new_parser(path):
    ConfigParser().read(path)


FASTER = ("twin/native", ">=")
CLOSE = ("native/floor", "<=")

CASES = [
    Case("P1", "str setting, no file",
         "g.APP_NAME: a setting whose default is a str, on the instance built "
         "without a file", setup_p1, ("native", "twin"), 20, FASTER + (5.0,)),
    Case("P2", "missing setting",
         "g.NO_SUCH_SETTING: a name the defaults module lacks (reads None)",
         setup_p2, ("native", "twin"), 20, FASTER + (5.0,)),
    Case("P3", "int setting from the file",
         "settings.MAX_ROWS on an instance built from settings.ini, which "
         "overrides it with 250; floor: parser.getint('Limits', 'MAX_ROWS')",
         setup_p3, ("native", "twin", "floor"), 10, CLOSE + (1.06,)),
    Case("P4a", "ASCII str",
         "apply_unidecoding on a {}-character ASCII str; floor: unidecode(s.encode("
         "'ascii', 'ignore').decode('ascii', 'ignore'))".format(len(inputs.ASCII_TEXT)),
         setup_p4(inputs.ASCII_TEXT), ("native", "twin", "floor"), 10, FASTER + (3.0,)),
    Case("P4b", "non-ASCII str",
         "apply_unidecoding on a {}-character str with non-ASCII letters; floor "
         "as P4a".format(len(inputs.NON_ASCII_TEXT)),
         setup_p4(inputs.NON_ASCII_TEXT), ("native", "twin", "floor"), 10, FASTER + (3.0,)),
    Case("P5", "10,000-element structure",
         "apply_unidecoding on 500 records (dicts and lists of strs, ints and "
         "floats; 10,000 elements), a fresh copy per call",
         setup_p5, ("native", "twin"), 1, FASTER + (3.0,)),
    Case("P6", "load a 5,000-option file",
         "config_global_var(path) on a 50-section, 5,000-option INI file; "
         "floor: ConfigParser().read(path)",
         setup_p6, ("native", "twin", "floor"), 1, CLOSE + (1.15,)),
]


# -- thread scaling (free-threaded builds) ------------------------------------

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
SCALING_TARGET = 1.7  # 2 threads against 1, on a machine with 2 cores
SCALING_ROUNDS = 15


def spin(n):
    """The control: pure-Python work that touches no shared object."""
    x = 0
    for i in range(n):
        x += i
    return x


def scaling_cases():
    """(key, title, make_work): make_work(n) builds one thread's private
    inputs and returns a function doing n operations on them."""
    settings_path = input_path(inputs.SETTINGS_INI)

    def reads(module, name, path=None):
        def make(n):
            obj = module.config_global_var(path)
            stmt = "for _ in range(n): obj." + name
            code = compile(stmt, "<scaling>", "exec")
            return lambda: exec(code, {"obj": obj, "n": n})
        return make

    def transliterations(module):
        def make(n):
            # "".join makes a str of this thread's own.
            apply, text = module.apply_unidecoding, "".join(list(inputs.ASCII_TEXT))
            def work():
                for _ in range(n):
                    apply(text)
            return work
        return make

    return [
        ("S1", "P1, own instance: obj.APP_NAME", reads(native, "APP_NAME"),
         reads(twin, "APP_NAME")),
        ("S3", "P3, own instance from settings.ini: obj.MAX_ROWS",
         reads(native, inputs.P3_SETTING, settings_path),
         reads(twin, inputs.P3_SETTING, settings_path)),
        ("S4", "P4a, own str: apply_unidecoding(text)", transliterations(native),
         transliterations(twin)),
        ("S0", "control: a pure-Python loop", lambda n: lambda: spin(n), None),
    ]


def threads_rate(make_work, threads, n):
    """Operations per second of `threads` threads doing n operations each."""
    import threading
    works = [make_work(n) for _ in range(threads)]
    barrier = threading.Barrier(threads + 1)

    def run(work):
        barrier.wait()
        work()

    pool = [threading.Thread(target=run, args=(work,)) for work in works]
    for t in pool:
        t.start()
    barrier.wait()
    started = time.perf_counter()
    for t in pool:
        t.join()
    return threads * n / (time.perf_counter() - started)


def calibrate_ops(make_work, seconds):
    n = 100
    while threads_rate(make_work, 1, n) * seconds > n:
        n *= 2
    return n


def measure_scaling(rounds, seconds):
    """Throughput on 1 and on 2 threads for each case, each thread working
    on its own inputs.  The two are timed by turns, `rounds` times; the best
    of each is taken, since the other core is sometimes busy with something
    else (the control case shows what the machine gives)."""
    results = []
    for key, title, make_native, make_twin in scaling_cases():
        entry = {"key": key, "title": title, "target": SCALING_TARGET}
        for variant, make in (("native", make_native), ("twin", make_twin)):
            if make is None:
                continue
            n = calibrate_ops(make, seconds)
            one, two = [], []
            for r in range(rounds):
                for threads in ((1, 2) if r % 2 == 0 else (2, 1)):
                    (one if threads == 1 else two).append(threads_rate(make, threads, n))
            entry[variant] = {"ops_per_thread": n, "one": max(one), "two": max(two),
                              "scaling": max(two) / max(one),
                              "median_scaling": statistics.median(
                                  b / a for a, b in zip(one, two))}
        results.append(entry)
        print("== {} {}: {}".format(TAG, key, ", ".join(
            "{} {:.2f}x".format(v, entry[v]["scaling"])
            for v in ("native", "twin") if v in entry)))
        sys.stdout.flush()
    return results


# -- main --------------------------------------------------------------------

def add_worker_args(cmd, args):
    cmd.extend(("--out-dir", args.out_dir, "--rounds", str(args.rounds),
                "--repeat", args.repeat))
    if args.cases:
        cmd.extend(("--cases", args.cases))


def selected_cases(names):
    """The cases named in names ("P3,P6"; all when empty), in their order."""
    if not names:
        return CASES
    wanted = set(names.replace(",", " ").split())
    unknown = wanted - {case.key for case in CASES}
    if unknown:
        raise BenchError("unknown case(s): {}".format(", ".join(sorted(unknown))))
    return [case for case in CASES if case.key in wanted]


def schedule(cases, rounds):
    """(round, case, variant) in the order they are timed: every round times
    every variant of every case, a case's variants next to each other and
    their order rotated from round to round, so that a slow spell of the
    machine falls on all of them alike instead of on one."""
    for r in range(rounds):
        for case in cases:
            k = r % len(case.variants)
            for variant in case.variants[k:] + case.variants[:k]:
                yield r, case, variant


def bench_name(case, variant, r, rounds):
    return "{} {} [{}/{}]".format(case.key, variant, r + 1, rounds)


def summary(args, cases, repeat, benches, seconds, scaling):
    config = {name: getattr(args, name)
              for name in ("rounds", "processes", "values", "warmups", "min_time")}
    if args.worker:
        config["processes"] = 1  # this one, timing everything itself
    results = []
    for case in cases:
        stats = {}
        for variant in case.variants:
            values = [value
                      for (key, var, _), bench in sorted(benches.items())
                      if key == case.key and var == variant
                      for value in bench.get_values()]
            mean = statistics.mean(values)
            stats[variant] = {
                "median": statistics.median(values),
                "rel_stdev": statistics.stdev(values) / mean if len(values) > 1 else 0.0,
                "values": len(values),
                "repeat": repeat[case.key, variant] * case.unroll,
            }
        ratio, op, value = case.target
        results.append({"key": case.key, "title": case.title, "measures": case.measures,
                        "results": stats,
                        "target": {"ratio": ratio, "op": op, "value": value}})
    return {
        "tag": TAG,
        "python": sys.version.split()[0],
        "executable": sys.executable,
        "module_file": os.path.relpath(native.__file__, ROOT),
        "pyperf": pyperf.__version__,
        "unidecode": package_version("Unidecode"),
        "smoke": bool(args.worker),
        "pyperf_config": config,
        "seconds": round(seconds, 1),
        "load_before": LOAD_BEFORE,
        "load_after": load_average(),
        "cases": results,
        "scaling": scaling,
    }


def load_average():
    """The one-minute load average, or None where the system has none."""
    try:
        return round(os.getloadavg()[0], 2)
    except (AttributeError, OSError):
        return None


LOAD_BEFORE = load_average()


def package_version(name):
    try:
        from importlib.metadata import version  # 3.8+
    except ImportError:
        from pkg_resources import get_distribution  # 3.7: setuptools
        return get_distribution(name).version
    return version(name)


def encode_repeat(repeat):
    return ",".join("{}:{}={}".format(key, variant, n)
                    for (key, variant), n in sorted(repeat.items()))


def decode_repeat(text):
    repeat = {}
    for item in filter(None, text.split(",")):
        name, n = item.split("=")
        key, variant = name.split(":")
        repeat[key, variant] = int(n)
    return repeat


def main():
    global ARGS
    runner = pyperf.Runner(add_cmdline_args=add_worker_args, **PYPERF_DEFAULTS)
    parser = runner.argparser
    parser.add_argument("--out-dir", required=True,
                        help="directory of the generated inputs and of the results")
    parser.add_argument("--cases", default="",
                        help="only these cases, e.g. P3,P6 (default: all)")
    parser.add_argument("--rounds", type=int, default=ROUNDS,
                        help="time every benchmark this many times, taking "
                             "turns with the others, each time in --processes "
                             "processes (default: %(default)s)")
    parser.add_argument("--repeat", default="",
                        help="(passed to the workers) repetitions per value "
                             "of each case and variant, as calibrated")
    ARGS = args = runner.parse_args()
    cases = selected_cases(args.cases)
    started = time.monotonic()

    # The process that was started, not a worker that pyperf spawned.  With
    # --worker but no --pipe (make bench BENCH_FAST=1) it times everything
    # itself.
    top = args.pipe is None
    if top:
        args.out_dir = os.path.abspath(args.out_dir)
        inputs.ensure_files(os.path.join(args.out_dir, "inputs"))
        print("== {} ({}): checking that module, twin and floor agree".format(
            TAG, sys.version.split()[0]))
        for case in cases:
            case.timers()
        print("== {}: all {} cases agree; calibrating".format(TAG, len(cases)))
        sys.stdout.flush()
        # pyperf would calibrate each benchmark in a process of its own; one
        # calibration here, handed to every worker, saves those processes.
        repeat = {(case.key, variant): case.calibrate(variant, args.min_time)
                  for case in cases for variant in case.variants}
        args.repeat = encode_repeat(repeat)
    else:
        repeat = decode_repeat(args.repeat)

    benches = {}
    for r, case, variant in schedule(cases, args.rounds):
        n = repeat[case.key, variant]
        benches[case.key, variant, r] = runner.bench_time_func(
            bench_name(case, variant, r, args.rounds),
            lambda loops, case=case, variant=variant, n=n: case.run(variant, loops * n),
            inner_loops=n * case.unroll)

    if not top:
        return
    scaling = None
    if FREE_THREADED:
        print("== {}: thread scaling".format(TAG))
        sys.stdout.flush()
        with StderrWatch("thread scaling"):
            scaling = (measure_scaling(1, 0.01) if args.worker
                       else measure_scaling(SCALING_ROUNDS, 0.2))
    seconds = time.monotonic() - started
    suite = pyperf.BenchmarkSuite(list(benches.values()))
    suite.dump(os.path.join(args.out_dir, TAG + "-pyperf.json"), replace=True)
    path = os.path.join(args.out_dir, TAG + ".json")
    with open(path, "w", encoding="utf-8") as fh:
        json.dump(summary(args, cases, repeat, benches, seconds, scaling), fh, indent=1)
        fh.write("\n")
    print("== {}: timed in {:.0f} s, summary in {}".format(TAG, seconds, path))


if __name__ == "__main__":
    try:
        main()
    except BenchError as exc:
        sys.exit("run_bench: {}".format(exc))

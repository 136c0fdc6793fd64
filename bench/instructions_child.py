"""The cases of bench/instructions.py, and the processes it starts: the one
that checks a build against the twin and the floors, and the one that
callgrind watches.

    instructions_child.main([_, "count", INPUTS, CASE, VARIANT, OPS, COUNT, ROOT])
    instructions_child.main([_, "check", INPUTS, SOURCE_ROOT, CASES, PACKAGE_ROOT?])

A counted process does the set-up of CASE for VARIANT (module from the
package in ROOT, twin or floor), prepared for OPS operations, then COUNT
operations in a compiled loop, and leaves.  instructions.py starts two of
them per measurement, with COUNT = N and M and everything else equal, so
everything but the N - M operations cancels out; to keep it that way:

- both run with PYTHONHASHSEED=0 and the same environment, arguments of the
  same length and the same set-up (P5 makes its fresh copies for N
  operations in both, of which the M run uses M);
- the cyclic garbage collector is off around the loop, after a full
  collection, as run_bench.py times it;
- os._exit() ends the process right after the loop, so that neither pays
  for the interpreter's shutdown (of M or of N operations' leftovers);
- the byte code of everything they import is cached before (instructions.py
  runs the set-up once without valgrind);
- everything a counted process imports is counted, and takes time under
  valgrind: this file imports little (inputs.py, gc, os, sys) and parses
  its arguments by hand.
"""

import gc
import os
import sys

# instructions.py has the byte code cached outside the source tree
# (PYTHONPYCACHEPREFIX); without that, none is written.
if getattr(sys, "pycache_prefix", None) is None:
    sys.dont_write_bytecode = True

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
if BENCH_DIR not in sys.path:
    sys.path.insert(0, BENCH_DIR)

import inputs  # noqa: E402

MODULE = "quorvane.global_var.globals"
SMALL = (3000, 1000)
LARGE = (3, 1)


class InstrError(Exception):
    pass


# -- cases -------------------------------------------------------------------
#
# A case gives, for an implementation (the module or the twin, which have the
# same interface) or for the floor, the statement to repeat and the names it
# uses, and how to turn its result into something the check can compare.
# The statements and inputs are those of run_bench.py.

class Case:
    def __init__(self, key, title, operation, counts, unroll, setup,
                 floor=None, comparable=None, floor_comparable=True, str_floor=None):
        self.key = key
        self.title = title
        self.operation = operation
        self.counts = counts
        self.unroll = unroll
        self.setup = setup          # setup(impl, ops) -> (stmt, names)
        self.floor = floor          # floor(ops) -> (stmt, names)
        self.comparable = comparable or (lambda result: result)
        # Whether the floor gives the module's result (P3, P4) or only does
        # the work underneath (P6).
        self.floor_comparable = floor_comparable
        # The text whose transliteration bench/str_floor.cpp can do with just
        # the work that exactness requires (P4, R4).
        self.str_floor = str_floor

    def variants(self, builds):
        return (list(builds) + ["twin"] + (["floor"] if self.floor else [])
                + (["strfloor"] if self.str_floor is not None else []))


def str_floor_setup(text):
    """The statement of the strfloor variant: str_floor.run, built by
    instructions.py into the directory that QV_STR_FLOOR names, doing the
    work of one plain str's attempts once."""
    sys.path.insert(0, os.environ["QV_STR_FLOOR"])
    import str_floor
    import builtins
    from unidecode import unidecode
    # (A module's namespace, as the module's: its frames find the builtins.)
    namespace = {"__builtins__": builtins, "unidecode": unidecode}
    return "run(text, namespace, 1)", {"run": str_floor.run, "text": text,
                                        "namespace": namespace}


def attribute_read(obj_of, name):
    def setup(impl, ops):
        return "obj." + name, {"obj": obj_of(impl)}
    return setup


def settings_from_file(impl):
    return impl.config_global_var(input_path(inputs.SETTINGS_INI))


def p3_floor(ops):
    from configparser import ConfigParser
    parser = ConfigParser()
    parser.read(input_path(inputs.SETTINGS_INI))
    return "parser.getint(section, option)", {
        "parser": parser, "section": inputs.P3_SECTION, "option": inputs.P3_SETTING}


def transliteration(text):
    def setup(impl, ops):
        return "apply(text)", {"apply": impl.apply_unidecoding, "text": text}
    return setup


def p4_floor(text):
    def floor(ops):
        from unidecode import unidecode
        return ('unidecode(text.encode("ascii", "ignore").decode("ascii", "ignore"))',
                {"unidecode": unidecode, "text": text})
    return floor


def p5_setup(impl, ops):
    # The copies of all N operations are made in both runs, so that the set-up
    # is the same; the M run leaves some of them unused.
    template = inputs.nested_template()
    copies = iter([inputs.rebuild(template) for _ in range(ops)])
    return "apply(next(copies))", {"apply": impl.apply_unidecoding, "copies": copies}


def p6_setup(impl, ops):
    return "load(path)", {"load": impl.config_global_var,
                          "path": input_path(inputs.LARGE_INI)}


def p6_floor(ops):
    from configparser import ConfigParser
    return "ConfigParser().read(path)", {"ConfigParser": ConfigParser,
                                         "path": input_path(inputs.LARGE_INI)}


def parser_contents(parser):
    return {s: dict(parser.items(s, raw=True)) for s in parser.sections()}


def p6_comparable(result):
    if isinstance(result, list):  # the floor's: the files read
        return result
    return [result.variables, result.config_json, result.filename,
            parser_contents(result.parser)]


REFERENCE = "Hello world 123"

CASES = [
    Case("P1", "str setting, no file", "g.APP_NAME", SMALL, 20,
         attribute_read(lambda impl: impl.g, "APP_NAME")),
    Case("P2", "missing setting", "g." + inputs.MISSING_NAME, SMALL, 20,
         attribute_read(lambda impl: impl.g, inputs.MISSING_NAME)),
    Case("P3", "int setting from the file", "settings.MAX_ROWS", SMALL, 10,
         attribute_read(settings_from_file, inputs.P3_SETTING), floor=p3_floor),
    Case("P4a", "ASCII str, {} characters".format(len(inputs.ASCII_TEXT)),
         "apply_unidecoding(s)", SMALL, 10, transliteration(inputs.ASCII_TEXT),
         floor=p4_floor(inputs.ASCII_TEXT), str_floor=inputs.ASCII_TEXT),
    Case("P4b", "non-ASCII str, {} characters".format(len(inputs.NON_ASCII_TEXT)),
         "apply_unidecoding(s)", SMALL, 10, transliteration(inputs.NON_ASCII_TEXT),
         floor=p4_floor(inputs.NON_ASCII_TEXT), str_floor=inputs.NON_ASCII_TEXT),
    Case("P5", "10,000-element structure", "apply_unidecoding(records)", LARGE, 1,
         p5_setup),
    Case("P6", "load a 5,000-option file", "config_global_var(path)", LARGE, 1,
         p6_setup, floor=p6_floor, comparable=p6_comparable, floor_comparable=False),
    # The operations whose instructions issue #16 quotes, to compare with.
    Case("R1", "int setting, no file", "g.MAX_ROWS", SMALL, 20,
         attribute_read(lambda impl: impl.g, "MAX_ROWS")),
    Case("R2", "another missing setting", "g.NOT_A_SETTING", SMALL, 20,
         attribute_read(lambda impl: impl.g, "NOT_A_SETTING")),
    Case("R4", "short ASCII str", 'apply_unidecoding("{}")'.format(REFERENCE), SMALL, 10,
         transliteration(REFERENCE), floor=p4_floor(REFERENCE), str_floor=REFERENCE),
]
CASE_KEYS = [case.key for case in CASES]


def case_named(key):
    for case in CASES:
        if case.key == key:
            return case
    raise InstrError("unknown case {} (known: {})".format(key, ", ".join(CASE_KEYS)))


# -- the processes that check and count ----------------------------------------

INPUTS_DIR = None


def input_path(name):
    return os.path.join(INPUTS_DIR, name)


def load_module(package_root):
    """The module, imported from package_root/quorvane and nowhere else."""
    sys.path.insert(0, package_root)
    import importlib
    import importlib.machinery
    module = importlib.import_module(MODULE)
    where = os.path.realpath(module.__file__)
    expected = os.path.realpath(os.path.join(package_root, "quorvane", "global_var"))
    if os.path.dirname(where) != expected or not where.endswith(
            tuple(importlib.machinery.EXTENSION_SUFFIXES)):
        raise InstrError("{} was loaded from {}, not from a build in {}".format(
            MODULE, module.__file__, expected))
    return module


def load_twin(package_root):
    sys.path.insert(0, package_root)
    import twin
    return twin


def make_loop(stmt, unroll, names):
    """loop(n) running stmt n * unroll times, with names as local variables
    (as run_bench.py's timers do: no call around the statement)."""
    params = "".join(", {0}={0}".format(name) for name in names)
    src = "def loop(n{}):\n    for _ in range(n):\n{}".format(
        params, ("        " + stmt + "\n") * unroll)
    namespace = dict(names)
    exec(compile(src, "<loop {}>".format(stmt), "exec"), namespace)
    return namespace["loop"]


def count(case_key, variant, ops, count, package_root):
    """The process that callgrind watches: the case's set-up for one variant,
    prepared for ops operations (the same in the two runs of a measurement),
    then count operations."""
    case = case_named(case_key)
    if variant == "floor":
        stmt, names = case.floor(ops)
    elif variant == "strfloor":
        stmt, names = str_floor_setup(case.str_floor)
    elif variant == "twin":
        stmt, names = case.setup(load_twin(package_root), ops)
    else:
        stmt, names = case.setup(load_module(package_root), ops)
    if count % case.unroll:
        raise InstrError("{}: {} operations are not a multiple of {}".format(
            case.key, count, case.unroll))
    loop = make_loop(stmt, case.unroll, names)
    gc.collect()
    gc.disable()
    loop(count // case.unroll)
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0)


def check(source_root, case_keys, package_root=None):
    """Runs each case once with the build in package_root (if any), the twin
    and the floor, and stops if their results differ or anything is written
    to stderr (where apply_unidecoding reports its errors)."""
    import io
    module = load_module(package_root) if package_root else None
    twin = load_twin(source_root)
    saved, sys.stderr = sys.stderr, io.StringIO()
    try:
        for key in case_keys.split(","):
            case = case_named(key)
            results = {}
            impls = [("twin", twin)] + ([("module", module)] if module else [])
            for name, impl in impls:
                stmt, names = case.setup(impl, 1)
                results[name] = case.comparable(eval(stmt, dict(names)))
            if module and not inputs.same(results["module"], results["twin"]):
                raise InstrError("{}: module and twin differ:\n  {!r:.300}\n  {!r:.300}".format(
                    key, results["module"], results["twin"]))
            if case.floor:
                stmt, names = case.floor(1)
                got = case.comparable(eval(stmt, dict(names)))
                expected = (results["twin"] if case.floor_comparable
                            else [input_path(inputs.LARGE_INI)])
                if not inputs.same(got, expected):
                    raise InstrError("{}: floor gives {!r:.300}, expected {!r:.300}".format(
                        key, got, expected))
            if case.str_floor is not None and os.environ.get("QV_STR_FLOOR"):
                stmt, names = str_floor_setup(case.str_floor)
                got = eval(stmt, dict(names))
                if not inputs.same(got, results["twin"]):
                    raise InstrError("{}: str_floor gives {!r:.300}, expected {!r:.300}".format(
                        key, got, results["twin"]))
        text = sys.stderr.getvalue()
    finally:
        sys.stderr = saved
    if text:
        raise InstrError("written to stderr while checking:\n" + text)


def main(argv):
    """Runs the process that argv (sys.argv) asks for; any error ends it with
    a message on stderr and exit status 1."""
    try:
        run(argv)
    except InstrError as exc:
        sys.exit("instructions_child: {}".format(exc))


def run(argv):
    global INPUTS_DIR
    if len(argv) == 8 and argv[1] == "count":
        INPUTS_DIR = argv[2]
        count(argv[3], argv[4], int(argv[5]), int(argv[6]), argv[7])
    elif len(argv) in (5, 6) and argv[1] == "check":
        INPUTS_DIR = argv[2]
        check(*argv[3:])
    else:
        sys.exit("instructions_child: unexpected arguments {}".format(argv[1:]))

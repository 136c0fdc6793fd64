"""Setting reads on config_global_var instances: defaults, typed file values,
reserved names, failures, and a differential check against Reference."""

import configparser
import math
import os
import tempfile
import types

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

import config_support as cs
from config_support import GETATTR, MISSING, RESERVED, cgv, defaults, entries, own_entries

GA = cgv.__getattribute__


@pytest.fixture
def build(tmp_path, monkeypatch):
    """build(ini_text or None, NAME=default, ...): an instance over the real
    defaults module with the given settings patched in (MISSING removes one)."""
    def make(ini=None, **settings_):
        for name, value in settings_.items():  # through the dict: some values resist isinstance
            if value is MISSING:
                monkeypatch.delitem(defaults.__dict__, name, raising=False)
            else:
                monkeypatch.setitem(defaults.__dict__, name, value)
        return cgv() if ini is None else cgv(cs.write_ini(tmp_path, ini))
    return make


class IntSub(int):
    pass


class FloatSub(float):
    pass


class ClaimsBool(object):
    __class__ = property(lambda self: bool)


class ClaimsInt(object):
    __class__ = property(lambda self: int)


A_LIST, A_DICT, A_STR, CLAIMS_INT, CLAIMS_BOOL = ["*.csv"], {"a": 1}, "text", ClaimsInt(), ClaimsBool()
ROWS = [  # default, option text in the file, value read with the file
    (MISSING, "250", None), (None, "250", None),
    (A_STR, "250", A_STR), (A_LIST, "250", A_LIST), (A_DICT, "250", A_DICT), (os, "1", os),
    (CLAIMS_INT, "5", CLAIMS_INT),
    (100, "250", 250), (100, " -7 ", -7), (100, "2.5", None), (100, "", None), (100, "1e3", None),
    (IntSub(5), "6", 6),
    (False, "yes", True), (True, "off", False), (False, "1", True), (True, "No", False),
    (False, "TRUE", True), (False, "maybe", None), (True, "2", None), (False, "", None),
    (CLAIMS_BOOL, "on", True),
    (0.5, "3", 3.0), (0.5, "1e-3", 0.001), (0.5, "-inf", -math.inf), (FloatSub(1.5), "2", 2.0),
    (0.5, "fast", None),
    (1j, "250", None), (complex(2, 0), "x", None),
]


def same(a, b):
    return a is b or (type(a) is type(b) and a == b)


def check_read(inst, name, outcome, line):
    """Reading `name` gives `outcome`, or, with a line, raises the exception
    type `outcome` with one entry of the lookup at that line."""
    if line is None:
        assert getattr(inst, name) == outcome
        return
    with pytest.raises(outcome) as info:
        getattr(inst, name)
    assert own_entries(info.value) == entries((GETATTR, line))


@pytest.mark.parametrize("default, text, expected", ROWS)
def test_what_a_setting_read_returns(build, default, text, expected):
    plain = None if default is MISSING else default
    inst = build("[DEFAULT]\nunrelated = 1\n[Tuning]\nQv_Setting = %s\n" % text, QV_SETTING=default)
    assert same(inst.QV_SETTING, expected)
    assert same(cs.Reference(inst.filename).QV_SETTING, expected)
    assert same(build("[Tuning]\nother = %s\n" % text).QV_SETTING, plain)
    assert same(build().QV_SETTING, plain)


def test_reads_of_the_data_files():
    cs.needs_utf8()
    pipeline, analytics = cgv(cs.data("pipeline.ini")), cgv(cs.data("analytics.ini"))
    expected = dict(MAX_ROWS=250, MAX_COLUMNS=48, BATCH_SIZE=None, RATE=3.0, MIN_FILL_RATIO=0.4,
                    HEADER_LINES=2, SKIP_BLANK_LINES=True, VERBOSE=False, TIMEOUT_SECONDS=12.5,
                    max_retries=7, MAX_RETRIES=None, COMPRESS_OUTPUT=True, STRICT_MODE=None,
                    FLOAT_PRECISION=4, WORKER_COUNT=4, APP_NAME="quorvane", INPUT_DIR="data/input",
                    INPUT_PATTERNS=defaults.INPUT_PATTERNS, OWNER=None, max_rows=None, DURE_MAX=None)
    assert {name: getattr(pipeline, name) for name in expected} == expected
    assert (analytics.VERBOSE, analytics.max_retries, analytics.TIMEOUT_SECONDS, analytics.HEADER_LINES,
            analytics.RATE, analytics.MAX_ROWS, analytics.NULL_MARKERS) == \
        (True, None, 45.0, 0, 0.05, 5000, defaults.NULL_MARKERS)
    assert type(pipeline.RATE) is float and type(analytics.TIMEOUT_SECONDS) is float


def test_lower_case_setting_and_case_of_the_name(build):
    inst = build("[Remote]\nMax_Retries = 9\nmax_rows = 250\n", max_retries=3, MAX_ROWS=100)
    assert inst.max_retries == 9 and inst.MAX_RETRIES is None
    assert inst.MAX_ROWS == 250 and inst.max_rows is None and inst.Max_Rows is None


def test_file_is_not_read_again(build, tmp_path):
    inst = build("[Limits]\nmax_rows = 250\n")
    cs.write_ini(tmp_path, "[Limits]\nmax_rows = 999\n")
    assert inst.MAX_ROWS == 250


@pytest.mark.parametrize("name, default, method", [
    ("qv_int", 5, "getint"), ("QV_FLAG", False, "getboolean"), ("qv_flag_int", True, "getboolean"),
    ("Qv_Ratio", 0.5, "getfloat"), ("QV_PHASE", 1j, None),
])
def test_conversion_calls_are_made_at_every_read(build, name, default, method):
    inst = build("[Tuning]\n%s = 1\n" % name.lower(), **{name: default})
    spy = inst.parser = cs.SpyParser(answer="converted")
    expected = None if method is None else "converted"
    assert getattr(inst, name) == expected and getattr(inst, name) == expected
    assert spy.calls == ([] if method is None else [(method, ("Tuning", name), {})] * 2)


class ValueErrorKind(ValueError):
    pass


@pytest.mark.parametrize("default, line", [(5, 74), (True, 71), (0.5, 77)])
@pytest.mark.parametrize("error", [
    lambda: KeyError("k"), lambda: RuntimeError("r"), lambda: configparser.NoSectionError("s"),
    lambda: ValueErrorKind("v"), lambda: UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad")])
def test_parser_errors(build, default, line, error):
    inst = build("[Tuning]\nqv_setting = 1\n", QV_SETTING=default)
    error = error()
    inst.parser = cs.SpyParser(answer=error)
    if isinstance(error, ValueError):
        assert inst.QV_SETTING is None
        return
    with pytest.raises(type(error)) as info:
        inst.QV_SETTING
    assert info.value is error and own_entries(error) == entries((GETATTR, line))


@pytest.mark.parametrize("ini, default, error, line", [
    ("durée_max = 90", 60, configparser.NoOptionError, 74),  # indexed as DURE_MAX, unknown to the parser
    ("durée_max = 90", False, configparser.NoOptionError, 71),
    ("durée_max = 90", 1.5, configparser.NoOptionError, 77),
    ("durée_max = 90", 1j, None, None), ("durée_max = 90", "s", "s", None),
    ("dure_max = 5%", 60, configparser.InterpolationSyntaxError, 74),
    ("dure_max = 50%%", 60, None, None),
])
def test_parser_errors_from_the_file(build, ini, default, error, line):
    inst = build("[Remote]\n%s\n" % ini, DURE_MAX=default)
    assert list(inst.config_json) == ["DURE_MAX"]
    check_read(inst, "DURE_MAX", error, line)


@pytest.mark.parametrize("with_file", [False, True])
def test_reserved_names_come_from_the_instance(build, with_file):
    inst = build("[Limits]\nmax_rows = 250\n" if with_file else None,
                 **dict.fromkeys(RESERVED, 100))  # settings of these names never count
    own = cs.instance_dict(inst)
    for name in RESERVED:
        if name in own:
            assert getattr(inst, name) is own[name] is GA(inst, name)
        else:
            with pytest.raises(AttributeError) as info:
                getattr(inst, name)
            assert own_entries(info.value) == entries((GETATTR, 59))
    assert sorted(own) == sorted(RESERVED if with_file else ["variables", "module"])


def test_instance_attributes_live_in_the_defaults_namespace(build):
    inst = build("[Limits]\nmax_rows = 250\n")
    assert inst.__dict__ is vars(inst) is defaults.__dict__
    assert inst.__class__ is types.ModuleType and inst.__name__ == "quorvane.global_var.global_var"
    method = inst.__getattribute__
    assert method.__self__ is defaults and method("MAX_ROWS") == 100
    with pytest.raises(AttributeError):
        method("NO_SUCH_SETTING")


@settings(max_examples=60, deadline=None)
@given(name=st.text(max_size=12).filter(lambda n: n not in RESERVED))
@example("MAX_ROWS")
@example("__init__")
@example("__dict__")
@example("max_retries")
def test_without_file_every_name_reads_its_default(name):
    inst = cs.cgv()
    assert hasattr(inst, name)
    value, default = getattr(inst, name, "fallback"), getattr(defaults, name, None)
    assert value is default or value == default


def test_instance_that_was_never_initialised():
    inst = cgv.__new__(cgv)
    for name in ["MAX_ROWS", "APP_NAME", "NO_SUCH_SETTING", "__dict__", "__class__"]:
        with pytest.raises(AttributeError, match="module") as info:
            getattr(inst, name)
        assert own_entries(info.value) == entries((GETATTR, 61), (GETATTR, 59))
    for name in RESERVED:
        with pytest.raises(AttributeError, match=name) as info:
            getattr(inst, name)
        assert own_entries(info.value) == entries((GETATTR, 59))


class Probe(object):
    """A non-str attribute name that reports what it is compared with."""

    def __init__(self, equal_to=None, fail_on=None):
        self.seen, self.equal_to, self.fail_on = [], equal_to, fail_on

    def __eq__(self, other):
        self.seen.append(other)
        if other == self.fail_on:
            raise RuntimeError("comparison failed")
        return other == self.equal_to

    __hash__ = object.__hash__


class Name(str):
    pass


class NameProbe(str):
    """A str subclass that equals "module" whatever its text."""

    def __eq__(self, other):
        self.seen.append(other)
        return other == "module"

    __hash__ = str.__hash__


def name_probe(text):
    probe = NameProbe(text)
    probe.seen = []
    return probe


@pytest.mark.parametrize("item, error, line, seen", [
    (Probe(), TypeError, 61, list(RESERVED)),  # unequal to all five, then no str for getattr
    (Probe(equal_to="config_json"), TypeError, 59, ["filename", "parser", "config_json"]),
    (Probe(fail_on="parser"), RuntimeError, 58, ["filename", "parser"]),
    (5, TypeError, 61, None), (None, TypeError, 61, None), (b"MAX_ROWS", TypeError, 61, None),
    # Compared although no reserved name has its length; then not in the dict.
    (name_probe("M"), AttributeError, 59, ["filename", "parser", "config_json", "module"]),
])
def test_direct_call_with_item_that_is_no_plain_str(item, error, line, seen):
    with pytest.raises(error) as info:
        GA(cs.cgv(), item)
    assert own_entries(info.value) == entries((GETATTR, line))
    assert seen is None or item.seen == seen


def test_reserved_name_equal_but_not_identical():
    inst = cs.cgv()
    assert GA(inst, Name("module")) is defaults and GA(inst, "".join(["vari", "ables"])) == []


class IntWithBadClass(int):
    __class__ = property(lambda self: 1 / 0)


class WithBadClass(object):
    __class__ = property(lambda self: 1 / 0)


@pytest.mark.parametrize("default, with_file, line", [
    (WithBadClass, False, 63), (WithBadClass, True, 63), (lambda: IntWithBadClass(5), True, 70),
])
def test_failing_bool_instance_test(build, default, with_file, line):
    inst = build("[Tuning]\nqv_setting = 6\n" if with_file else None, QV_SETTING=default())
    with pytest.raises(ZeroDivisionError) as info:
        inst.QV_SETTING
    assert own_entries(info.value) == entries((GETATTR, line))
    assert build(QV_SETTING=IntWithBadClass(5)).QV_SETTING == 5


def hooked_defaults(error):
    """Defaults made by a module __getattr__ (PEP 562) that raises error(name)."""
    def __getattr__(name):
        raise error(name)
    module = types.ModuleType("hooked")
    module.__getattr__ = __getattr__
    return module


@pytest.mark.parametrize("change, outcome, line", [
    (lambda inst: setattr(inst, "module", hooked_defaults(AttributeError)), None, None),
    (lambda inst: setattr(inst, "module", hooked_defaults(LookupError)), LookupError, 61),
    (lambda inst: delattr(inst, "config_json"), 100, None),
    (lambda inst: setattr(inst, "config_json", {}), 100, None),
    (lambda inst: setattr(inst, "config_json", {"MAX_ROWS": "Limits"}), 250, None),
    (lambda inst: setattr(inst, "config_json", {"MAX_ROWS": "Elsewhere"}), configparser.NoSectionError, 74),
    (lambda inst: setattr(inst, "config_json", ["MAX_ROWS"]), TypeError, 67),
    (lambda inst: setattr(inst, "config_json", 5), TypeError, 66),
    (lambda inst: setattr(inst, "parser", None), AttributeError, 74),
])
def test_changed_instance_state(build, change, outcome, line):
    inst = build("[Limits]\nmax_rows = 250\n")
    change(inst)
    check_read(inst, "MAX_ROWS", outcome, line)


def test_presence_test_swallows_any_error(build, monkeypatch):
    inst = build("[Limits]\nmax_rows = 250\n")
    unreadable = property(lambda self: 1 / 0)  # a data descriptor: it hides the instance's own
    monkeypatch.setattr(cgv, "config_json", unreadable, raising=False)
    assert inst.MAX_ROWS == 100
    with pytest.raises(ZeroDivisionError) as info:
        inst.config_json
    assert own_entries(info.value) == entries((GETATTR, 59))


@pytest.mark.parametrize("name, traffic", [
    ("MAX_ROWS", ["module", "config_json", "config_json", "config_json", "parser"]),
    ("RATE", ["module", "config_json", "config_json"]),
    ("APP_NAME", ["module"]), ("NO_SUCH_SETTING", ["module"]), ("parser", ["parser"]),
])
def test_attribute_traffic_of_a_read(build, monkeypatch, name, traffic):
    inst, log = build("[Limits]\nmax_rows = 250\n"), []
    for reserved in RESERVED:
        monkeypatch.setattr(cgv, reserved, cs.Traced(reserved, log), raising=False)
    getattr(inst, name)
    assert log == [("get", n) for n in traffic]


@pytest.mark.parametrize("call, message", [
    (lambda i: GA(), "(0 given)"), (lambda i: GA(i), "(1 given)"),
    (lambda i: GA(i, "MAX_ROWS", "RATE"), "(3 given)"),
    (lambda i: GA(i, "MAX_ROWS", "RATE", item="RATE"), "(3 given)"),
    (lambda i: GA(item="MAX_ROWS"), "(0 given)"),
    (lambda i: GA(i, other="MAX_ROWS"), "(1 given)"),
    (lambda i: GA(self=i, other="MAX_ROWS"), "(1 given)"),
    (lambda i: GA(self=i), "(1 given)"),
    (lambda i: GA(i, "MAX_ROWS", other=1), "got an unexpected keyword argument 'other'"),
    (lambda i: GA(self=i, item="MAX_ROWS", other=1), "got an unexpected keyword argument 'other'"),
    (lambda i: GA(i, "MAX_ROWS", item="RATE"), "got multiple values for keyword argument 'item'"),
    (lambda i: GA(i, item="MAX_ROWS", self=i), "got multiple values for keyword argument 'self'"),
    (lambda i: GA(i, "MAX_ROWS", **{1: 2}), "keywords must be strings"),
    (lambda i: GA(i, **{1: 2}), "(1 given)"),
])
def test_getattribute_argument_binding(build, call, message):
    if message.endswith("given)"):
        message = "takes exactly 2 positional arguments " + message
    with pytest.raises(TypeError) as info:
        call(build())
    assert str(info.value) == "__getattribute__() " + message
    assert own_entries(info.value) == entries((GETATTR, 56))


def test_getattribute_called_directly(build):
    inst = build("[Limits]\nmax_rows = 250\n")
    assert GA(inst, "MAX_ROWS") == GA(self=inst, item="MAX_ROWS") == GA(inst, item="MAX_ROWS") == 250
    assert GA(inst, "APP_NAME") == "quorvane" and GA(inst, "NO_SUCH_SETTING") is None


# -- differential check against Reference ---------------------------------

OPTION = st.from_regex(r"[A-Za-z][A-Za-z0-9_]{0,5}", fullmatch=True) | st.sampled_from(["é", "größe", "Ça_va"])
SECTION = st.from_regex(r"[A-Za-z][A-Za-z0-9 ._]{0,6}[A-Za-z0-9]", fullmatch=True).filter(lambda s: s != "DEFAULT")
TEXT = st.one_of(
    st.integers(-10 ** 12, 10 ** 12).map(str), st.floats(allow_nan=False).map(repr),
    st.sampled_from(["yes", "No", "on", "OFF", "true", "0", "1", "maybe", "", "2.5", "1e3", "0x1F",
                     " 42 ", "5%", "50%%", "a b c", "nan"]))
DEFAULT = st.one_of(st.integers(), st.floats(allow_nan=False), st.booleans(),
                    st.complex_numbers(allow_nan=False), st.text(max_size=3), st.none(),
                    st.just(MISSING), st.builds(IntSub, st.integers(-5, 5)))


def options_text(options):
    seen, lines = set(), []
    for name, value in options:
        if name.lower() not in seen:
            seen.add(name.lower())
            lines.append("%s = %s" % (name, value))
    return "\n".join(lines)


def compare(path, module, names):
    try:
        ref = cs.Reference(path)
    except Exception as exc:
        with pytest.raises(type(exc)):
            cgv(path)
        return
    inst = cgv(path)
    assert inst.variables == ref.variables
    assert list(inst.config_json.items()) == list(ref.config_json.items())
    inst.module = ref.module = module
    for name in names:
        mine, theirs = cs.outcome(lambda: getattr(inst, name)), cs.outcome(lambda: getattr(ref, name))
        assert cs.same_outcome(mine, theirs), (name, mine, theirs)


@settings(max_examples=50, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(shared=st.lists(st.tuples(OPTION, TEXT), max_size=3),
       sections=st.dictionaries(SECTION, st.lists(st.tuples(OPTION, TEXT), max_size=5), max_size=4),
       extra=st.lists(OPTION, max_size=3), data=st.data())
def test_differential_random_files(shared, sections, extra, data):
    parts = ["[DEFAULT]\n" + options_text(shared)] if shared else []
    parts += ["[%s]\n%s" % (name, options_text(opts)) for name, opts in sections.items()]
    names = set(extra) | {n for opts in [shared] + list(sections.values()) for n, _ in opts}
    names |= {n.upper() for n in names} | {n.lower() for n in names}
    names |= set(map(str.upper, cs.transliterate_names(names)))  # keys the parser does not know
    module = types.ModuleType("random_defaults")
    for name in sorted(names):
        value = data.draw(DEFAULT, label=name)
        if value is not MISSING:
            setattr(module, name, value)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "random.ini")
        with open(path, "w", errors="replace") as fh:
            fh.write("\n\n".join(parts) + "\n")
        compare(path, module, sorted(names))


@pytest.mark.parametrize("sample", ["pipeline.ini", "analytics.ini", "hotspot_login__.pylintrc"])
def test_differential_data_files(sample):
    cs.needs_utf8()
    parser = configparser.ConfigParser()
    parser.read(cs.data(sample))
    names = sorted({o for s in parser.sections() for o in parser.options(s)})
    names = [variant for n in names for variant in (n, n.upper(), n.title())]
    names += sorted(set(cs.Reference(cs.data(sample)).variables) - set(names))
    module = types.ModuleType("cycled_defaults")
    cycle = [7, 0.25, False, True, 2j, "text", None, ["list"]]
    for i, name in enumerate(names):
        setattr(module, name, cycle[i % len(cycle)])
    compare(cs.data(sample), module, names + ["not_in_the_file"])

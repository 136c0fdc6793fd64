"""apply_unidecoding: results, the decode/encode attempt chain, the exception
state it leaves behind, the errors it prints and the ones it lets through."""
import builtins
import re
import sys
import types

import pytest
from conftest import MODNAME, TB_FILE, our_entries, run_python

APPLY = MODNAME + ".apply_unidecoding"
ENTRY_RE = re.compile(re.escape('File "%s", line ' % TB_FILE) + r"(\d+), in (\S+)")
NAME_ERROR = "NameError: name 'unidecode' is not defined"


@pytest.fixture
def apply(mod):
    return mod.apply_unidecoding


@pytest.fixture
def recorder(mod, monkeypatch):
    """Replace the module global unidecode; log its argument and the
    exception being handled at the time of the call."""
    calls = []

    def fake(text):
        calls.append((text, sys.exc_info()[1]))
        return "<%s>" % (text,)
    monkeypatch.setattr(mod, "unidecode", fake)
    return calls


def printed_entries(err):
    return [int(line) for line, name in ENTRY_RE.findall(err) if name == APPLY]


class Halt(BaseException):
    pass


class BadNumber(int):
    """An int whose str() raises a new exc_type("no text")."""
    def __new__(cls, value, exc_type):
        self = int.__new__(cls, value)
        self.exc_type = exc_type
        return self

    def __str__(self):
        raise self.exc_type("no text")


class NoAscii(str):
    """A str without an ASCII form: encode() raises ValueError("no text")."""
    def encode(self, *args):
        raise ValueError("no text")


class Probe(str):
    """A str whose decode/encode are logged together with sys.exc_info()."""
    def __new__(cls, text, decode_errors=()):
        self = str.__new__(cls, text)
        self.decode_errors, self.log, self.raised = list(decode_errors), [], []
        return self

    def decode(self, *args):
        self.log.append(("decode", args, sys.exc_info()[1]))
        if self.decode_errors:
            exc = self.decode_errors.pop(0)
            if exc is not None:
                self.raised.append(exc)
                raise exc
        return "dec:" + str.__str__(self) + ":%d" % len(args)

    def encode(self, *args):
        self.log.append(("encode", args, sys.exc_info()[1]))
        return str.encode(self, *args)


class LogList(list):
    """Iterates in reverse and logs item assignments; refuses index `refuse`."""
    refuse = None

    def __init__(self, items):
        list.__init__(self, items)
        self.log = []

    def __iter__(self):
        return iter(list(list.__iter__(self))[::-1])

    def __setitem__(self, index, value):
        self.log.append(("set", index, value))
        if index == self.refuse:
            raise ValueError("refused")
        list.__setitem__(self, index, value)


class LogDict(dict):
    """Iterates its keys in reverse and logs item traffic; refuses key `refuse`."""
    refuse = None

    def __init__(self, **items):
        dict.__init__(self, **items)
        self.log = []

    def __iter__(self):
        self.log.append("iter")
        return iter(list(dict.keys(self))[::-1])

    def __getitem__(self, key):
        self.log.append(("get", key))
        return dict.__getitem__(self, key)

    def __setitem__(self, key, value):
        self.log.append(("set", key, value))
        if key == self.refuse:
            raise ValueError("refused")
        dict.__setitem__(self, key, value)


@pytest.mark.parametrize("value, expected", [
    ("plain ASCII, 123 !?", "plain ASCII, 123 !?"),
    ("caf\u00e9", "caf"),
    ("\u00e9\u4e2d\u0416\U0001f600", ""),
    ("", ""),
    ("a\u00e9b\u00fcc", "abc"),
    (3, "3"), (-7, "-7"), (10 ** 30, str(10 ** 30)),
    (True, "True"), (False, "False"),
    (2.5, "2.5"), (float("inf"), "inf"),
])
def test_scalar_results(apply, value, expected):
    result = apply(value)
    assert type(result) is str and result == expected


@pytest.mark.parametrize("value", [
    None, b"caf\xc3\xa9", bytearray(b"x"), ("\u00e9", [1]), {"\u00e9", 2},
    frozenset({1}), 1j, object(), str,
])
def test_other_values_come_back_untouched(apply, value):
    before = repr(value)
    assert apply(value) is value
    assert repr(value) == before


def test_list_is_processed_in_place(apply):
    tup = ("\u00e9", [1])
    lst = ["caf\u00e9", 1, 2.5, True, None, tup]
    assert apply(lst) is lst
    assert lst == ["caf", "1", "2.5", "True", None, tup] and lst[5] is tup
    assert tup == ("\u00e9", [1])


def test_nested_containers(apply):
    inner_list, inner_dict = [1, {"x": "\u00e9t\u00e9"}], {"n": [2.0, ("\u00e9",)]}
    d = {"cl\u00e9": "caf\u00e9", 7: inner_list, "d": inner_dict, "s": {"\u00e9"}}
    assert apply(d) is d
    assert list(d) == ["cl\u00e9", 7, "d", "s"]
    assert d == {"cl\u00e9": "caf", 7: ["1", {"x": "t"}], "d": {"n": ["2.0", ("\u00e9",)]},
                 "s": {"\u00e9"}}
    assert d[7] is inner_list and d["d"] is inner_dict


def call_while_handling(outer, func, *args):
    """Call func, inside an except clause for outer unless it is None; return
    the result and the exception being handled right after the call."""
    if outer is None:
        return func(*args), sys.exc_info()[1]
    try:
        raise outer
    except type(outer):
        return func(*args), sys.exc_info()[1]


@pytest.mark.parametrize("decode_errors, decode_calls, encoded", [
    ([None], [("utf-8",)], False),
    ([TypeError("one argument"), None], [("utf-8",), ("utf-8", "ignore")], False),
    ([KeyError(1), IndexError(2)], [("utf-8",), ("utf-8", "ignore")], True),
    # Attempts 1 and 2 catch everything, not only Exception.
    ([Halt(1), Halt(2)], [("utf-8",), ("utf-8", "ignore")], True),
])
@pytest.mark.parametrize("outer", [None, LookupError("caller's")])
def test_attempt_chain_and_exception_state(apply, recorder, decode_errors, decode_calls,
                                           encoded, outer):
    probe = Probe("caf\u00e9", decode_errors)
    result, state_after = call_while_handling(outer, apply, probe)
    assert state_after is outer
    assert [e[:2] for e in probe.log] == (
        [("decode", a) for a in decode_calls] + [("encode", ("ascii", "ignore"))] * encoded)
    # Attempt n runs while attempt n-1's exception is being handled.
    handled = [outer] + probe.raised
    assert [e[2] for e in probe.log] == handled[:len(probe.log)]
    text = "caf" if encoded else "dec:caf\u00e9:%d" % len(decode_calls)
    assert recorder == [(text, handled[len(probe.log) - 1])]
    assert result == "<%s>" % text


def test_a_generator_handling_the_callers_exception_keeps_it(apply):
    # The generator's own except clause and its caller's handle the same
    # exception; after apply_unidecoding's clauses the generator's is intact.
    shared = ValueError("shared")

    def gen():
        try:
            raise shared
        except ValueError:
            apply("abc")
            yield
            raise

    g = gen()
    try:
        raise shared
    except ValueError:
        next(g)
    with pytest.raises(ValueError) as info:
        next(g)
    assert info.value is shared


def test_globals_are_looked_up_at_each_use(mod, apply, monkeypatch):
    monkeypatch.delattr(mod, "unidecode")
    monkeypatch.setattr(builtins, "unidecode", lambda s: "builtin:" + s, raising=False)
    assert apply(["x\u00e9"]) == ["builtin:x"]
    monkeypatch.setattr(mod, "apply_unidecoding", lambda o: ("seen", o))
    nested = [1]
    assert apply(["a", nested]) == [("seen", "a"), ("seen", nested)]
    assert apply({"k": 1}) == {"k": ("seen", 1)}


def test_the_global_unidecode_is_read_once_per_attempt(mod, apply):
    # A key of the module's dict that shares the name's hash shows every
    # lookup of the name; it is put ahead of the name in the probe order.
    seen = []

    class Key(object):
        def __hash__(self):
            return hash("unidecode")

        def __eq__(self, other):
            seen.append(other)
            return False

    namespace = mod.__dict__
    key, function = Key(), namespace.pop("unidecode")
    namespace[key], namespace["unidecode"] = None, function
    try:
        del seen[:]
        for _ in range(3):
            namespace.get("unidecode")
        three_reads, seen[:] = len(seen), []
        assert apply("x\u00e9") == "x"
    finally:
        del namespace[key]
    assert three_reads > 0 and len(seen) == three_reads


def test_missing_unidecode_prints_one_traceback_per_str(mod, apply, monkeypatch, capsys):
    monkeypatch.delattr(mod, "unidecode")
    probe = Probe("caf\u00e9")
    lst = ["\u00e9", 1, probe, [2.5]]
    assert apply(lst) is lst
    assert lst == ["\u00e9", "1", probe, ["2.5"]] and lst[2] is probe
    # The global is read before the attribute, so decode/encode never run.
    assert probe.log == []
    err = capsys.readouterr().err
    assert err.count("Traceback (most recent call last):") == 6
    assert err.count(NAME_ERROR) == 6
    assert err.count("During handling of the above exception, another exception occurred:") == 4
    assert printed_entries(err) == [14, 17, 19] * 2


def test_failing_str_and_number_are_printed_and_returned(apply, capsys):
    bad, text = BadNumber(5, ValueError), NoAscii("caf\u00e9")
    lst = [bad, "caf\u00e9", text]
    assert apply(bad) is bad
    outer = LookupError("caller's")
    assert call_while_handling(outer, apply, lst) == (lst, outer)
    assert lst[0] is bad and lst[1] == "caf" and lst[2] is text
    err = capsys.readouterr().err
    # The str's traceback shows attempt 3's error with attempts 1 and 2 as its context.
    assert err.count("ValueError: no text") == 3 and printed_entries(err) == [28, 28, 14, 17, 19]


@pytest.mark.parametrize("wrap, lines", [
    (lambda x: x, [19]),
    (lambda x: [1, x, 2], [26, 19]),
    (lambda x: {"k": [1, x]}, [23, 26, 19]),
])
def test_base_exception_in_attempt_3_propagates(mod, monkeypatch, capsys, wrap, lines):
    def halting(text):
        raise Halt(text)
    monkeypatch.setattr(mod, "unidecode", halting)
    value = wrap("x\u00e9")
    with pytest.raises(Halt) as excinfo:
        mod.apply_unidecoding(value)
    assert [n for n, _ in our_entries(excinfo.value)] == [APPLY] * len(lines)
    assert [line for _, line in our_entries(excinfo.value)] == lines
    # Chained: attempt 3 ran while attempt 2's AttributeError was handled.
    second = excinfo.value.__context__
    first = second.__context__
    # What reading decode of a str raises in the interpreter.
    try:
        "x\u00e9".decode
    except AttributeError as e:
        expected = e
    for error in (second, first):
        assert (type(error), error.args, getattr(error, "name", None),
                getattr(error, "obj", None), error.__cause__, error.__suppress_context__) == (
            AttributeError, expected.args, getattr(expected, "name", None),
            getattr(expected, "obj", None), None, False)
    assert [line for _, line in our_entries(second)] == [17]
    assert [line for _, line in our_entries(first)] == [14]
    if isinstance(value, list):
        assert value == ["1", "x\u00e9", 2]
    assert capsys.readouterr().err == ""
    assert sys.exc_info() == (None, None, None)


def test_base_exception_from_str_propagates(apply, capsys):
    with pytest.raises(Halt) as excinfo:
        apply([BadNumber(1, Halt)])
    assert [line for _, line in our_entries(excinfo.value)] == [26, 28]
    assert capsys.readouterr().err == ""


def test_failing_print_exc_propagates_and_restores_state(mod, apply, monkeypatch):
    class PrintFailed(Exception):
        pass

    def print_exc():
        raise PrintFailed("cannot print")
    monkeypatch.setattr(mod, "traceback", types.SimpleNamespace(print_exc=print_exc))
    caught = None
    try:
        raise KeyError("outer")
    except KeyError as outer:
        try:
            apply(BadNumber(1, ValueError))
        except PrintFailed as exc:
            caught = exc
        assert sys.exc_info()[1] is outer
    assert [line for _, line in our_entries(caught)] == [30]
    assert type(caught.__context__) is ValueError
    assert [line for _, line in our_entries(caught.__context__)] == [28]
    assert sys.exc_info() == (None, None, None)


def test_every_item_is_assigned_back_in_iteration_order(apply):
    tup = (1,)
    lst = LogList(["\u00e9", tup, 1])
    assert apply(lst) is lst
    # iterated in reverse, so the last item is processed into index 0
    assert lst.log == [("set", 0, "1"), ("set", 1, tup), ("set", 2, "")] and lst.log[1][2] is tup
    assert lst == ["1", tup, ""]
    d = LogDict(a="caf\u00e9", b=None, c=2)
    assert apply(d) is d
    assert d.log == ["iter", ("get", "c"), ("set", "c", "2"), ("get", "b"), ("set", "b", None),
                     ("get", "a"), ("set", "a", "caf")]


def stops_after_first(base):
    """A list or dict whose iteration raises ValueError("refused") after the first item."""
    def __iter__(self):
        yield next(base.__iter__(self))
        raise ValueError("refused")
    return type("Stops", (base,), {"__iter__": __iter__})


@pytest.mark.parametrize("make, refuse, expected, line", [
    (lambda: LogDict(a=1, b=2, c=3), "b", {"a": 1, "b": 2, "c": "3"}, 23),
    (lambda: LogList([1, 2, 3]), 1, ["3", 2, 3], 26),
    (lambda: stops_after_first(list)([1, 2, 3]), None, ["1", 2, 3], 25),
    (lambda: stops_after_first(dict)(a=1, b=2), None, {"a": "1", "b": 2}, 22),
])
def test_failed_walk_is_printed_and_work_done_stays(apply, capsys, make, refuse,
                                                          expected, line):
    obj = make()
    obj.refuse = refuse
    assert apply(obj) is obj and obj == expected
    err = capsys.readouterr().err
    assert err.count("Traceback (most recent call last):") == 1
    assert "ValueError: refused" in err and printed_entries(err) == [line]


@pytest.mark.parametrize("build", [
    "value = []; value.append(value)",
    "value = cur = {}\nfor _ in range(100000):\n    cur['k'] = cur = {}\ncur['k'] = 'x'",
])
def test_unbounded_nesting_is_caught(repo_root, build):
    proc = run_python('''
import quorvane.global_var.globals as m
%s
assert m.apply_unidecoding(value) is value
print("returned")
''' % build, root=repo_root)
    assert proc.stdout.strip().endswith("returned")
    assert "RecursionError" in proc.stderr

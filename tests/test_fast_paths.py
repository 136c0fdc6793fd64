"""The module serves common cases without the machinery that nobody can
observe (plain str transliteration, reads of the instance's own attributes).
These tests run the same inputs with and without an observer that forces the
general path and require identical outcomes, and check that observers see
exactly what the general path does."""
import sys
import textwrap

import pytest
import unidecode as unidecode_package
from conftest import our_entries, run_json
from hypothesis import given, settings, strategies as st

TEXTS = ["", "a", "\u00e9", "hello world", "caf\u00e9", "\u5317\u4eb0", "mixed \u00fc\u00f1\u00ee text",
         "\ud800 lone surrogate", "\U0001f600 wide", "x" * 1000, "\u00e9x", "y\u4eb0"]


class Text(str):
    """A str whose attempts read and call its methods as written: the
    general path, which a plain str must not be told apart from."""


def as_text(value):
    if type(value) is str:
        return Text(value)
    if isinstance(value, list):
        return [as_text(item) for item in value]
    if isinstance(value, dict):
        return {key: as_text(item) for key, item in value.items()}
    return value


@pytest.mark.parametrize("text", TEXTS)
def test_plain_str_same_as_through_the_methods(mod, monkeypatch, text):
    # What unidecode is handed, singletons of the empty and one-character
    # strs included, and what comes back.
    handed = []

    def recording(string):
        singleton = len(string) > 1 or string is (string[0] if string else "")
        handed.append((type(string), string, singleton))
        return unidecode_package.unidecode(string)

    monkeypatch.setattr(mod, "unidecode", recording)
    results = [mod.apply_unidecoding(value) for value in (text, Text(text))]
    assert [type(r) for r in results] == [str, str] and results[0] == results[1]
    assert handed[0] == handed[1] and handed[0][2]


@settings(max_examples=200, deadline=None)
@given(st.recursive(st.text() | st.integers() | st.floats(allow_nan=False) | st.booleans(),
                    lambda children: st.lists(children, max_size=4)
                    | st.dictionaries(st.text(max_size=3), children, max_size=4),
                    max_leaves=20))
def test_nested_values_same_as_through_the_methods(mod, value):
    import copy
    assert mod.apply_unidecoding(copy.deepcopy(value)) == mod.apply_unidecoding(as_text(value))


def test_profiler_sees_the_unidecode_call_in_the_third_attempt(mod):
    seen = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is unidecode_package.unidecode.__code__:
            handled = sys.exc_info()[1]
            seen.append((frame.f_locals["string"], type(handled),
                         type(handled.__context__)))

    sys.setprofile(profile)
    try:
        result = mod.apply_unidecoding("caf\u00e9")
    finally:
        sys.setprofile(None)
    assert result == "caf"
    assert seen == [("caf", AttributeError, AttributeError)]


def test_replaced_code_of_the_imported_function_is_run(mod, monkeypatch):
    function = mod.unidecode
    assert function is unidecode_package.unidecode
    monkeypatch.setattr(function, "__code__", (lambda string: "<%s>" % string).__code__)
    assert mod.apply_unidecoding("abc") == "<abc>"
    monkeypatch.undo()
    assert mod.apply_unidecoding("abc") == "abc"


def test_rebound_global_is_called_with_the_attempts_state(mod, monkeypatch):
    calls = []

    def wrapper(string):
        calls.append((string, type(sys.exc_info()[1])))
        return string.upper()

    monkeypatch.setattr(mod, "unidecode", wrapper)
    assert mod.apply_unidecoding(["ab\u00e9", {"k": "x"}]) == ["AB", {"k": "X"}]
    assert calls == [("ab", AttributeError), ("x", AttributeError)]


@pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring is new in 3.12")
def test_monitoring_tool_sees_every_call(mod):
    mon = sys.monitoring
    tool = mon.PROFILER_ID
    seen = []
    code = unidecode_package.unidecode.__code__
    mod.apply_unidecoding("warm up")
    mon.use_tool_id(tool, "test")
    try:
        mon.register_callback(tool, mon.events.PY_START,
                              lambda c, offset: seen.append(type(sys.exc_info()[1]))
                              if c is code else None)
        mon.set_events(tool, mon.events.PY_START)
        mod.apply_unidecoding(["a", "b"])
        mon.set_events(tool, 0)
        mod.apply_unidecoding(["c"])
        mon.set_local_events(tool, code, mon.events.PY_START)
        mod.apply_unidecoding("d")
        mon.set_local_events(tool, code, 0)
    finally:
        mon.register_callback(tool, mon.events.PY_START, None)
        mon.free_tool_id(tool)
    assert seen == [AttributeError] * 3


def test_recursion_limit_met_inside_unidecode_is_printed(repo_root):
    # Close to the recursion limit the call of unidecode itself fails; the
    # plain-str path must then behave as the attempts do.
    out = run_json(textwrap.dedent('''
        import sys, io, contextlib
        import quorvane.global_var.globals as m
        def at_depth(n, text):
            if n:
                return at_depth(n - 1, text)
            err = io.StringIO()
            with contextlib.redirect_stderr(err):
                result = m.apply_unidecoding(text)
            return result, "RecursionError" in err.getvalue()
        outcomes = set()
        for depth in range(sys.getrecursionlimit() - 60, sys.getrecursionlimit()):
            try:
                outcomes.add(at_depth(depth, "text"))
            except RecursionError:
                outcomes.add("caller")
        done(outcomes=sorted(map(repr, outcomes)))
    '''))
    assert set(out["outcomes"]) <= {repr(("text", False)), repr(("text", True)), repr("caller")}


def test_reads_through_an_overriding_getattribute_keep_their_order(mod, tmp_path):
    ini = tmp_path / "s.ini"
    ini.write_text("[A]\nmax_rows = 7\nname = x\n")
    reads = []

    class Recording(mod.config_global_var):
        def __getattribute__(self, item):
            reads.append(item)
            return super().__getattribute__(item)

    recorded = Recording(str(ini))
    assert reads == ["parser", "filename", "parser", "parser",
                     "config_json", "variables", "config_json", "variables"]
    del reads[:]
    assert recorded.MAX_ROWS == 7 == mod.config_global_var(str(ini)).MAX_ROWS
    assert reads == ["MAX_ROWS", "module", "config_json", "config_json", "config_json", "parser"]


def test_getattr_hook_of_a_subclass_takes_part_in_own_reads(mod, tmp_path):
    class WithHook(mod.config_global_var):
        def __getattr__(self, item):
            return "hooked:" + item

    bare = WithHook.__new__(WithHook)
    assert bare.module == "hooked:module"
    assert bare.MAX_ROWS is None  # the hook's "module" has no MAX_ROWS


def test_own_reads_follow_later_changes_to_the_class(mod):
    class Sub(mod.config_global_var):
        pass

    bare = Sub.__new__(Sub)
    for _ in range(2):
        with pytest.raises(AttributeError):
            bare.MAX_ROWS
        def hook(self, item):
            if item == "module":
                return mod.g.module
            raise AttributeError(item)

        Sub.__getattr__ = hook
        assert bare.MAX_ROWS == 100
        del Sub.__getattr__


def deepest_nesting(read, limit=200):
    """The deepest Python nesting below `limit` at which read() still works."""
    def at(n):
        return at(n - 1) if n else read()

    previous = sys.getrecursionlimit()
    deepest = None
    sys.setrecursionlimit(limit)
    try:
        for n in range(limit):
            try:
                at(n)
            except RecursionError:
                break
            deepest = n
    finally:
        sys.setrecursionlimit(previous)
    return deepest


@pytest.mark.parametrize("name", ["MAX_ROWS", "APP_NAME", "NO_SUCH_SETTING", "module",
                                  "variables", "parser"])
def test_reads_meet_the_recursion_limit_where_the_interpreter_would(mod, tmp_path, name):
    # A subclass reads through the interpreter's own dispatch to the same
    # __getattribute__; the class itself is served without the call protocol.
    ini = tmp_path / "s.ini"
    ini.write_text("[A]\nmax_rows = 7\n")

    class Sub(mod.config_global_var):
        pass

    own, sub = mod.config_global_var(str(ini)), Sub(str(ini))
    assert getattr(own, name) == getattr(sub, name) or name == "parser"
    for _ in range(2):  # the second round runs warmed up
        depths = (deepest_nesting(lambda: getattr(own, name)),
                  deepest_nesting(lambda: getattr(sub, name)))
    assert depths[0] == depths[1] is not None


def test_reads_follow_changes_to_the_class_itself(repo_root):
    out = run_json('''
        import quorvane.global_var.globals as m
        cls = m.config_global_var
        bare = cls.__new__(cls)
        original = cls.__dict__["__getattribute__"]
        seen = []
        def hook(self, item):
            if item == "module":
                return m.g.module
            raise AttributeError(item)
        outcome = []
        for _ in range(2):
            try:
                bare.MAX_ROWS
            except AttributeError as e:
                outcome.append(str(e))
            cls.__getattr__ = hook
            outcome.append(bare.MAX_ROWS)
            del cls.__getattr__
            def recording(self, item):
                seen.append(item)
                return original(self, item)
            cls.__getattribute__ = recording
            outcome.append(m.g.APP_NAME)
            cls.__getattribute__ = original
            outcome.append(m.g.MAX_ROWS)
        done(outcome=outcome, seen=seen)
    ''')
    missing = "'config_global_var' object has no attribute 'module'"
    assert out["outcome"] == [missing, 100, "quorvane", 100] * 2
    assert out["seen"] == ["APP_NAME", "module"] * 2


class CollidingKey:
    """A module dict key with the hash of `text` that records comparisons;
    from its `equal_from`-th comparison on it claims to be equal."""

    def __init__(self, text, log, on_compare=None, equal_from=None):
        self.text, self.log, self.on_compare = text, log, on_compare
        self.equal_from, self.compared = equal_from, 0

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        self.log.append(self.text)
        self.compared += 1
        if self.on_compare is not None:
            self.on_compare(self)
        return self.equal_from is not None and self.compared >= self.equal_from


class LoggedSpec(object):
    """A module spec whose reads show in a log."""

    def __init__(self, log):
        self.log = log

    @property
    def _initializing(self):
        self.log.append("_initializing")
        return False


def reading_from(mod, module):
    """An instance whose defaults module is `module`."""
    inst = mod.config_global_var.__new__(mod.config_global_var)
    object.__setattr__(inst, "module", module)
    return inst


def test_missing_names_follow_every_change_of_the_module(mod):
    import types
    module = types.ModuleType("changing_defaults")
    inst = reading_from(mod, module)
    seen = []
    for _ in range(3):
        seen.append(inst.LATER)
    module.LATER = 5
    seen.append(inst.LATER)
    del module.LATER
    seen += [inst.LATER, inst.LATER]
    module.__getattr__ = lambda name: "hooked " + name
    seen.append(inst.LATER)
    del module.__getattr__
    seen.append(inst.LATER)
    module.__dict__["LATER"] = 7
    seen.append(inst.LATER)
    module.__dict__.clear()
    seen.append(inst.LATER)

    class WithProperty(types.ModuleType):
        LATER = property(lambda self: "property")

    module.__class__ = WithProperty
    seen.append(inst.LATER)
    assert seen == [None, None, None, 5, None, None, "hooked LATER", None, 7, None, "property"]


@pytest.mark.parametrize("with_spec", [False, True])
@pytest.mark.parametrize("colliding", ["LATER", "__getattr__", "__name__", "__spec__"])
def test_missing_names_run_colliding_keys_as_getattr_does(mod, colliding, with_spec):
    # The key claims equality from its second comparison on: a read made
    # twice would find it.
    import types

    def outcome(read):
        module = types.ModuleType("colliding_defaults")
        inst = reading_from(mod, module)
        log = []
        for text in ("__name__", "__spec__"):
            del module.__dict__[text]
        module.__dict__[CollidingKey(colliding, log, equal_from=2)] = "found"
        if with_spec:
            module.__name__, module.__spec__ = "colliding_defaults", LoggedSpec(log)
        results = []
        for _ in range(3):
            try:
                results.append(read(module, inst))
            except Exception as e:
                results.append(type(e).__name__)
        return results, log

    expected = outcome(lambda module, inst: getattr(module, "LATER", None))
    assert outcome(lambda module, inst: inst.LATER) == expected


def test_a_module_changed_while_a_name_is_looked_up(mod):
    import types

    def reads(read):
        module = types.ModuleType("growing_defaults")
        inst = reading_from(mod, module)

        def add_name(key):
            del module.__dict__[key]
            module.LATER = "added"

        module.__dict__[CollidingKey("LATER", [], add_name)] = 1
        return [read(module, inst) for _ in range(2)]

    expected = reads(lambda module, inst: getattr(module, "LATER", None))
    assert reads(lambda module, inst: inst.LATER) == expected == ["added", "added"]


def test_upper_cased_names_are_new_strs_with_the_text_of_str_upper(mod):
    import types
    names = ["stra\u00dfe", "\u01c6x", "\ufb01le", "\u0390ab", "max_rows", "Mixed_Case", "xy"]
    names += ["setting_%d" % i for i in range(300)]  # more names than remembered at once
    module = types.ModuleType("many_defaults")
    for name in names:
        setattr(module, name, 1)

    keys = []

    class Index(dict):
        def __contains__(self, key):
            keys.append(key)
            return True

        def __getitem__(self, key):
            keys.append(key)
            return "S"

    class Parser:
        def getint(self, section, option):
            return section, option

    inst = reading_from(mod, module)
    object.__setattr__(inst, "config_json", Index())
    object.__setattr__(inst, "parser", Parser())
    for _ in range(2):
        for name in names:
            del keys[:]
            assert getattr(inst, name) == ("S", name)
            assert [type(k) for k in keys] == [str, str]
            assert keys == [name.upper()] * 2
            assert keys[0] is keys[1]  # one upper-cased name per read
        first = list(keys)
        assert getattr(inst, names[-1]) == ("S", names[-1])
        assert all(a is not b for a in first for b in keys[2:])


def test_index_replaced_while_the_name_is_upper_cased_is_read_anew(mod, tmp_path):
    # The presence test's read of config_json stands for the next one only
    # when nothing can run in between.
    ini = tmp_path / "s.ini"
    ini.write_text("[A]\nmax_rows = 1\n[B]\nmax_rows = 2\n")

    class Sub(mod.config_global_var):
        pass

    class Name(str):
        def upper(self):
            object.__setattr__(inst, "config_json", {"MAX_ROWS": "B"})
            return str.upper(self)

    seen = []
    for cls in (mod.config_global_var, Sub):
        inst = cls(str(ini))
        object.__setattr__(inst, "config_json", {})
        seen.append(getattr(inst, Name("MAX_ROWS")))
    assert seen == [2, 2]


def test_a_dropped_defaults_module_releases_its_values(mod):
    import gc
    import types
    import weakref

    class Value:
        pass

    def released(read):
        module = types.ModuleType("short_lived_defaults")
        module.VALUE = Value()
        alive = weakref.ref(module.VALUE)
        inst = reading_from(mod, module)
        read(inst, module)
        del inst, module
        gc.collect()
        return alive() is None

    if not released(lambda inst, module: None):
        # Free-threaded 3.13, once a second thread has run, keeps such a
        # module itself.
        pytest.skip("the interpreter keeps the dropped module")
    assert released(lambda inst, module: [inst.MISSING, inst.MISSING, inst.VALUE]
                    == [None, None, module.VALUE])


def test_exceptions_kept_by_the_defaults_or_the_class_look_as_the_lookup_leaves_them(
        mod, monkeypatch):
    # Kept by the code that raised them, the exceptions that a missing
    # setting and a failed `config_json` read clear show what getattr and
    # the interpreter's dispatch (a subclass) leave on them.
    import types
    kept = []

    def raising(name):
        kept.append(AttributeError(name))
        raise kept[-1]

    def state(exc, owner):
        return getattr(exc, "name", None), getattr(exc, "obj", None) is owner, our_entries(exc)

    module = types.ModuleType("hooked_defaults")
    module.__getattr__ = raising
    getattr(module, "NOT_A_SETTING", None)
    assert reading_from(mod, module).NOT_A_SETTING is None
    assert state(kept[1], module) == state(kept[0], module)

    class Sub(mod.config_global_var):
        pass

    monkeypatch.setattr(mod.config_global_var, "config_json",
                        property(lambda self: raising("config_json")), raising=False)
    del kept[:]
    insts = [Sub(), mod.config_global_var()]
    assert [inst.MAX_ROWS for inst in insts] == [100, 100]
    assert state(kept[1], insts[1]) == state(kept[0], insts[0])


"""Re-entrant callbacks: the Python code the module calls into (str, int and
container subclasses, the module globals read at each use, a stand-in
parser, a defaults module with properties) mutates what is being processed,
deletes instance attributes, rebinds or deletes globals, or raises any
exception class, at a chosen moment.  The extension must not crash and must
end exactly like the plain Python reference (reference_impl.py): same
results, containers, exceptions, printed errors and order of callbacks.
Cases able to crash the interpreter run in a child interpreter."""
import functools
import os
import subprocess
import sys
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import reference_impl as ref
from conftest import RESULT_MARK, run_python


class Halt(BaseException):
    pass


EXAMPLES = int(os.environ.get("QV_STRESS_EXAMPLES", "200"))
EXCEPTIONS = (ValueError, KeyError, AttributeError, RuntimeError, LookupError, StopIteration,
              Halt, KeyboardInterrupt, SystemExit, GeneratorExit)
RUN = {"ctx": None}


class Ctx(object):
    """One run: the namespace acted on, the plan {callback number: action},
    the instance under test and the callbacks in the order they came."""

    def __init__(self, ns, plan):
        self.ns, self.log, self.inst, self.original = ns, [], None, ns["apply_unidecoding"]
        self.phase(plan)

    def phase(self, plan):
        """Counts the callbacks anew for the plan of the next phase."""
        self.plan, self.base = dict(plan), len(self.log)


def fire(site, target=None):
    ctx = RUN["ctx"]
    if ctx is None:  # building or inspecting the data
        return
    ctx.log.append(site)
    kind, arg = ctx.plan.get(len(ctx.log) - ctx.base, (None, None))
    if kind == "raise":
        raise EXCEPTIONS[arg]("from %s" % site)
    if kind == "delete":
        ctx.ns.pop(arg, None)
    elif kind == "rebind":
        ctx.ns[arg.split("/")[0]] = REBOUND[arg](ctx)
    elif kind == "delattr" and ctx.inst is not None:
        object.__getattribute__(ctx.inst, "__dict__").pop(arg, None)
    elif kind and isinstance(target, list):
        {"clear": lambda: list.clear(target), "shrink": lambda: list.__delitem__(target, slice(-1, None)),
         "grow": lambda: list.append(target, "gr\u00fcn"),
         "replace": lambda: target and list.__setitem__(target, 0, 42)}[kind]()
    elif kind and isinstance(target, dict):
        first = next(iter(dict.keys(target)), None)
        {"clear": lambda: dict.clear(target), "shrink": lambda: target and dict.popitem(target),
         "grow": lambda: dict.__setitem__(target, "k%d" % len(ctx.log), "n\u00e9"),
         "replace": lambda: target and dict.__setitem__(target, first, 4.5)}[kind]()


def hooked(base, *names, **extra):
    """A subclass of `base` whose methods `names` report to fire() first;
    container actions then act on the object, or on the container a str is in."""
    def wrap(name):
        def method(self, *args):
            fire("%s.%s" % (base.__name__, name), getattr(self, "parent", self))
            return getattr(base, name)(self, *args)
        return method
    namespace = {name: wrap(name) for name in names}
    namespace.update(extra)
    return type("Hooked" + base.__name__, (base,), namespace)


HookStr = hooked(str, "encode", "upper", "__eq__", "__hash__", parent=None,
                 decode=lambda self, *args: fire("str.decode%r" % (args,), self.parent)
                 or str.__str__(self) + ("" if len(args) == 1 else "~"))
HookInt = hooked(int, "__str__")
HookList = hooked(list, "__iter__", "__setitem__")
HookDict = hooked(dict, "__iter__", "__getitem__", "__setitem__", "__contains__")


class StubParser(object):
    """ConfigParser stand-in: two sections of hooked option names."""
    def __init__(self):
        fire("ConfigParser()")

    def read(self, filename):
        fire("read")

    def sections(self):
        fire("sections")
        return HookList(["Main", "Other"])

    def options(self, section):
        fire("options " + section)
        names = ["MaxRows", "rate", "caf\u00e9"] if section == "Main" else ["flag", "maxrows", "dyn"]
        return HookList([HookStr(n) for n in names])

    def _get(kind, convert):
        def get(self, section, option):
            fire("%s %s %s" % (kind, section, option))
            return convert({"MAXROWS": "250", "RATE": "x", "FLAG": "yes"}.get(option.upper(), "7"))
        return get
    getint, getfloat = _get("getint", int), _get("getfloat", float)
    getboolean = _get("getboolean", lambda text: text == "yes")


class Defaults(types.ModuleType):
    """A defaults module whose settings are properties."""
    MAXROWS = property(lambda self: fire("MAXROWS") or 100)
    RATE = property(lambda self: fire("RATE") or 0.5)
    FLAG = property(lambda self: fire("FLAG") or False)
    GONE = property(lambda self: fire("GONE") or self.nothing_here)
    CAFE = 3j


def module_getattr(name):  # PEP 562 hook of the defaults module
    fire("module __getattr__ " + name)
    if name != "DYN":
        raise AttributeError(name)
    return 7


STUB_TRACEBACK = types.SimpleNamespace(print_exc=lambda: fire("print_exc") or sys.stderr.write(
    "StubPrinted: %s\n" % sys.exc_info()[0].__name__))
STUB_IMPORTLIB = types.SimpleNamespace(
    import_module=lambda name, package=None: fire("import_module") or RUN["defaults"])
REBOUND = {  # "global/variant": ctx -> the new binding
    "unidecode": lambda ctx: lambda text: "<%s>" % text,
    "apply_unidecoding": lambda ctx: lambda value: fire("rebound apply") or value,
    "apply_unidecoding/again": lambda ctx: lambda value: fire("again") or ctx.original(value),
    "traceback": lambda ctx: STUB_TRACEBACK,
    "ConfigParser": lambda ctx: StubParser,
    "importlib": lambda ctx: STUB_IMPORTLIB,
}

# -- data for apply_unidecoding: a picture, built afresh for every run ------
LEAF = (st.tuples(st.just("str"), st.sampled_from(["plain", "caf\u00e9", "\u00fc\u00df", ""]),
                  st.booleans())
        | st.tuples(st.sampled_from(["num", "hooked int"]), st.integers(-3, 3))
        | st.tuples(st.just("num"), st.sampled_from([2.5, -0.0, True])) | st.just(("other", None)))


def containers(kids, min_size=0):
    return st.tuples(st.sampled_from(["list", "dict"]), st.booleans(),
                     st.lists(kids, min_size=min_size, max_size=4))


PICTURE = containers(st.recursive(LEAF, containers, max_leaves=8), min_size=1)
CHANGE = st.tuples(st.sampled_from(["clear", "shrink", "grow", "replace"]), st.none())
ACTION = (CHANGE | CHANGE | st.tuples(st.just("raise"), st.integers(0, len(EXCEPTIONS) - 1))
          | st.tuples(st.sampled_from(["rebind", "delete"]),
                      st.sampled_from(["unidecode", "apply_unidecoding", "traceback"]))
          | st.tuples(st.just("rebind"), st.just("apply_unidecoding/again")))


def build(picture, parent=None):
    kind, arg = picture[:2]
    if kind == "str":
        made = HookStr(arg) if picture[2] else arg
        if picture[2]:
            made.parent = parent
        return made
    if kind in ("num", "other"):
        return ("tuple", "caf\u00e9") if kind == "other" else arg
    if kind == "hooked int":
        return HookInt(arg)
    if kind == "list":
        made = (HookList if arg else list)()
        list.extend(made, [build(kid, made) for kid in picture[2]])
    else:
        made = (HookDict if arg else dict)()
        for n, kid in enumerate(picture[2]):
            dict.__setitem__(made, HookStr("k%d" % n) if arg else "k%d" % n, build(kid, made))
    return made


def differential(mod, plan, prepare, call):
    """prepare(ns) -> data; call(ns, data) -> outcome with the callbacks
    armed; against the extension and against the reference."""
    outcomes = []
    for ns in (mod.__dict__, ref.namespace(mod)):
        with ref.saved_globals(mod):
            RUN["ctx"] = None
            data = prepare(ns)
            RUN["ctx"] = ctx = Ctx(ns, plan)
            try:
                outcome = call(ns, data)
            finally:
                RUN["ctx"] = None
            outcomes.append((outcome, ref.describe(data), ctx.log))
    return outcomes


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(picture=PICTURE, plan=st.dictionaries(st.integers(1, 8), ACTION, min_size=1, max_size=4),
       keyword=st.booleans())
def test_apply_unidecoding_with_reentrant_callbacks(mod, picture, plan, keyword):
    def call(ns, value):
        apply = ns["apply_unidecoding"]
        return ref.run(lambda: apply(object=value) if keyword else apply(value))
    got, want = differential(mod, plan, lambda ns: build(picture), call)
    assert got == want


NAMES = st.sampled_from(["MAXROWS", "RATE", "FLAG", "GONE", "CAFE", "MISSING", "DYN"] + list(ref.RESERVED))
CONFIG_ACTION = (ACTION | st.tuples(st.just("delattr"), st.sampled_from(ref.RESERVED))
                 | st.tuples(st.just("rebind"), st.sampled_from(["ConfigParser", "importlib"])))


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(plan=st.dictionaries(st.integers(1, 40), CONFIG_ACTION, max_size=3),
       read_plan=st.dictionaries(st.integers(1, 8), CONFIG_ACTION, max_size=3),
       reads=st.lists(st.tuples(NAMES, st.booleans(), st.booleans()), min_size=1, max_size=4),
       hooked_index=st.booleans(), module_hook=st.booleans())
def test_settings_with_reentrant_callbacks(mod, plan, read_plan, reads, hooked_index, module_hook):
    def prepare(ns):
        ns["ConfigParser"], ns["importlib"] = StubParser, STUB_IMPORTLIB
        RUN["defaults"] = Defaults("defaults")
        if module_hook:
            RUN["defaults"].__getattr__ = module_getattr
        return ns["config_global_var"].__new__(ns["config_global_var"])

    def call(ns, inst):
        cls, state = type(inst), object.__getattribute__(inst, "__dict__")
        RUN["ctx"].inst = inst
        results = [ref.run(lambda: cls.__init__(inst, "settings.ini"))]
        if hooked_index and isinstance(state.get("config_json"), dict):
            state["config_json"] = HookDict(state["config_json"])
        RUN["ctx"].phase(read_plan)
        for name, hooked_name, direct in reads:
            # Not for the instance's own names: how often the instance dict
            # compares a str subclass depends on what other instances held.
            item = HookStr(name) if hooked_name and name not in ref.RESERVED else name
            results.append(ref.run(lambda: cls.__getattribute__(inst, item) if direct
                                   else getattr(inst, item)))
        RUN["ctx"] = None
        return results, ref.describe(state)
    got, want = differential(mod, plan, prepare, call)
    assert got == want


# (3.13 renamed it; 3.14 warns of the old name.)
clear_type_cache = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def test_class_changed_after_type_cache_reset(mod):
    """What the module keeps about the class's attribute lookup must not
    outlive a change of the class, also when sys._clear_type_cache() made
    the interpreter hand out old version tags again."""
    cgv, getattribute = mod.config_global_var, mod.config_global_var.__getattribute__
    fake = types.SimpleNamespace(MAX_ROWS="fake module")
    for delay in range(6):
        sub = type("Sub", (cgv,), {})
        inst = sub()
        clear_type_cache()
        assert getattribute(inst, "MAX_ROWS") == 100
        sub.__getattribute__ = lambda self, item: fake if item == "module" else getattribute(self, item)
        clear_type_cache()
        for dummy in [type("D", (), {}) for _ in range(delay)] + [sub]:
            getattr(dummy, "x", None)
        assert getattribute(inst, "MAX_ROWS") == "fake module", delay


class EqualKey(object):
    """Not a str, but equal to (and hashed like) the parameter name."""
    def __eq__(self, other):
        return True

    def __hash__(self):
        return hash("object")


def test_keyword_name_that_is_no_str_is_not_bound(mod):
    with pytest.raises(TypeError) as info:  # partial passes its keyword dict on as it is
        functools.partial(mod.apply_unidecoding)(**{EqualKey(): 5})
    assert str(info.value) in ("apply_unidecoding() keywords must be strings",
                               "apply_unidecoding() takes exactly 1 positional argument (0 given)")


CHILD_CASES = {
    # The keyword dict of a call (_thread passes its own) loses the value bound
    # to `self` while the binding still compares keys with another name.
    "keyword dict emptied during binding": """
        import _thread, sys, threading, time
        import quorvane.global_var.globals as m
        ended, importlib = threading.Event(), m.importlib
        m.importlib = signal = type(sys)("signal")  # the body was reached
        signal.import_module = lambda *a, **k: ended.set() or importlib.import_module(*a, **k)
        sys.excepthook = sys.unraisablehook = lambda *args: ended.set()  # or the call failed
        class Key(str):
            def __hash__(self): return hash("filename")
            def __eq__(self, other):
                kwargs.clear()
                return False
        kwargs = {"self": m.config_global_var.__new__(m.config_global_var), Key("other"): 1}
        _thread.start_new_thread(m.config_global_var.__init__, (), kwargs)
        ended.wait(30)
        time.sleep(0.2)
        done(value="survived")
    """,
    # The spec of the defaults module is dropped while the lookup of a missing
    # setting reads it (a key of the spec's class that compares equal to
    # "_initializing" pops it): the read must hold it, as getattr does.
    "spec dropped while a missing name is looked up": """
        import types
        import quorvane.global_var.globals as m
        def outcome(read):
            module = types.ModuleType("defaults")
            class Key:
                def __hash__(self): return hash("_initializing")
                def __eq__(self, other):
                    module.__dict__.pop("__spec__", None)
                    return False
            module.__spec__ = type("Spec", (), {Key(): 1})()
            inst = m.config_global_var.__new__(m.config_global_var)
            object.__setattr__(inst, "module", module)
            return read(module, inst), "__spec__" in vars(module)
        got = outcome(lambda module, inst: inst.MISSING)
        expected = outcome(lambda module, inst: getattr(module, "MISSING", None))
        done(value="survived" if got == expected else repr((got, expected)))
    """,
    # A key of a subclass's dict that compares equal to "__getattr__" deletes
    # the class's __getattribute__ while a read looks the hooks up.
    "class lookup deleted while a subclass's hooks are looked up": """
        import os, tempfile
        import quorvane.global_var.globals as m
        C = m.config_global_var
        class Key:
            armed = False
            def __hash__(self): return hash("__getattr__")
            def __eq__(self, other):
                if Key.armed and "__getattribute__" in vars(C):
                    del C.__getattribute__
                    [type(vars(C).get("__init__")) for i in range(100)]
                return False
        path = os.path.join(tempfile.mkdtemp(), "s.ini")
        with open(path, "w") as f:
            f.write("[A]\\nmax_rows = 5\\n")
        Sub = type("Sub", (C,), {Key(): 1})
        Key.armed = True
        inst = Sub(path)
        done(value="survived" if inst.variables == ["MAX_ROWS"] else repr(inst.variables))
    """,
    # The metaclass of the captured builtin `object` is dropped by its own
    # __prepare__ while the module body builds the class.
    "metaclass dropped while the class is prepared": """
        import builtins, gc
        real_object, keep = object, []
        class N(type): pass
        class M(type):
            armed = False
            @staticmethod
            def __prepare__(name, bases):
                if M.armed:
                    O.__class__ = N
                    del globals()["M"]
                    gc.collect()
                    Replacement = type("Replacement", (N,), {"__call__": lambda cls, *a: "replaced"})
                    keep.extend(Replacement("R%d" % i, (), {}) for i in range(2000))
                return {}
        class O(metaclass=M): pass
        M.armed, builtins.object = True, O
        try:
            import quorvane.global_var.globals as m
            outcome = type(m.config_global_var).__name__
        except TypeError as e:
            outcome = str(e)  # M itself refuses a base whose metaclass is now N
        finally:
            builtins.object = real_object
        done(value="survived" if outcome.startswith("metaclass conflict") else outcome)
    """,
    # A module object whose dict was never made (ModuleType.__new__ alone).
    "defaults module without a dict": """
        import types
        from quorvane.global_var.globals import config_global_var
        inst = config_global_var()
        inst.module = types.ModuleType.__new__(types.ModuleType)
        done(value="survived" if inst.MAX_ROWS is None else repr(inst.MAX_ROWS))
    """,
}


@pytest.mark.parametrize("flags", [[], ["-X", "dev"]])  # dev: freed memory is overwritten
@pytest.mark.parametrize("case", sorted(CHILD_CASES))
def test_cases_able_to_crash(repo_root, case, flags):
    try:
        proc = run_python(CHILD_CASES[case], root=repo_root, flags=flags, check=False,
                          timeout=60)
    except subprocess.TimeoutExpired as exc:
        pytest.fail("child hung\n%s" % (exc.stdout,))
    assert proc.returncode == 0, "child died (%d)\n%s" % (proc.returncode, proc.stderr[-3000:])
    assert RESULT_MARK + '{"value": "survived"}' in proc.stdout

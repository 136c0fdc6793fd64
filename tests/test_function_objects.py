"""Introspection and argument binding of the module's function objects and
of the class config_global_var."""
import os
import sys
import traceback
import types

import pytest

from conftest import CODE_FILE, MODNAME, TB_FILE, run_json

APPLY_DOC = "\n    Recursively unidecode all unicode types\n    "
CLASS_DOC = ("\n"
             "        This class sets the context to global variables used by globals.py\n"
             "        If the context is set by the filename, then variables\n"
             "        given in that file will be given priority\n"
             "        then the globals.py\n"
             "    ")

FUNCTIONS = {
    "apply_unidecoding": dict(
        get=lambda m: m.apply_unidecoding,
        qualname="apply_unidecoding", doc=APPLY_DOC, defaults=None, argcount=1,
        varnames=("object", "key", "i", "o", "e"), line=7),
    "__init__": dict(
        get=lambda m: m.config_global_var.__dict__["__init__"],
        qualname="config_global_var.__init__", doc=None, defaults=(None,), argcount=2,
        varnames=("self", "filename", "section", "options", "options_decoded", "x"),
        line=41),
    "__getattribute__": dict(
        get=lambda m: m.config_global_var.__dict__["__getattribute__"],
        qualname="config_global_var.__getattribute__", doc=None, defaults=None,
        argcount=2, line=56,
        varnames=("self", "item", "result", "section_name", "variable_name",
                  "config_result", "e")),
}


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_function_identity(mod, name):
    info = FUNCTIONS[name]
    f = info["get"](mod)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, info["qualname"], MODNAME)
    assert f.__doc__ == info["doc"]
    assert f.__defaults__ == info["defaults"]
    assert f.__globals__ is vars(mod)
    assert f.__kwdefaults__ is None
    assert f.__annotations__ == {} and f.__annotations__ is f.__annotations__


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_code_object_is_an_empty_shell(mod, name):
    info = FUNCTIONS[name]
    code = info["get"](mod).__code__
    assert code.co_name == name
    assert code.co_filename == CODE_FILE
    assert code.co_firstlineno == info["line"]
    assert code.co_argcount == info["argcount"]
    assert getattr(code, "co_posonlyargcount", 0) == 0
    assert code.co_kwonlyargcount == 0
    assert code.co_varnames == info["varnames"]
    assert code.co_nlocals == len(info["varnames"])
    # optimized | new-locals; a build on the public API alone cannot keep
    # 3.7-3.10 from adding CO_NOFREE.
    public_only = os.environ.get("QV_PUBLIC_API_ONLY") == "1" and sys.version_info < (3, 11)
    assert code.co_flags == (0x43 if public_only else 3)
    assert (code.co_code, code.co_consts, code.co_names) == (b"", (), ())
    assert (code.co_freevars, code.co_cellvars) == ((), ())
    if sys.version_info >= (3, 10):
        assert code.co_linetable == b""
    else:
        assert code.co_lnotab == b""
    if sys.version_info >= (3, 11):
        assert code.co_qualname == name


def test_class_object(mod):
    cls = mod.config_global_var
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (
        "config_global_var", "config_global_var", MODNAME)
    assert cls.__doc__ == CLASS_DOC and len(cls.__doc__) == 220
    assert cls.__bases__ == (object,) and cls.__mro__ == (cls, object)
    assert type(cls) is type
    # type() drops __qualname__ from the namespace and appends the two
    # descriptors of an ordinary class; nothing else may be there.
    assert list(vars(cls)) == ["__module__", "__doc__", "__init__", "__getattribute__",
                               "__dict__", "__weakref__"]


def test_methods_bind_like_python_functions(mod):
    cls, g = mod.config_global_var, mod.g
    for name in ("__init__", "__getattribute__"):
        f = cls.__dict__[name]
        assert getattr(cls, name) is f
        bound = object.__getattribute__(g, name)
        assert isinstance(bound, types.MethodType)
        assert bound.__func__ is f and bound.__self__ is g
    assert object.__getattribute__(g, "__getattribute__")("MAX_ROWS") == 100

    class Holder:
        f = mod.apply_unidecoding
    holder = Holder()
    assert Holder.f is mod.apply_unidecoding
    assert holder.f() is holder          # bound: the instance is the argument
    assert Holder.f(["\u00e9", 2]) == ["", "2"]


DELETE = object()
# Each assignment or deletion as a Python function takes it: the same value
# read back afterwards, or the same TypeError.
ATTRIBUTE_CHANGES = [
    ("__name__", "renamed"), ("__name__", 5), ("__name__", DELETE),
    ("__qualname__", "Owner.renamed"), ("__qualname__", b"x"), ("__qualname__", DELETE),
    ("__doc__", "text"), ("__doc__", DELETE), ("__module__", 5), ("__module__", DELETE),
    ("__defaults__", (1,)), ("__defaults__", [1]), ("__defaults__", DELETE),
    ("__annotations__", {"object": str}), ("__annotations__", None),
    ("__annotations__", [("object", str)]), ("__annotations__", DELETE),
]


def change(f, attr, value):
    try:
        if value is DELETE:
            delattr(f, attr)
        else:
            setattr(f, attr, value)
    except TypeError as e:
        return "TypeError: %s" % e
    return getattr(f, attr)


@pytest.mark.parametrize("attr, value", ATTRIBUTE_CHANGES)
@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_attributes_change_as_on_a_python_function(mod, name, attr, value):
    def reference(object):
        pass
    f = FUNCTIONS[name]["get"](mod)
    saved = {a: getattr(f, a) for a, _ in ATTRIBUTE_CHANGES}
    try:
        assert change(f, attr, value) == change(reference, attr, value)
        assert repr(f) == "<function %s at %#x>" % (f.__qualname__, id(f))
    finally:
        for a, v in saved.items():
            setattr(f, a, v)


def test_function_that_is_dropped_is_freed(repo_root):
    # Only the module's namespace holds apply_unidecoding: rebinding the name
    # frees the function, and its weak references die with it.
    res = run_json('''
        import weakref
        import quorvane.global_var.globals as m
        died = []
        ref = weakref.ref(m.apply_unidecoding, died.append)
        m.apply_unidecoding = None
        done(dead=[ref() is None, died == [ref]])
    ''', root=repo_root)
    assert res == dict(dead=[True, True])


def test_assigning_defaults_does_not_change_binding(mod):
    apply, init = mod.apply_unidecoding, mod.config_global_var.__dict__["__init__"]
    saved = apply.__defaults__, init.__defaults__
    try:
        apply.__defaults__ = ("fallback",)
        init.__defaults__ = ("no-such-file.ini",)
        with pytest.raises(TypeError) as info:
            apply()
        assert str(info.value) == "apply_unidecoding() takes exactly 1 positional argument (0 given)"
        inst = mod.config_global_var()
        assert sorted(object.__getattribute__(inst, "__dict__")) == ["module", "variables"]
    finally:
        apply.__defaults__, init.__defaults__ = saved


SELF = object()  # replaced by a fresh, never constructed instance
EXACTLY_1 = "apply_unidecoding() takes exactly 1 positional argument (%d given)"
MULTIPLE = "%s() got multiple values for keyword argument '%s'"
UNEXPECTED = "%s() got an unexpected keyword argument '%s'"

WRONG_CALLS = [
    ("apply_unidecoding", (), {}, EXACTLY_1 % 0),
    ("apply_unidecoding", (1, 2), {}, EXACTLY_1 % 2),
    ("apply_unidecoding", (1, 2), {"object": 3}, EXACTLY_1 % 2),
    ("apply_unidecoding", (1, 2), {"bogus": 3}, EXACTLY_1 % 2),
    ("apply_unidecoding", (), {"bogus": 1, "other": 2}, EXACTLY_1 % 0),
    ("apply_unidecoding", (1,), {"object": 2}, MULTIPLE % ("apply_unidecoding", "object")),
    ("apply_unidecoding", (1,), {"bogus": 2}, UNEXPECTED % ("apply_unidecoding", "bogus")),
    ("apply_unidecoding", (), {"object": 1, "bogus": 2}, UNEXPECTED % ("apply_unidecoding", "bogus")),
    ("apply_unidecoding", (1,), {2: 3}, "apply_unidecoding() keywords must be strings"),
    ("__init__", (SELF,), {1: 2}, "__init__() keywords must be strings"),
]


def assert_binding_error(excinfo, qualname, line, message):
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == message
    # Binding fails before the body runs, so the entry is the innermost one.
    last = traceback.extract_tb(excinfo.value.__traceback__)[-1]
    assert (last.name, last.filename, last.lineno) == (MODNAME + "." + qualname, TB_FILE, line)


@pytest.mark.parametrize("name, args, kwargs, message", WRONG_CALLS)
def test_wrong_calls(mod, name, args, kwargs, message):
    info = FUNCTIONS[name]
    inst = mod.config_global_var.__new__(mod.config_global_var)
    args = tuple(inst if a is SELF else a for a in args)
    kwargs = {k: inst if v is SELF else v for k, v in kwargs.items()}
    with pytest.raises(TypeError) as excinfo:
        info["get"](mod)(*args, **kwargs)
    assert_binding_error(excinfo, info["qualname"], info["line"], message)
    assert object.__getattribute__(inst, "__dict__") == {}


def test_class_call_with_non_str_keyword(mod):
    with pytest.raises(TypeError) as excinfo:
        mod.config_global_var(**{1: 2})
    assert_binding_error(excinfo, "config_global_var.__init__", 41,
                         "__init__() keywords must be strings")


def test_keyword_calls(mod):
    cls = mod.config_global_var
    assert mod.apply_unidecoding(object=["\u00e9t\u00e9", 1]) == ["t", "1"]
    inst = cls.__new__(cls)
    assert cls.__init__(self=inst, filename=None) is None
    assert object.__getattribute__(inst, "variables") == []

"""Callbacks that pull the ground from under a running call: the module must
hold what it uses, and behave exactly as the general lookup/call would."""
import sys
import types

import pytest

from conftest import our_entries, run_json


def test_class_lookup_deleted_while_a_reserved_read_runs(repo_root, tmp_path):
    # A descriptor on the class deletes the class's __getattribute__ while
    # __init__ is reading self.parser through it.
    ini = tmp_path / "x.ini"
    ini.write_text("[A]\nmax_rows = 5\n")
    out = run_json('''
        import gc, traceback
        import quorvane.global_var.globals as m
        C = m.config_global_var
        store = {}
        class Evil(object):
            def __set__(self, obj, value):
                store[id(obj)] = value
            def __get__(self, obj, owner=None):
                if obj is None:
                    return self
                if "__getattribute__" in vars(C):
                    del C.__getattribute__
                    gc.collect()
                    junk = [dict(a=i) for i in range(100)]
                raise AttributeError("parser")
        C.parser = Evil()
        try:
            C(%r)
        except AttributeError as e:
            done(entries=own_entries(e), message=str(e))
    ''' % str(ini), root=repo_root)
    assert out["message"] == "parser"
    assert [line for _, _, line in out["entries"]] == [46, 59]


class ClassRaisesValueError(int):
    @property
    def __class__(self):
        raise ValueError("no class")


def test_value_error_from_the_bool_test_reads_as_none(mod, tmp_path):
    ini = tmp_path / "s.ini"
    ini.write_text("[A]\nlimit = 3\n")
    inst = mod.config_global_var(str(ini))
    inst.module = types.SimpleNamespace(LIMIT=ClassRaisesValueError(5))
    assert inst.LIMIT is None


def test_changed_defaults_of_unidecode_take_effect(mod, monkeypatch, capsys):
    monkeypatch.setattr(mod.unidecode, "__defaults__", None)
    assert mod.apply_unidecoding("abc") == "abc"
    err = capsys.readouterr().err
    assert err.count("AttributeError") == 2
    assert "TypeError" in err and "missing 2 required positional arguments" in err


@pytest.mark.skipif(not (3, 8) <= sys.version_info < (3, 12),
                    reason="only these versions consult the module spec for a missing name")
def test_missing_setting_reads_the_module_spec_as_getattr_does(mod):
    log = []

    class Pending(object):
        def __contains__(self, name):
            log.append(("contains", name))
            return False

    class Spec(object):
        @property
        def _initializing(self):
            log.append("_initializing")
            return False

        @property
        def _uninitialized_submodules(self):
            log.append("_uninitialized_submodules")
            return Pending()

    defaults = types.ModuleType("defaults")
    defaults.__spec__ = Spec()
    getattr(defaults, "MISSING", None)
    expected, log[:] = list(log), []
    inst = mod.config_global_var()
    inst.module = defaults
    assert inst.MISSING is None
    assert log == expected and expected


class CannotBeMade(ValueError):
    def __init__(self, *args):
        raise TypeError("cannot be made")


class MadeAsSomethingElse(ValueError):
    def __new__(cls, *args):
        return 7


class Halt(BaseException):
    pass


class CannotBeMadeEither(Exception):
    def __init__(self, *args):
        raise Halt("cannot be made")


def test_except_clauses_match_the_raised_class_then_make_the_exception(
        mod, monkeypatch, tmp_path, capsys):
    # Raised from C as a class and arguments (before 3.12, while nothing is
    # handled), an exception is matched on its class and made when a clause
    # takes it over; a failure to make it leaves the clause with that
    # clause's entry.  From 3.12 on the exception is made when raised.
    raise_exception = pytest.importorskip("_testcapi").raise_exception
    lazy = sys.version_info < (3, 12)
    ini = tmp_path / "s.ini"
    ini.write_text("[A]\nmax_rows = 7\n")
    inst = mod.config_global_var(str(ini))
    inst.parser = types.SimpleNamespace(getint=lambda *args: raise_exception(CannotBeMade, 1))
    with pytest.raises(TypeError, match="cannot be made") as read:
        inst.MAX_ROWS
    inst.parser = types.SimpleNamespace(
        getint=lambda *args: raise_exception(MadeAsSomethingElse, 1))
    with pytest.raises(TypeError) as made_as_int:
        inst.MAX_ROWS
    assert str(made_as_int.value) == (
        "calling %r should have returned an instance of BaseException, not int"
        % MadeAsSomethingElse)
    apply = mod.apply_unidecoding
    monkeypatch.setattr(mod, "apply_unidecoding",
                        lambda value: raise_exception(CannotBeMadeEither, 1))
    with pytest.raises(Halt) as update:
        apply({"k": 1})
    monkeypatch.undo()
    assert capsys.readouterr().err == ""
    # (A failure made without a traceback of its own keeps the one so far,
    # as the interpreter's making of an exception does.)
    assert [[line for _, line in our_entries(e.value)] for e in (read, made_as_int, update)] == (
        [[81], [81, 74], [29]] if lazy else [[74], [74], [23]])

    class Text(str):
        decoded = 0

        def decode(self, *args):
            Text.decoded += 1
            raise_exception(CannotBeMade, 1)

    text = Text("abc")
    result = apply(text)
    err = capsys.readouterr().err
    if lazy:  # the TypeError leaves the bare except of attempt 1 for step 6
        assert (result is text, Text.decoded) == (True, 1)
        assert 'globals.py", line 15' in err and "TypeError: cannot be made" in err
    else:
        assert (type(result), result, Text.decoded, err) == (str, "abc", 2, "")


def test_instance_whose_last_reference_goes_while_it_is_read(repo_root):
    # print() holds sys.stdout borrowed (before 3.13) while it reads `write`;
    # the defaults module's __getattr__ drops the instance on the way.
    out = run_json('''
        import types
        import quorvane.global_var.globals as m
        real = sys.stdout
        def module_getattr(name):
            sys.stdout = real
            return 5
        inst = m.config_global_var()
        inst.module = types.ModuleType("defaults")
        inst.module.__getattr__ = module_getattr
        sys.stdout, inst = inst, None
        try:
            print("x")
        except TypeError as exc:
            done(error=str(exc))
    ''', root=repo_root, flags=["-X", "dev"])
    assert out == {"error": "'int' object is not callable"}


def test_failed_import_retried_while_its_class_is_read_on_another_thread(make_package):
    # The functions of a failed exec step can outlive it; a retried import
    # publishes what it captures anew without ever leaving a gap.
    root = make_package('''
        import builtins
        if getattr(builtins, "QV_BREAK_DEFAULTS", False):
            raise LookupError("defaults broken")
        MAX_ROWS = 100
    ''')
    out = run_json('''
        import builtins, importlib, threading, time
        builtins.QV_BREAK_DEFAULTS = True
        try:
            importlib.import_module(NAME)
        except LookupError as exc:
            cls = init_namespace(exc)["config_global_var"]
        inst = cls.__new__(cls)
        object.__setattr__(inst, "variables", [])
        sys.modules["configparser"] = None  # the retries fail soon after the captures
        reads, retries, running = [0], 0, [True]
        def read():
            while running[0]:
                assert inst.variables == []
                reads[0] += 1
        reader = threading.Thread(target=read)
        reader.start()
        deadline = time.time() + 1
        while time.time() < deadline:
            try:
                importlib.import_module(NAME)
            except ImportError:
                retries += 1
        running[0] = False
        reader.join()
        done(both_ran=reads[0] > 0 and retries > 0)
    ''', root=root)
    assert out == {"both_ran": True}


def test_module_without_a_dict_as_defaults(mod):
    inst = mod.config_global_var()
    inst.module = types.ModuleType.__new__(types.ModuleType)
    assert inst.MAX_ROWS is None


def test_nesting_reached_through_python_code_is_not_capped(repo_root):
    # apply_unidecoding called from deep Python recursion inside unidecode:
    # the stack bound covers directly nested calls only.
    out = run_json('''
        import sys
        import quorvane.global_var.globals as m
        sys.setrecursionlimit(20000)
        def deep(n, text):
            return deep(n - 1, text) if n else m.apply_unidecoding([42])
        m.unidecode = lambda text: repr(deep(1500, text))
        done(value=m.apply_unidecoding("abc"))
    ''', root=repo_root)
    assert out["value"] == "['42']"


def test_import_takes_builtins_without_calling_import(repo_root):
    out = run_json('''
        import builtins
        seen = []
        original = builtins.__import__
        def spy(name, *args, **kwargs):
            seen.append(name)
            return original(name, *args, **kwargs)
        import quorvane.global_var
        builtins.__import__ = spy
        import quorvane.global_var.globals as m
        builtins.__import__ = original
        done(builtins=[name for name in seen if name == "builtins"],
             same=m.__builtins__ is builtins)
    ''', root=repo_root)
    assert out == {"builtins": [], "same": True}

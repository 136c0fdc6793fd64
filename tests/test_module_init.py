"""Import-time behaviour of quorvane.global_var.globals.

Every test runs in a child interpreter: the module is initialised at most
once per process and remembers which interpreter owns it.
"""
import os
import sys
import sysconfig

import pytest

from conftest import INIT_ENTRY, TB_FILE, EXT_PATH, run_json

VERSION = "%d.%d" % sys.version_info[:2]
MISMATCH_BUILD = os.environ.get("QV_MISMATCH_BUILD")
MISMATCH_TEXT = ("compile time Python version 3.6 of module "
                 "'quorvane.global_var.globals' does not match runtime version "
                 + VERSION)
INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be "
                      "loaded into one interpreter per process.")
NO_SUBINTERPRETERS = ("module quorvane.global_var.globals does not support loading "
                      "in subinterpreters")
REINIT = ("Module 'globals' has already been imported. "
          "Re-initialisation is not supported.")


def test_namespace_after_import(repo_root):
    res = run_json('''
        import builtins, configparser, importlib, unidecode
        m = importlib.import_module(NAME)
        spec = m.__spec__
        g_state = object.__getattribute__(m.g, "__dict__")
        done(keys=list(vars(m)),
             doc_none=m.__doc__ is None,
             file=m.__file__ == spec.origin,
             loader=m.__loader__ is spec.loader,
             package=m.__package__,
             imported=[m.ConfigParser is configparser.ConfigParser,
                       m.importlib is importlib,
                       m.unidecode is unidecode.unidecode,
                       m.traceback is traceback,
                       m.__builtins__ is builtins],
             g_type=type(m.g) is m.config_global_var,
             g_state=sorted(g_state),
             g_variables=g_state["variables"] == [],
             g_module=g_state["module"] is sys.modules["quorvane.global_var.global_var"],
             test_dict=type(m.__test__) is dict and m.__test__ == {},
             registered=sys.modules[NAME] is m,
             gil=getattr(sys, "_is_gil_enabled", lambda: True)())
    ''', root=repo_root, flags=["-W", "error::RuntimeWarning"])
    keys = res.pop("keys")
    bound_in_order = ["__name__", "__doc__", "__file__", "__builtins__",
                      "ConfigParser", "importlib", "unidecode", "traceback",
                      "apply_unidecoding", "config_global_var", "g", "__test__"]
    # __package__, __loader__ and __spec__ are pre-seeded by the module type
    # itself, so only their presence is checked; nothing else may be bound.
    assert set(keys) == set(bound_in_order) | {"__package__", "__loader__", "__spec__"}
    assert [k for k in keys if k in bound_in_order] == bound_in_order
    assert keys[keys.index("__file__"):] == bound_in_order[2:]
    assert res == dict(doc_none=True, file=True, loader=True,
                       package="quorvane.global_var", imported=[True] * 5,
                       g_type=True, g_state=["module", "variables"],
                       g_variables=True, g_module=True, test_dict=True,
                       registered=True,
                       # A free-threaded interpreter keeps the GIL off for the module.
                       gil=not sysconfig.get_config_var("Py_GIL_DISABLED"))


def test_reimport_and_reload_return_the_initialised_module(repo_root):
    res = run_json('''
        import importlib
        m = importlib.import_module(NAME)
        before = (m.g, m.config_global_var, m.apply_unidecoding)
        # Neither a fresh import nor a reload may run the body again: the
        # defaults module would be imported anew by the construction of g.
        del sys.modules[NAME]
        del sys.modules["quorvane.global_var.global_var"]
        again = importlib.import_module(NAME)
        reloaded = importlib.reload(m)
        import quorvane.global_var.globals as plain
        after = (m.g, m.config_global_var, m.apply_unidecoding)
        done(same=[again is m, reloaded is m, plain is m, sys.modules[NAME] is m],
             same_objects=all(a is b for a, b in zip(before, after)),
             defaults_reimported="quorvane.global_var.global_var" in sys.modules)
    ''', root=repo_root)
    assert res == dict(same=[True] * 4, same_objects=True, defaults_reimported=False)


@pytest.mark.parametrize("under_another_name", [False, True])
def test_failure_in_defaults_module_is_reported_and_not_remembered(make_package,
                                                                  under_another_name):
    root = make_package('''
        import builtins
        if getattr(builtins, "QV_BREAK_DEFAULTS", False):
            raise LookupError("defaults broken")
        MAX_ROWS = 100
        APP_NAME = "quorvane"
    ''')
    res = run_json('''
        import builtins, gc, importlib, importlib.util, weakref
        builtins.QV_BREAK_DEFAULTS = True
        try:
            if %r:
                spec = importlib.util.spec_from_file_location(
                    "globals", importlib.util.find_spec(NAME).origin)
                spec.loader.exec_module(importlib.util.module_from_spec(spec))
            else:
                importlib.import_module(NAME)
        except LookupError as exc:
            err = exc
        ents = entries(err)
        i = [e[0] for e in ents].index("init " + NAME)
        failed_ns = init_namespace(err)
        err_description = describe(err)
        failed_class = weakref.ref(failed_ns["config_global_var"])
        failed_function = weakref.ref(failed_ns["apply_unidecoding"])
        # The failed class still reads as the interpreter's slot would.
        try:
            failed_ns["config_global_var"].__new__(failed_ns["config_global_var"]).MAX_ROWS
        except AttributeError as exc:
            unbuilt_read = describe(exc) + [[e[2] for e in own_entries(exc)]]
        failed_state = [failed_ns.get("__name__"), "config_global_var" in failed_ns,
                        "g" in failed_ns]
        left_registered = NAME in sys.modules
        del err, failed_ns
        gc.collect()
        builtins.QV_BREAK_DEFAULTS = False
        m = importlib.import_module(NAME)
        # The class of the successful import is served by its own slot, which
        # does not look __getattribute__ up; the interpreter's slot (of a
        # subclass) does, as a key of the class's dict sharing the name's
        # hash shows once the type cache is cleared.
        def lookups(inst):
            namespace = gc.get_referents(m.config_global_var.__dict__)[0]
            seen = []
            class Key:
                def __hash__(self): return hash("__getattribute__")
                def __eq__(self, other): return seen.append(other)
            hook = namespace.pop("__getattribute__")
            namespace[Key()], namespace["__getattribute__"] = None, hook
            del seen[:]
            for _ in range(3):
                (getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache)()
                inst.APP_NAME
            del namespace[next(k for k in namespace if isinstance(k, Key))]
            (getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache)()
            return len(seen)
        sub = type("Sub", (m.config_global_var,), {})()
        own_slot = [lookups(m.g), lookups(sub) >= 3]
        done(err=err_description, init=ents[i], next=ents[i + 1],
             last_file=ents[-1][1].endswith("global_var.py"),
             init_count=[e[0] for e in ents].count("init " + NAME),
             failed_state=failed_state, unbuilt_read=unbuilt_read,
             failed_freed=[failed_class() is None, failed_function() is None],
             left_registered=left_registered,
             retry=[type(m.g) is m.config_global_var, m.__test__ == {}, NAME in sys.modules],
             own_slot=own_slot)
    ''' % under_another_name, root=root)
    assert res == dict(
        err=["LookupError", "defaults broken"],
        init=[INIT_ENTRY, TB_FILE, 87],
        next=["quorvane.global_var.globals.config_global_var.__init__", TB_FILE, 54],
        last_file=True, init_count=1,
        failed_state=["globals" if under_another_name else "quorvane.global_var.globals", True, False],
        unbuilt_read=["AttributeError", "'config_global_var' object has no attribute 'module'",
                      [61, 59]],
        failed_freed=[True, True], left_registered=False, retry=[True, True, True],
        own_slot=[0, True])


@pytest.mark.parametrize("blocked, err, line, bound_before", [
    ("unidecode", ["ModuleNotFoundError", "No module named 'unidecode'"], 3,
     ["ConfigParser", "importlib"]),
    ("unidecode without the function", ["ImportError", "cannot import name unidecode"], 3,
     ["ConfigParser", "importlib"]),
    ("traceback", ["ModuleNotFoundError", "No module named 'traceback'"], 4,
     ["ConfigParser", "importlib", "unidecode"]),
])
def test_failed_import_statement_then_import_runs_whole_body(repo_root, blocked, err, line,
                                                             bound_before):
    res = run_json('''
        import importlib, types
        blocked = %r

        class Blocker:
            def find_spec(self, name, path=None, target=None):
                if name.partition(".")[0] == blocked:
                    raise ModuleNotFoundError("No module named %%r" %% name, name=name)
                return None

        blocker = Blocker()
        sys.meta_path.insert(0, blocker)
        sys.modules.pop(blocked, None)
        if blocked.endswith("without the function"):
            sys.modules["unidecode"] = types.ModuleType("unidecode")
        try:
            importlib.import_module(NAME)
        except ImportError as exc:
            err = exc
        failed_ns = init_namespace(err)
        sys.meta_path.remove(blocker)
        sys.modules.pop("unidecode", None)
        # The retry must start again at line 1: a freshly imported
        # configparser shows that the first import statement ran again.
        old_cp = sys.modules.pop("configparser").ConfigParser
        m = importlib.import_module(NAME)
        done(err=describe(err), own=own_entries(err),
             failed_ns=sorted(k for k in ("ConfigParser", "importlib", "unidecode",
                                          "traceback") if k in failed_ns),
             fresh_cp=[m.ConfigParser is sys.modules["configparser"].ConfigParser,
                       m.ConfigParser is not old_cp],
             retry=[m.unidecode("x") == "x", type(m.g) is m.config_global_var])
    ''' % blocked, root=repo_root)
    assert res == dict(err=err, own=[[INIT_ENTRY, TB_FILE, line]], failed_ns=bound_before,
                       fresh_cp=[True, True], retry=[True, True])


@pytest.mark.parametrize("key, trouble", [
    ("traceback", "spec"), ("traceback", "flag"), ("traceback", "initializing"),
    ("unidecode.unidecode", "spec")])
def test_sys_modules_entries_are_read_as_a_plain_mapping(repo_root, key, trouble):
    # An import statement uses an entry of sys.modules whose spec cannot be
    # read, or whose _initializing flag cannot be tested, as one that is not
    # being initialised, and imports one that is being initialised (which
    # gives the same entry once it is ready); the from-import falls back to
    # such an entry too.
    res = run_json('''
        import importlib, types
        key, trouble = %r, %r

        class Flag:
            def __bool__(self):
                raise RuntimeError("flag")

        class Entry(types.ModuleType):
            @property
            def __spec__(self):
                if trouble == "spec":
                    raise RuntimeError("spec")
                return types.SimpleNamespace(
                    _initializing=trouble == "initializing" or Flag())

        planted = sys.modules[key] = Entry(key)
        if key == "unidecode.unidecode":
            sys.modules["unidecode"] = types.ModuleType("unidecode")  # without the function
        m = importlib.import_module(NAME)
        done(bound=getattr(m, key.rpartition(".")[2]) is planted)
    ''' % (key, trouble), root=repo_root)
    assert res == dict(bound=True)


SUBINTERP_CODE = '''
import sys
sys.path.insert(0, %(root)r)
try:
    import quorvane.global_var.globals
    msg = "imported"
except BaseException as exc:
    msg = "%%s: %%s" %% (type(exc).__name__, exc)
with open(%(out)r, "w") as f:
    f.write(msg)
'''


# A legacy sub-interpreter (_testcapi's, or Py_NewInterpreter()) runs the
# module's own check; an isolated one (_xxsubinterpreters, _interpreters) is
# the interpreter's to refuse from 3.12 on, before the module runs at all.
@pytest.mark.parametrize("api", ["legacy", "isolated"])
@pytest.mark.parametrize("order", ["main_first", "sub_first", "sub_during_main_import"])
def test_second_interpreter_is_refused(order, api, make_package, tmp_path):
    pytest.importorskip("_testcapi" if api == "legacy" else "_xxsubinterpreters"
                        if sys.version_info < (3, 13) else "_interpreters")
    root = make_package('''
        import builtins
        MAX_ROWS = 100
        if getattr(builtins, "QV_SUB_CODE", None):
            builtins.QV_SUB_RC = builtins.QV_RUN(builtins.QV_SUB_CODE)
    ''')
    out = str(tmp_path / "subinterp.txt")
    res = run_json('''
        import builtins, importlib
        api, order, code = %r, %r, %r
        if api == "legacy":
            import _testcapi
            run = _testcapi.run_in_subinterp
        else:
            try:
                import _interpreters as interpreters
            except ImportError:
                import _xxsubinterpreters as interpreters

            def run(code):
                interpreters.run_string(interpreters.create(), code)
                return 0
        main = None
        if order == "sub_first":
            rc = run(code)
        elif order == "sub_during_main_import":
            builtins.QV_SUB_CODE, builtins.QV_RUN = code, run
        try:
            importlib.import_module(NAME)
            main = "imported"
        except ImportError as exc:
            main = describe(exc) + [len(own_entries(exc))]
        if order == "main_first":
            rc = run(code)
        elif order == "sub_during_main_import":
            rc = builtins.QV_SUB_RC
        with open(%r) as f:
            done(rc=rc, main=main, sub=f.read())
    ''' % (api, order, SUBINTERP_CODE % dict(root=str(root), out=out), out), root=root)
    if api == "isolated" and sys.version_info >= (3, 12):
        assert res == dict(rc=0, sub="ImportError: " + NO_SUBINTERPRETERS, main="imported")
    elif order == "sub_first":
        assert res == dict(rc=0, sub="imported", main=["ImportError", INTERPRETER_CHANGE, 0])
    else:
        assert res == dict(rc=0, sub="ImportError: " + INTERPRETER_CHANGE, main="imported")


@pytest.fixture
def mismatch_package(make_package):
    if not MISMATCH_BUILD:
        pytest.skip("QV_MISMATCH_BUILD is not set")
    if not os.path.isfile(MISMATCH_BUILD):
        pytest.skip("QV_MISMATCH_BUILD does not name a file")
    return make_package(extension=MISMATCH_BUILD)


def test_version_mismatch_warns_once_and_imports(mismatch_package):
    res = run_json('''
        import importlib, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            m = importlib.import_module(NAME)
            del sys.modules[NAME]
            again = importlib.import_module(NAME)
        done(warnings=[str(w.message) for w in caught
                       if issubclass(w.category, RuntimeWarning)],
             categories=[w.category.__name__ for w in caught
                         if issubclass(w.category, RuntimeWarning)],
             same=again is m, g=type(m.g) is m.config_global_var)
    ''', root=mismatch_package)
    assert res == dict(warnings=[MISMATCH_TEXT], categories=["RuntimeWarning"],
                       same=True, g=True)


def test_version_warning_as_error_fails_import_without_entry(mismatch_package):
    res = run_json('''
        import importlib, warnings
        try:
            importlib.import_module(NAME)
        except RuntimeWarning as exc:
            err = exc
        registered = NAME in sys.modules
        warnings.simplefilter("ignore")
        m = importlib.import_module(NAME)
        done(err=describe(err), own=own_entries(err), registered=registered,
             retry=type(m.g) is m.config_global_var)
    ''', root=mismatch_package, flags=["-W", "error::RuntimeWarning"])
    assert res == dict(err=["RuntimeWarning", MISMATCH_TEXT], own=[],
                       registered=False, retry=True)


@pytest.mark.parametrize("key_taken", [False, True])
def test_loaded_under_another_name(key_taken, repo_root):
    res = run_json('''
        import importlib.util, types
        placeholder = types.ModuleType("placeholder")
        if %r:
            sys.modules[NAME] = placeholder
        spec = importlib.util.spec_from_file_location("globals", %r)
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        cls = m.config_global_var
        done(name=m.__name__,
             entry="module" if sys.modules.get(NAME) is m else
                   "placeholder" if sys.modules.get(NAME) is placeholder else None,
             modules=sorted({m.apply_unidecoding.__module__, cls.__module__,
                             cls.__dict__["__init__"].__module__,
                             cls.__dict__["__getattribute__"].__module__}),
             g=type(m.g) is cls)
    ''' % (key_taken, str(EXT_PATH)), root=repo_root)
    assert res == dict(name="globals", entry="placeholder" if key_taken else "module",
                       modules=["quorvane.global_var.globals"], g=True)


@pytest.mark.parametrize("parent", ["missing", "unreadable"])
def test_module_attributes_from_the_spec(repo_root, parent):
    # A spec attribute that is missing is not copied; one that cannot be
    # read fails the create step, and nothing of that attempt remains.
    res = run_json('''
        import _imp, importlib, importlib.util
        found = importlib.util.find_spec(NAME)

        class Spec:
            name, origin, loader = NAME, found.origin, found.loader
            if %r == "unreadable":
                parent = property(lambda self: 1 / 0)
        try:
            m = _imp.create_dynamic(Spec())
            created = [m.__file__ == found.origin, m.__loader__ is found.loader,
                       m.__package__, hasattr(m, "__path__")]
            _imp.exec_dynamic(m)
        except ZeroDivisionError as exc:
            created = describe(exc)
        later = importlib.import_module(NAME)
        done(created=created, later=type(later.g) is later.config_global_var)
    ''' % parent, root=repo_root)
    assert res == dict(created=[True, True, None, False] if parent == "missing"
                       else ["ZeroDivisionError", "division by zero"], later=True)


def test_builtins_are_captured_by_the_import_that_succeeds(repo_root):
    # A missing builtin fails the import at line 1; the next import captures
    # what builtins holds then: the class is built on that `object`, and the
    # instance's own attributes are read through its __getattribute__.
    res = run_json('''
        import builtins, importlib
        real_map, real_object, seen = map, object, []
        del builtins.map
        try:
            importlib.import_module(NAME)
        except NameError as exc:
            error = exc
        builtins.map = real_map
        err = describe(error) + [own_entries(error)]

        class Base:
            def __getattribute__(self, name):
                seen.append(name)
                return real_object.__getattribute__(self, name)
        builtins.object = Base
        try:
            m = importlib.import_module(NAME)
        finally:
            builtins.object = real_object
        del seen[:]
        done(err=err, bases=m.config_global_var.__bases__ == (Base,),
             reads=[m.g.MAX_ROWS, m.g.variables, m.g.NOT_A_SETTING], seen=seen)
    ''', root=repo_root)
    assert res == dict(err=["NameError", "name 'map' is not defined", [[INIT_ENTRY, TB_FILE, 1]]],
                       bases=True, reads=[100, [], None],
                       seen=["module", "config_json", "variables", "module"])


def test_second_module_object_cannot_be_executed(repo_root):
    res = run_json('''
        import importlib, importlib.util
        spec = importlib.util.find_spec(NAME)
        first = spec.loader.create_module(spec)
        second = spec.loader.create_module(spec)
        distinct = first is not second
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
            err = None
        except RuntimeError as exc:
            err = describe(exc) + [len(own_entries(exc))]
        del sys.modules[NAME]
        later = importlib.import_module(NAME)
        done(distinct=distinct, err=err, second_untouched="__builtins__" not in vars(second),
             first_kept=[later is first, type(first.g) is first.config_global_var])
    ''', root=repo_root)
    assert res == dict(distinct=True, err=["RuntimeError", REINIT, 0],
                       second_untouched=True, first_kept=[True, True])


EMBED_PROGRAM = r'''
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static const char script[] =
    "import os, sys\n"
    "sys.path[:0] = os.environ['QV_EMBED_PATH'].split(os.pathsep)\n"
    "import quorvane.global_var.globals as m\n"
    "s = m.config_global_var(os.environ['QV_EMBED_INI'])\n"
    "print('round', m.g.MAX_ROWS, m.apply_unidecoding(['caf\\u00e9', 1]), s.MAX_ROWS,\n"
    "      type(m.g) is m.config_global_var, flush=True)\n";

int main(void) {
    for (int round = 1; round <= 3; ++round) {
        Py_Initialize();
        int failed = PyRun_SimpleString(script) != 0;
        if (Py_FinalizeEx() < 0 || failed) {
            return 10 + round;
        }
    }
    return 0;
}
'''


def test_embedding_application_that_reinitializes_python(repo_root, tmp_path):
    """Py_Initialize / import / Py_FinalizeEx, three times in one process:
    every round imports a working module of its own interpreter."""
    import shutil
    import subprocess
    cfg = sysconfig.get_config_var
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not cfg("Py_ENABLE_SHARED") or not compiler:
        pytest.skip("needs the interpreter's shared library and a C compiler")
    program = tmp_path / "embed"
    (tmp_path / "embed.c").write_text(EMBED_PROGRAM)
    subprocess.run([compiler, "-o", str(program), str(tmp_path / "embed.c"),
                    "-I" + sysconfig.get_paths()["include"], "-L" + cfg("LIBDIR"),
                    "-Wl,-rpath," + cfg("LIBDIR"), "-lpython" + cfg("LDVERSION")]
                   + (cfg("LIBS") or "").split() + (cfg("SYSLIBS") or "").split(),
                   check=True)
    ini = tmp_path / "limits.ini"
    ini.write_text("[Limits]\nmax_rows = 250\n")
    site = [p for p in sys.path if p.endswith("site-packages")]
    env = dict(os.environ, PYTHONHOME=sys.base_prefix, PYTHONMALLOC="debug",
               QV_EMBED_INI=str(ini),
               QV_EMBED_PATH=os.pathsep.join([str(repo_root)] + site))
    env.pop("PYTHONPATH", None)
    proc = subprocess.run([str(program)], env=env, cwd=str(tmp_path), timeout=240,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    assert (proc.returncode, proc.stdout.splitlines()) == (
        0, ["round 100 ['caf', '1'] 250 True"] * 3), proc.stderr

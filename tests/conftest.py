"""Shared fixtures and helpers for the tests of quorvane.global_var.globals.

The module can be initialised only once per process, so everything that
depends on import-time behaviour runs in a child interpreter (run_python /
run_json); the rest imports the built extension in the test process.
"""
import importlib
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
MODNAME = "quorvane.global_var.globals"
EXT_NAME = "globals" + sysconfig.get_config_var("EXT_SUFFIX")

# QV_TEST_INSTALLED=1: test the package installed in the running
# interpreter's environment (a wheel) instead of the build in this tree.
# The tree is then kept off the path, and child interpreters start in this
# directory, which holds no quorvane package.
INSTALLED = os.environ.get("QV_TEST_INSTALLED") == "1"
if INSTALLED:
    sys.path[:] = [p for p in sys.path if Path(p or os.curdir).resolve() != REPO]
    try:
        _pkg = importlib.util.find_spec("quorvane.global_var")
    except ImportError:
        _pkg = None
    PKG_DIR = (Path(_pkg.origin).parent if _pkg is not None and _pkg.origin
               else Path(sys.prefix) / "quorvane-is-not-installed")
    IMPORT_ROOT = Path(__file__).resolve().parent
else:
    PKG_DIR = REPO / "quorvane" / "global_var"
    IMPORT_ROOT = REPO
EXT_PATH = PKG_DIR / EXT_NAME

# Traceback entries name the source with two backslashes between the path
# components; the code objects of the functions carry a single one.
TB_FILE = "quorvane\\\\global_var\\\\globals.py"
CODE_FILE = "quorvane\\global_var\\globals.py"
INIT_ENTRY = "init " + MODNAME

# Minimal defaults module for the throw-away package copies.
DEFAULTS_SRC = 'MAX_ROWS = 100\nAPP_NAME = "quorvane"\n'

RESULT_MARK = "@@RESULT@@ "

# Prepended to every child snippet.
PRELUDE = textwrap.dedent('''\
    import json, sys, traceback
    NAME = %(name)r
    TB_FILE = %(tb_file)r

    def entries(exc):
        """[name, file, line] of every traceback entry, outermost first."""
        return [[f.name, f.filename, f.lineno]
                for f in traceback.extract_tb(exc.__traceback__)]

    def own_entries(exc):
        return [e for e in entries(exc) if e[1] == TB_FILE]

    def init_namespace(exc):
        """Globals of the frame behind the module body's traceback entry."""
        tb = exc.__traceback__
        while tb.tb_frame.f_code.co_name != "init " + NAME:
            tb = tb.tb_next
        return tb.tb_frame.f_globals

    def describe(exc):
        return [type(exc).__name__, str(exc)]

    def done(**result):
        sys.stdout.flush()
        print(%(mark)r + json.dumps(result))
    ''') % dict(name=MODNAME, tb_file=TB_FILE, mark=RESULT_MARK)

if not INSTALLED and str(REPO) not in sys.path:
    sys.path.insert(0, str(REPO))


def require_build():
    if not EXT_PATH.is_file():
        pytest.fail("the extension is not built: %s is missing" % EXT_PATH,
                    pytrace=False)


def our_entries(exc):
    """(name, line) of the entries the module added to exc's traceback."""
    import traceback
    return [(f.name, f.lineno)
            for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == TB_FILE]


@pytest.fixture(scope="session")
def mod():
    require_build()
    module = importlib.import_module(MODNAME)
    assert Path(module.__file__).resolve() == EXT_PATH.resolve(), (
        "imported %s instead of %s" % (module.__file__, EXT_PATH))
    return module


def run_python(code, root=IMPORT_ROOT, flags=(), check=True, timeout=240):
    """Run a snippet in a fresh interpreter whose only extra path is root."""
    env = dict(os.environ)
    env["PYTHONPATH"] = str(root)
    env["PYTHONIOENCODING"] = "utf-8"
    env.pop("PYTHONSTARTUP", None)
    env.pop("PYTHONWARNINGS", None)
    proc = subprocess.run(
        [sys.executable, "-B"] + list(flags) + ["-c", PRELUDE + textwrap.dedent(code)],
        cwd=str(root), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, timeout=timeout)
    if check and proc.returncode != 0:
        pytest.fail("child exited with %d\n--- stdout\n%s\n--- stderr\n%s"
                    % (proc.returncode, proc.stdout, proc.stderr), pytrace=False)
    return proc


def run_json(code, **kwargs):
    """Run a snippet that reports through done(...) and return that dict."""
    proc = run_python(code, **kwargs)
    for line in reversed(proc.stdout.splitlines()):
        if line.startswith(RESULT_MARK):
            return json.loads(line[len(RESULT_MARK):])
    pytest.fail("child reported nothing\n--- stdout\n%s\n--- stderr\n%s"
                % (proc.stdout, proc.stderr), pytrace=False)


@pytest.fixture
def repo_root():
    require_build()
    return IMPORT_ROOT


@pytest.fixture
def make_package(tmp_path):
    """Build a private copy of the package around a given extension file.

    Returns the directory to put on the path; `defaults` is the source of
    quorvane/global_var/global_var.py, `extension` the file installed as
    the extension for the running interpreter.
    """
    def make(defaults=DEFAULTS_SRC, extension=None):
        if extension is None:
            require_build()
            extension = EXT_PATH
        root = tmp_path / "pkgroot"
        pkg = root / "quorvane" / "global_var"
        pkg.mkdir(parents=True)
        (root / "quorvane" / "__init__.py").write_text("")
        (pkg / "__init__.py").write_text("")
        (pkg / "global_var.py").write_text(textwrap.dedent(defaults))
        shutil.copyfile(str(extension), str(pkg / EXT_NAME))
        return root
    return make

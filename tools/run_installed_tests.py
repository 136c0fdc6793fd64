"""Runs the test suite against the installed quorvane package.

    python tools/run_installed_tests.py [--check-only] [TESTS_DIR] [-- PYTEST_ARG ...]

Run it with the interpreter of the environment that holds the installed
package (a wheel installed by `make wheels`, or by cibuildwheel's test
step).  TESTS_DIR defaults to the tests/ directory beside this script.

1. Finds quorvane.global_var.globals in the interpreter's site-packages and
   refuses to go on when it would come from anywhere else (a source tree on
   PYTHONPATH, say).
2. Imports it in a child interpreter started with -I (no PYTHONPATH, no
   current directory on the path) and checks a few results.
3. Runs pytest on the suite in a scratch directory, with
   QV_TEST_INSTALLED=1: the suite then takes the extension from the
   installed package instead of the source tree.  A suite that does not
   know QV_TEST_INSTALLED is run from a scratch copy instead, with the
   installed package (a symbolic link to it, or where links cannot be made
   a copy of it) laid out where the suite expects the source tree.

With --check-only, step 3 is left out.  Exits with pytest's status; 1 when
the package is missing or the import check fails.  Runs on every interpreter
the wheels are built for (3.7+).
"""
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
from pathlib import Path

MODNAME = "quorvane.global_var.globals"

SMOKE = textwrap.dedent(r'''
    import itertools, os, sys
    import quorvane.global_var.global_var as defaults
    import quorvane.global_var.globals as m
    from quorvane.global_var.globals import apply_unidecoding, config_global_var, g
    assert os.path.samefile(m.__file__, sys.argv[1]), (m.__file__, sys.argv[1])
    assert apply_unidecoding("caf\u00e9") == "caf"
    items = ["d\u00e9j\u00e0", 1, 2.5, True, None]
    assert apply_unidecoding(items) is items
    assert items == ["dj", "1", "2.5", "True", None], items
    assert type(g) is config_global_var and g.MAX_ROWS == defaults.MAX_ROWS
    names = ("settings-%d.ini" % n for n in itertools.count())
    def settings(text):  # the working directory is a scratch directory
        ini = os.path.abspath(next(names))
        with open(ini, "w") as fh:
            fh.write(text)
        return config_global_var(ini)
    s = settings("[Limits]\nmax_rows = 250\napp_name = other\n")
    assert (s.MAX_ROWS, s.APP_NAME) == (250, defaults.APP_NAME)
    assert s.variables == ["MAX_ROWS", "APP_NAME"], s.variables
    assert settings("[Limits]\nmax_rows = lots\n").MAX_ROWS is None
''')


def fail(message):
    print("run_installed_tests: " + message, file=sys.stderr)
    return 1


def installed_extension():
    """The installed extension file, or None (with the reason printed)."""
    try:
        found = importlib.util.find_spec(MODNAME)
    except ImportError as exc:
        fail("quorvane is not installed in %s (%s)" % (sys.prefix, exc))
        return None
    if found is None or not found.origin:
        fail("%s is not installed in %s" % (MODNAME, sys.prefix))
        return None
    ext = Path(found.origin).resolve()
    site_dirs = {Path(sysconfig.get_paths()[k]).resolve() for k in ("purelib", "platlib")}
    if ext.parents[2] not in site_dirs:
        fail("%s would be imported from %s, which is not this environment's "
             "site-packages (%s)" % (MODNAME, ext, ", ".join(map(str, sorted(site_dirs)))))
        return None
    return ext


def child_env():
    env = dict(os.environ)
    for name in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "PYTHONWARNINGS"):
        env.pop(name, None)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def lay_out_copy(tests, ext, scratch):
    """scratch/tests: a copy of the suite; scratch/quorvane: the installed
    package, where the suite looks for the source tree."""
    shutil.copytree(str(tests), str(scratch / "tests"),
                    ignore=shutil.ignore_patterns("__pycache__", ".pytest_cache"))
    package = ext.parents[1]
    try:
        os.symlink(str(package), str(scratch / "quorvane"), target_is_directory=True)
        how = "linked"
    except (OSError, NotImplementedError):
        shutil.copytree(str(package), str(scratch / "quorvane"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        how = "copied"
    print("run_installed_tests: this suite does not know QV_TEST_INSTALLED; running a "
          "copy of it with the installed package %s beside it" % how)
    return scratch / "tests"


def main(argv):
    pytest_args = []
    if "--" in argv:
        pytest_args = argv[argv.index("--") + 1:]
        argv = argv[:argv.index("--")]
    check_only = "--check-only" in argv
    argv = [a for a in argv if a != "--check-only"]
    if len(argv) > 1:
        return fail("usage: run_installed_tests.py [--check-only] [TESTS_DIR] [-- PYTEST_ARG ...]")
    tests = Path(argv[0] if argv else Path(__file__).resolve().parent.parent / "tests").resolve()
    if not (tests / "conftest.py").is_file():
        return fail("no test suite in %s" % tests)

    ext = installed_extension()
    if ext is None:
        return 1
    env = child_env()
    print("== %s %s: %s" % (sys.implementation.name, sys.version.split()[0], ext))
    scratch = Path(tempfile.mkdtemp(prefix="qv-installed-"))
    try:
        smoke = subprocess.run([sys.executable, "-I", "-c", SMOKE, str(ext)],
                               cwd=str(scratch), env=env)
        if smoke.returncode != 0:
            return fail("the installed module failed the import check")
        print("== import check passed")
        if check_only:
            return 0

        conftest = (tests / "conftest.py").read_text(encoding="utf-8")
        if "QV_TEST_INSTALLED" in conftest:
            env["QV_TEST_INSTALLED"] = "1"
        else:
            tests = lay_out_copy(tests, ext, scratch)
        work = scratch / "work"
        work.mkdir()
        env.setdefault("HYPOTHESIS_STORAGE_DIRECTORY", str(scratch / "hypothesis"))
        cmd = [sys.executable, "-m", "pytest", str(tests), "-p", "no:cacheprovider",
               "-q"] + pytest_args
        return subprocess.run(cmd, cwd=str(work), env=env).returncode
    finally:
        shutil.rmtree(str(scratch), ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

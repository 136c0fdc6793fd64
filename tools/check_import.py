"""Imports the built extension from the source tree and prints one line.

Run by `make` under each interpreter's environment, with PYTHONPATH set to
the repository root:

    build/venv-cp311/bin/python tools/check_import.py cp311

The line names the interpreter, the extension file that was loaded and what
the module-level settings instance `g` reads for two settings.  Exits 1 (and
says why on the same line) when the import fails, when the module came from
somewhere other than quorvane/global_var/ of this tree, or when the build
warns that it was made for another interpreter version.
"""
import os
import platform
import sys
import sysconfig
import traceback
import warnings

SETTINGS = ("MAX_ROWS", "APP_NAME")


def main(argv):
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    tag = argv[1] if len(argv) > 1 else "cp%d%d%s" % (
        sys.version_info[:2] + ("t" if free_threaded else "",))
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    package_dir = os.path.join(root, "quorvane", "global_var")
    head = "%-6s %-8s" % (tag, platform.python_version())

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            import quorvane.global_var.globals as ext
        except BaseException as exc:  # report anything, including SystemError
            print("%s IMPORT FAILED: %s: %s" % (head, type(exc).__name__, exc))
            traceback.print_exc()
            return 1

    where = os.path.abspath(getattr(ext, "__file__", "") or "")
    shown = os.path.relpath(where, root) if where.startswith(root + os.sep) else where
    problems = []
    if os.path.dirname(where) != package_dir:
        problems.append("loaded from %s, not from %s" % (where, package_dir))
    for w in caught:
        text = str(w.message)
        if "compile time Python version" in text:
            problems.append("version warning: %s" % text)

    values = []
    for name in SETTINGS:
        try:
            values.append("g.%s=%r" % (name, getattr(ext.g, name)))
        except BaseException as exc:
            values.append("g.%s -> %s: %s" % (name, type(exc).__name__, exc))
            problems.append("reading g.%s failed" % name)

    line = "%s %s  %s" % (head, shown, "  ".join(values))
    # A free-threaded interpreter turns the GIL on for a module that does not
    # declare that it runs without it (and warns); said here, not a failure.
    if free_threaded and sys._is_gil_enabled():
        line += "  (GIL enabled by the import)"
    if problems:
        print("%s  FAILED: %s" % (line, "; ".join(problems)))
        return 1
    print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

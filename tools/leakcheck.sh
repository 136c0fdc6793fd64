#!/usr/bin/env bash
# The reference-count and allocation check (make leakcheck): builds the
# extension for Debian's debug interpreter and runs tools/leakcheck.py with
# it from a copy of the package.
#
#   tools/leakcheck.sh [LEAKCHECK_ARG...]
#
# Environment: CMAKE, NINJA, JOBS (as for build_one.sh); DBG_PYTHON (default
# python3.11-dbg); LEAKCHECK_CALLS (calls per entry point, default 100000);
# LEAKCHECK_SUITE=0 to skip the test suite run under the debug interpreter
# that follows the check; QV_PUBLIC_API_ONLY=1 for the public-API-only build
# (its directories are named public-dbg-... instead of dbg-...).
#
# The interpreter, its headers and its venv support (for python3.X-dbg:
# python3.X-dbg, python3.X-dev, python3.X-venv) are installed with apt-get
# when missing, which needs root.  Layout, for the interpreter's tag cpXY:
# build/dbg-cpXY/ (the build), build/dbg-pkg/ (quorvane/__init__.py,
# quorvane/global_var/{__init__,global_var}.py with the debug extension, and
# a copy of tests/: tools/package_tree.sh; the source tree is not touched)
# and build/venv-dbg-cpXY/.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
dbg="${DBG_PYTHON:-python3.11-dbg}"
export LEAKCHECK_CALLS="${LEAKCHECK_CALLS:-100000}"

usable() {
    command -v "$dbg" >/dev/null 2>&1 && "$dbg" -c '
import os, sys, sysconfig, ensurepip
assert hasattr(sys, "gettotalrefcount")
assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
' >/dev/null 2>&1
}
if ! usable; then
    # Debian's names: python3.X-dbg (or python3.Xd) is in python3.X-dbg.
    version="$(sed -nE 's/^python(3\.[0-9]+)(-dbg|d)$/\1/p' <<<"${dbg##*/}")"
    if [ -z "$version" ]; then
        echo "leakcheck: $dbg is not usable, and is not a Debian debug interpreter to install" >&2
        exit 1
    fi
    packages=("python$version-dbg" "python$version-dev" "python$version-venv")
    echo "== installing ${packages[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "leakcheck: need root to install ${packages[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${packages[@]}"
    usable || { echo "leakcheck: $dbg is still not usable" >&2; exit 1; }
fi
dbg="$(command -v "$dbg")"
tag="$("$dbg" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"

# CMake hands the interpreter's include directory to the compiler as a system
# directory, and GCC then resolves Debian's python3.11d header links to
# /usr/include/python3.11 and takes the release pyconfig.h from there: the
# build would count no references.  Plain -I keeps the debug configuration.
prefix= mode=()
if [ "${QV_PUBLIC_API_ONLY:-}" = 1 ]; then
    prefix=public- mode=(-DGLOBALS_PUBLIC_API_ONLY=ON)
fi
build="$root/build/${prefix}dbg-$tag"
bash "$root/tools/build_one.sh" "$build" "$dbg" \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON ${mode[@]+"${mode[@]}"}
built="$(head -n1 "$build/extension-path.txt")"
# (grep reads all of nm's output: with -q it could stop early and, under
# pipefail, fail the pipeline through nm's SIGPIPE.)
if ! nm -D "$built" | grep -E ' U (_Py_RefTotal|_Py_NegativeRefcount)$' >/dev/null; then
    echo "leakcheck: $built does not count references (not a debug build)" >&2
    exit 1
fi

pkg="$root/build/${prefix}dbg-pkg"
bash "$root/tools/package_tree.sh" "$built" "$pkg"

venv="$root/build/venv-${prefix}dbg-$tag"
bash "$root/tools/ensure_venv.sh" "$venv" "$dbg" "$root/tools/requirements-test.txt"

cd "$pkg"
PYTHONPATH="$pkg" PYTHONDONTWRITEBYTECODE=1 "$venv/bin/python" -W ignore::ResourceWarning \
    "$root/tools/leakcheck.py" "$@"

# The whole suite under the debug interpreter too: its consistency checks
# (reference counts never negative, objects sane when freed) cover every
# path the tests reach.  LEAKCHECK_SUITE=0 skips it.
if [ "${LEAKCHECK_SUITE:-1}" != 0 ]; then
    echo "== pytest under $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])') (debug)"
    PYTHONPATH="$pkg" PYTHONDONTWRITEBYTECODE=1 HYPOTHESIS_STORAGE_DIRECTORY="$build/hypothesis" \
        "$venv/bin/python" -W ignore::ResourceWarning -m pytest tests -q -p no:cacheprovider
fi

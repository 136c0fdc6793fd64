#!/usr/bin/env bash
# Line and branch coverage of the C++ sources under the whole test suite,
# for one interpreter: the default build and the public-API-only build, each
# measured on its own.
#
#   tools/coverage.sh TAG PYTHON [PYTEST_ARG...]
#
# Environment: CMAKE, NINJA, JOBS (as for build_one.sh); VENV_PYTHON, the
# interpreter that runs pytest (default build/venv-TAG/bin/python);
# COVERAGE_FLOOR, the share of lines (percent) each build must run (default
# 95; empty: no floor).
#
# Per build, under build/coverage-TAG/ (default) and build/coverage-public-TAG/
# (public API only): cmake/, the module compiled with --coverage at -O0;
# mismatch/, the same recording interpreter version 3.6 (for the version
# warning tests, so the warning's code is measured too); tree/, a throw-away
# copy of the package around cmake/'s build and of tests/, where the suite
# runs, so the source tree's own builds are never replaced; html/index.html,
# gcovr's report; coverage.txt, its table of files with the lines not run;
# build-cmake.log and build-mismatch.log, what the builds printed.
# Counters are reset before each run.  Child interpreters that the tests
# start add their counts to the same files.  The hypothesis tests run with a
# fixed seed, so that the same sources and tests give the same figures.
#
# gcovr comes from PyPI into build/venv-coverage.  Prints each build's table,
# then gcovr's summary of both builds as the last lines.  Exits non-zero when
# a test run failed or a build ran fewer lines than the floor.
set -euo pipefail

if [ "$#" -lt 2 ]; then
    echo "usage: $0 TAG PYTHON [PYTEST_ARG...]" >&2
    exit 2
fi
tag="$1"
python="$2"
shift 2
pytest_args=("$@")

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
src="$root/quorvane/global_var/src"
venv_python="${VENV_PYTHON:-$build/venv-$tag/bin/python}"
floor="${COVERAGE_FLOOR-95}"
started=$SECONDS

bash "$root/tools/ensure_venv.sh" "$build/venv-coverage" "$python" \
    "$root/tools/requirements-coverage.txt"
gcovr="$build/venv-coverage/bin/gcovr"
# gcov must be the one of the compiler that built the objects.
cxx="${CXX:-g++}"
gcov="$(dirname "$(command -v "$cxx")")/gcov-$("$cxx" -dumpversion)"
[ -x "$gcov" ] || gcov="$(command -v gcov)"

cov_flags="--coverage -O0"
failed=0
summaries=()

one() {  # one NAME DIR [CMAKE_ARG...]
    local name="$1" work="$2"
    shift 2
    local t0=$SECONDS
    echo "== coverage build $tag, $name ($work)"
    mkdir -p "$work"
    for dir in cmake mismatch; do
        local extra=()
        [ "$dir" = mismatch ] && extra=(-DGLOBALS_BUILD_VERSION=3.6)
        bash "$root/tools/build_one.sh" "$work/$dir" "$python" \
            -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=$cov_flags" \
            -DCMAKE_MODULE_LINKER_FLAGS=--coverage "$@" ${extra[@]+"${extra[@]}"} \
            >"$work/build-$dir.log" 2>&1 ||
            { cat "$work/build-$dir.log"; echo "== coverage build $work/$dir FAILED"; return 1; }
        find "$work/$dir" -name '*.gcda' -delete
    done
    local built mismatch
    built="$(head -n1 "$work/cmake/extension-path.txt")"
    mismatch="$(head -n1 "$work/mismatch/extension-path.txt")"
    bash "$root/tools/package_tree.sh" "$built" "$work/tree" || return 1

    echo "== pytest $tag, $name ($("$venv_python" -c 'import platform; print(platform.python_version())'))"
    local rc=0 public=
    case " $* " in *" -DGLOBALS_PUBLIC_API_ONLY=ON "*) public=1 ;; esac
    (
        cd "$work/tree"
        env PYTHONPATH="$work/tree" PYTHONDONTWRITEBYTECODE=1 \
            QV_MISMATCH_BUILD="$mismatch" QV_PUBLIC_API_ONLY="$public" \
            HYPOTHESIS_STORAGE_DIRECTORY="$work/hypothesis" \
            "$venv_python" -m pytest tests -q -p no:cacheprovider --hypothesis-seed=0 \
            ${pytest_args[@]+"${pytest_args[@]}"}
    ) || rc=$?
    if [ "$rc" -ne 0 ]; then
        echo "== pytest $tag, $name: FAILED (exit $rc)"
        failed=1
    fi

    rm -rf "$work/html"
    mkdir -p "$work/html"
    local floor_args=()
    [ -n "$floor" ] && floor_args=(--fail-under-line "$floor")
    local summary grc=0
    # Throw branches (every call that may throw, from the compiler's view of
    # C++) and branches the compiler proves dead are left out of the branch
    # figure; lines are counted as they are.
    summary="$(cd "$root" && "$gcovr" --root "$root" --filter "$src/" \
        --gcov-executable "$gcov" \
        --exclude-throw-branches --exclude-unreachable-branches \
        --html-details "$work/html/index.html" \
        --html-title "quorvane.global_var.globals: $tag, $name" \
        --txt "$work/coverage.txt" --print-summary ${floor_args[@]+"${floor_args[@]}"} \
        "$work/cmake" "$work/mismatch" 2>&1)" || grc=$?
    cat "$work/coverage.txt"
    echo "   ($name build: $work/html/index.html, $((SECONDS - t0))s)"
    if [ "$grc" -ne 0 ]; then
        failed=1
        summary+="
(gcovr exit $grc: fewer than $floor% of the lines, or gcovr failed)"
    fi
    summaries+=("== coverage $tag, $name build
$summary")
}

one default "$build/coverage-$tag" || failed=1
one "public API only" "$build/coverage-public-$tag" -DGLOBALS_PUBLIC_API_ONLY=ON || failed=1

echo "== coverage done in $((SECONDS - started))s"
printf '%s\n' "${summaries[@]}"
exit "$failed"

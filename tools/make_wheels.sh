#!/usr/bin/env bash
# Builds, repairs, installs and tests one wheel per interpreter.
#
#   tools/make_wheels.sh --sdist SDIST --dist DIR --tools VENV [--plat PLATFORM]
#                        [--no-tests] TAG=PYTHON... [-- PYTEST_ARG...]
#
# For each cpXY=/path/to/python, in turn (every interpreter runs even when an
# earlier one fails):
#   1. build/venv-wheel-cpXY is made afresh with that interpreter;
#   2. its pip builds a wheel from SDIST (so the sdist is what is tested to
#      build) into build/wheels/cpXY/raw;
#   3. auditwheel (from the tools environment VENV) repairs it to a manylinux
#      tag (the most compatible one the wheel qualifies for, or PLATFORM)
#      into build/wheels/cpXY/repaired; the repaired wheel replaces this
#      version's cpXY wheel in DIR, and twine checks it;
#   4. the wheel is installed into the fresh environment (pip brings in
#      unidecode), then pytest and hypothesis;
#   5. tools/run_installed_tests.py checks the import and runs the test suite
#      against the installed package (with --no-tests: the import check only).
# Prints one summary line per interpreter and exits 1 when any step failed.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"

sdist= dist= tools= plat= run_suite=1
interpreters=()
while [ "$#" -gt 0 ]; do
    case "$1" in
        --sdist) sdist="$2"; shift 2 ;;
        --dist) dist="$2"; shift 2 ;;
        --tools) tools="$2"; shift 2 ;;
        --plat) plat="$2"; shift 2 ;;
        --no-tests) run_suite=0; shift ;;
        --) shift; break ;;
        cp3*=*) interpreters+=("$1"); shift ;;
        *) echo "make_wheels: unexpected argument '$1'" >&2; exit 2 ;;
    esac
done
if [ -z "$sdist" ] || [ -z "$dist" ] || [ -z "$tools" ] || [ "${#interpreters[@]}" -eq 0 ]; then
    echo "usage: $0 --sdist SDIST --dist DIR --tools VENV [--plat PLATFORM] [--no-tests] TAG=PYTHON... [-- PYTEST_ARG...]" >&2
    exit 2
fi
if [ ! -f "$sdist" ]; then
    echo "make_wheels: no sdist at $sdist" >&2
    exit 2
fi

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
# The sdist's file name is NAME-VERSION.tar.gz; wheels are NAME-VERSION-TAG-...
stem="$(basename "$sdist" .tar.gz)"
mkdir -p "$dist"

# The wheels in DIST built for TAG.  Their names are NAME-VERSION-PY-ABI-...;
# the python tag alone does not tell cp313 from cp313t (both wheels are
# ...-cp313-...), the ABI tag (cp37m, cp311, cp313t) does.
wheels_of() {
    ls "$dist/$stem-${1%t}-$1-"*.whl "$dist/$stem-${1%t}-${1}m-"*.whl 2>/dev/null
}

# pip's complaints about configured package locations that are absent on
# this machine say nothing about the build; everything else passes.
quiet_pip() {
    "$@" 2> >(grep -vE 'is ignored: it is (neither a file nor a directory|either a non-existing path)' >&2)
}

one_wheel() {  # one_wheel TAG PYTHON [PYTEST_ARG...]
    local tag="$1" python="$2"
    shift 2
    local venv="$build/venv-wheel-$tag" work="$build/wheels/$tag"
    # Whatever happens below, no wheel of an earlier run stays in its place.
    rm -rf "$venv" "$work"
    wheels_of "$tag" | xargs -r rm -f
    mkdir -p "$work/raw" "$work/repaired"

    echo "== $tag: fresh environment $venv"
    "$python" -m venv "$venv" || return 1
    quiet_pip "$venv/bin/python" -m pip install --quiet --upgrade pip || return 1

    echo "== $tag: wheel from $(basename "$sdist")"
    quiet_pip "$venv/bin/python" -m pip wheel --quiet --no-deps --wheel-dir "$work/raw" \
        "$sdist" || return 1
    local raw
    raw="$(ls "$work"/raw/*.whl)" || return 1
    echo "built $(basename "$raw")"

    echo "== $tag: auditwheel repair"
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair ${plat:+--plat "$plat"} \
        --wheel-dir "$work/repaired" "$raw" 2>&1 | grep -E 'tags|written|rror' || true
    local repaired
    repaired="$(ls "$work"/repaired/*.whl 2>/dev/null)" || {
        echo "make_wheels: auditwheel left no wheel for $tag" >&2
        return 1
    }
    cp "$repaired" "$dist/" || return 1
    local wheel="$dist/$(basename "$repaired")"
    COLUMNS=200 "$tools/bin/twine" --no-color check --strict "$wheel" || return 1

    echo "== $tag: install $(basename "$wheel")"
    quiet_pip "$venv/bin/python" -m pip install --quiet "$wheel" || return 1
    # The same limits as the tag's test environment (tools/constraints-TAG.txt).
    local limits=()
    [ -f "$root/tools/constraints-$tag.txt" ] && limits=(-c "$root/tools/constraints-$tag.txt")
    quiet_pip "$venv/bin/python" -m pip install --quiet pytest hypothesis "${limits[@]}" || return 1

    if [ "$run_suite" = 1 ]; then
        (cd "$build" && "$venv/bin/python" "$root/tools/run_installed_tests.py" \
            "$root/tests" -- "$@")
    else
        (cd "$build" && "$venv/bin/python" "$root/tools/run_installed_tests.py" \
            --check-only "$root/tests")
    fi
}

failed=0
summary=()
for pair in "${interpreters[@]}"; do
    tag="${pair%%=*}"
    python="${pair#*=}"
    log="$build/wheel-$tag.log"
    start=$SECONDS
    one_wheel "$tag" "$python" "$@" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    wheel="$(wheels_of "$tag" | sed -n 1p)"
    last="$(grep -E '^[0-9]+ (passed|failed)|^[0-9]+ [a-z]+.* in [0-9.]+s' "$log" | tail -n1)"
    if [ "$rc" -eq 0 ]; then
        status="ok"
    else
        status="FAILED"
        failed=1
    fi
    summary+=("$(printf '%-6s %-6s %s  %s [%ss]' "$tag" "$status" \
        "$(basename "${wheel:-no wheel}")" "${last:-}" "$((SECONDS - start))")")
done

echo "== wheels"
printf '%s\n' "${summary[@]}"
exit "$failed"

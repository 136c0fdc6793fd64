#!/usr/bin/env bash
# Runs the test suite under each interpreter's environment in turn.
#
#   tools/run_tests.sh TAG... [-- PYTEST_ARG...]
#
# For tag cpXY it runs build/venv-cpXY/bin/python -m pytest tests -q with
#   PYTHONPATH         the repository root (quorvane from the source tree,
#                      with the built extension files in it)
#   QV_MISMATCH_BUILD  absolute path of build/cpXY-mismatch's extension, a
#                      build that records interpreter version 3.6
# QV_BUILD_PREFIX (environment) names the build directories of another build
# mode (public- for build/public-cpXY-mismatch); QV_PUBLIC_API_ONLY=1 is
# passed on to the tests.
# Every interpreter runs even when an earlier one fails.  Prints one summary
# line per interpreter and a total; exits 1 when any run failed, including a
# run that collected no tests (pytest's exit code 5).
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"

tags=()
while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do
    tags+=("$1")
    shift
done
[ "${1:-}" = "--" ] && shift
if [ "${#tags[@]}" -eq 0 ]; then
    echo "usage: $0 TAG... [-- PYTEST_ARG...]" >&2
    exit 2
fi

cd "$root"
failed=0
total_passed=0
total_failed=0
summary=()
count() {  # count WORD LINE: the number before WORD in a pytest closing line
    local n
    n="$(grep -oE "[0-9]+ $1" <<<"$2" | sed -n 1p | cut -d' ' -f1)"
    echo "${n:-0}"
}

for tag in "${tags[@]}"; do
    python="$build/venv-$tag/bin/python"
    mismatch="$(head -n1 "$build/${QV_BUILD_PREFIX:-}$tag-mismatch/extension-path.txt" 2>/dev/null || true)"
    log="$build/pytest-$tag.log"
    echo "== pytest $tag ($("$python" -c 'import platform; print(platform.python_version())' 2>&1))"
    start=$SECONDS
    PYTHONPATH="$root" PYTHONDONTWRITEBYTECODE=1 \
        QV_MISMATCH_BUILD="$mismatch" \
        HYPOTHESIS_STORAGE_DIRECTORY="$build/hypothesis-$tag" \
        "$python" -m pytest tests -q -p no:cacheprovider "$@" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    last="$(grep -vE '^\s*$' "$log" | tail -n1 | sed -E 's/^=+ *//; s/ *=+$//')"
    passed="$(count passed "$last")"
    nfailed=$(( $(count failed "$last") + $(count error "$last") ))
    case "$rc" in
        0) status="ok" ;;
        5) status="FAILED (no tests collected)" ;;
        *) status="FAILED (pytest exit $rc)" ;;
    esac
    if [ "$rc" -ne 0 ]; then
        failed=1
        [ "$nfailed" -eq 0 ] && nfailed=1
    fi
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + nfailed))
    summary+=("$(printf '%-6s %-28s %s [%ss]' "$tag" "$status" "$last" "$((SECONDS - start))")")
done

echo "== test summary"
printf '%s\n' "${summary[@]}"
echo "total: $total_passed passed, $total_failed failed"
exit "$failed"

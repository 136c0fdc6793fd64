#!/usr/bin/env bash
# The reliability checks of continuous integration, sized for it: the leak
# check with 10000 calls per entry point (and the suite under the debug
# interpreter) and the test suite under AddressSanitizer and
# UndefinedBehaviorSanitizer for CPython 3.8 and 3.12.  Meant to run after
# `make` and `make test` (it reuses their environments); needs root to
# install python3.11-dbg the first time.
#
#   tools/ci_reliability.sh            both checks
#   LEAKCHECK_CALLS=N SANITIZE_VERSIONS="3.8 3.12" tools/ci_reliability.sh
#
# Runs both checks even when the first fails; exits non-zero if either did.
set -uo pipefail

cd "$(dirname "$0")/.."
started=$SECONDS
failed=()

run() {
    local name="$1"
    shift
    echo
    echo "=== $name ($((SECONDS - started))s)"
    local t0=$SECONDS
    if "$@"; then
        echo "=== $name: ok [$((SECONDS - t0))s]"
    else
        echo "=== $name: FAILED [$((SECONDS - t0))s]"
        failed+=("$name")
    fi
}

run "leak check" make --no-print-directory leakcheck \
    LEAKCHECK_CALLS="${LEAKCHECK_CALLS:-10000}"
run "sanitizers" make --no-print-directory sanitize \
    SANITIZE_VERSIONS="${SANITIZE_VERSIONS:-3.8 3.12}"

echo
if [ "${#failed[@]}" -gt 0 ]; then
    echo "=== reliability checks FAILED: ${failed[*]} ($((SECONDS - started))s)"
    exit 1
fi
echo "=== reliability checks passed ($((SECONDS - started))s)"

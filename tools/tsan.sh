#!/usr/bin/env bash
# Runs test files against a ThreadSanitizer build of the extension under a
# free-threaded CPython that is itself built with ThreadSanitizer.
#
#   tools/tsan.sh [TEST_FILE ...] [-- PYTEST_ARG ...]
#
# Default test files: tests/test_threads.py, and tests/test_stress.py when
# it exists (paths relative to the repository root).
#
# Environment: CMAKE, NINJA, JOBS (as for build_one.sh); TSAN_GIL: "0"
# (default) runs with PYTHON_GIL=0, so that the GIL stays off although the
# module does not declare that it may run without it; empty leaves the
# choice to the interpreter (which then turns the GIL on at the import and
# warns, and TSan sees next to nothing).
#
# Steps: the interpreter (tools/build_freethreaded_python.sh --tsan, built
# once into ~/.pyenv/versions/3.13.5t-tsan); the extension with
# -fsanitize=thread against it in build/cp313t-tsan/cmake; the environment
# build/venv-cp313t-tsan (the test requirements, with the cp313t
# constraints); then pytest in build/cp313t-tsan/tree, a throw-away copy of
# the package with the TSan build in it and of tests/, so that the source
# tree is never touched.  TSan's reports go to build/cp313t-tsan/reports/
# (one file per process), filtered by tools/tsan-suppressions.txt, which
# names only races inside CPython itself.  Fails when pytest fails or when
# any process wrote a report; a summary of the reports (kinds, and the
# extension's frames they start in) is printed at the end.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
tests=()
while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do
    tests+=("$1")
    shift
done
[ "${1:-}" = "--" ] && shift
if [ "${#tests[@]}" -eq 0 ]; then
    tests=(tests/test_threads.py)
    [ -f "$root/tests/test_stress.py" ] && tests+=(tests/test_stress.py)
fi

work="$root/build/cp313t-tsan"
venv="$root/build/venv-cp313t-tsan"
suppressions="$root/tools/tsan-suppressions.txt"
gil="${TSAN_GIL-}"

python="$(bash "$root/tools/build_freethreaded_python.sh" --tsan | tee /dev/stderr | tail -n1)"

# The whole module is instrumented; -O1 keeps the reports' stacks close to
# the source.  The TSan runtime comes in with the interpreter, which is
# linked against it.
san_flags="-fsanitize=thread -fno-omit-frame-pointer -g -O1"
bash "$root/tools/build_one.sh" "$work/cmake" "$python" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_C_FLAGS=$san_flags" "-DCMAKE_CXX_FLAGS=$san_flags" \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO= -DCMAKE_CXX_FLAGS_RELWITHDEBINFO= \
    "-DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread"
built="$(head -n1 "$work/cmake/extension-path.txt")"

# pip under the TSan interpreter: what TSan might say about pip is of no
# interest, and must not turn a successful install into exit code 66.
TSAN_OPTIONS="report_bugs=0 exitcode=0" \
    bash "$root/tools/ensure_venv.sh" "$venv" "$python" \
    "$root/tools/requirements-test.txt" "$root/tools/constraints-cp313t.txt"

tree="$work/tree"
reports="$work/reports"
rm -rf "$reports"
mkdir -p "$reports"
bash "$root/tools/package_tree.sh" "$built" "$tree"

echo "== tsan pytest ${tests[*]} ($("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')," \
     "$([ -n "$gil" ] && echo "PYTHON_GIL=$gil" || echo "GIL as the interpreter decides"))"
start=$SECONDS
set +e
(
    cd "$tree"
    [ -n "$gil" ] && export PYTHON_GIL="$gil"
    # TSan's exit code stays its default, 66 when it reported anything: it
    # is also the code of a process that TSan ends (a SEGV), which must not
    # look like success.
    env PYTHONPATH="$tree" PYTHONDONTWRITEBYTECODE=1 \
        TSAN_OPTIONS="suppressions=$suppressions log_path=$reports/tsan second_deadlock_stack=1" \
        HYPOTHESIS_STORAGE_DIRECTORY="$work/hypothesis" \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider "${tests[@]}" "$@"
)
rc=$?
set -e

count=0
files=0
for report in "$reports"/*; do
    [ -e "$report" ] || continue
    files=$((files + 1))
    count=$((count + $(grep -cE '^(WARNING|==[0-9]+==ERROR): ThreadSanitizer:' "$report" || true)))
done
if [ "$files" -gt 0 ]; then
    echo "== ThreadSanitizer output ($count report(s)) in $reports:"
    cat "$reports"/* | grep -oE '^(WARNING|==[0-9]+==ERROR): ThreadSanitizer: [A-Za-z -]+' |
        sed -E 's/^==[0-9]+==//' | sort | uniq -c | sort -rn
    echo "== their SUMMARY lines (the top frame of the first stack):"
    cat "$reports"/* | sed -n 's/^SUMMARY: ThreadSanitizer: //p' | sed "s|$root/||g" |
        sort | uniq -c | sort -rn | head -n 40
    echo "== per report, the extension's frame nearest the top of a stack (first stack that has one):"
    # Per report: the first frame that lies in the extension (its source
    # file under quorvane/global_var/src), counted over all reports.
    cat "$reports"/* | awk '
        /^WARNING: ThreadSanitizer:/ { inrep = 1; done = 0; next }
        inrep && !done && /^    #[0-9]+ / && /global_var\/src\// {
            sub(/^    #[0-9]+ /, ""); sub(/ \(.*$/, ""); print; done = 1 }
        /^SUMMARY: ThreadSanitizer/ { if (!done) print "(not in the extension) " $0; inrep = 0 }
    ' | sed "s|$root/||g" | sort | uniq -c | sort -rn | head -n 40
fi
echo "== tsan run: exit $rc$([ "$rc" -eq 66 ] && echo " (ThreadSanitizer's)")," \
     "$count ThreadSanitizer report(s) [$((SECONDS - start))s]"
[ "$rc" -eq 0 ] && [ "$files" -eq 0 ]

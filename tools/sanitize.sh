#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# for one interpreter and runs the whole test suite against that build.
#
#   tools/sanitize.sh TAG PYTHON [PYTEST_ARG...]
#
# Environment: CMAKE, NINJA, JOBS (as for build_one.sh); VENV_PYTHON, the
# interpreter that runs pytest (default build/venv-TAG/bin/python);
# QV_PUBLIC_API_ONLY=1 for the public-API-only build (in build/public-asan-TAG/).
#
# Layout under build/asan-TAG/: the CMake build, tree/ (a throw-away copy of
# the package with the sanitized extension in it, and of tests/, so that the
# suite's repository root is that copy and the source tree is never
# touched) and reports/ (what the sanitizers print, one file per process).
#
# The interpreter is the ordinary one, with the sanitizer runtimes preloaded
# and PYTHONMALLOC=malloc, so that Python objects come from malloc and a
# use of a freed object is seen by AddressSanitizer as well.  Leaks are left
# to the leak check (make leakcheck).  Fails when pytest fails or when any
# process of the run (child interpreters included) wrote a report.
set -euo pipefail

if [ "$#" -lt 2 ]; then
    echo "usage: $0 TAG PYTHON [PYTEST_ARG...]" >&2
    exit 2
fi
tag="$1"
python="$2"
shift 2

root="$(cd "$(dirname "$0")/.." && pwd)"
mode=() prefix=
if [ "${QV_PUBLIC_API_ONLY:-}" = 1 ]; then
    mode=(-DGLOBALS_PUBLIC_API_ONLY=ON) prefix=public-
fi
work="$root/build/${prefix}asan-$tag"
venv_python="${VENV_PYTHON:-$root/build/venv-$tag/bin/python}"
san_flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"

bash "$root/tools/build_one.sh" "$work/cmake" "$python" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_C_FLAGS=$san_flags" "-DCMAKE_CXX_FLAGS=$san_flags" \
    "-DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" ${mode[@]+"${mode[@]}"}
built="$(head -n1 "$work/cmake/extension-path.txt")"

tree="$work/tree"
reports="$work/reports"
rm -rf "$reports"
mkdir -p "$reports"
bash "$root/tools/package_tree.sh" "$built" "$tree"

preload="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
mismatch="$(head -n1 "$root/build/$prefix$tag-mismatch/extension-path.txt" 2>/dev/null || true)"

echo "== sanitized pytest $tag ($("$venv_python" -c 'import platform; print(platform.python_version())'))"
start=$SECONDS
set +e
(
    cd "$tree"
    env PYTHONPATH="$tree" PYTHONDONTWRITEBYTECODE=1 PYTHONMALLOC=malloc \
        LD_PRELOAD="$preload" \
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$reports/asan" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
        QV_MISMATCH_BUILD="$mismatch" \
        HYPOTHESIS_STORAGE_DIRECTORY="$work/hypothesis" \
        "$venv_python" -m pytest tests -q -p no:cacheprovider "$@"
)
rc=$?
set -e

found=0
for report in "$reports"/*; do
    [ -e "$report" ] || continue
    found=1
    echo "== sanitizer report $report"
    cat "$report"
done
echo "== sanitized run $tag: pytest exit $rc, $( [ "$found" = 1 ] && echo "SANITIZER REPORTS" || echo "no sanitizer reports") [$((SECONDS - start))s]"
[ "$rc" -eq 0 ] && [ "$found" -eq 0 ]

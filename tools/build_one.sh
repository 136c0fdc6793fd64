#!/usr/bin/env bash
# Configures (when needed) and builds the extension for one interpreter.
#
#   tools/build_one.sh [--copy-to DIR] BUILD_DIR PYTHON [CMAKE_ARG ...]
#
# Environment: CMAKE (cmake binary, default "cmake"), NINJA (ninja binary,
# "-" or empty to use Unix Makefiles), JOBS (parallel compile jobs).
#
# The build directory is configured once and reused; it is wiped and
# configured afresh when the configuration (cmake, generator, interpreter,
# extra arguments) differs from the one it was made with.  With --copy-to the
# built file is copied into DIR (only when it changed, replacing the old file
# rather than writing into it, so a process that has it loaded is unharmed).
# On success the built file's absolute path is the last line printed.
set -euo pipefail

copy_to=
if [ "${1:-}" = "--copy-to" ]; then
    copy_to="$2"
    shift 2
fi
if [ "$#" -lt 2 ]; then
    echo "usage: $0 [--copy-to DIR] BUILD_DIR PYTHON [CMAKE_ARG ...]" >&2
    exit 2
fi
build_dir="$1"
python="$2"
shift 2

src_dir="$(cd "$(dirname "$0")/.." && pwd)"
cmake="${CMAKE:-cmake}"
ninja="${NINJA:--}"
jobs="${JOBS:-$(nproc 2>/dev/null || echo 2)}"

gen_args=(-G "Unix Makefiles")
if [ -n "$ninja" ] && [ "$ninja" != "-" ]; then
    gen_args=(-G Ninja "-DCMAKE_MAKE_PROGRAM=$ninja")
fi
configure=("$cmake" -S "$src_dir" -B "$build_dir" "${gen_args[@]}"
           "-DPython_EXECUTABLE=$python" -DCMAKE_BUILD_TYPE=Release "$@")

stamp="$build_dir/.configured-with"
signature="$(printf '%q ' "${configure[@]}")"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$signature" ]; then
    rm -rf "$build_dir"
    mkdir -p "$build_dir"
    echo "== configure $build_dir ($python)"
    "${configure[@]}"
    printf '%s' "$signature" >"$stamp"
fi

echo "== build $build_dir"
"$cmake" --build "$build_dir" --parallel "$jobs"

built="$(head -n1 "$build_dir/extension-path.txt")"
if [ ! -f "$built" ]; then
    echo "build_one: $build_dir did not produce $built" >&2
    exit 1
fi
# The file name must carry the interpreter's own extension suffix: a CMake
# whose FindPython takes another ABI's headers (the free-threaded
# cpython-313t against cpython-313) would give a module the interpreter
# does not load, or worse, one built against the wrong object layout.  (A
# cross build, with a toolchain file, is for another platform's suffix.)
case " $* " in
    *" -DCMAKE_TOOLCHAIN_FILE="*) ;;
    *)
        suffix="$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
        case "$built" in
            *"$suffix") ;;
            *) echo "build_one: $built does not end in $python's extension suffix $suffix" >&2
               exit 1 ;;
        esac ;;
esac

if [ -n "$copy_to" ]; then
    dest="$copy_to/$(basename "$built")"
    if ! cmp -s "$built" "$dest"; then
        cp "$built" "$dest.tmp.$$"
        mv -f "$dest.tmp.$$" "$dest"
        echo "== copied to $dest"
    fi
fi
echo "$built"

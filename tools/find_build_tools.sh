#!/usr/bin/env bash
# Prints "CMAKE NINJA": the real paths of the first usable cmake (>= 3.18)
# and ninja on PATH, each "-" when there is none.
#
# Version-manager shims (pyenv's .../shims/cmake and the like) are passed
# over: they dispatch on whichever interpreter happens to be active, which is
# not something a build should depend on.  A cmake that is a wrapper script
# (pip's console scripts) is resolved to the binary it runs.
set -u

MIN_CMAKE=3.18

version_ge() {  # version_ge A B: A >= B (dotted numbers)
    [ "$(printf '%s\n%s\n' "$2" "$1" | sort -t. -k1,1n -k2,2n -k3,3n | sed -n 1p)" = "$2" ]
}

is_shim() {
    case "$1" in */shims/*) return 0 ;; esac
    return 1
}

cmake_path=-
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
printf 'message("${CMAKE_COMMAND}|${CMAKE_VERSION}")\n' >"$tmp/where.cmake"
while IFS= read -r c; do
    is_shim "$c" && continue
    out="$(timeout 30 "$c" -P "$tmp/where.cmake" 2>&1)" || continue
    real="${out%%|*}"
    ver="${out##*|}"
    [ -x "$real" ] || continue
    if version_ge "$ver" "$MIN_CMAKE"; then
        cmake_path="$real"
        break
    fi
done < <(type -ap cmake 2>/dev/null)

ninja_path=-
while IFS= read -r n; do
    is_shim "$n" && continue
    timeout 30 "$n" --version >/dev/null 2>&1 || continue
    ninja_path="$n"
    break
done < <(type -ap ninja ninja-build 2>/dev/null)

echo "$cmake_path $ninja_path"

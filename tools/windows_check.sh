#!/usr/bin/env bash
# Cross-compiles the extension for Windows x86-64 with MinGW-w64, once per
# interpreter version, from the same sources and CMake project, and checks
# what comes out.
#
#   tools/windows_check.sh WORK_DIR cpXY=/path/to/pythonX.Y ...
#
# Environment: CMAKE, NINJA, JOBS as for tools/build_one.sh; HOST_PYTHON runs
# the helper scripts (default: the last interpreter given).
#
# Installs g++-mingw-w64-x86-64-posix, binutils-mingw-w64-x86-64 and
# xz-utils with apt-get when they are missing (needs root).  Then, for each interpreter:
#
#  1. headers: WORK_DIR/cpXY/include/ is a copy of the interpreter's include
#     directory, except that pyconfig.h is CPython's Windows
#     PC/pyconfig.h, with the pythonXY.lib names of its #pragma comment(lib)
#     lines set for the version.  The Windows file comes from Debian's source
#     packages (fetch_pyconfigs below, kept in WORK_DIR/pyconfig/):
#     3.9.2's serves 3.7 to 3.10, 3.11.2's serves 3.11, and 3.13.5's
#     (PC/pyconfig.h.in) serves 3.12 to 3.15; only the files of the versions
#     being checked are fetched.  3.12 has no source package there; its
#     headers read ALIGNOF_MAX_ALIGN_T and the MS_WINDOWS_* API-partition
#     macros, which 3.13's file defines and 3.11's does not, and nothing that
#     only 3.13's file has (WITH_MIMALLOC, Py_GIL_DISABLED).  Neither have
#     3.14 and 3.15 (Debian serves no source package of them); of what
#     pyconfig.h may define, their public headers read only one thing that
#     3.13's headers do not, _Py_STACK_GROWS_DOWN, which pyport.h sets to 1
#     when pyconfig.h leaves it out (right for x86-64 Windows).  A newer
#     version has no file until its headers have been compared the same way.
#  2. import library: WORK_DIR/cpXY/pythonXY.def lists every name the headers
#     declare with PyAPI_FUNC / PyAPI_DATA (tools/windows_def.py), which is
#     what pythonXY.dll exports; dlltool makes libpythonXY.dll.a from it.
#  3. build: tools/build_one.sh with cmake/mingw-w64-x86_64.cmake, warnings
#     as errors, in WORK_DIR/cpXY/cmake/ (log: WORK_DIR/cpXY/build.log); the
#     module is copied to WORK_DIR/out/globals.cpXY-win_amd64.pyd.
#  4. probes, with the compile command CMake wrote for a module source: the
#     Windows pyconfig.h is the one included and Py_ssize_t is 64 bits wide
#     (and, where pyconfig.h leaves MS_WIN64 to MSVC, is not without
#     -DMS_WIN64, so the probe can tell); a DLL calling
#     an exported function links against the import library, and the same
#     DLL calling a name the headers do not export fails to link.
#  5. the module's PE headers (objdump -p): it exports exactly PyInit_globals
#     and imports from pythonXY.dll, KERNEL32.dll and the C runtime
#     (msvcrt.dll, api-ms-win-crt-*.dll) only.
#
# Every interpreter is checked even when an earlier one fails; one summary
# line each follows, and the exit status is non-zero if any check failed.
set -uo pipefail

if [ "$#" -lt 2 ]; then
    echo "usage: $0 WORK_DIR cpXY=/path/to/python ..." >&2
    exit 2
fi
work="$1"
shift
interpreters=("$@")

root="$(cd "$(dirname "$0")/.." && pwd)"
host_python="${HOST_PYTHON:-${interpreters[-1]#*=}}"
triple=x86_64-w64-mingw32
toolchain_file="$root/cmake/mingw-w64-x86_64.cmake"
started=$SECONDS

die() {
    echo "windows-check: $*" >&2
    exit 1
}

# --- toolchain ---------------------------------------------------------------
ensure_toolchain() {
    local need=()
    command -v "$triple-g++-posix" >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64-posix)
    if ! command -v "$triple-dlltool" >/dev/null 2>&1 ||
        ! command -v "$triple-objdump" >/dev/null 2>&1; then
        need+=(binutils-mingw-w64-x86-64)
    fi
    # tar needs xz for the source tarballs of the Windows pyconfig.h.
    command -v xz >/dev/null 2>&1 || need+=(xz-utils)
    [ "${#need[@]}" -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        die "the MinGW-w64 toolchain is missing; as root: apt-get install ${need[*]}"
    fi
    echo "== installing ${need[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${need[@]}" >/dev/null ||
        die "apt-get install ${need[*]} failed"
}

# --- CPython's Windows pyconfig.h ----------------------------------------------
# Source package, suite and the file inside the upstream tarball, per minor
# version whose file is used.
pyconfig_sources=(
    "3.9 python3.9 bullseye PC/pyconfig.h"
    "3.11 python3.11 bookworm PC/pyconfig.h"
    "3.13 python3.13 trixie PC/pyconfig.h.in"
)

# Downloads the source packages of the pyconfig.h files that the versions
# being checked use (FROM... below: 3.9, 3.11, 3.13) with apt-get source,
# through a private sources list, state and cache under WORK_DIR/pyconfig/apt/
# (the machine's own apt lists and sources stay as they are), and keeps only
# the pyconfig.h of each.  Runs only when one of those files is missing.
fetch_pyconfigs() {  # fetch_pyconfigs FROM...
    local dir="$work/pyconfig" entry v pkg suite member wanted=()
    for entry in "${pyconfig_sources[@]}"; do
        read -r v pkg suite member <<<"$entry"
        [[ " $* " == *" $v "* ]] && [ ! -s "$dir/$v/pyconfig.h" ] && wanted+=("$entry")
    done
    [ "${#wanted[@]}" -eq 0 ] && return 0

    # The Debian archive the machine's apt configuration uses, with the
    # archive's keyring when there is one.
    local uri signed=- apt_dir
    uri="$(bash "$root/tools/debian_mirror.sh")" ||
        die "no Debian archive found in /etc/apt/sources.list{,.d} (set QV_DEBIAN_MIRROR)"
    [ -f /usr/share/keyrings/debian-archive-keyring.gpg ] &&
        signed=/usr/share/keyrings/debian-archive-keyring.gpg
    echo "== fetching CPython's Windows pyconfig.h from Debian source packages ($uri)"
    apt_dir="$work/pyconfig/apt"
    rm -rf "$apt_dir"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/download"
    local option=""
    [ "$signed" != "-" ] && option="[signed-by=$signed] "
    for entry in "${wanted[@]}"; do
        read -r v pkg suite member <<<"$entry"
        echo "deb-src $option$uri $suite main"
    done >"$apt_dir/sources.list"
    # Network settings and the like still come from /etc/apt/apt.conf.d; the
    # hooks that tell the machine's package tools about a refreshed cache do
    # not run for this private one.
    cat >"$apt_dir/apt.conf" <<EOF
Dir::Etc::SourceList "$apt_dir/sources.list";
Dir::Etc::SourceParts "/dev/null";
Dir::State::Lists "$apt_dir/lists";
Dir::Cache "$apt_dir/cache";
APT::Sandbox::User "$(id -un)";
Acquire::Languages "none";
#clear APT::Update::Pre-Invoke;
#clear APT::Update::Post-Invoke;
#clear APT::Update::Post-Invoke-Success;
EOF
    local apt_args=(-c "$apt_dir/apt.conf" -qq)
    apt-get "${apt_args[@]}" update || die "apt-get update (private source lists in $apt_dir) failed"
    local specs=()
    for entry in "${wanted[@]}"; do
        read -r v pkg suite member <<<"$entry"
        specs+=("$pkg/$suite")
    done
    (cd "$apt_dir/download" && apt-get "${apt_args[@]}" source --download-only "${specs[@]}") ||
        die "apt-get source --download-only ${specs[*]} failed"

    local tarball version
    for entry in "${wanted[@]}"; do
        read -r v pkg suite member <<<"$entry"
        tarball="$(ls "$apt_dir/download/${pkg}_"*.orig.tar.* 2>/dev/null | grep -v '\.asc$' | sed -n 1p)"
        [ -n "$tarball" ] || die "no upstream tarball of $pkg was downloaded"
        version="$(basename "$tarball")"
        version="${version#"${pkg}_"}"
        version="${version%%.orig.tar.*}"
        rm -rf "$apt_dir/extract"
        mkdir -p "$apt_dir/extract" "$dir/$v"
        tar -xf "$tarball" -C "$apt_dir/extract" --wildcards "*/$member" ||
            die "$member not found in $(basename "$tarball")"
        cp "$(find "$apt_dir/extract" -path "*/$member" -type f | sed -n 1p)" "$dir/$v/pyconfig.h.tmp"
        mv -f "$dir/$v/pyconfig.h.tmp" "$dir/$v/pyconfig.h"
        echo "$pkg $version ($suite) $member" >"$dir/$v/SOURCE"
        echo "   $v: $(cat "$dir/$v/SOURCE")"
    done
    # Only the extracted files are kept (the tarballs and indexes are ~100 MB).
    rm -rf "$apt_dir"
}

# The minor version whose Windows pyconfig.h serves minor version $1.
pyconfig_for() {
    case "$1" in
        7 | 8 | 9 | 10) echo 3.9 ;;
        11) echo 3.11 ;;
        12 | 13 | 14 | 15) echo 3.13 ;;
        *) return 1 ;;
    esac
}

# --- one interpreter ---------------------------------------------------------
# The compile command CMake wrote for a C++ source of the module, without its
# -o and -c arguments, NUL-separated.
module_compile_command() {
    "$host_python" - "$1" <<'EOF'
import json, shlex, sys
for entry in json.load(open(sys.argv[1])):
    if entry["file"].endswith(".cpp"):
        args = entry.get("arguments") or shlex.split(entry["command"])
        out, skip = [], False
        for a in args:
            if skip:
                skip = False
            elif a in ("-o", "-c"):
                skip = True
            else:
                out.append(a)
        sys.stdout.write("\0".join(out))
        break
else:
    sys.exit("no C++ source in " + sys.argv[1])
EOF
}

check_one() {
    local tag="$1" python="$2"
    local minor="${tag#cp3}"
    local dir="$work/$tag" dll="python3${minor}.dll"
    local summary="$dir/summary"
    fail() {
        echo "windows-check: $tag: $*" >&2
        echo "FAILED: $*" >"$summary"
        exit 1
    }
    mkdir -p "$dir"
    rm -f "$summary"

    # 1. headers
    local from include
    from="$(pyconfig_for "$minor")" || fail "no Windows pyconfig.h known for 3.$minor"
    include="$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" ||
        fail "$python does not run"
    [ -f "$include/Python.h" ] || fail "no Python.h in $include"
    # Copies, not links: GCC gives a system header that is a link the path of
    # its target when that path is shorter, and Python.h's "pyconfig.h" would
    # then be the one beside the target.  Files are copied only when they
    # changed, with their times, so that an unchanged build stays up to date.
    mkdir -p "$dir/include"
    local entry name
    for entry in "$dir/include"/*; do
        name="$(basename "$entry")"
        [ "$name" = pyconfig.h ] && continue
        if [ -L "$entry" ] || [ ! -e "$include/$name" ]; then
            rm -rf "$entry"
        fi
    done
    for entry in "$include"/*; do
        [ "$(basename "$entry")" = pyconfig.h ] ||
            cp -RL --preserve=timestamps -u "$entry" "$dir/include/" || fail "copying $entry failed"
    done
    sed -E "/pragma[[:space:]]+comment[[:space:]]*\(lib/ s/python3[0-9]+(t?)(_d)?\.lib/python3${minor}\1\2.lib/g" \
        "$work/pyconfig/$from/pyconfig.h" >"$dir/include/pyconfig.h.new"
    if cmp -s "$dir/include/pyconfig.h.new" "$dir/include/pyconfig.h"; then
        rm -f "$dir/include/pyconfig.h.new"
    else
        mv -f "$dir/include/pyconfig.h.new" "$dir/include/pyconfig.h"
    fi
    grep -q "pragma comment(lib,\"python3${minor}.lib\")" "$dir/include/pyconfig.h" &&
        grep -q "pragma comment(lib,\"python3${minor}_d.lib\")" "$dir/include/pyconfig.h" &&
        ! grep -E 'pragma comment.*python3[0-9]+' "$dir/include/pyconfig.h" | grep -qv "python3${minor}" ||
        fail "the #pragma comment(lib) lines of $dir/include/pyconfig.h do not all name python3${minor}"
    echo "   headers: $include, pyconfig.h from $(cat "$work/pyconfig/$from/SOURCE")"

    # 2. import library
    local def="$dir/python3${minor}.def" implib="$dir/libpython3${minor}.dll.a"
    "$host_python" "$root/tools/windows_def.py" "$dir/include" "$dll" "$def" | sed 's/^/   /' ||
        fail "writing $def failed"
    if [ ! -f "$implib" ] || [ "$def" -nt "$implib" ]; then
        rm -f "$implib"
        "$triple-dlltool" --input-def "$def" --dllname "$dll" --output-lib "$implib" ||
            fail "dlltool could not make $implib"
    fi

    # 3. build
    local built=""
    # The toolchain file's flags reach only a fresh configuration.
    if [ "$toolchain_file" -nt "$dir/cmake/.configured-with" ]; then
        rm -rf "$dir/cmake"
    fi
    echo "   building in $dir/cmake (log: $dir/build.log)"
    if bash "$root/tools/build_one.sh" "$dir/cmake" "$python" \
        "-DCMAKE_TOOLCHAIN_FILE=$toolchain_file" \
        "-DPython_INCLUDE_DIR=$dir/include" "-DPython_LIBRARY=$implib" \
        -DGLOBALS_WERROR=ON >"$dir/build.log" 2>&1; then
        built="$(tail -n1 "$dir/build.log")"
    else
        echo "---- $dir/build.log" >&2
        cat "$dir/build.log" >&2
        echo "----" >&2
    fi

    # 4. probes (they need only the configured build)
    local probe="$dir/probe" cmd=()
    [ -f "$dir/cmake/compile_commands.json" ] ||
        fail "the build was not configured (see $dir/build.log)"
    rm -rf "$probe"
    mkdir -p "$probe"
    mapfile -d '' cmd < <(module_compile_command "$dir/cmake/compile_commands.json")
    [ "${#cmd[@]}" -gt 0 ] || fail "no compile command in $dir/cmake/compile_commands.json"
    local without_win64=()
    for entry in "${cmd[@]}"; do
        [ "$entry" = -DMS_WIN64 ] || without_win64+=("$entry")
    done
    [ "${#without_win64[@]}" -lt "${#cmd[@]}" ] ||
        fail "the module is compiled without -DMS_WIN64: ${cmd[*]}"
    cat >"$probe/layout.cpp" <<'EOF'
#include <Python.h>
#if !defined(MS_WINDOWS) || defined(Py_PYCONFIG_H)
#error "pyconfig.h is not CPython's Windows one"
#endif
#if !defined(MS_WIN64) || SIZEOF_SIZE_T != 8 || SIZEOF_VOID_P != 8
#error "pyconfig.h describes 32-bit Windows"
#endif
typedef char qv_py_ssize_t_is_64_bits[sizeof(Py_ssize_t) == 8 ? 1 : -1];
typedef char qv_pointers_are_64_bits[sizeof(void*) == 8 ? 1 : -1];
EOF
    "${cmd[@]}" -fsyntax-only "$probe/layout.cpp" >"$probe/layout.log" 2>&1 ||
        { cat "$probe/layout.log" >&2; fail "the header probe failed with the module's own compile command"; }
    # Without -DMS_WIN64 the probe must fail on the layout, unless pyconfig.h
    # defines MS_WIN64 for MinGW itself (3.13's file does).
    local layout_note="32-bit without -DMS_WIN64"
    if "${without_win64[@]}" -fsyntax-only "$probe/layout.cpp" >"$probe/layout-no-win64.log" 2>&1; then
        grep -q '__MINGW32__' "$dir/include/pyconfig.h" ||
            fail "the header probe passes even without -DMS_WIN64, so it proves nothing"
        layout_note="pyconfig.h sets MS_WIN64 for MinGW itself"
    elif ! grep -q 'describes 32-bit Windows' "$probe/layout-no-win64.log"; then
        cat "$probe/layout-no-win64.log" >&2
        fail "the header probe without -DMS_WIN64 failed for another reason than the layout"
    fi

    cat >"$probe/link.cpp" <<'EOF'
#include <Python.h>
#ifdef QV_PROBE_UNEXPORTED
extern "C" PyAPI_FUNC(void) QvProbe_NotExportedByPython(void);
#endif
extern "C" __declspec(dllexport) int qv_probe(void)
{
#ifdef QV_PROBE_UNEXPORTED
    QvProbe_NotExportedByPython();
#endif
    Py_IncRef(Py_None);
    return PyExc_TypeError != NULL;
}
EOF
    local link_flags=(-shared -static -static-libgcc -static-libstdc++)
    "${cmd[@]}" -c "$probe/link.cpp" -o "$probe/good.obj" >"$probe/link.log" 2>&1 &&
        "${cmd[0]}" "${link_flags[@]}" -o "$probe/good.pyd" "$probe/good.obj" "$implib" >>"$probe/link.log" 2>&1 ||
        { cat "$probe/link.log" >&2; fail "a DLL calling only exported functions does not link"; }
    "${cmd[@]}" -DQV_PROBE_UNEXPORTED -c "$probe/link.cpp" -o "$probe/bad.obj" >"$probe/bad-link.log" 2>&1 ||
        { cat "$probe/bad-link.log" >&2; fail "the link probe does not compile"; }
    if "${cmd[0]}" "${link_flags[@]}" -o "$probe/bad.pyd" "$probe/bad.obj" "$implib" >>"$probe/bad-link.log" 2>&1; then
        fail "a DLL calling a function python3${minor}.dll does not export links all the same"
    fi
    grep -q "undefined reference to \`__imp_QvProbe_NotExportedByPython'" "$probe/bad-link.log" ||
        { cat "$probe/bad-link.log" >&2; fail "the link probe failed for another reason than the unexported name"; }
    echo "   probes: Windows pyconfig.h, 64-bit Py_ssize_t ($layout_note); unexported name fails to link"

    [ -n "$built" ] && [ -f "$built" ] || fail "the build failed (see above)"

    # 5. the module's PE headers
    local out="$work/out/globals.${tag}-win_amd64.pyd" pe="$dir/objdump.txt"
    mkdir -p "$work/out"
    cp "$built" "$out.tmp" && mv -f "$out.tmp" "$out"
    "$triple-objdump" -p "$out" >"$pe" || fail "objdump -p $out failed"
    grep -q 'file format pei-x86-64' "$pe" || fail "$out is not a PE32+ x86-64 file"
    local exports imports python_names bad=()
    # (Newer objdump releases head the table's rows with a line of column
    # names.)
    exports="$(awk '/^\[(Ordinal\/Name Pointer|Name Pointer\/Ordinal)\] Table/ { f = 1; next }
                    f && /^\t\[ *[0-9]+\]/ { print $NF; next }
                    f && /^\t +Ordinal +Hint +Name *$/ { next }
                    f { f = 0 }' "$pe" | sort | tr '\n' ' ' | sed 's/ $//')"
    imports="$(sed -n 's/^\tDLL Name: //p' "$pe")"
    [ "$exports" = PyInit_globals ] ||
        fail "exports '${exports:-nothing}', expected exactly PyInit_globals"
    grep -qx "$dll" <<<"$imports" || fail "does not import from $dll"
    while IFS= read -r entry; do
        case "$(tr '[:upper:]' '[:lower:]' <<<"$entry")" in
            "$dll" | kernel32.dll | msvcrt.dll | api-ms-win-crt-*.dll) ;;
            *) bad+=("$entry") ;;
        esac
    done <<<"$imports"
    [ "${#bad[@]}" -eq 0 ] ||
        fail "imports from ${bad[*]}: only $dll, KERNEL32.dll and the C runtime are allowed"
    python_names="$(awk -v dll="$dll" '$0 == "\tDLL Name: " dll { f = 1; next }
                                       f && /^\t[0-9a-f]+[\t ]/ { n++ } f && /^$/ { f = 0 }
                                       END { print n + 0 }' "$pe")"
    printf '%s  %s KiB  exports: %s  imports: %s\n' "$(basename "$out")" \
        "$(($(stat -c %s "$out") / 1024))" "$exports" \
        "$( (echo "$dll ($python_names names)"; grep -vx "$dll" <<<"$imports") | paste -sd, | sed 's/,/, /g')" \
        >"$summary"
}

# --- main --------------------------------------------------------------------
ensure_toolchain
mkdir -p "$work"
needed=()
for i in "${interpreters[@]}"; do
    tag="${i%%=*}"
    case "$tag" in *t) continue ;; esac
    from="$(pyconfig_for "${tag#cp3}")" && needed+=("$from")
done
fetch_pyconfigs ${needed[@]+"${needed[@]}"}
echo "== toolchain: $("$triple-g++-posix" --version | sed -n 1p), $("$triple-dlltool" --version | sed -n 1p)"

failed=0
tags=()
for i in "${interpreters[@]}"; do
    tag="${i%%=*}"
    python="${i#*=}"
    case "$tag" in
        *t)  # free-threaded: no Windows build of it is made or shipped
            echo "== windows $tag: skipped (free-threaded)"
            continue ;;
    esac
    tags+=("$tag")
    echo "== windows $tag ($python)"
    t0=$SECONDS
    if (check_one "$tag" "$python"); then
        echo "   ok [$((SECONDS - t0))s]"
    else
        failed=1
    fi
done

echo "== windows-check summary ($((SECONDS - started))s; modules in $work/out)"
for tag in "${tags[@]}"; do
    printf '%-6s %s\n' "$tag" "$(cat "$work/$tag/summary" 2>/dev/null || echo "FAILED")"
done
if [ "$failed" -ne 0 ]; then
    echo "windows-check: FAILED" >&2
    exit 1
fi

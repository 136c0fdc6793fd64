#!/usr/bin/env bash
# Builds the free-threaded CPython 3.13 (python3.13t, configured with
# --disable-gil) once and keeps it outside the source tree, where `make`
# finds it beside the other interpreters.
#
#   tools/build_freethreaded_python.sh           the interpreter for make/make test
#   tools/build_freethreaded_python.sh --tsan    the same CPython built with
#                                                ThreadSanitizer (for make tsan)
#
# Where it goes: $PYENV_ROOT/versions/3.13.5t (default ~/.pyenv/versions), or
# .../3.13.5t-tsan with --tsan; QV_FT_PREFIX overrides the directory.  The
# source is Debian's python3.13 source package (its .orig.tar.xz is the
# upstream release), fetched once with apt-get through a private sources list
# and state directory under $QV_CPYTHON_CACHE (default
# ~/.cache/qv-cpython), which also holds the build tree while it is built.
# The archive URI is the one the machine's apt configuration uses for its
# Debian packages (QV_DEBIAN_MIRROR overrides it); the download touches
# neither the machine's apt configuration nor its package lists.
#
# The libraries the standard library modules need (ssl, ctypes, zlib, lzma,
# bz2, sqlite3, readline, ...) are installed with apt-get when their -dev
# packages are missing (this needs root; the script says which are missing
# otherwise).
#
# Idempotent: the install is made under a staging directory, checked, and
# only then moved into place with a stamp file recording how it was built,
# so an interrupted build leaves nothing that looks finished.  A second run
# finds the stamp and a working interpreter and exits at once.  Two runs at
# the same time wait for each other (flock).  A directory at the destination
# without the stamp was not made here: the script stops rather than replace
# it.
#
# Environment: JOBS (compile jobs, default: cores), PYENV_ROOT,
# QV_FT_PREFIX, QV_CPYTHON_CACHE, QV_DEBIAN_MIRROR.
# The interpreter's path is the last line printed.
set -euo pipefail

CPYTHON_VERSION=3.13.5
DEBIAN_SOURCE=python3.13
DEBIAN_SUITE=trixie

variant=ft
case "${1:-}" in
    '') ;;
    --tsan) variant=tsan ;;
    *) echo "usage: $0 [--tsan]" >&2; exit 2 ;;
esac

root="$(cd "$(dirname "$0")/.." && pwd)"
home="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
pyenv_root="${PYENV_ROOT:-$home/.pyenv}"
cache="${QV_CPYTHON_CACHE:-${XDG_CACHE_HOME:-$home/.cache}/qv-cpython}"
jobs="${JOBS:-$(nproc 2>/dev/null || echo 2)}"

configure_args=(--disable-gil)
if [ "$variant" = tsan ]; then
    # CPython's own ThreadSanitizer switch: -fsanitize=thread for the
    # interpreter and everything built with its flags.  No --with-pydebug:
    # the suite is slow enough under TSan with an optimised interpreter.
    configure_args+=(--with-thread-sanitizer)
    default_prefix="$pyenv_root/versions/${CPYTHON_VERSION}t-tsan"
else
    default_prefix="$pyenv_root/versions/${CPYTHON_VERSION}t"
fi
prefix="${QV_FT_PREFIX:-$default_prefix}"
python="$prefix/bin/python3.13t"
stamp="$prefix/.qv-built"
want="CPython $CPYTHON_VERSION ($DEBIAN_SOURCE from Debian $DEBIAN_SUITE)
configure: ${configure_args[*]} --prefix=$prefix"

finished() {
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] &&
        "$python" -I -c 'import sys, sysconfig
sys.exit(sysconfig.get_config_var("Py_GIL_DISABLED") != 1)' >/dev/null 2>&1
}

if finished; then
    echo "== $python is built ($CPYTHON_VERSION, ${configure_args[*]})"
    echo "$python"
    exit 0
fi
# Whatever this script leaves at $prefix carries its stamp; a directory
# without one is someone else's (pyenv's own 3.13.5t, say) and stays.
if [ -e "$prefix" ] && [ ! -f "$stamp" ]; then
    echo "build_freethreaded_python: $prefix exists and was not made by this script;" \
         "remove it or set QV_FT_PREFIX to another directory" >&2
    exit 1
fi

mkdir -p "$cache"
exec 9>"$cache/build-$variant.lock"
if command -v flock >/dev/null && ! flock -n 9; then
    echo "== another build of $prefix is running; waiting for it"
    flock 9
    if finished; then
        echo "$python"
        exit 0
    fi
fi

started=$SECONDS
say() { echo "== $* ($((SECONDS - started))s)"; }

# --- build dependencies: the -dev packages of the libraries behind the
# standard library modules that pip, venv and pytest use (ssl and hashlib,
# ctypes, zlib, lzma, bz2, sqlite3, readline, curses, dbm, uuid), the
# compiler and make.  Tk is left out: nothing here uses tkinter.
deps=(gcc make pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev
      liblzma-dev libbz2-dev libsqlite3-dev libreadline-dev libncurses-dev
      libgdbm-dev uuid-dev)
missing=()
for p in "${deps[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "build_freethreaded_python: missing packages ${missing[*]}; install them" \
             "(apt-get install ${missing[*]}) or run this as root" >&2
        exit 1
    fi
    say "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# --- the source: Debian's source package, downloaded once.
tarball="$cache/${DEBIAN_SOURCE}_${CPYTHON_VERSION}.orig.tar.xz"

if [ ! -f "$tarball" ]; then
    # The archive the machine's apt configuration uses (or QV_DEBIAN_MIRROR).
    if ! mirror="$(bash "$root/tools/debian_mirror.sh")"; then
        echo "build_freethreaded_python: no Debian archive found in /etc/apt/sources.list*;" \
             "set QV_DEBIAN_MIRROR (e.g. http://deb.debian.org/debian)" >&2
        exit 1
    fi
    say "fetching $DEBIAN_SOURCE source from $mirror ($DEBIAN_SUITE)"
    apt_dir="$cache/apt"
    rm -rf "$apt_dir"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/download"
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    signed_by=""
    [ -f "$keyring" ] && signed_by="[signed-by=$keyring] "
    echo "deb-src $signed_by$mirror $DEBIAN_SUITE main" >"$apt_dir/sources.list"
    apt_opts=(-q -o "Dir::Etc::SourceList=$apt_dir/sources.list"
              -o Dir::Etc::SourceParts=/dev/null
              -o "Dir::State::Lists=$apt_dir/lists"
              -o "Dir::State::Status=/dev/null"
              -o "Dir::Cache=$apt_dir/cache"
              -o "Dir::Cache::archives=$apt_dir/cache/archives"
              -o Debug::NoLocking=1)
    # apt hands downloads to its unprivileged user; these directories are
    # private to this script, so it downloads as the caller instead.
    [ "$(id -u)" -eq 0 ] && apt_opts+=(-o APT::Sandbox::User=root)
    apt-get "${apt_opts[@]}" update >"$apt_dir/update.log" 2>&1 || {
        cat "$apt_dir/update.log" >&2
        exit 1
    }
    # Exactly this upstream release: a different one would give the install
    # another name than the one asked for.
    version="$(apt-cache "${apt_opts[@]}" showsrc "$DEBIAN_SOURCE" 2>/dev/null |
               sed -n 's/^Version: //p' | sed -n 1p)"
    case "$version" in
        "$CPYTHON_VERSION"-*) ;;
        *) echo "build_freethreaded_python: Debian $DEBIAN_SUITE has $DEBIAN_SOURCE" \
                "'${version:-none}', expected $CPYTHON_VERSION-*" >&2
           exit 1 ;;
    esac
    (cd "$apt_dir/download" &&
        apt-get "${apt_opts[@]}" source --download-only "$DEBIAN_SOURCE=$version")
    mv "$apt_dir/download/$(basename "$tarball")" "$tarball"
    rm -rf "$apt_dir"
fi

# --- configure, build, install into a staging directory.
work="$cache/build-$variant"
# Beside the final directory (same file system, so the last step is a
# rename); the leading dot keeps it out of every interpreter search.
stage="$(dirname "$prefix")/.stage-$(basename "$prefix")"
rm -rf "$work" "$stage"
mkdir -p "$work" "$(dirname "$prefix")"
say "unpacking $(basename "$tarball")"
tar -xJf "$tarball" -C "$work" --strip-components=1

cd "$work"
say "configure ${configure_args[*]} --prefix=$prefix"
./configure "${configure_args[@]}" --prefix="$prefix" >configure.log 2>&1 || {
    tail -n 40 configure.log >&2
    exit 1
}
say "make -j$jobs"
make -j"$jobs" >make.log 2>&1 || {
    tail -n 60 make.log >&2
    exit 1
}
# The modules CPython could not build for lack of a library are listed by
# make itself; say so, the check below decides.
sed -n '/necessary bits to build these optional modules were not found/,/^$/p;
        /Following modules built successfully but were removed/,/^$/p;
        /Failed to build these modules/,/^$/p' make.log
say "make install (staged)"
make install DESTDIR="$stage" >install.log 2>&1 || {
    tail -n 60 install.log >&2
    exit 1
}

staged="$stage$prefix"
# pyenv's layout: bin/python is the interpreter.
[ -e "$staged/bin/python" ] || ln -s python3.13t "$staged/bin/python"

# Check the staged interpreter (it finds its standard library next to
# itself): free-threaded, and the modules pip, venv and pytest need.
say "checking the staged interpreter"
"$staged/bin/python3.13t" -I -c '
import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
assert not sys._is_gil_enabled(), "GIL enabled"
import ssl, hashlib, ctypes, zlib, lzma, bz2, sqlite3, readline, venv, ensurepip
import _ctypes, _decimal, _uuid, pyexpat, curses, dbm.gnu
hashlib.sha256(b"x"); ctypes.CDLL(None)
print(sys.version.replace("\n", " "), "|", sysconfig.get_config_var("EXT_SUFFIX"),
      "|", ssl.OPENSSL_VERSION)
'

printf '%s' "$want" >"$staged/.qv-built"
rm -rf "$prefix"
mv "$staged" "$prefix"
cd /
rm -rf "$work" "$stage"
finished || { echo "build_freethreaded_python: $python does not run after the move" >&2; exit 1; }
say "installed $prefix"
echo "$python"

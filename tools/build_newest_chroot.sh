#!/usr/bin/env bash
# Makes, once, a Debian unstable (sid) chroot that holds the newest CPython
# releases Debian has, 3.14 and 3.15, with their development headers, venv
# support and debug interpreters, and the build tools `make` uses (g++, make,
# cmake, ninja) plus valgrind.  tools/in_newest_chroot.sh runs commands in it
# (make test-newest does); this script only makes it.
#
#   tools/build_newest_chroot.sh        make it if it is not there; the
#                                       chroot's path is the last line printed
#   tools/build_newest_chroot.sh --path only print where it is (or would be)
#
# Where it goes: $QV_NEWEST_CHROOT, default ~/.cache/qv-newest/sid (under
# $XDG_CACHE_HOME when set), outside any source tree.  It is made with
#   debootstrap --variant=minbase --include=PACKAGES sid DIR MIRROR
# where MIRROR is the Debian archive the machine's apt configuration uses
# (tools/debian_mirror.sh; QV_DEBIAN_MIRROR overrides it).  Needs root;
# debootstrap is installed with apt-get when missing.  About a minute and
# 600 MB.
#
# Inside, apt is told not to check the suite's Valid-Until date (the
# archive's copy of sid may be older than its validity window), so that
# `apt-get install` works there too.  The machine's CA bundle and pip
# configuration are copied in by tools/in_newest_chroot.sh on every run.
#
# Idempotent: debootstrap works in a staging directory that is checked (every
# interpreter runs, with venv and ensurepip) and only then renamed into
# place, with a stamp file that lists the packages asked for.  A second run
# finds the stamp and returns at once; when the list below has grown since,
# the missing packages are installed into the existing chroot.  Two runs at
# the same time wait for each other (flock).  A directory at the
# destination without the stamp was not made here: the script stops rather
# than replace it.
set -euo pipefail

# The interpreters the chroot is for; make test-newest tests these.
PYTHON_VERSIONS=(3.14 3.15)
packages=(g++ make cmake ninja-build valgrind)
for v in "${PYTHON_VERSIONS[@]}"; do
    packages+=("python$v-dev" "python$v-venv" "python$v-dbg")
done

root="$(cd "$(dirname "$0")/.." && pwd)"
home="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
chroot_dir="${QV_NEWEST_CHROOT:-${XDG_CACHE_HOME:-$home/.cache}/qv-newest/sid}"
chroot_dir="${chroot_dir%/}"
if [ "${1:-}" = "--path" ]; then
    echo "$chroot_dir"
    exit 0
fi
stamp="$chroot_dir/.qv-built"
want="Debian sid (debootstrap --variant=minbase)
packages: ${packages[*]}"

# The chroot answers for what make test-newest needs from it.
works() {  # works DIR
    local v
    for v in "${PYTHON_VERSIONS[@]}"; do
        chroot "$1" "python$v" -I -c 'import venv, ensurepip, sysconfig, os
assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' ||
            return 1
        chroot "$1" "python$v-dbg" -I -c 'import sys; assert hasattr(sys, "gettotalrefcount")' ||
            return 1
    done
    chroot "$1" g++ --version >/dev/null && chroot "$1" cmake --version >/dev/null
}

finished() {
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] && works "$chroot_dir" >/dev/null 2>&1
}

if finished; then
    echo "== $chroot_dir is made (Debian sid: ${PYTHON_VERSIONS[*]})"
    echo "$chroot_dir"
    exit 0
fi
if [ -e "$chroot_dir" ] && [ ! -f "$stamp" ]; then
    echo "build_newest_chroot: $chroot_dir exists and was not made by this script;" \
         "remove it or set QV_NEWEST_CHROOT to another directory" >&2
    exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "build_newest_chroot: making or changing $chroot_dir needs root" >&2
    exit 1
fi

mkdir -p "$(dirname "$chroot_dir")"
exec 9>"$chroot_dir.lock"
if ! flock -n 9; then
    echo "== another run is making $chroot_dir; waiting for it"
    flock 9
fi
if finished; then
    echo "$chroot_dir"
    exit 0
fi

started=$SECONDS
say() { echo "== $* ($((SECONDS - started))s)"; }
export DEBIAN_FRONTEND=noninteractive

# Whatever a killed debootstrap left mounted below DIR is unmounted before
# DIR is removed (deepest first).
unmount_below() {
    local m
    for m in $(awk -v d="$1" '$2 == d || index($2, d "/") == 1 { print $2 }' /proc/mounts | sort -r); do
        umount -l "$m" || true
    done
}

if [ -f "$stamp" ]; then
    # Made here, but for a shorter package list (or it no longer works):
    # bring it up to date in place.
    say "installing ${packages[*]} into $chroot_dir"
    apt_opts=(-q -o Acquire::Check-Valid-Until=false)
    chroot "$chroot_dir" apt-get "${apt_opts[@]}" update
    chroot "$chroot_dir" apt-get "${apt_opts[@]}" install -y --no-install-recommends "${packages[@]}"
    works "$chroot_dir" || { echo "build_newest_chroot: $chroot_dir does not work" >&2; exit 1; }
    printf '%s' "$want" >"$stamp"
    say "updated $chroot_dir"
    echo "$chroot_dir"
    exit 0
fi

if ! command -v debootstrap >/dev/null 2>&1; then
    say "installing debootstrap"
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends debootstrap
fi
if ! mirror="$(bash "$root/tools/debian_mirror.sh")"; then
    echo "build_newest_chroot: no Debian archive found in /etc/apt/sources.list*;" \
         "set QV_DEBIAN_MIRROR (e.g. http://deb.debian.org/debian)" >&2
    exit 1
fi

# Beside the final directory, so that the last step is a rename.
stage="$(dirname "$chroot_dir")/.stage-$(basename "$chroot_dir")"
unmount_below "$stage"
rm -rf --one-file-system "$stage"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
keyring_args=()
[ -f "$keyring" ] && keyring_args=("--keyring=$keyring")
say "debootstrap sid from $mirror into $stage"
log="$(dirname "$chroot_dir")/debootstrap.log"
if ! debootstrap --variant=minbase "--include=$(IFS=,; echo "${packages[*]}")" \
        ${keyring_args[@]+"${keyring_args[@]}"} sid "$stage" "$mirror" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    [ -f "$stage/debootstrap/debootstrap.log" ] && tail -n 40 "$stage/debootstrap/debootstrap.log" >&2
    unmount_below "$stage"
    echo "build_newest_chroot: debootstrap failed (log: $log)" >&2
    exit 1
fi
unmount_below "$stage"

cat >"$stage/etc/apt/apt.conf.d/99qv-no-valid-until" <<'EOF'
// The archive's copy of sid may be older than its Release file's Valid-Until.
Acquire::Check-Valid-Until "false";
EOF

say "checking the interpreters"
works "$stage" || { echo "build_newest_chroot: the new chroot $stage does not work" >&2; exit 1; }
for v in "${PYTHON_VERSIONS[@]}"; do
    echo "   $(chroot "$stage" "python$v" -c 'import sys; print(sys.version.split()[0])')" \
         "and $(chroot "$stage" "python$v-dbg" -c 'import sys; print(sys.version.split()[0])') (debug)"
done
echo "   $(chroot "$stage" g++ --version | sed -n 1p), $(chroot "$stage" cmake --version | sed -n 1p)"

printf '%s' "$want" >"$stage/.qv-built"
mv "$stage" "$chroot_dir"
rm -f "$log"
say "made $chroot_dir"
echo "$chroot_dir"

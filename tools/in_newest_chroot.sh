#!/usr/bin/env bash
# Runs a command inside the Debian sid chroot of tools/build_newest_chroot.sh
# (made first when it is not there), in a copy of this source tree, with
# /proc mounted.  make test-newest runs `make` and `make test` this way;
# anything else that needs CPython 3.14 or 3.15 (or their debug builds,
# valgrind) can too:
#
#   tools/in_newest_chroot.sh CMD [ARG...]
#   tools/in_newest_chroot.sh make test VERSIONS=3.15 PYTEST_ARGS="-x -k init"
#   tools/in_newest_chroot.sh env LEAKCHECK_CALLS=1000 make leakcheck DBG_PYTHON=python3.14-dbg
#   tools/in_newest_chroot.sh bash      (a shell in the copy)
#
# The copy: /src/NAME-HASH inside the chroot, where NAME is the tree's
# directory name and HASH is made from its path, so every checkout has its
# own.  Before each run it is brought up to date with rsync from the tree as
# it is on disk (uncommitted changes included), leaving out what .gitignore
# names (build/, dist/, the extension files `make` copies into
# quorvane/global_var/, caches) and .git.  Those left-out files of the copy
# are kept from run to run: its build/ (builds, environments) is reused
# there, as build/ is here.  The source tree itself is only read.  Results
# that a command writes into build/ stay inside the chroot, under
# CHROOT/src/NAME-HASH/build/ (the last line of the run says where).
#
# The command runs as root with a clean environment (HOME=/root, a standard
# PATH, LANG=C.UTF-8) plus the caller's proxy, certificate and PIP_*
# variables, and QV_* ones.  The machine's CA bundle
# (/etc/ssl/certs/ca-certificates.crt), DNS configuration and pip
# configuration files are copied into the chroot first, so that pip reaches
# PyPI from inside as it does from outside.
#
# Mounts: /proc (some tests need it) is mounted in a mount namespace of the
# run's own (unshare), so no other process sees it and it goes away with
# the run whatever happens; it is also unmounted when the command ends.
# Where no mount namespace can be made, it is mounted in the machine's
# namespace while an exclusive lock keeps other runs out, and unmounted on
# exit (a trap), also when the command fails or is interrupted.  Runs for
# the same tree wait for each other (flock).
#
# The exit status is the command's.  Needs root (chroot, mount).
set -euo pipefail

if [ "$#" -eq 0 ]; then
    echo "usage: $0 CMD [ARG...]" >&2
    exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "in_newest_chroot: needs root (chroot, mount)" >&2
    exit 1
fi

root="$(cd "$(dirname "$0")/.." && pwd)"

# --- the chroot --------------------------------------------------------------
# Made when it is not there (its progress shown as it goes, without the
# path it prints last).
if ! bash "$root/tools/build_newest_chroot.sh" | sed '$d'; then
    exit 1
fi
chroot_dir="$(bash "$root/tools/build_newest_chroot.sh" --path)"
[ -x "$chroot_dir/usr/bin/env" ] || { echo "in_newest_chroot: no chroot at '$chroot_dir'" >&2; exit 1; }

if ! command -v rsync >/dev/null 2>&1; then
    echo "== installing rsync"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends rsync
fi

# --- files from the machine ----------------------------------------------------
copy_in() {  # copy_in FILE: the machine's FILE to the same place in the chroot
    [ -f "$1" ] || return 0
    mkdir -p "$chroot_dir$(dirname "$1")"
    cp -L "$1" "$chroot_dir$1.tmp.$$" && mv -f "$chroot_dir$1.tmp.$$" "$chroot_dir$1"
}
copy_in /etc/resolv.conf
copy_in /etc/ssl/certs/ca-certificates.crt
# pip's configuration files (site-wide, the caller's own, PIP_CONFIG_FILE)
# and the files they name (a certificate bundle, a constraints file): every
# absolute path in them that is a file.  Directories (local package
# locations) are not copied; pip passes over those it cannot find.
home="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
for f in /etc/pip.conf /etc/xdg/pip/pip.conf "$home/.config/pip/pip.conf" \
         "$home/.pip/pip.conf" "${PIP_CONFIG_FILE:-}"; do
    [ -n "$f" ] && [ -f "$f" ] || continue
    case "$f" in
        "$home/"*) dest="/root/${f#"$home/"}" ;;
        *) dest="$f" ;;
    esac
    mkdir -p "$chroot_dir$(dirname "$dest")"
    cp -L "$f" "$chroot_dir$dest"
    for named in $(grep -oE '(^|[ =])/[^ ]+' "$f" | sed -E 's/^[ =]//'); do
        copy_in "$named"
    done
done

# --- the copy of the tree ------------------------------------------------------
name="$(basename "$root")"
hash="$(printf '%s' "$root" | sha256sum | cut -c1-8)"
inside="/src/$name-$hash"
copy="$chroot_dir$inside"
mkdir -p "$copy"
exec 8>"$copy.lock"
if ! flock -n 8; then
    echo "== another run is using $copy; waiting for it"
    flock 8
fi
# .gitignore's patterns are the ones that keep build output out of git;
# excluded files of the copy are not deleted (--delete leaves them).
rsync -a --delete --exclude=/.git --filter=':- .gitignore' "$root/" "$copy/"

# --- the environment -----------------------------------------------------------
envs=(HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
      "TERM=${TERM:-dumb}")
while IFS= read -r var; do
    case "$var" in
        PIP_* | QV_* | SSL_CERT_FILE | SSL_CERT_DIR | REQUESTS_CA_BUNDLE | CURL_CA_BUNDLE | \
        http_proxy | https_proxy | no_proxy | HTTP_PROXY | HTTPS_PROXY | NO_PROXY | ALL_PROXY | all_proxy)
            envs+=("$var=${!var}") ;;
    esac
done < <(compgen -e)

# --- the run -------------------------------------------------------------------
# The inner script: mount /proc, run the command in the chroot, unmount.
# Arguments: CHROOT INSIDE ENV... -- CMD...
run_inside='
set -u
chroot_dir="$1" inside="$2"
shift 2
envs=()
while [ "$1" != "--" ]; do envs+=("$1"); shift; done
shift
proc="$chroot_dir/proc"
mounted=0
cleanup() {
    if [ "$mounted" = 1 ]; then
        umount "$proc" 2>/dev/null || umount -l "$proc"
    fi
}
trap cleanup EXIT
trap "exit 130" INT
trap "exit 143" TERM
# A /proc that is mounted already (by hand, say) is used and left mounted.
if ! mountpoint -q "$proc"; then
    mount -t proc proc "$proc" || exit 1
    mounted=1
fi
chroot "$chroot_dir" /usr/bin/env -i "${envs[@]}" /bin/bash -c "cd \"\$0\" && exec \"\$@\"" "$inside" "$@"
rc=$?
exit $rc
'
args=("$chroot_dir" "$inside" "${envs[@]}" -- "$@")
set +e
if unshare --mount --propagation private true 2>/dev/null; then
    unshare --mount --propagation private bash -c "$run_inside" bash "${args[@]}"
    rc=$?
else
    # Without a namespace of its own, the mount is the machine's: one run at
    # a time, and the inner script's trap unmounts it.
    exec 7>"$chroot_dir.run.lock"
    flock 7
    bash -c "$run_inside" bash "${args[@]}"
    rc=$?
fi
set -e
echo "== in_newest_chroot: exit status $rc (copy: $copy)"
exit "$rc"

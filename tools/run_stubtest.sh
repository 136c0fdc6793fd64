#!/usr/bin/env bash
# Checks quorvane/global_var/globals.pyi against the extension module with
# mypy's stubtest, under each interpreter in turn.
#
#   tools/run_stubtest.sh tree TAG=PYTHON...
#       the build in this tree (quorvane/global_var/ after `make`), from an
#       environment build/venv-typing-cpXY holding mypy and unidecode
#   tools/run_stubtest.sh wheel --dist DIR TAG=PYTHON...
#       the wheel for cpXY in DIR, installed with mypy into a fresh
#       environment build/venv-stubtest-cpXY: the stub and py.typed are
#       then found the way type checkers find them, in site-packages
#
# After stubtest, mypy checks tools/stub_usage.py against the same stub: the
# types that calls give a type checker (assert_type) and the calls it must
# reject.  tools/stubtest-allowlist.txt is passed to stubtest when it exists.
# Every interpreter runs even when an earlier one fails; prints one summary
# line per interpreter and exits 1 when any failed.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
module=quorvane.global_var.globals
allowlist="$root/tools/stubtest-allowlist.txt"
usage="$root/tools/stub_usage.py"

mode="${1:-}"
shift || true
dist=
if [ "$mode" = wheel ] && [ "${1:-}" = "--dist" ]; then
    dist="$2"
    shift 2
fi
case "$mode" in
    tree) ;;
    wheel) [ -n "$dist" ] || mode= ;;
    *) mode= ;;
esac
if [ -z "$mode" ] || [ "$#" -eq 0 ]; then
    echo "usage: $0 tree TAG=PYTHON... | $0 wheel --dist DIR TAG=PYTHON..." >&2
    exit 2
fi

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PYTHONDONTWRITEBYTECODE=1
args=("$module")
[ -f "$allowlist" ] && args+=(--allowlist "$allowlist")

quiet_pip() {
    "$@" 2> >(grep -vE 'is ignored: it is (neither a file nor a directory|either a non-existing path)' >&2)
}

one() {  # one TAG PYTHON
    local tag="$1" python="$2" venv workdir
    if [ "$mode" = tree ]; then
        venv="$build/venv-typing-$tag"
        bash "$root/tools/ensure_venv.sh" "$venv" "$python" \
            "$root/tools/requirements-typing.txt" || return 1
        # The current directory is where both the import and mypy's module
        # search look first: the tree's package, with its stub beside it.
        workdir="$root"
    else
        local wheel
        # By python and ABI tag: cp313 and cp313t wheels share the python tag.
        wheel="$(ls "$dist"/*-"${tag%t}-$tag"-*.whl "$dist"/*-"${tag%t}-${tag}m"-*.whl \
                 2>/dev/null | sed -n 1p)"
        if [ -z "$wheel" ]; then
            echo "run_stubtest: no $tag wheel in $dist (make wheels)" >&2
            return 1
        fi
        venv="$build/venv-stubtest-$tag"
        rm -rf "$venv"
        "$python" -m venv "$venv" || return 1
        quiet_pip "$venv/bin/python" -m pip install --quiet --upgrade pip || return 1
        quiet_pip "$venv/bin/python" -m pip install --quiet "$wheel" mypy || return 1
        echo "== $tag: $(basename "$wheel")"
        # Anywhere without a quorvane package: site-packages supplies both.
        workdir="$build"
    fi
    # stubtest reads no MYPY_CACHE_DIR: a config file keeps mypy's cache out
    # of the working directory (the tree, in tree mode).
    local config="$build/stubtest-$tag.ini"
    printf '[mypy]\ncache_dir = %s\n' "$build/mypy-cache-$tag" >"$config"
    (cd "$workdir" &&
        "$venv/bin/python" -m mypy.stubtest --mypy-config-file "$config" "${args[@]}" &&
        "$venv/bin/python" -m mypy --config-file "$config" --strict --warn-unused-ignores \
            --no-error-summary "$usage" &&
        echo "Success: stubtest found no issues; tools/stub_usage.py gets the expected types")
}

failed=0
summary=()
for pair in "$@"; do
    tag="${pair%%=*}"
    python="${pair#*=}"
    log="$build/stubtest-$mode-$tag.log"
    echo "== stubtest $tag ($mode)"
    one "$tag" "$python" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    mypy_version="$("$build/venv-$([ "$mode" = tree ] && echo typing || echo stubtest)-$tag/bin/python" \
        -m mypy --version 2>/dev/null | cut -d' ' -f1-2)"
    if [ "$rc" -eq 0 ]; then
        status=ok
    else
        status=FAILED
        failed=1
    fi
    summary+=("$(printf '%-6s %-6s %s: %s' "$tag" "$status" "${mypy_version:-mypy ?}" \
        "$(grep -vE '^\s*$' "$log" | tail -n1)")")
done

echo "== stubtest summary ($mode)"
printf '%s\n' "${summary[@]}"
exit "$failed"

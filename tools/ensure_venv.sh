#!/usr/bin/env bash
# Makes sure VENV_DIR is a virtual environment of PYTHON holding the packages
# of REQUIREMENTS (a pip requirements file), within the version limits of
# CONSTRAINTS (a pip constraints file, optional), creating or re-creating it
# only when needed.
#
#   tools/ensure_venv.sh VENV_DIR PYTHON REQUIREMENTS [CONSTRAINTS]
#
# A stamp file inside the environment records the interpreter, the
# requirements and the constraints it was made from; the environment is
# rebuilt when any of them changes or when its interpreter no longer runs.
# pip chooses the package versions that suit the interpreter (older
# pytest/hypothesis on 3.7).
set -euo pipefail

if [ "$#" -ne 3 ] && [ "$#" -ne 4 ]; then
    echo "usage: $0 VENV_DIR PYTHON REQUIREMENTS [CONSTRAINTS]" >&2
    exit 2
fi
venv="$1"
python="$2"
requirements="$3"
constraints="${4:-}"
stamp="$venv/.qv-stamp"

want="python: $python
$(cat "$requirements")"
constraint_args=()
if [ -n "$constraints" ]; then
    want+="
constraints:
$(cat "$constraints")"
    constraint_args=(-c "$constraints")
fi

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] &&
    "$venv/bin/python" -c 'pass' >/dev/null 2>&1; then
    exit 0
fi

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

# pip's complaints about configured package locations that are absent on
# this machine say nothing about this environment; everything else passes.
pip_install() {
    "$venv/bin/python" -m pip install --quiet "$@" \
        2> >(grep -vE 'is ignored: it is (neither a file nor a directory|either a non-existing path)' >&2)
}
start=$SECONDS
echo "== venv $venv ($python)"
rm -rf "$venv"
"$python" -m venv "$venv"
# The pip bundled with older interpreters predates some of the metadata the
# current releases use; bring it up to the newest one for the interpreter.
pip_install --upgrade pip
pip_install -r "$requirements" "${constraint_args[@]}"
printf '%s' "$want" >"$stamp"
echo "== venv $venv ready in $((SECONDS - start))s:" \
    "$("$venv/bin/python" -m pip freeze --quiet 2>/dev/null | tr '\n' ' ')"

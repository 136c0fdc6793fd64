#!/usr/bin/env bash
# Lists the CPython interpreters the extension is built for, one per tag, as
# "TAG=/path/to/python" words on stdout (sorted by version).  The tag is
# cpXY for an interpreter with the GIL and cpXYt for a free-threaded one
# (built with --disable-gil: sysconfig's Py_GIL_DISABLED is 1), so 3.13 can
# appear twice, as cp313 and cp313t.
#
#   tools/find_pythons.sh                 every CPython 3.7 .. 3.15 found
#   tools/find_pythons.sh /a/python ...   only these interpreters
#   VERSIONS="3.11 3.12" tools/find_pythons.sh
#                                         restrict to these versions: 3.13
#                                         means cp313 and cp313t, 3.13t only
#                                         the free-threaded one, cp313 only
#                                         the one with the GIL
#   tools/find_pythons.sh --range         the versions supported, "3.7 3.15"
#
# Candidates, in order of preference: pyenv's installs
# ($PYENV_ROOT/versions/*/bin/python, default ~/.pyenv; plain releases such
# as 3.11.7 and free-threaded ones such as 3.13.5t), then python3.7 ..
# python3.15 and python3.13t, python3.14t, ... on PATH.  The first working candidate of a tag
# wins; an interpreter is accepted only if it is CPython, has its development
# headers (Python.h) and the venv module.  Rejected candidates are reported
# on stderr.
set -u

# The oldest and the newest minor version of CPython 3 that the module is
# built for.  The newest is the one place that says so: the Makefile and the
# other tools ask this script (--range).
MIN_MINOR=7
MAX_MINOR=15

if [ "${1:-}" = "--range" ]; then
    echo "3.$MIN_MINOR 3.$MAX_MINOR"
    exit 0
fi

candidates=()
if [ "$#" -gt 0 ]; then
    candidates=("$@")
else
    home="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
    pyenv_root="${PYENV_ROOT:-$home/.pyenv}"
    if [ -d "$pyenv_root/versions" ]; then
        # Plain CPython releases only (3.11.7 and the free-threaded 3.13.5t,
        # not 3.11-dev, pypy3.10, envs); newest micro release first, so it
        # wins within its tag.  Whether a "t" install really is free-threaded
        # is the probe's to say, not the name's.
        while IFS= read -r v; do
            d="$pyenv_root/versions/$v/bin"
            if [ -x "$d/python" ]; then
                candidates+=("$d/python")
            elif [ -x "$d/python${v%.*}" ]; then  # 3.13.5t/bin/python3.13t
                candidates+=("$d/python${v%.*}")
            fi
        done < <(ls -1 "$pyenv_root/versions" 2>/dev/null |
                 grep -E '^3\.[0-9]+\.[0-9]+t?$' | sort -t. -k1,1n -k2,2n -k3,3nr)
    fi
    for ((m = MIN_MINOR; m <= MAX_MINOR; m++)); do
        p="$(command -v "python3.$m" 2>/dev/null)" && candidates+=("$p")
        if [ "$m" -ge 13 ]; then
            p="$(command -v "python3.${m}t" 2>/dev/null)" && candidates+=("$p")
        fi
    done
fi

wanted=" "
for v in ${VERSIONS:-}; do
    case "$v" in
        3.*t) wanted+="cp3${v#3.} " ;;
        3.*) wanted+="cp3${v#3.} cp3${v#3.}t " ;;
        cp3*) wanted+="$v " ;;
        *) echo "find_pythons: ignoring version '$v' (expected e.g. 3.11 or 3.13t)" >&2 ;;
    esac
done

# Asked of each candidate: tag, real executable, full version, and why it is
# unusable (empty when usable).
probe='
import os, platform, sys, sysconfig
tag = "cp%d%d" % sys.version_info[:2]
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    tag += "t"
why = ""
if platform.python_implementation() != "CPython":
    why = "not CPython"
elif not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
    why = "no development headers (Python.h)"
else:
    try:
        import venv, ensurepip  # noqa: F401
    except ImportError as e:
        why = "no venv/ensurepip (%s)" % e
print(tag, os.path.realpath(sys.executable), platform.python_version(), why, sep="|")
'

seen_tags=" "
seen_paths=" "
declare -A found=()
for cand in "${candidates[@]}"; do
    # A pythonX.Y found on PATH needs no probe once X.Y is covered (a pyenv
    # shim for a version that is not active would only print an error).
    case "${cand##*/}" in
        python3.[0-9]*)
            name_tag="cp3${cand##*/python3.}"
            [[ "$seen_tags" == *" $name_tag "* ]] && continue
            [ "$wanted" != " " ] && [[ "$wanted" != *" $name_tag "* ]] && continue
            ;;
    esac
    out="$(timeout 30 "$cand" -I -c "$probe" 2>/dev/null)" || {
        echo "find_pythons: skipping $cand (does not run)" >&2
        continue
    }
    IFS='|' read -r tag real version why <<<"$out"
    minor="${tag#cp3}"
    minor="${minor%t}"
    case "$minor" in ''|*[!0-9]*) continue ;; esac
    if [ "${tag:0:3}" != "cp3" ] || [ "$minor" -lt "$MIN_MINOR" ] || [ "$minor" -gt "$MAX_MINOR" ]; then
        [ "$#" -gt 0 ] && echo "find_pythons: skipping $cand ($version is outside 3.$MIN_MINOR..3.$MAX_MINOR)" >&2
        continue
    fi
    if [ "$wanted" != " " ] && [[ "$wanted" != *" $tag "* ]]; then
        continue
    fi
    if [[ "$seen_paths" == *" $real "* ]] || [[ "$seen_tags" == *" $tag "* ]]; then
        continue
    fi
    if [ -n "$why" ]; then
        echo "find_pythons: skipping $cand ($version: $why)" >&2
        continue
    fi
    seen_tags+="$tag "
    seen_paths+="$real "
    # Keep the path the candidate was found under unless it is a shim (a
    # script that re-dispatches); the interpreter's own executable is stable.
    case "$(head -c 2 "$cand" 2>/dev/null)" in
        '#!') found[$tag]="$real" ;;
        *) found[$tag]="$cand" ;;
    esac
done

for ((m = MIN_MINOR; m <= MAX_MINOR; m++)); do
    for t in "cp3$m" "cp3${m}t"; do
        [ -n "${found[$t]:-}" ] && printf '%s=%s\n' "$t" "${found[$t]}"
    done
done
exit 0

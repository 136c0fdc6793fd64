#!/usr/bin/env bash
# Prints the Debian archive that the machine's apt configuration uses for its
# Debian packages: the first archive of its sources (one-line sources.list
# entries or deb822 .sources files) that serves "main" and is not a security,
# updates or backports suite, and whose URI ends in /debian.  QV_DEBIAN_MIRROR
# overrides it.  Prints nothing and exits 1 when there is none.
set -u

if [ -n "${QV_DEBIAN_MIRROR:-}" ]; then
    echo "$QV_DEBIAN_MIRROR"
    exit 0
fi

mirror="$(
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        sed -E 's/#.*//; s/\[[^]]*\]//' "$f" |
            awk '$1 == "deb" && $3 !~ /-(security|updates|backports)$/ &&
                 / main( |$)/ { print $2 }'
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        # One stanza per paragraph; keep the URIs of the stanzas that are of
        # type deb, name main and a suite that is not -security.
        awk 'BEGIN { RS = ""; FS = "\n" }
             {
                 types = uris = suites = comps = ""
                 for (i = 1; i <= NF; i++) {
                     line = $i; sub(/#.*/, "", line)
                     if (line ~ /^Types:/) types = line
                     else if (line ~ /^URIs:/) uris = line
                     else if (line ~ /^Suites:/) suites = line
                     else if (line ~ /^Components:/) comps = line
                 }
                 if (types ~ / deb( |$)/ && comps ~ / main( |$)/ &&
                     suites !~ /-security/ && uris != "") {
                     sub(/^URIs:[ \t]*/, "", uris); split(uris, u, /[ \t]+/)
                     print u[1]
                 }
             }' "$f"
    done | grep -E '/debian/?$' | sed -n 1p
)"
[ -n "$mirror" ] || exit 1
echo "$mirror"

#!/usr/bin/env bash
# Makes TREE a throw-away copy of the package around one built extension
# file, and of tests/, so that a test run whose repository root is TREE
# imports that build and never touches the source tree.
#
#   tools/package_tree.sh BUILT_EXTENSION TREE
#
# TREE is emptied first.
set -euo pipefail

if [ "$#" -ne 2 ]; then
    echo "usage: $0 BUILT_EXTENSION TREE" >&2
    exit 2
fi
built="$1"
tree="$2"
root="$(cd "$(dirname "$0")/.." && pwd)"

rm -rf "$tree"
mkdir -p "$tree/quorvane/global_var"
cp "$root/quorvane/__init__.py" "$tree/quorvane/"
cp "$root/quorvane/global_var/__init__.py" "$root/quorvane/global_var/global_var.py" \
    "$tree/quorvane/global_var/"
cp "$built" "$tree/quorvane/global_var/"
cp -r "$root/tests" "$tree/tests"
find "$tree/tests" -name __pycache__ -prune -exec rm -rf {} +

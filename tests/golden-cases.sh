#!/bin/sh
# Runs DRIVER on each DIR/*.case and compares what it prints (then "-- exit N" when it fails) with
# the .out file beside the case; --update writes the .out files instead, to be reviewed line by
# line before they are committed.
# Usage: golden-cases.sh DRIVER DIR [--update]
set -u
. "$(dirname "$0")/golden.sh"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for case in "$2"/*.case; do
    "$1" "$case" >"$out" 2>&1 || echo "-- exit $?" >>"$out"
    golden_check "${case%.case}.out" "$out" "${3-}"
done
exit $golden_failed

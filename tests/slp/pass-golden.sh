#!/bin/sh
# Runs the pass driver on each case in tests/slp/passes/ against test-switch.state and compares
# what it prints with the .out file beside the case; --update writes the .out files instead,
# to be reviewed line by line before they are committed.
# Usage: pass-golden.sh PASS_DRIVER [--update]
set -u
. "$(dirname "$0")/../golden.sh"
driver=$1
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp)
trap 'rm -f "$scratch"' EXIT
for case in "$here"/passes/*.case; do
    name=$(basename "$case" .case)
    "$driver" "$here/test-switch.state" <"$case" >"$scratch" 2>&1
    status=$?
    [ $status -eq 0 ] || echo "-- exit $status" >>"$scratch"
    golden_check "$here/passes/$name.out" "$scratch" "${2-}"
done
exit $golden_failed

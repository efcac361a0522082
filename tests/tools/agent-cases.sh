#!/bin/sh
# Runs the agent's request handling on each case in tests/tools/agent-cases/ and compares what
# the driver prints with the .out file beside it; --update writes the .out files instead (review
# every changed line by hand before committing).
# Usage: agent-cases.sh AGENT_CASES [--update]
set -u
driver=$1
here=$(cd "$(dirname "$0")/agent-cases" && pwd)
out=$(mktemp)
trap 'rm -f "$out"' EXIT
failed=0
for case in "$here"/*.case; do
    name=$(basename "$case" .case)
    "$driver" "$case" >"$out" 2>&1 || echo "-- exit $?" >>"$out"
    if [ "${2-}" = --update ]; then
        cp "$out" "$here/$name.out"
    elif ! diff -u "$here/$name.out" "$out"; then
        echo "FAIL $name"; failed=1
    fi
done
exit $failed

#!/bin/sh
# Runs the agent's request handling on each case in tests/slp-agent/agent-cases/ and compares what
# the driver prints with the .out file beside it; --update writes the .out files instead (review
# every changed line by hand before committing).
# Usage: agent-cases.sh AGENT_CASES [--update]
set -u
. "$(dirname "$0")/../golden.sh"
driver=$1
here=$(cd "$(dirname "$0")/agent-cases" && pwd)
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for case in "$here"/*.case; do
    name=$(basename "$case" .case)
    "$driver" "$case" >"$out" 2>&1 || echo "-- exit $?" >>"$out"
    golden_check "$here/$name.out" "$out" "${2-}"
done
exit $golden_failed

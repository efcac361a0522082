#!/bin/bash
# Runs orvad with each line of command-line.cases and compares its exit status and standard
# error (the usage text, after the parser's own line where there is one) with the case. The
# switch library would refuse every connection, so a run that tried to connect would not end.
# Usage: command-line.sh ORVAD
set -u
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
grep -v '^#' "$here/command-line.cases" | while IFS='|' read -r args status first; do
    { [ -n "$first" ] && printf '%s\n' "$first"; cat "$here/usage.txt"; } >"$scratch/expected"
    # shellcheck disable=SC2086 # the arguments are words
    timeout 10 env -i KESH_STATE=/nonexistent/orvad-test.state /bin/bash -c 'exec -a orvad "$0" "$@"' "$1" $args \
        2>"$scratch/err" >/dev/null
    got=$?
    if [ "$got" != "$status" ] || ! cmp -s "$scratch/expected" "$scratch/err"; then
        echo "FAIL orvad $args: status $got (expected $status), standard error:"
        diff "$scratch/expected" "$scratch/err"
        exit 1
    fi
done || failed=1
exit $failed

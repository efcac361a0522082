#!/bin/sh
# Feeds orvad-discover records in orvad-show's layout (orvad-show's own expected outputs and the
# *.records files in tests/tools/orvad-discover/) and compares its table and its JSON with the
# .txt and .json files written by hand beside them. Then checks the exit status of a failure.
# Usage: orvad-discover-golden.sh ORVAD_DISCOVER
set -u
discover=$1
here=$(cd "$(dirname "$0")" && pwd)
expected=$here/orvad-discover
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
for input in "$here"/orvad-show/*.out "$expected"/*.records; do
    name=$(basename "$input"); name=${name%.*}
    for format in txt json; do
        flag=; [ $format = json ] && flag=--json
        if ! "$discover" $flag --records "$input" >"$scratch/$name.$format" 2>"$scratch/err"; then
            echo "FAIL $name ($format): exit status"; cat "$scratch/err"; failed=1
        elif ! diff -u "$expected/$name.$format" "$scratch/$name.$format"; then
            echo "FAIL $name ($format): output differs"; failed=1
        fi
    done
done

"$discover" --records "$scratch/missing" >"$scratch/out" 2>"$scratch/err"
status=$?
if [ $status -ne 1 ] || [ -s "$scratch/out" ] || ! grep -q "cannot read" "$scratch/err"; then
    echo "FAIL unreadable input: status $status"; failed=1
fi
exit $failed

#!/usr/bin/env bash
# Feeds orvad-discover records in orvad-show's layout (orvad-show's two worked examples and the
# *.records files in tests/tools/orvad-discover/) and compares its table and its JSON with the
# .txt and .json files written by hand beside them. Then checks the exit status of a failure.
# shellcheck source=tests/harness.sh
source "$(dirname "$0")/../harness.sh"
here=$(cd "$(dirname "$0")" && pwd)
for input in "$here"/orvad-show/io-example.out "$here"/orvad-show/wbem-example.out "$here"/orvad-discover/*.records; do
    name=$(basename "$input" ".${input##*.}")
    for format in txt json; do
        flag=()
        [ $format = txt ] || flag=(--json)
        "$ORVAD_DISCOVER" "${flag[@]}" --records "$input" >"$h_dir/$name.$format" 2>"$h_dir/err" ||
            h_fail "$name ($format): exit status: $(cat "$h_dir/err")"
        h_expect_same "$here/orvad-discover/$name.$format" "$h_dir/$name.$format" "$name ($format)"
    done
done
"$ORVAD_DISCOVER" --records "$h_dir/missing" >"$h_dir/out" 2>"$h_dir/err"
status=$?
[ $status = 1 ] && [ ! -s "$h_dir/out" ] && grep -q "cannot read" "$h_dir/err" || h_fail "unreadable input: status $status"
h_end

#!/bin/sh
# Runs orvad-show on each switch state in tests/tools/orvad-show/ and compares what it prints
# (records on stdout; then, after "-- log", the daemon's syslog lines; then "-- exit N" when it
# fails) with the .out file beside it. A state may start with "#base FILE": that state's lines
# come first and the case's own lines override them. "#keygen TEXT" is what the key tool
# prints (printf %b), else a legacy listing of a fixed fingerprint.
# Usage: orvad-show-golden.sh ORVAD_SHOW [--update]
set -u
. "$(dirname "$0")/../golden.sh"
show=$1
here=$(cd "$(dirname "$0")/orvad-show" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for case in "$here"/*.state; do
    name=$(basename "$case" .state)
    base=$(sed -n 's/^#base //p' "$case")
    cat ${base:+"$here/$base"} "$case" >"$scratch/state"
    keygen="2048 aa:bb:cc:dd:ee:ff:00:11:22:33:44:55:66:77:88:99 k (RSA)"
    grep -q '^#keygen ' "$case" && keygen=$(sed -n 's/^#keygen //p' "$case")
    FAKE_KEYGEN_OUTPUT=$(printf '%b' "$keygen") KESH_STATE=$scratch/state "$show" >"$scratch/out" 2>"$scratch/err"
    status=$?
    if [ -s "$scratch/err" ]; then echo "-- log"; cat "$scratch/err"; fi >>"$scratch/out"
    [ $status -eq 0 ] || echo "-- exit $status" >>"$scratch/out"
    golden_check "$here/$name.out" "$scratch/out" "${2-}"
done
exit $golden_failed

#!/bin/sh
# Runs orvad-show on each switch state in tests/tools/orvad-show/ and compares what it prints
# with the .out file beside it, written by hand from the record formats. Then checks that a
# failed read prints the daemon's message and exits 1.
# Usage: orvad-show-golden.sh ORVAD_SHOW
set -u
show=$1
here=$(cd "$(dirname "$0")/orvad-show" && pwd)
export FAKE_KEYGEN_OUTPUT="2048 aa:bb:cc:dd:ee:ff:00:11:22:33:44:55:66:77:88:99 k (RSA)"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
for state in "$here"/*.state; do
    name=$(basename "$state" .state)
    if ! KESH_STATE=$state "$show" >"$scratch/$name.out" 2>"$scratch/$name.err"; then
        echo "FAIL $name: exit status $?"; cat "$scratch/$name.err"; failed=1
    elif ! diff -u "$here/$name.out" "$scratch/$name.out"; then
        echo "FAIL $name: output differs"; failed=1
    fi
done

sed 's/^Config.System.Eth.0.Enable = .*/Config.System.Eth.0.Enable = False/' "$here/io-example.state" >"$scratch/off.state"
KESH_STATE=$scratch/off.state "$show" >"$scratch/off.out" 2>"$scratch/off.err"
status=$?
expected="orvad-show: Exception[CRIT]:orvad_thread:slpThread[346] Unable to read network block 0"
if [ $status -ne 1 ] || [ -s "$scratch/off.out" ] || [ "$(cat "$scratch/off.err")" != "$expected" ]; then
    echo "FAIL interface 0 off: status $status, stdout $(wc -c <"$scratch/off.out") bytes, stderr:"
    cat "$scratch/off.err"; failed=1
fi
exit $failed

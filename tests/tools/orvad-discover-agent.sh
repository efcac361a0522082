#!/usr/bin/env bash
# orvad-discover against the real chain on loopback: orvad registers the io-example switch with
# slp-agent on a free port, and orvad-discover, asking that agent only (-u), must list it as one
# switch. Then an agent that is not there must give exit status 1 and a message.
# shellcheck source=tests/harness.sh
source "$(dirname "$0")/../harness.sh"
h_agent_start
cp "$(dirname "$0")/orvad-show/io-example.state" "$h_dir/io.state"
h_start orvad env OpenSLPConfig="$h_dir/slp.conf" KESH_STATE="$h_dir/io.state" \
    FAKE_KEYGEN_OUTPUT="2048 aa:bb:cc:dd:ee:ff:00:11:22:33:44:55:66:77:88:99 k (RSA)" "$ORVAD"
discover() { "$ORVAD_DISCOVER" "$@" -u 127.0.0.1 --port "$h_agent_port" >"$h_dir/out" 2>"$h_dir/err"; }

# The first pass registers ten records, five of them WBEM URLs: 10 s at most.
# shellcheck disable=SC2317 # run by wait_for
all_found() { discover --json && [ "$(grep -o 'service:wbem:' "$h_dir/out" | wc -l)" = 5 ]; }
wait_for 10 all_found
expected='{"name":"fcsw-lab-1","product":59,"serial":"AB12C345","wwn":"10:00:00:11:22:33:44:55","cim":true,'
if [ "$(wc -l <"$h_dir/out")" != 3 ] || ! grep -qF "$expected" "$h_dir/out" ||
    [ "$(grep -o 'service:wbem:' "$h_dir/out" | wc -l)" != 5 ] ||
    ! grep -qF '"addresses":["10.20.30.40","10.20.30.41",' "$h_dir/out"; then
    h_fail "orvad-discover printed: $(cat "$h_dir/out" "$h_dir/err")"
fi

h_stop "$h_agent_pid"
discover
status=$?
[ $status = 1 ] && [ ! -s "$h_dir/out" ] && grep -q '^orvad-discover: finding service:wbem: ' "$h_dir/err" ||
    h_fail "without agent: status $status, stderr: $(cat "$h_dir/err")"
h_end

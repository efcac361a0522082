#!/bin/sh
# orvad-discover against the real chain on loopback: orvad registers the io-example switch with
# slp-agent on a free port, and orvad-discover, asking that agent only (-u), must list it as one
# switch. Then an agent that is not there must give exit status 1 and a message.
# Usage: orvad-discover-agent.sh ORVAD_DISCOVER SLP_AGENT ORVAD
set -u
discover=$1 agent=$2 orvad=$3
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
agent_pid= orvad_pid=
cleanup() {
    [ -n "$orvad_pid" ] && kill "$orvad_pid" 2>/dev/null && wait "$orvad_pid"
    [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid"
    rm -rf "$scratch"
}
trap cleanup EXIT

# A port is free when the agent started on it is still running a moment later.
for try in 1 2 3 4 5 6 7 8; do
    port=$((20000 + ($$ * 7 + try * 1031) % 40000))
    "$agent" --port "$port" >"$scratch/agent.log" 2>&1 &
    agent_pid=$!
    sleep 0.3
    kill -0 "$agent_pid" 2>/dev/null && break
    wait "$agent_pid"; agent_pid=
done
[ -n "$agent_pid" ] || { echo "FAIL: no free port for the agent"; exit 1; }

printf 'net.slp.port = %s\n' "$port" >"$scratch/slp.conf"
cp "$here/orvad-show/io-example.state" "$scratch/switch.state"
OpenSLPConfig=$scratch/slp.conf KESH_STATE=$scratch/switch.state \
    FAKE_KEYGEN_OUTPUT="2048 aa:bb:cc:dd:ee:ff:00:11:22:33:44:55:66:77:88:99 k (RSA)" \
    "$orvad" >"$scratch/orvad.log" 2>&1 &
orvad_pid=$!

# The first pass registers ten records; wait for all of them, 10 s at most.
expected='{"name":"fcsw-lab-1","product":59,"serial":"AB12C345","wwn":"10:00:00:11:22:33:44:55","cim":true,'
for try in $(seq 1 40); do
    "$discover" --json -u 127.0.0.1 --port "$port" >"$scratch/out" 2>"$scratch/err" || break
    [ "$(grep -o 'service:wbem:' "$scratch/out" | wc -l)" -eq 5 ] && break
    sleep 0.25
done
failed=0
if [ "$(wc -l <"$scratch/out")" -ne 3 ] || ! grep -qF "$expected" "$scratch/out" ||
   [ "$(grep -o 'service:wbem:' "$scratch/out" | wc -l)" -ne 5 ] ||
   ! grep -qF '"addresses":["10.20.30.40","10.20.30.41",' "$scratch/out"; then
    echo "FAIL: orvad-discover printed:"; cat "$scratch/out" "$scratch/err"; failed=1
fi

kill "$agent_pid"; wait "$agent_pid"; agent_pid=
"$discover" -u 127.0.0.1 --port "$port" >"$scratch/out" 2>"$scratch/err"
status=$?
if [ $status -ne 1 ] || [ -s "$scratch/out" ] || ! grep -q '^orvad-discover: finding service:wbem: ' "$scratch/err"; then
    echo "FAIL: without agent: status $status, stderr:"; cat "$scratch/err"; failed=1
fi
exit $failed

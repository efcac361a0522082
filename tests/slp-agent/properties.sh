#!/usr/bin/env bash
# The agent's properties: properties.conf, every RFC 2614 property at a value the RFC allows (names
# in any case, lists empty, 0 intervals, booleans in any case, unknown names beside them), starts
# it; each line of properties.table, a value it cannot take or a setting that cannot work, stops it
# with status 2 and the one line given there.
# shellcheck source=tests/harness.sh
source "$(dirname "$0")/../harness.sh"
here=$(cd "$(dirname "$0")" && pwd)
: >"$h_dir/empty.reg"
{ cat "$here/properties.conf"; echo "net.slp.serializedRegURL = file://$h_dir/empty.reg"; } >"$h_dir/rfc.conf"
h_agent_args=(-c "$h_dir/rfc.conf")
h_agent_start
h_stop "$h_agent_pid"
while IFS='|' read -r line message; do
    [[ $line != '#'* ]] || continue
    printf '%s\n' "$line" >"$h_dir/bad.conf"
    out=$(timeout 5 "$SLP_AGENT" -c "$h_dir/bad.conf" --port "$h_agent_port" 2>&1)
    status=$?
    [ "$status" = 2 ] && [ "$out" = "slp-agent: $message" ] || h_fail "'$line': status $status, printed '$out'"
done <"$here/properties.table"
h_end

#!/usr/bin/env bash
# The agent's properties: a file setting every RFC 2614 property to a value the RFC allows (names
# in any case, lists empty, 0 intervals, booleans in any case, unknown names beside them) starts
# it; each value it cannot take, or a setting that cannot work, stops it with status 2 and one line.
# shellcheck source=tests/harness.sh
source "$(dirname "$0")/../harness.sh"
: >"$h_dir/empty.reg"
cat >"$h_dir/rfc.conf" <<CONF
net.slp.isBroadcastOnly = FALSE
NET.SLP.MULTICASTTTL = 1
net.slp.DAActiveDiscoveryInterval = 0
net.slp.passiveDADetection = True
net.slp.activeDADetection = false
net.slp.isDA = false
net.slp.DAHeartBeat = 0
net.slp.DAAttributes = (x=1)
net.slp.useScopes =
net.slp.DAAddresses =
net.slp.serializedRegURL = file://$h_dir/empty.reg
net.slp.locale = de
net.slp.maxResults = -1
net.slp.typeHint =
net.slp.securityEnabled = false
net.slp.multicastMaximumWait = 15000
net.slp.multicastTimeouts =
net.slp.DADiscoveryTimeouts = 500,750,1000
net.slp.datagramTimeouts = 100
net.slp.randomWaitBound = 0
net.slp.MTU = 576
net.slp.interfaces =
net.slp.somethingElse = whatever
CONF
h_agent_args=(-c "$h_dir/rfc.conf")
h_agent_start
h_stop "$h_agent_pid"
while IFS='|' read -r line message; do
    printf '%s\n' "$line" >"$h_dir/bad.conf"
    out=$(timeout 5 "$SLP_AGENT" -c "$h_dir/bad.conf" --port "$h_agent_port" 2>&1)
    status=$?
    [ "$status" = 2 ] && [ "$out" = "slp-agent: $message" ] || h_fail "'$line': status $status, printed '$out'"
done <<'TABLE'
net.slp.DAActiveDiscoveryInterval = -1|bad net.slp.DAActiveDiscoveryInterval '-1'
net.slp.isDA = yes|bad net.slp.isDA 'yes'
net.slp.MTU = 0|bad net.slp.MTU '0'
net.slp.multicastTTL = 256|bad net.slp.multicastTTL '256'
net.slp.DADiscoveryTimeouts = 500,soon|bad net.slp.DADiscoveryTimeouts '500,soon'
net.slp.maxResults = 0|bad net.slp.maxResults '0'
net.slp.securityEnabled = TRUE|net.slp.securityEnabled is true, but this agent has no SLP authentication
net.slp.serializedRegURL = file://elsewhere/slp.reg|the registration file 'file://elsewhere/slp.reg' is not a local file
TABLE
h_end

#!/usr/bin/env bash
# Case: one station holds 1,000 idle TCP connections to a switch's agent (idle-tcp.py, which
# re-opens whatever the agent closes). Meanwhile orvad's deregistrations and registrations on
# that switch (its state edited) must reach the agent, and another station must still discover
# it: by unicast and by multicast, on the 132-registration switch, so over the TCP overflow path.
# ORVAD_NET_IDLE sets the number of connections (default 1000).
set -uo pipefail
source "$(dirname "$0")/rig.sh"
idle=${ORVAD_NET_IDLE:-1000}

rig_init
rig_station st1 192.0.2.201/24
rig_station st2 192.0.2.202/24 198.51.100.202/24 fd00::202/64
RIG_IPV6_COUNT=32 rig_make_state 1 "$RIG_TMP/big.state"
RIG_AGENT_IPV4_ONLY=1 rig_switch 1 "$RIG_TMP/big.state" || exit 1
rig_wait_registered s1 60 || exit 1

rig_spawn st1 "$RIG_TMP/idle.log" "$RIG_PYTHON" "$RIG_HELPERS/idle-tcp.py" 192.0.2.11 "$RIG_PORT" "$idle" 150
hostile=$RIG_LAST_PID
rig_wait_for 40 "$idle connections opened" grep -q '^opened' "$RIG_TMP/idle.log" || exit 1
echo "hostile station: $(cat "$RIG_TMP/idle.log")"
grep -qx "opened $idle of $idle" "$RIG_TMP/idle.log" || { rig_fail "the pressure never built up"; exit 1; }

# Both types by unicast (UDP, then TCP for the overflow) from the other station.
unicast_matches() {
    local type ok=0
    for type in service:wbem service:io-device.3873; do
        rig_expected_urls "$type" s1 >"$RIG_TMP/expected.$type"
        rig_findsrvs st2 -u 192.0.2.11 findsrvs "$type" >"$RIG_TMP/found.$type"
        cmp -s "$RIG_TMP/expected.$type" "$RIG_TMP/found.$type" || ok=1
    done
    return $ok
}
show_difference() {
    local type
    for type in service:wbem service:io-device.3873; do
        rig_same "unicast findsrvs $type" "$RIG_TMP/expected.$type" "$RIG_TMP/found.$type"
    done
}

failed=0
unicast_matches || { show_difference; failed=1; }
rig_check_multicast st2 s1 || failed=1

original=$(grep '^Oper.System.Eth.1.IPv6AddressList = ' "$RIG_TMP/s1/switch.state")
for edit in 's/^Oper.System.Eth.1.IPv6AddressList = .*/Oper.System.Eth.1.IPv6AddressList = fd00::201:1,fd00::202:1/' \
    "s/^Oper.System.Eth.1.IPv6AddressList = .*/$original/"; do
    rig_edit_state s1 "$edit" || exit 1
    start=$(date +%s%N)
    if rig_wait_for 25 "the agent holding $(wc -l <"$RIG_TMP/s1/truth") records after an edit" unicast_matches; then
        echo "$(wc -l <"$RIG_TMP/s1/truth") records seen after $((($(date +%s%N) - start) / 1000000)) ms"
    else
        show_difference
        failed=1
    fi
done
rig_check_multicast st2 s1 || failed=1
kill -0 "$hostile" 2>/dev/null || { rig_fail "the hostile station stopped early: $(cat "$RIG_TMP/idle.log")"; failed=1; }
held=$(ip netns exec "$RIG_ID-s1" ss -Htn state established "( sport = :$RIG_PORT )" 2>/dev/null | wc -l)
echo "connections established at the agent at the end: $held"
exit $failed

#!/usr/bin/env bash
# Case: the 132-registration switch (product 59, both interfaces with an IPv4 and 32 IPv6
# addresses). Its SrvRply for either type is several times the 1400-byte MTU, so the station
# gets the whole list only through the overflow paths: by unicast UDP (-u, to either interface)
# and by multicast, each followed by the same request over TCP. Every URL must arrive.
# Then a hostile station holds ORVAD_NET_IDLE (1,000) idle TCP connections to the agent
# (idle-tcp.py, which re-opens whatever the agent closes). Meanwhile orvad's deregistrations and
# registrations on the switch (its state edited) must reach the agent, and the station must still
# find every URL, by unicast and by multicast, so over the same overflow paths.
# shellcheck source=tests/harness.sh
source "$(dirname "$0")/../harness.sh"
idle=${ORVAD_NET_IDLE:-1000}

rig_init
rig_node st1 192.0.2.200/24 198.51.100.200/24 fd00::200/64
rig_node hostile 192.0.2.201/24
rig_big_switch
[ "$(wc -l <"$h_dir/s1/truth")" = 132 ] || h_die "orvad-show gives $(wc -l <"$h_dir/s1/truth") records, not 132"
# Guard: the replies must not fit one datagram, or this case tests nothing.
for type in "${h_types[@]}"; do [ "$(rig_expected_urls "$type" s1 | wc -c)" -gt 1400 ] || h_fail "$type list fits the MTU"; done

# finds SECONDS WHEN [-u ADDRESS]: waits at most SECONDS until st1 finds exactly s1's URLs.
finds() {
    rig_expected s1 >"$h_dir/expected"
    h_wait_same "$1" "findsrvs ${3:-by multicast} ${4-} ($2)" "$h_dir/expected" rig_finds st1 "${@:3}"
}
finds 0 "no pressure" -u 192.0.2.11
finds 0 "no pressure" -u 198.51.100.11
finds 0 "no pressure"

rig_start hostile idle "$h_python" "$RIG_HELPERS/idle-tcp.py" 192.0.2.11 "$RIG_PORT" "$idle" 150
hostile=$h_pid
wait_for 40 grep -q '^opened' "$h_dir/hostile/idle.log" || h_die "idle-tcp.py opened nothing in 40 s"
echo "hostile station: $(cat "$h_dir/hostile/idle.log")"
grep -qx "opened $idle of $idle" "$h_dir/hostile/idle.log" || h_die "the pressure never built up"
finds 0 "$idle idle connections" -u 192.0.2.11
finds 0 "$idle idle connections"
original=$(grep '^Oper.System.Eth.1.IPv6AddressList = ' "$h_dir/s1/switch.state")
for list in "Oper.System.Eth.1.IPv6AddressList = fd00::201:1,fd00::202:1" "$original"; do
    rig_edit_state s1 "s/^Oper.System.Eth.1.IPv6AddressList = .*/$list/"
    finds 25 "$(wc -l <"$h_dir/s1/truth") records after an edit, $idle idle connections" -u 192.0.2.11
done
finds 0 "after the edits, $idle idle connections"
h_running "$hostile" || h_fail "the hostile station stopped early: $(cat "$h_dir/hostile/idle.log")"
echo "connections established at the agent at the end:" \
    "$(ip netns exec "$RIG_ID-s1" ss -Htn state established "( sport = :$RIG_PORT )" | wc -l)"
h_end

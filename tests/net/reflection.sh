#!/usr/bin/env bash
# Case: the LAN as an attacker uses it. From one address each, an attacker floods the agent of
# the 132-record switch and our DA (holding over 1,000 registrations) with every request type at
# 1,000 a second, by unicast and by multicast, and counts what comes back: no datagram over the
# MTU, and after the first second no agent sends back more bytes than it was sent. Meanwhile a
# station finds every URL and attribute list, over TCP where a datagram cannot hold them. The DA
# refuses registrations by UDP, from outside its networks and over its size cap.
# shellcheck source=tests/harness.sh
source "$(dirname "$0")/../harness.sh"
da=192.0.2.2
mtu=1400

rig_init
rig_node st1 192.0.2.200/24 198.51.100.200/24
echo "net.slp.activeDADetection = false" >>"$h_dir/st1/slp.conf"  # st1 multicasts
rig_node attacker 192.0.2.66/24 192.0.2.67/24
rig_node outsider 203.0.113.66/24
ip -n "$RIG_ID-outsider" route add 192.0.2.0/24 dev eth0
rig_da da "$da/24"
ip -n "$RIG_ID-da" route add 203.0.113.0/24 dev eth0
# The switch keeps to itself, so that what the station finds comes from its agent alone.
RIG_AGENT_PROPERTIES=$'net.slp.activeDADetection = false\nnet.slp.passiveDADetection = false' rig_big_switch

# The DA's load: the switch's records eight times over, under types of their own so that the
# station's multicast finds see the switch alone: service:wbem:URL becomes service:simwbem:URL/simK.
for k in 1 2 3 4 5 6 7 8; do sed "s|^service:|service:sim|; s| |/sim$k |" "$h_dir/s1/truth"; done >"$h_dir/sim"
register() { rig_at "$1" "$h_python" "$RIG_HELPERS/slp-register.py" "$da" "$RIG_PORT" "$2" ${3:+"$3"}; }
register st1 "$h_dir/sim" >"$h_dir/sim.acks" || h_die "the DA refused simulated registrations"
held=$(grep -c ': 0$' "$h_dir/sim.acks")

# Refusals: by UDP (whatever the source), from outside its networks, and over 8192 bytes.
head -n 1 "$h_dir/sim" | sed 's/ /-udp /' >"$h_dir/one"
printf 'service:simwbem:https://192.0.2.99:5989/huge (x=%s)\n' "$(head -c 8200 /dev/zero | tr '\0' y)" >"$h_dir/huge"
for check in "attacker one udp 7" "outsider one tcp 7" "st1 huge tcp 3"; do
    read -r from file how want <<<"$check"
    got=$(register "$from" "$h_dir/$file" "$([ "$how" = udp ] && echo udp)" | sed 's/.*: //')
    [ "$got" = "$want" ] || h_fail "registration from $from ($file, $how): error ${got:-none}, not $want"
done

# The floods: unicast to each agent from .66, multicast from .67, each request type for 2.5 s,
# of which the first second is not counted.
phases=srv:1.5,attr-type:1.5,attr-url:1.5,types:1.5,sa:1.5,da:1.5
url=$(head -n 1 "$h_dir/s1/truth" | cut -d' ' -f1)
flood() { rig_start attacker "flood-$1" "$h_python" "$RIG_HELPERS/flood.py" "$2" "$RIG_PORT" "$3" 1000 1 "$phases" "${@:4}"; }
flood s1 192.0.2.66 192.0.2.11 url="$url"
flood da 192.0.2.66 "$da" type=service:simwbem url="$(head -n 1 "$h_dir/sim" | cut -d' ' -f1)"
flood group 192.0.2.67 239.255.255.253 url="$url"
sleep 2
start=$SECONDS
# A station asks again when an answer goes missing, and under a flood a datagram may: each check
# gets 8 s, the last try reporting what differs.
rig_expected s1 >"$h_dir/expected"
h_wait_same 8 "multicast findsrvs from st1" "$h_dir/expected" rig_finds st1
discovers() {
    rig_at st1 "$ORVAD_DISCOVER" --json >"$h_dir/discover.json" 2>/dev/null &&
        "$h_python" "$RIG_HELPERS/check-discover.py" "$h_dir/discover.json" "$h_dir/s1" >/dev/null 2>&1
}
wait_for 8 discovers || rig_check_discover st1 s1
rig_check_attributes st1 - s1
[ "$(rig_at st1 "$SLP_QUERY" -u "$da" findsrvs service:simwbem | wc -l)" -ge "$((held / 2))" ] ||
    h_fail "the DA's find by unicast lacks URLs"
echo "the station found everything during the flood in $((SECONDS - start)) s"
for pid in "${h_pids[@]: -3}"; do h_wait "$pid" 30 >/dev/null; done  # the floods

# Every datagram at most the MTU; after the first second, at most the bytes the attacker sent.
for f in "$h_dir"/attacker/flood-*.log; do
    awk -v mtu="$mtu" -v name="$(basename "$f" .log)" '
        { first = $1 == "first"; for (i = 1; i <= NF; i++) if (split($i, kv, "=") == 2) v[kv[1]] = kv[2] + 0 }
        v["largest"] > mtu || (!first && v["sent"] > 0 && v["received"] > v["sent"]) { bad = 1; print "FAIL: " name ": " $0 }
        !first { printf "  %-11s %-10s %-15s sent %7d  back %7d  largest %4d\n", name, $1, $2, v["sent"], v["received"], v["largest"] }
        END { exit bad }' "$f" || h_fail "$(basename "$f" .log): a reply over $mtu bytes or worth more than its request"
done
echo "$held registrations at the DA"
h_end

#!/usr/bin/env bash
# Case: the LAN as an attacker uses it. From one address each, an attacker floods the agent of
# the 132-record switch and our DA (holding over 1,000 registrations) with every request type at
# 1,000 a second, by unicast and by multicast, and counts what comes back: no datagram over the
# MTU, and after the first second no agent sends back more bytes than it was sent. Meanwhile a
# station finds every URL and attribute list, over TCP where a datagram cannot hold them. The DA
# refuses registrations by UDP, from outside its networks and over its size cap.
set -uo pipefail
source "$(dirname "$0")/rig.sh"
da=192.0.2.2
mtu=1400

rig_init
rig_station st1 192.0.2.200/24 198.51.100.200/24
echo "net.slp.activeDADetection = false" >>"$RIG_TMP/st1/slp.conf"  # st1 multicasts
rig_node attacker 192.0.2.66/24 192.0.2.67/24 || exit 1
rig_node outsider 203.0.113.66/24 || exit 1
ip -n "$RIG_ID-outsider" route add 192.0.2.0/24 dev eth0
rig_da da "$da/24" || exit 1
ip -n "$RIG_ID-da" route add 203.0.113.0/24 dev eth0
RIG_IPV6_COUNT=32 rig_make_state 1 "$RIG_TMP/big.state"
# The switch keeps to itself, so that what the station finds comes from its agent alone.
RIG_AGENT_PROPERTIES=$'net.slp.activeDADetection = false\nnet.slp.passiveDADetection = false' RIG_AGENT_IPV4_ONLY=1 \
    rig_switch 1 "$RIG_TMP/big.state" || exit 1
rig_wait_registered s1 60 || exit 1

# The DA's load: the switch's records eight times over, under types of their own so that the
# station's multicast finds see the switch alone: service:wbem:URL becomes service:simwbem:URL/simK.
for k in 1 2 3 4 5 6 7 8; do
    awk -v k="$k" 'BEGIN { FS = OFS = "\t" } { sub(/^service:/, "service:sim", $1); $1 = $1 "/sim" k; print }' \
        "$RIG_TMP/s1/truth"
done >"$RIG_TMP/sim"
register() { rig_at "$1" "$RIG_PYTHON" "$RIG_HELPERS/slp-register.py" "$da" "$RIG_PORT" "$2" ${3-}; }
register st1 "$RIG_TMP/sim" >"$RIG_TMP/sim.acks" || { rig_fail "the DA refused simulated registrations"; exit 1; }
held=$(grep -c ': 0$' "$RIG_TMP/sim.acks")

failed=0
# Refusals: by UDP (whatever the source), from outside its networks, and over 8192 bytes.
head -n 1 "$RIG_TMP/sim" | sed 's/\t/-udp\t/' >"$RIG_TMP/one"
printf 'service:simwbem:https://192.0.2.99:5989/huge\t(x=%s)\n' "$(head -c 8200 /dev/zero | tr '\0' y)" >"$RIG_TMP/huge"
for check in "attacker one udp 7" "outsider one tcp 7" "st1 huge tcp 3"; do
    read -r from file how want <<<"$check"
    got=$(register "$from" "$RIG_TMP/$file" "$([ "$how" = udp ] && echo udp)" | sed 's/.*: //')
    [ "$got" = "$want" ] || { rig_fail "registration from $from ($file, $how): error ${got:-none}, not $want"; failed=1; }
done

# The floods: unicast to each agent from .66, multicast from .67, each request type for 2.5 s,
# of which the first second is not counted.
phases=srv:1.5,attr-type:1.5,attr-url:1.5,types:1.5,sa:1.5,da:1.5
url=$(head -n 1 "$RIG_TMP/s1/truth" | cut -f1)
sim_url=$(head -n 1 "$RIG_TMP/sim" | cut -f1)
flood() { rig_spawn attacker "$RIG_TMP/flood.$1" "$RIG_PYTHON" "$RIG_HELPERS/flood.py" "$2" "$RIG_PORT" "$3" 1000 1 \
    "$phases" "${@:4}"; }
flood s1 192.0.2.66 192.0.2.11 url="$url"
flood da 192.0.2.66 "$da" type=service:simwbem url="$sim_url"
flood group 192.0.2.67 239.255.255.253 url="$url"
sleep 2
start=$SECONDS
rig_check_multicast st1 s1 || failed=1
rig_check_discover st1 s1 || failed=1
rig_check_attributes st1 s1 || failed=1
[ "$(rig_urls_at st1 "$da" service:simwbem | wc -l)" -ge "$((held / 2))" ] ||
    { rig_fail "the DA's find by unicast lacks URLs"; failed=1; }
echo "the station found everything during the flood in $((SECONDS - start)) s"
for pid in "${RIG_PIDS[@]: -3}"; do wait "$pid"; done

# Every datagram at most the MTU; after the first second, at most the bytes the attacker sent.
for f in "$RIG_TMP"/flood.*; do
    awk -v mtu="$mtu" -v name="${f##*.}" '
        { first = $1 == "first"; for (i = 1; i <= NF; i++) if (split($i, kv, "=") == 2) v[kv[1]] = kv[2] + 0 }
        v["largest"] > mtu || (!first && v["sent"] > 0 && v["received"] > v["sent"]) { bad = 1; print "FAIL: flood of " name ": " $0 }
        !first { printf "  %-5s %-10s %-15s sent %7d  back %7d  largest %4d\n", name, $1, $2, v["sent"], v["received"], v["largest"] }
        END { exit bad }' "$f" || failed=1
done
[ "$failed" = 0 ] && echo "no reply over $mtu bytes, none worth more than its request after a second; $held registrations at the DA"
exit $failed

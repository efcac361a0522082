#!/usr/bin/env bash
# Case: the 132-registration switch (product 59, both interfaces with an IPv4 and 32 IPv6
# addresses). Its SrvRply for either type is several times the 1400-byte MTU, so the station
# gets the whole list only through the overflow paths: by unicast UDP (-u) and by multicast,
# each followed by the same request over TCP. Every URL must arrive.
set -uo pipefail
source "$(dirname "$0")/rig.sh"

rig_init
rig_station st1 192.0.2.200/24 198.51.100.200/24 fd00::200/64
RIG_IPV6_COUNT=32 rig_make_state 1 "$RIG_TMP/big.state"
RIG_AGENT_IPV4_ONLY=1 rig_switch 1 "$RIG_TMP/big.state" || exit 1
rig_wait_registered s1 60 || exit 1
[ "$(wc -l <"$RIG_TMP/s1/truth")" = 132 ] || { rig_fail "orvad-show gives $(wc -l <"$RIG_TMP/s1/truth") records, not 132"; exit 1; }

failed=0
for type in service:wbem service:io-device.3873; do
    rig_expected_urls "$type" s1 >"$RIG_TMP/expected"
    # Guard: the reply must not fit one datagram, or this case tests nothing.
    [ "$(wc -c <"$RIG_TMP/expected")" -gt 1400 ] || { rig_fail "$type list fits the MTU"; failed=1; }
    for how in "-u 192.0.2.11" "-u 198.51.100.11" multicast; do
        if [ "$how" = multicast ]; then args=(); else read -ra args <<<"$how"; fi
        rig_findsrvs st1 "${args[@]}" findsrvs "$type" >"$RIG_TMP/found"
        rig_same "findsrvs $type ($how)" "$RIG_TMP/expected" "$RIG_TMP/found" || failed=1
    done
done
[ "$failed" = 0 ] && echo "132 registrations: every URL by unicast and by multicast"
exit $failed

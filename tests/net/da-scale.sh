#!/usr/bin/env bash
# Case: COUNT switches (agent + orvad each) and our agent as a directory agent (DA) on one LAN.
# Every switch's agent registers what orvad gave it with the DA; at every step the DA must hold
# exactly the URLs of every switch (no registration lost while its holder lives, nothing stale):
#  1. after start: a station finds every URL through the DA (slp-query -u DA), every attribute
#     list byte for byte; a station whose only way out is the DA (net.slp.DAAddresses, no
#     multicast route) finds them all; with every switch agent stopped, a station that only
#     knows the DA by discovery finds them all;
#  2. DA killed (-9) and restarted on an empty state file: within the agents' retry backoff it
#     holds everything again (only the agents can have told it);
#  3. DA killed (-9) and restarted on its state file while every switch agent is stopped: it
#     holds everything at once, from the file;
#  4. CIM switched off on 10% of the switches (at least one): their WBEM URLs leave the DA
#     within orvad's 10 s debounce plus a margin, everything else stays;
#  5. CIM switched off on the next 10% while the DA is down: restarted on its state file, the DA
#     loses those WBEM URLs too, within the agents' retry backoff.
# Usage: da-scale.sh COUNT [configured|discovered]
#   configured: the agents have net.slp.DAAddresses = the DA (default);
#   discovered: they have no DA address; the first half of the switches starts before the DA
#   (they learn of it from its unsolicited DAAdvert), the rest after (they ask for it).
# ORVAD_NET_DA_SWITCHES overrides COUNT (at most 180).
set -uo pipefail
source "$(dirname "$0")/rig.sh"
count=${ORVAD_NET_DA_SWITCHES:-${1:-10}}
mode=${2:-configured}
da_address=192.0.2.2
# The agents' retry backoff tops out at 64 s; a restarted DA advertises within randomWaitBound (1 s).
backoff_limit=${ORVAD_NET_DA_BACKOFF:-75}

rig_init
switches=()
for ((n = 1; n <= count; n++)); do switches+=("s$n"); done
rig_station st1 192.0.2.200/24 198.51.100.200/24 fd00::200/64
# st2 reaches the LAN by unicast only: no multicast route, IPv6 off; it asks the DA it is given.
rig_station st2 192.0.2.201/24
ip -n "$RIG_ID-st2" route del 224.0.0.0/4
echo "net.slp.DAAddresses = $da_address" >>"$RIG_TMP/st2/slp.conf"

case $mode in
configured)
    RIG_AGENT_PROPERTIES="net.slp.DAAddresses = $da_address"
    rig_da da "$da_address/24" 198.51.100.2/24 fd00::2/64 || exit 1
    start=$(date +%s%N)
    rig_switches 1 "$count" || exit 1
    ;;
discovered)
    half=$(((count + 1) / 2))
    start=$(date +%s%N)
    rig_switches 1 "$half" || exit 1
    rig_da da "$da_address/24" 198.51.100.2/24 fd00::2/64 || exit 1
    [ "$half" -ge "$count" ] || rig_switches $((half + 1)) "$count" || exit 1
    ;;
*) echo "da-scale.sh: unknown mode $mode" >&2; exit 2 ;;
esac
echo "$count switches up ($mode) after $((($(date +%s%N) - start) / 1000000)) ms"

# Stops (STOP) or resumes (CONT) every switch's agent: a stopped agent answers nobody, so what a
# station finds then comes from the DA.
switch_agents() {
    local name
    for name in "${switches[@]}"; do kill "-$1" "${RIG_AGENT_PID[$name]}"; done
}

failed=0
# A DA that never got it all fails the case here: the later steps would only repeat the diff.
rig_wait_holds 60 "the DA holding every URL of $count switches" st1 "$da_address" "${switches[@]}" || exit 1
rig_check_attributes_at st1 "$da_address" "${switches[@]}" || failed=1
rig_holds st2 "$da_address" "${switches[@]}" ||
    { rig_fail "st2 (net.slp.DAAddresses, no multicast) does not find what the DA holds"; failed=1; }
for type in service:wbem service:io-device.3873; do
    rig_expected_urls "$type" "${switches[@]}" | sed -e 's/,65535$//' >"$RIG_TMP/expected"
    rig_findsrvs st2 findsrvs "$type" | sed -e 's/,[0-9]*$//' >"$RIG_TMP/found"
    rig_same "findsrvs $type at st2, through the DA of its net.slp.DAAddresses" "$RIG_TMP/expected" \
        "$RIG_TMP/found" || failed=1
done
switch_agents STOP
for type in service:wbem service:io-device.3873; do
    rig_expected_urls "$type" "${switches[@]}" | sed -e 's/,65535$//' >"$RIG_TMP/expected"
    rig_findsrvs st1 findsrvs "$type" | sed -e 's/,[0-9]*$//' >"$RIG_TMP/found"
    rig_same "findsrvs $type at st1 with every switch agent stopped (the DA found by discovery)" \
        "$RIG_TMP/expected" "$RIG_TMP/found" || failed=1
done
switch_agents CONT

# 2. A fresh DA: only the agents' re-registration can fill it.
rig_kill_agent da
sleep 1.1  # a new second, so the new boot timestamp differs even without the old state file
rig_start_da da fresh || exit 1
rig_wait_holds "$backoff_limit" "the fresh DA holding every URL again" st1 "$da_address" "${switches[@]}" ||
    { rig_fail "a DA restarted empty never got everything back from the agents"; failed=1; }

# 3. The DA on its own state file, with nobody to register anything again meanwhile.
switch_agents STOP
rig_kill_agent da
rig_start_da da || { switch_agents CONT; exit 1; }
rig_wait_holds 5 "the DA holding everything from its state file" st1 "$da_address" "${switches[@]}" || failed=1
switch_agents CONT
# The agents now see the DA's new boot timestamp and register everything again: whenever the DA
# answers meanwhile, it answers with all of it. Not answering within the client's wait (busy
# taking the registrations; the station would fall back to multicast) is counted, not failed.
busy=0
for ((i = 0; i < 10; i++)); do
    rig_holds st1 "$da_address" "${switches[@]}" && continue
    if grep -qs '^errorcode:' "$RIG_TMP/held.service:wbem" "$RIG_TMP/held.service:io-device.3873"; then
        busy=$((busy + 1))
        continue
    fi
    for type in service:wbem service:io-device.3873; do
        rig_same "$type URLs at the DA while the agents register again" "$RIG_TMP/want.$type" "$RIG_TMP/held.$type"
    done
    failed=1
    break
done
[ "$busy" = 0 ] || echo "while the agents registered again the DA left $busy of 10 checks unanswered (busy)"
rig_wait_holds 60 "the DA after the agents resumed" st1 "$da_address" "${switches[@]}" || failed=1

# 4. CIM off on every tenth switch.
off=$(((count + 9) / 10))
for ((n = 1; n <= off; n++)); do
    rig_edit_state "s$n" 's/^Config.Services.CIMEnable = True/Config.Services.CIMEnable = False/' || exit 1
    grep -q '^service:wbem' "$RIG_TMP/s$n/truth" && { rig_fail "orvad-show still gives s$n WBEM URLs with CIM off"; exit 1; }
done
rig_wait_holds 18 "WBEM URLs of $off switch(es) gone from the DA" st1 "$da_address" "${switches[@]}" || failed=1
rig_check_attributes_at st1 "$da_address" "s1" "s$count" || failed=1

# 5. CIM off on the next tenth while the DA is down: restarted on its state file, the DA still
# holds their WBEM URLs until the agents deregister them there.
rig_kill_agent da
for ((n = off + 1; n <= 2 * off && n <= count; n++)); do
    rig_edit_state "s$n" 's/^Config.Services.CIMEnable = True/Config.Services.CIMEnable = False/' || exit 1
done
# True when the agents of switches FIRST..LAST have taken their WBEM URLs off.
wbem_gone_locally() {
    local n
    for ((n = $1; n <= $2; n++)); do
        [ "$(grep -c '^deregistered service:wbem' "$RIG_TMP/s$n/agent.log")" -ge 6 ] || return 1
    done
}
last=$((2 * off > count ? count : 2 * off))
if [ "$last" -gt "$off" ]; then
    rig_wait_for 25 "orvad on s$((off + 1))..s$last deregistering its WBEM URLs" wbem_gone_locally $((off + 1)) "$last" ||
        exit 1
    rig_start_da da || exit 1
    rig_wait_holds "$backoff_limit" "the DA rid of what was deregistered while it was down" st1 "$da_address" \
        "${switches[@]}" || failed=1
fi

[ "$failed" = 0 ] && echo "$count switches through the DA ($mode): every URL, every attribute list, after each step"
exit $failed

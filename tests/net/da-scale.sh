#!/usr/bin/env bash
# Case: COUNT switches (agent + orvad each) and our agent as a directory agent (DA) on one LAN.
# Every switch's agent registers what orvad gave it with the DA; at every step the DA must hold
# exactly the URLs of every switch (no registration lost while its holder lives, nothing stale):
#  1. after start: a station finds every URL through the DA (slp-query -u DA), every attribute
#     list byte for byte; a station whose only way out is the DA (net.slp.DAAddresses, no
#     multicast route) finds them all; with every switch agent stopped, a station that only
#     knows the DA by discovery finds them all;
#  2. DA restarted on an empty state file: within the agents' retry backoff it holds everything
#     again, attribute lists byte for byte (only the agents can have told it). Configured, the DA
#     is killed (-9); discovered, it is stopped: it says it goes down, the agents drop it, and
#     once it is back they say they register again because it restarted, within 20 s;
#  3. DA killed (-9) and restarted on its state file while every switch agent is stopped: it
#     holds everything at once, from the file;
#  4. CIM switched off on 10% of the switches (at least one): their WBEM URLs leave the DA
#     within orvad's 10 s debounce plus a margin, everything else stays; orvad-discover at the
#     station lists every switch, those with CIM off too;
#  5. CIM switched off on the next 10% while the DA is down: restarted on its state file, the DA
#     loses those WBEM URLs too, within the agents' retry backoff.
# Usage: da-scale.sh COUNT [configured|discovered]
#   configured: the agents have net.slp.DAAddresses = the DA (default);
#   discovered: they have no DA address; the first half of the switches starts before the DA
#   (they learn of it from its unsolicited DAAdvert), the rest after (they ask for it).
# ORVAD_NET_DA_SWITCHES overrides COUNT (at most 180).
# shellcheck source=tests/harness.sh
source "$(dirname "$0")/../harness.sh"
count=${ORVAD_NET_DA_SWITCHES:-${1:-10}}
mode=${2:-configured}
da=192.0.2.2
# The agents' retry backoff tops out at 64 s; a restarted DA advertises within randomWaitBound (1 s).
backoff_limit=${ORVAD_NET_DA_BACKOFF:-75}
[[ $mode == @(configured|discovered) ]] || h_die "da-scale.sh: unknown mode $mode"

rig_init
rig_node st1 192.0.2.200/24 198.51.100.200/24 fd00::200/64
# st2 reaches the LAN by unicast only: no multicast route, IPv6 off; it asks the DA it is given.
rig_node st2 192.0.2.201/24
ip -n "$RIG_ID-st2" route del 224.0.0.0/4
echo "net.slp.DAAddresses = $da" >>"$h_dir/st2/slp.conf"
start=$(h_now)
if [ "$mode" = configured ]; then
    rig_da da "$da/24" 198.51.100.2/24 fd00::2/64
    RIG_AGENT_PROPERTIES="net.slp.DAAddresses = $da" rig_switches 1 "$count"
else
    rig_switches 1 $(((count + 1) / 2))
    rig_da da "$da/24" 198.51.100.2/24 fd00::2/64
    rig_switches $(((count + 1) / 2 + 1)) "$count"
fi
echo "$count switches up ($mode) after $((($(h_now) - start) / 1000)) ms"

# Stops (STOP) or resumes (CONT) every switch's agent: a stopped agent answers nobody, so what a
# station finds then comes from the DA.
switch_agents() { local name; for name in "${RIG_SWITCHES[@]}"; do kill "-$1" "${RIG_AGENT_PID[$name]}"; done; }

# 1. A DA that never got it all ends the case here: the later steps would only repeat the diff.
rig_wait_holds 60 "the DA holding every URL of $count switches" st1 "$da" "${RIG_SWITCHES[@]}" || exit 1
rig_check_attributes st1 "$da" "${RIG_SWITCHES[@]}"
rig_wait_holds 0 "findsrvs -u DA at st2 (net.slp.DAAddresses, no multicast)" st2 "$da" "${RIG_SWITCHES[@]}"
rig_wait_holds 0 "findsrvs at st2, through the DA of its net.slp.DAAddresses" st2 - "${RIG_SWITCHES[@]}"
switch_agents STOP
rig_wait_holds 0 "findsrvs at st1 with every switch agent stopped (the DA found by discovery)" st1 - "${RIG_SWITCHES[@]}"
switch_agents CONT

# 2. A fresh DA: only the agents' re-registration can fill it.
if [ "$mode" = discovered ]; then
    h_stop "${RIG_AGENT_PID[da]}"
    wait_for 5 grep -q "^lost DA $da " "$h_dir/s1/agent.log" || h_fail "s1's agent did not see the DA go down"
    restart_limit=20
else
    h_stop "${RIG_AGENT_PID[da]}" KILL
    restart_limit=$backoff_limit
fi
sleep 1.1  # a new second, so the new boot timestamp differs even without the old state file
rig_start_agent da fresh
rig_wait_holds "$restart_limit" "the fresh DA holding every URL again" st1 "$da" "${RIG_SWITCHES[@]}"
rig_check_attributes st1 "$da" "${RIG_SWITCHES[@]}"
[ "$mode" != discovered ] || grep -q "^re-registering with DA $da (restarted)" "$h_dir/s$count/agent.log" ||
    h_fail "s$count did not say it registers again because the DA restarted"

# 3. The DA on its own state file, with nobody to register anything again meanwhile.
switch_agents STOP
h_stop "${RIG_AGENT_PID[da]}" KILL
rig_start_agent da
rig_wait_holds 5 "the DA holding everything from its state file" st1 "$da" "${RIG_SWITCHES[@]}"
switch_agents CONT
# The agents now see the DA's new boot timestamp and register everything again: whenever the DA
# answers meanwhile, it answers with all of it. Not answering within the client's wait (busy
# taking the registrations; the station would fall back to multicast) is counted, not failed.
busy=0
for ((i = 0; i < 10; i++)); do  # $h_dir/want: from the rig_wait_holds above
    h_prints "$h_dir/want" rig_urls st1 "$da" && continue
    grep -q '^errorcode:' "$h_dir/printed" && { busy=$((busy + 1)) && continue; }
    h_expect_same "$h_dir/want" "$h_dir/printed" "URLs at the DA while the agents register again"
    break
done
[ "$busy" = 0 ] || echo "while the agents registered again the DA left $busy of 10 checks unanswered (busy)"
rig_wait_holds 60 "the DA after the agents resumed" st1 "$da" "${RIG_SWITCHES[@]}"

# 4. CIM off on every tenth switch.
off=$(((count + 9) / 10))
for ((n = 1; n <= off; n++)); do rig_cim_off "s$n"; done
rig_wait_holds 18 "WBEM URLs of $off switch(es) gone from the DA" st1 "$da" "${RIG_SWITCHES[@]}"
rig_check_attributes st1 "$da" s1 "s$count"
rig_check_discover st1 "${RIG_SWITCHES[@]}"

# 5. CIM off on the next tenth while the DA is down: restarted on its state file, the DA still
# holds their WBEM URLs until the agents deregister them there.
last=$((2 * off > count ? count : 2 * off))
if [ "$last" -gt "$off" ]; then
    h_stop "${RIG_AGENT_PID[da]}" KILL
    for ((n = off + 1; n <= last; n++)); do rig_cim_off "s$n"; done
    # True when the agents of those switches have taken their six WBEM URLs off.
    # shellcheck disable=SC2317 # run by wait_for
    wbem_gone_locally() {
        local n
        for ((n = off + 1; n <= last; n++)); do [ "$(grep -c '^deregistered service:wbem' "$h_dir/s$n/agent.log")" -ge 6 ] || return 1; done
    }
    wait_for 25 wbem_gone_locally || h_die "orvad on s$((off + 1))..s$last did not deregister its WBEM URLs in 25 s"
    rig_start_agent da
    rig_wait_holds "$backoff_limit" "the DA rid of what was deregistered while it was down" st1 "$da" "${RIG_SWITCHES[@]}"
fi
h_end

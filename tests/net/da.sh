#!/usr/bin/env bash
# Case: a directory agent (slp-agent --da) in a namespace of its own. The switches' agents,
# told nothing of it, find it by multicast and register everything there; a station asking the
# DA alone (-u) finds every URL and attribute list, byte for byte. The DA stopped says it goes
# down; started again, empty, it gets everything back from the switches' agents.
set -uo pipefail
source "$(dirname "$0")/rig.sh"

rig_init
rig_station st1 192.0.2.200/24 198.51.100.200/24 fd00::200/64
rig_da da 192.0.2.250/24 || exit 1
rig_switches 1 2 || exit 1
rig_wait_holds 20 "the DA holding both switches" st1 192.0.2.250 s1 s2 || exit 1
rig_check_attributes_at st1 192.0.2.250 s1 s2 || exit 1

kill -TERM "${RIG_AGENT_PID[da]}"
wait "${RIG_AGENT_PID[da]}" 2>/dev/null
rig_wait_for 5 "the switches' agents seeing the DA go down" grep -q '^lost DA 192.0.2.250' "$RIG_TMP/s1/agent.log" ||
    exit 1
sleep 1.1  # a new second, so the new boot timestamp differs
rig_start_da da fresh || exit 1
rig_wait_holds 20 "the restarted DA holding everything again" st1 192.0.2.250 s1 s2 || exit 1
rig_check_attributes_at st1 192.0.2.250 s1 s2 || exit 1
grep -q '^re-registering with DA 192.0.2.250 (restarted)' "$RIG_TMP/s2/agent.log" ||
    { rig_fail "s2 did not say it registers again"; exit 1; }

#!/usr/bin/env bash
# Case: the switch's agent is killed (-9) and started again on its state file. The station must
# find every registration, with exact attribute lists, at once: from the state file, not from
# orvad, whose next pass is ten minutes away.
set -uo pipefail
source "$(dirname "$0")/rig.sh"

rig_init
rig_station st1 192.0.2.200/24 198.51.100.200/24 fd00::200/64
rig_switches 1 1 || exit 1
rig_check_multicast st1 s1 || exit 1

kill -KILL "${RIG_AGENT_PID[s1]}"
wait "${RIG_AGENT_PID[s1]}" 2>/dev/null
start=$(date +%s%N)
rig_start_agent s1 || exit 1
failed=0
rig_check_multicast st1 s1 || failed=1
echo "restarted agent answered with everything after $((($(date +%s%N) - start) / 1000000)) ms"
rig_check_attributes st1 s1 || failed=1
# Every registration came back from the file: orvad registered nothing with the new agent.
if grep -q '^registered ' "$RIG_TMP/s1/agent.log"; then
    rig_fail "orvad registered again, so the check above proves nothing about the state file"
    failed=1
fi
exit $failed

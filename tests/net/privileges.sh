#!/usr/bin/env bash
# Case: least privilege. The agent, started as root with --user nobody, must run as nobody with
# no supplementary groups, no capability in any set and no way to gain one (no_new_privs), and
# still serve: orvad registers with it and a station finds the registrations by multicast. Given
# a state file in a folder only root may write, it refuses to start, naming the folder.
set -uo pipefail
source "$(dirname "$0")/rig.sh"

rig_init
rig_station st1 192.0.2.200/24 198.51.100.200/24 fd00::200/64
RIG_AGENT_ARGS="--user nobody" rig_switches 1 1 || exit 1

uid=$(id -u nobody) gid=$(id -g nobody)
status=/proc/${RIG_AGENT_PID[s1]}/status
{
    printf 'Uid:\t%s\t%s\t%s\t%s\n' "$uid" "$uid" "$uid" "$uid"
    printf 'Gid:\t%s\t%s\t%s\t%s\n' "$gid" "$gid" "$gid" "$gid"
    printf 'Groups:\t\n'
    for set in CapInh CapPrm CapEff CapBnd CapAmb; do printf '%s:\t0000000000000000\n' "$set"; done
    printf 'NoNewPrivs:\t1\n'
} >"$RIG_TMP/expected"
grep -E '^(Uid|Gid|Groups|NoNewPrivs|Cap(Inh|Prm|Eff|Bnd|Amb)):' "$status" | sed 's/[[:space:]]*$//; s/^Groups:$/Groups:\t/' \
    >"$RIG_TMP/found"
failed=0
rig_same "identity and capabilities of the agent ($status)" "$RIG_TMP/expected" "$RIG_TMP/found" || failed=1
rig_check_multicast st1 s1 || failed=1
mkdir -m 700 "$RIG_TMP/root-only"
rig_at st1 "$SLP_AGENT" --state "$RIG_TMP/root-only/state" >"$RIG_TMP/refused" 2>&1 && failed=1
grep -qx "slp-agent: nobody cannot keep the state file in $RIG_TMP/root-only: Permission denied" "$RIG_TMP/refused" ||
    { rig_fail "a state file nobody cannot keep: $(cat "$RIG_TMP/refused")"; failed=1; }
[ "$failed" = 0 ] && echo "agent runs as nobody with no capability, and serves"
exit $failed

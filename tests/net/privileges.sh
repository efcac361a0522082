#!/usr/bin/env bash
# Case: least privilege, and a restart. The agent, started as root with --user nobody, must run
# as nobody with no supplementary groups, no capability in any set and no way to gain one
# (no_new_privs), and still serve: orvad registers with it and a station finds the registrations
# by multicast. Killed (-9) and started again on its state file, it must give the station every
# registration, with exact attribute lists, at once: from the state file, not from orvad, whose
# next pass is ten minutes away. Given a state file in a folder only root may write, it refuses
# to start, naming the folder.
# shellcheck source=tests/harness.sh
source "$(dirname "$0")/../harness.sh"

rig_init
rig_node st1 192.0.2.200/24 198.51.100.200/24 fd00::200/64
RIG_AGENT_ARGS="--user nobody" rig_switches 1 1

uid=$(id -u nobody) gid=$(id -g nobody)
status=/proc/${RIG_AGENT_PID[s1]}/status
printf 'Uid:\t%s\t%s\t%s\t%s\nGid:\t%s\t%s\t%s\t%s\nGroups:\t\n' "$uid" "$uid" "$uid" "$uid" "$gid" "$gid" "$gid" "$gid" >"$h_dir/expected"
printf '%s:\t0000000000000000\n' CapInh CapPrm CapEff CapBnd CapAmb >>"$h_dir/expected"
printf 'NoNewPrivs:\t1\n' >>"$h_dir/expected"
grep -E '^(Uid|Gid|Groups|NoNewPrivs|Cap(Inh|Prm|Eff|Bnd|Amb)):' "$status" | sed 's/[[:space:]]*$//; s/^Groups:$/Groups:\t/' \
    >"$h_dir/found"
h_expect_same "$h_dir/expected" "$h_dir/found" "identity and capabilities of the agent ($status)"
rig_check_multicast st1 s1

h_stop "${RIG_AGENT_PID[s1]}" KILL
start=$(h_now)
rig_start_agent s1
rig_check_multicast st1 s1
echo "restarted agent answered with everything after $((($(h_now) - start) / 1000)) ms"
rig_check_attributes st1 - s1
# Every registration came back from the file: orvad registered nothing with the new agent.
! grep -q '^registered ' "$h_dir/s1/agent.log" ||
    h_fail "orvad registered again, so the check above proves nothing about the state file"

mkdir -m 700 "$h_dir/root-only"
rig_at st1 "$SLP_AGENT" --state "$h_dir/root-only/state" >"$h_dir/refused" 2>&1 && h_fail "the agent started"
grep -qx "slp-agent: nobody cannot keep the state file in $h_dir/root-only: Permission denied" "$h_dir/refused" ||
    h_fail "a state file nobody cannot keep: $(cat "$h_dir/refused")"
h_end

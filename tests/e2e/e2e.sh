#!/usr/bin/env bash
# e2e.sh CASE: the real orvad with the stand-in switch (sim/kesh), our libslp and slp-agent on a
# free loopback port, its syslog captured through a private /dev/log (tools/run-isolated). Each
# case checks what the agent holds (URLs and attribute lists, exactly, against the .records files
# here, written out from the values of sim/kesh/dev-switch.state) and every line the daemon sent
# to syslog, with its priority and tag (against the .log files here). Cases: the functions named
# case_*; ctest runs each alone.
# shellcheck disable=SC2317 # the cases are called by name
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/harness.sh
source "$here/../harness.sh"

pass_timeout=45  # a pass plus the debounce, with room for a slow machine
all=$here/dev-switch.records
no_key_tool=
if [ ! -x "${ORVAD_SSH_KEYGEN-}" ]; then
    # Built with a key tool this machine lacks (the switch's path): orvad leaves the fingerprint
    # out, and the shell that runs the tool says it is missing on the daemon's stderr.
    sed 's/(ssh-fingerprint=[^)]*),//' "$all" >"$h_dir/dev-switch.records"
    all=$h_dir/dev-switch.records
    no_key_tool="^sh: [0-9]*: ${ORVAD_SSH_KEYGEN-}: not found\$"
fi
detach_expected=false

# run_orvad [--builtin] ARGS...: orvad with ARGS under tools/run-isolated, started by name from
# its folder as a user would, on $h_state_file (or with --builtin the stand-in's built-in switch),
# pointed at the agent through an OpenSLP-style configuration file.
run_orvad() {
    local state=(KESH_STATE="$h_state_file")
    if [ "${1-}" = --builtin ]; then state=(); shift; fi
    h_marker=$h_dir
    h_start orvad env -u KESH_STATE OpenSLPConfig="$h_dir/slp.conf" ORVAD_E2E_RUN="$h_marker" \
        PATH="$(dirname "$ORVAD"):$PATH" "${state[@]}" "$RUN_ISOLATED" "$h_dir/log" orvad "$@"
    orvad_pid=$h_pid
}

start_daemon() { state_write && run_orvad; }
state_edit() { state_set "$@" && state_write; }

# wait_registered MARK COUNT: ends the case unless COUNT registrations follow agent line MARK
# within a pass: the pass that registers them has ended.
wait_registered() {
    wait_for "$pass_timeout" h_registered "$1" "$2" ||
        h_die "no $2 registrations after agent line $1: $(cat "$h_agent_out")"
}

# expect_logged FROM FILE: the syslog lines from the FROM-th on are exactly those in FILE.
expect_logged() { h_wait_same 0 "syslog from line $1" "$2" h_logged "$1"; }

# expect_failed_pass FROM FILE PREVIOUS: waits for the lines of one failed pass, FILE, after
# line FROM; checks them and that they came about ten seconds after PREVIOUS (the arrival of the
# last line of the failed pass before).
expect_failed_pass() {
    local count gap
    count=$(grep -c . "$2")
    wait_for "$pass_timeout" h_log_has $(($1 + count)) || h_die "no failed pass after line $1: $(h_logged 0)"
    expect_logged "$1" "$2"
    gap=$(($(h_log_time $(($1 + count - 1))) - $3))
    [ "$gap" -ge 9000000 ] || h_fail "a failed pass is retried ten seconds later, not sooner: after ${gap} us"
    [ "$gap" -le 20000000 ] || h_fail "a failed pass is retried ten seconds later: after ${gap} us"
}

# The daemon is killed; it wrote nothing to stdout or stderr, detached (or not) as the case
# expects, and everything it logged carries its tag.
finish() {
    if [ -n "${orvad_pid-}" ]; then
        h_stop "$orvad_pid" KILL
        [ -z "$no_key_tool" ] || sed -i "\|$no_key_tool|d" "$h_dir/orvad.log"
        [ ! -s "$h_dir/orvad.log" ] || h_fail "the daemon writes nothing to stdout or stderr: $(cat "$h_dir/orvad.log")"
    fi
    local detached=false
    [ "$(h_kill_detached)" = 0 ] || detached=true
    [ "$detached" = "$detach_expected" ] || h_fail "a detached daemon left to clean up: $detached"
    if grep -v '^[0-9.]* <[0-9]*>orvad: ' "$h_log" >&2; then h_fail "syslog lines without the tag orvad"; fi
    h_end
}

case_DetachesAndAdvertisesTheBuiltinSwitch() {
    run_orvad --builtin -d
    h_wait "$orvad_pid" 20 || h_fail "the foreground process returns 0 once the daemon has detached: $?"
    wait_registered 0 12
    h_expect_held "$all"
    expect_logged 0 /dev/null
    detach_expected=true
}

case_OtherProductAdvertisesInterface0WbemOnly() {
    # Neither the UUID nor interface 1 may be read for this product: both would fail the pass.
    state_set Default.Mfg.ProductID 42
    state_set Config.System.Eth.1.Enable False
    state_add "!status Oper.Mfg.UUID 0x1f"
    start_daemon
    wait_registered 0 3
    sleep 1  # nothing else may follow
    grep -E '^service:wbem:https://(192\.0\.2\.10|\[2001:db8::10\]|\[fd00::10\]):5989 ' "$all" >"$h_dir/expected"
    h_expect_held "$h_dir/expected"
    [ "$(h_agent_lines 0 "registered " | wc -l)" = 3 ] || h_fail "not 3 registrations: $(cat "$h_agent_out")"
    expect_logged 0 /dev/null
}

case_RetriesRefusedConnectionsEveryTenSeconds() {
    state_add "!refuse-connect 2"
    start_daemon
    wait_for 20 h_log_has 1 || h_die "no log line"
    expect_logged 0 "$here/refused.log"
    expect_failed_pass 1 "$here/refused.log" "$(h_log_time 0)"
    wait_registered 0 12
    h_expect_held "$all"
    [ "$(h_log_count)" = 2 ] || h_fail "more than two log lines: $(h_logged 0)"
}

case_FollowsServiceAndAddressChangesAndAnAgentRestart() {
    start_daemon
    wait_registered 0 12
    h_expect_held "$all"

    # CIM off: the WBEM URLs go ten seconds later. The builder withdraws them, then the pass's
    # own stale check asks again and the agent refuses the unknown URLs.
    local mark log_mark edited
    mark=$(h_agent_mark) log_mark=$(h_log_count) edited=$(h_now)
    state_edit Config.Services.CIMEnable False
    wait_registered "$mark" 6
    [ $(($(h_now) - edited)) -ge 9000000 ] || h_fail "changes are taken ten seconds after the event, not sooner"
    grep '^service:io-device' "$all" >"$h_dir/expected"
    h_expect_held "$h_dir/expected"
    [ "$(h_agent_lines "$mark" "deregistered " | wc -l)" = 6 ] || h_fail "not 6 deregistrations: $(cat "$h_agent_out")"
    wait_for 5 h_log_has $((log_mark + 12)) || h_fail "no 12 lines for the refused deregistrations"
    expect_logged "$log_mark" "$here/cim-off.log"

    # CIM on again: everything is back.
    mark=$(h_agent_mark) log_mark=$(h_log_count)
    state_edit Config.Services.CIMEnable True
    wait_registered "$mark" 12
    h_expect_held "$all"

    # An IPv6 address of interface 1 removed: its two URLs go, the rest stays.
    mark=$(h_agent_mark)
    state_edit Oper.System.Eth.1.IPv6AddressList 2001:db8::11
    wait_registered "$mark" 10
    awk '$1 !~ /fd00::11/' "$all" | sed 's/(ipv6-addresses=2001:db8::11,fd00::11)/(ipv6-addresses=2001:db8::11)/' \
        >"$h_dir/eth1-less"
    h_expect_held "$h_dir/eth1-less"
    printf '%s\n' "deregistered service:wbem:https://[fd00::11]:5989" \
        "deregistered service:io-device.3873:59://fd00::11" >"$h_dir/expected"
    h_agent_lines "$mark" "deregistered " >"$h_dir/deregistered"
    h_expect_same "$h_dir/expected" "$h_dir/deregistered" "the deregistrations"

    # The agent restarts empty: the next pass, after any event, registers everything again.
    h_stop "$h_agent_pid"
    h_agent_start "$h_agent_port"
    h_expect_held /dev/null
    state_edit Oper.E2e.Touched 1
    wait_registered 0 10
    h_expect_held "$h_dir/eth1-less"
    [ "$(h_log_count)" = "$log_mark" ] || h_fail "nothing is logged by passes that succeed: $(h_logged "$log_mark")"
}

case_FailedReadsAreLoggedAndRetriedWhileRegistrationsStay() {
    start_daemon
    wait_registered 0 12
    local mark from previous="" line
    mark=$(h_agent_mark)

    # Interface 0 switched off: the pass fails every ten seconds, nothing is withdrawn.
    state_edit Config.System.Eth.0.Enable False
    wait_for "$pass_timeout" h_log_has 1 || h_die "no log line"
    expect_logged 0 "$here/eth0-off.log"
    expect_failed_pass 1 "$here/eth0-off.log" "$(h_log_time 0)"

    # A value the switch cannot read, one reader after the other: each retry shows the new one.
    # Edited right after a failed pass's last line: the retry ten seconds later sees it.
    state_set Config.System.Eth.0.Enable True
    local faults=() n=0 i
    while IFS= read -r line; do
        case $line in
        '#'*) ;;
        '!'*) n=$((n + 1)); faults[n]=$line; : >"$h_dir/pass.$n" ;;
        *) printf '%s\n' "$line" >>"$h_dir/pass.$n" ;;
        esac
    done <"$here/failed-reads.log"
    for ((i = 1; i <= n; i++)); do
        echo "-- ${faults[i]}"
        from=$(h_log_count)
        [ -z "$previous" ] || state_remove "$previous"
        state_add "${faults[i]}"
        state_write
        previous=${faults[i]}
        expect_failed_pass "$from" "$h_dir/pass.$i" "$(h_log_time $((from - 1)))"
    done
    [ -z "$(h_agent_lines "$mark" "registered ")$(h_agent_lines "$mark" "deregistered ")" ] ||
        h_fail "a failed pass registers or withdraws: $(cat "$h_agent_out")"
    h_expect_held "$all"

    # The value is back: the next retry succeeds and registers everything again.
    local log_mark
    log_mark=$(h_log_count)
    state_remove "$previous"
    state_write
    wait_registered "$mark" 12
    h_expect_held "$all"
    [ -z "$(h_agent_lines "$mark" "deregistered ")" ] || h_fail "deregistered: $(cat "$h_agent_out")"
    [ "$(h_log_count)" = "$log_mark" ] || h_fail "logged: $(h_logged "$log_mark")"
}

if [ $# != 1 ] || ! declare -F "case_$1" >/dev/null; then
    h_die "usage: e2e.sh CASE; cases: $(declare -F | sed -n 's/.* case_//p' | tr '\n' ' ')"
fi
h_log_start
h_agent_start
"case_$1"
finish

#!/usr/bin/env bash
# soak.sh: a fault soak of the real orvad. For ORVAD_SOAK_SECONDS (default 60) the switch state,
# the SLP agent and the key tool misbehave at random: batch failures, values that cannot be read,
# interfaces and CIM switched, addresses coming and going, the agent killed and restarted, storms
# of edits, the key tool missing or printing garbage. Then the faults stop, and within a pass plus
# the debounce the agent must hold exactly what orvad-show derives from the final state, with the
# daemon's descriptors and threads back where they started and, where valgrind runs it ($VALGRIND
# not empty), no memory lost. Every run prints its seed; ORVAD_SOAK_SEED=N replays that run (same
# bash: the faults come from its $RANDOM).
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/harness.sh
source "$here/../harness.sh"

seconds=${ORVAD_SOAK_SECONDS:-60}
seed=${ORVAD_SOAK_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}
echo "soak: $seconds s of faults, ORVAD_SOAK_SEED=$seed"
key_tool=$h_dir/keygen.out
good_fingerprint='2048 01:23:45:67:89:ab:cd:ef:01:23:45:67:89:ab:cd:ef k (RSA)'

# soak-log.patterns: every line the daemon may log while the switch and the agent misbehave. An
# exception at line 0 would be a failure the daemon did not expect, and matches none of them.

# chance N: sets r to a number from 0 to N - 1. Only here, in this shell, is $RANDOM drawn: the
# seed then replays the same faults.
chance() { r=$((RANDOM % $1)); }
# The switch's word for the last chance 2: True for 1.
word() { if [ "$r" = 1 ]; then echo True; else echo False; fi; }


# expected FILE: the records orvad-show derives from the switch state now.
expected() { h_truth "$h_state_file" "$1" -u FAKE_KEYGEN_OUTPUT FAKE_KEYGEN_FILE="$key_tool"; }

# sleep_us N: sleeps N microseconds (none when N is not positive).
sleep_us() { [ "$1" -le 0 ] || sleep "$(($1 / 1000000)).$(printf '%06d' $(($1 % 1000000)))"; }

count_entries() { find "$1" -mindepth 1 -maxdepth 1 | wc -l; }
fd_links() { local fd; for fd in "$1"/*; do echo "${fd##*/} -> $(readlink "$fd")"; done; }

h_log_start
h_agent_start
printf '%s\n' "$good_fingerprint" >"$key_tool"
RANDOM=$seed

daemon=("$ORVAD")
[ -z "${VALGRIND-}" ] || daemon=("$VALGRIND" --quiet --leak-check=full --log-file="$h_dir/valgrind.log" "$ORVAD")
state_write
h_start orvad env -u FAKE_KEYGEN_OUTPUT OpenSLPConfig="$h_dir/slp.conf" KESH_STATE="$h_state_file" \
    FAKE_KEYGEN_FILE="$key_tool" "$RUN_ISOLATED" "$h_dir/log" "${daemon[@]}"
orvad_pid=$h_pid
expected "$h_dir/first"
h_wait_same 120 "the first pass advertised" "$h_dir/first" h_held || exit 1
proc=/proc/$orvad_pid
fds=$(count_entries "$proc/fd") threads=$(count_entries "$proc/task")
fds_at_start=$(fd_links "$proc/fd")
logged_at_start=$(h_log_count)

# Faults, one every 0.1 to 1.5 s.
values=(Config.Mfg.BrandName Oper.Switch.WWN Config.Services.SSHEnable Config.System.Eth.0.IPAddress
    Oper.System.Eth.1.IPv6AddressList Config.Mfg.Mac1 Oper.Mfg.UUID Config.Snmp.EngineID)
# Address lists per interface, never sharing an address: a URL that moves from interface 1 to
# interface 0 is deregistered by the same pass that registers it (interface 1's stale check comes
# last) and stays away until the next pass.
ipv6_0=("" "2001:db8::10" "2001:db8::10,fd00::10" "fd00::90,2001:db8::10" "fd00::10,,fd00::20")
ipv6_1=("2001:db8::11" "2001:db8::11,fd00::11" "fd00::91,2001:db8::11" "fd00::11,fd00::21")
status="" round=0
end=$(($(h_now) + seconds * 1000000))
while [ "$(h_now)" -lt "$end" ]; do
    chance 9
    case $r in
    0) chance 3; state_add "!fail-batch $((1 + r))" ;;
    1)
        [ -z "$status" ] || state_remove "$status"
        status="" && chance 3
        if [ "$r" != 0 ]; then chance ${#values[@]}; status="!status ${values[r]} 0x1f"; state_add "$status"; fi
        ;;
    2) chance 2; eth=$r; chance 2; state_set "Config.System.Eth.$eth.Enable" "$(word)" ;;
    3) chance 2; state_set Config.Services.CIMEnable "$(word)" ;;
    4)
        chance 2
        if [ "$r" = 0 ]; then chance ${#ipv6_0[@]}; state_set Oper.System.Eth.0.IPv6AddressList "${ipv6_0[r]}"
        else chance ${#ipv6_1[@]}; state_set Oper.System.Eth.1.IPv6AddressList "${ipv6_1[r]}"; fi
        ;;
    5) h_stop "$h_agent_pid"; h_agent_start "$h_agent_port" ;;
    6) for i in {0..49}; do state_set Config.Switch.SoakRound $((round * 100 + i)); state_write; done ;;  # a storm
    7) chance 3; case $r in 0) rm -f "$key_tool" ;; 1) printf 'garbage\001\377' >"$key_tool" ;; *) printf '%s\n' "$good_fingerprint" >"$key_tool" ;; esac ;;
    *) chance 2; state_set Config.Services.TelnetEnable "$(word)" ;;
    esac
    state_write
    round=$((round + 1))
    chance 1400
    sleep_us $(((100 + r) * 1000))
done

# The faults stop. The switch settles in the state the last faults left, every value readable and
# both interfaces on, and an edit announces it.
for line in "!fail-batch 1" "!fail-batch 2" "!fail-batch 3" ${status:+"$status"}; do state_remove "$line"; done
state_set Config.System.Eth.0.Enable True
state_set Config.System.Eth.1.Enable True
state_set Config.Switch.SoakRound settled
state_write
settled=$(h_now)
expected "$h_dir/truth"
h_wait_same 45 "after $round faults, the agent holding what the switch implies" "$h_dir/truth" h_held

if h_logged 0 | grep -vEf "$here/soak-log.patterns" >&2; then h_fail "unexpected log lines (above)"; fi

# Once the last debounce thread is gone, the daemon holds what it held after its first pass.
sleep_us $((settled + 12000000 - $(h_now)))
# syslog(3) keeps its connection to /dev/log from its first message on.
syslog_connection=0
[ "$logged_at_start" != 0 ] || [ "$(h_log_count)" = 0 ] || syslog_connection=1
[ "$(count_entries "$proc/fd")" = $((fds + syslog_connection)) ] ||
    h_fail "descriptors: at start $fds_at_start, now: $(fd_links "$proc/fd")"
h_expect_held "$h_dir/truth"
now=$(count_entries "$proc/task")
[ "$now" = "$threads" ] || h_fail "threads: $threads at start, now $now"

# A sanitizer report from the daemon fails the run at clean-up.
h_kill "$orvad_pid" TERM
h_wait "$orvad_pid" 60
lost='definitely lost|indirectly lost|Invalid read|Invalid write|uninitialised'
if [ -n "${VALGRIND-}" ] && grep -E "$lost" "$h_dir/valgrind.log" >/dev/null; then
    h_fail "valgrind: $(cat "$h_dir/valgrind.log")"
fi
h_end

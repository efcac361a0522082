#!/usr/bin/env bash
# Case: our agents register with a directory agent that is not ours: mini-da.py, a minimal DA
# written from RFC 2608 alone (DAAdverts, SrvReg/SrvDeReg over TCP, SrvAck 0, nothing else).
# s1's agent is given the DA (net.slp.DAAddresses), s2's finds it by asking. The DA must come to
# hold every record of both switches, attribute lists byte for byte, each sent as a fresh SrvReg
# with a lifetime and without the process-id extension (a process id means nothing on the DA's
# host). A heartbeat DAAdvert (same boot timestamp) brings nothing again; a restart (the DA forgets
# everything, boot timestamp + 1, unsolicited DAAdvert) brings everything again; CIM switched off
# on s2 takes its WBEM URLs off the DA within orvad's debounce plus a margin.
# shellcheck source=tests/harness.sh
source "$(dirname "$0")/../harness.sh"
mda=192.0.2.3

rig_init
rig_node mda "$mda/24" 198.51.100.3/24
rig_start mda out "$h_python" "$RIG_HELPERS/mini-da.py" "$mda" "$RIG_PORT" "$h_dir/mda" 500
mini=$h_pid
wait_for 10 grep -q '^listening' "$h_dir/mda/out.log" || h_die "mini-da.py is not listening after 10 s"
RIG_AGENT_PROPERTIES="net.slp.DAAddresses = $mda" rig_switch 1
rig_switch 2
rig_wait_registered s1 30
rig_wait_registered s2 30

# wait_truth SECONDS WHAT: waits until the mini DA holds exactly the truth of s1 and s2.
# shellcheck disable=SC2317 # run by h_wait_same
held() { LC_ALL=C sort "$h_dir/mda/holdings"; }
wait_truth() {
    LC_ALL=C sort "$h_dir/s1/truth" "$h_dir/s2/truth" >"$h_dir/want"
    h_wait_same "$1" "what mini-da.py holds: $2" "$h_dir/want" held || { tail -n 5 "$h_dir/mda/log" >&2; return 1; }
}
registrations() { grep -c '^reg ' "$h_dir/mda/log"; }

wait_truth 30 "every record of s1 (configured) and s2 (discovered)" || exit 1
# "reg URL LIFETIME FLAGS EXTENSIONS": a lifetime, FRESH (0x4000) set, no 9799 extension.
bad=$(awk '$1 == "reg" && ($3 == 0 || $4 != "4000" || $5 ~ /9799/)' "$h_dir/mda/log")
[ -z "$bad" ] || h_fail "SrvRegs that are not fresh, have lifetime 0 or carry a process id: $(echo "$bad" | head -n 5)"

before=$(registrations)
kill -HUP "$mini"
sleep 3
[ "$(registrations)" = "$before" ] ||
    h_fail "a heartbeat with the same boot timestamp made the agents register $(($(registrations) - before)) again"

kill -USR1 "$mini"
wait_for 5 grep -q '^advert [0-9]* restart' "$h_dir/mda/log" || h_die "mini-da.py did not restart"
wait_truth "${ORVAD_NET_DA_BACKOFF:-75}" "everything registered again after the DA's new boot timestamp"

rig_cim_off s2
wait_truth 18 "s2's WBEM URLs gone"
h_end

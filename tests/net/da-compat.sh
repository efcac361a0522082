#!/usr/bin/env bash
# Case: our agents register with a directory agent that is not ours: mini-da.py, a minimal DA
# written from RFC 2608 alone (DAAdverts, SrvReg/SrvDeReg over TCP, SrvAck 0, nothing else).
# s1's agent is given the DA (net.slp.DAAddresses), s2's finds it by asking. The DA must come to
# hold every record of both switches, attribute lists byte for byte, each sent as a fresh SrvReg
# with a lifetime and without the process-id extension (a process id means nothing on the DA's
# host). A heartbeat DAAdvert (same boot timestamp) brings nothing again; a restart (the DA forgets
# everything, boot timestamp + 1, unsolicited DAAdvert) brings everything again; CIM switched off
# on s2 takes its WBEM URLs off the DA within orvad's debounce plus a margin.
set -uo pipefail
source "$(dirname "$0")/rig.sh"
mda=192.0.2.3
backoff_limit=${ORVAD_NET_DA_BACKOFF:-75}

rig_init
rig_node mda "$mda/24" 198.51.100.3/24 || exit 1
mkdir -p "$RIG_TMP/mda"
rig_spawn mda "$RIG_TMP/mda/out" "$RIG_PYTHON" "$RIG_HELPERS/mini-da.py" "$mda" "$RIG_PORT" "$RIG_TMP/mda" 500
mini=$RIG_LAST_PID
rig_wait_for 10 "mini-da.py listening" grep -q '^listening' "$RIG_TMP/mda/out" ||
    { cat "$RIG_TMP/mda/out" >&2; exit 1; }
RIG_AGENT_PROPERTIES="net.slp.DAAddresses = $mda" rig_switch 1 || exit 1
rig_switch 2 || exit 1
rig_wait_registered s1 30 && rig_wait_registered s2 30 || exit 1

# True when the mini DA holds exactly the truth of s1 and s2, attribute lists included.
holds_truth() {
    LC_ALL=C sort "$RIG_TMP/s1/truth" "$RIG_TMP/s2/truth" >"$RIG_TMP/want"
    LC_ALL=C sort "$RIG_TMP/mda/holdings" >"$RIG_TMP/held"
    cmp -s "$RIG_TMP/want" "$RIG_TMP/held"
}
# Waits at most SECONDS for holds_truth; prints the time taken, or the difference.
wait_truth() {
    local start
    start=$(date +%s%N)
    if rig_wait_for "$1" "$2" holds_truth; then
        echo "$2: after $((($(date +%s%N) - start) / 1000000)) ms"
        return 0
    fi
    rig_same "what mini-da.py holds" "$RIG_TMP/want" "$RIG_TMP/held"
    tail -n 5 "$RIG_TMP/mda/log" >&2
    return 1
}
registrations() { grep -c '^reg ' "$RIG_TMP/mda/log"; }

failed=0
wait_truth 30 "mini-da.py holding every record of s1 (configured) and s2 (discovered)" || exit 1
# "reg URL LIFETIME FLAGS EXTENSIONS": a lifetime, FRESH (0x4000) set, no 9799 extension.
bad=$(awk '$1 == "reg" && ($3 == 0 || $4 != "4000" || $5 ~ /9799/)' "$RIG_TMP/mda/log")
[ -z "$bad" ] || { rig_fail "SrvRegs that are not fresh, have lifetime 0 or carry a process id:"; echo "$bad" | head -n 5 >&2; failed=1; }

before=$(registrations)
kill -HUP "$mini"
sleep 3
[ "$(registrations)" = "$before" ] ||
    { rig_fail "a heartbeat with the same boot timestamp made the agents register $(($(registrations) - before)) again"; failed=1; }

kill -USR1 "$mini"
rig_wait_for 5 "mini-da.py restarted" grep -q '^advert [0-9]* restart' "$RIG_TMP/mda/log" || exit 1
wait_truth "$backoff_limit" "everything registered again after the DA's new boot timestamp" || failed=1

rig_edit_state s2 's/^Config.Services.CIMEnable = True/Config.Services.CIMEnable = False/' || exit 1
wait_truth 18 "s2's WBEM URLs gone from mini-da.py" || failed=1
[ "$failed" = 0 ] && echo "our agents registered with a DA that is not ours: everything, exactly"
exit $failed

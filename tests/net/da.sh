#!/usr/bin/env bash
# Case: a directory agent (slp-agent --da) in a namespace of its own. The switches' agents,
# told nothing of it, find it by multicast and register everything there; a station asking the
# DA alone (-u) finds every URL and attribute list, byte for byte. The DA stopped says it goes
# down; started again, empty, it gets everything back from the switches' agents.
set -uo pipefail
source "$(dirname "$0")/rig.sh"

rig_init
rig_station st1 192.0.2.200/24 198.51.100.200/24 fd00::200/64
rig_node da 192.0.2.250/24 || exit 1
mkdir -p "$RIG_TMP/da"
echo "net.slp.port = $RIG_PORT" >"$RIG_TMP/da/agent.conf"
start_da() {
    rm -f "$RIG_TMP/da/agent.log"
    rig_spawn da "$RIG_TMP/da/agent.log" "$SLP_AGENT" --da -c "$RIG_TMP/da/agent.conf" --port "$RIG_PORT" \
        --interfaces 192.0.2.250
    DA_PID=$RIG_LAST_PID
    rig_wait_for 10 "the DA listening" grep -qs '^listening on port' "$RIG_TMP/da/agent.log"
}
# True when the DA answers with exactly the URLs and attribute lists of both switches.
da_holds_all() {
    local type url
    for type in service:wbem service:io-device.3873; do
        rig_expected_urls "$type" s1 s2 >"$RIG_TMP/expected"
        rig_findsrvs st1 -u 192.0.2.250 findsrvs "$type" >"$RIG_TMP/found"
        cmp -s "$RIG_TMP/expected" "$RIG_TMP/found" || return 1
    done
    LC_ALL=C sort "$RIG_TMP/s1/truth" "$RIG_TMP/s2/truth" >"$RIG_TMP/truth"
    while IFS=$'\t' read -r url _; do
        printf '%s\t%s\n' "$url" "$(rig_at st1 "$SLP_QUERY" -u 192.0.2.250 findattrs "$url" </dev/null)"
    done <"$RIG_TMP/truth" >"$RIG_TMP/attrs"
    cmp -s "$RIG_TMP/truth" "$RIG_TMP/attrs"
}

start_da || exit 1
start=$(date +%s%N)
rig_switches 1 2 || exit 1
rig_wait_for 20 "the DA holding everything of both switches" da_holds_all ||
    { rig_same "what the DA holds" "$RIG_TMP/truth" "$RIG_TMP/attrs"; exit 1; }
echo "the DA held both switches $((($(date +%s%N) - start) / 1000000)) ms after they started"

kill -TERM "$DA_PID"
wait "$DA_PID" 2>/dev/null
rig_wait_for 5 "the switches' agents seeing the DA go down" grep -q '^lost DA 192.0.2.250' "$RIG_TMP/s1/agent.log" ||
    exit 1
start_da || exit 1
start=$(date +%s%N)
rig_wait_for 20 "the restarted DA holding everything again" da_holds_all ||
    { rig_same "what the restarted DA holds" "$RIG_TMP/truth" "$RIG_TMP/attrs"; exit 1; }
echo "the restarted DA held everything again after $((($(date +%s%N) - start) / 1000000)) ms"
grep -q '^re-registering with DA 192.0.2.250 (restarted)' "$RIG_TMP/s2/agent.log" ||
    { rig_fail "s2 did not say it registers again"; exit 1; }

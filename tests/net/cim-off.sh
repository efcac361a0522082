#!/usr/bin/env bash
# Case: CIM switched off on one of two switches (its state edited as an administrator would).
# Its WBEM URLs must leave multicast discovery within orvad's debounce (10 s) plus a margin,
# while its I/O-device URLs and the other switch stay; orvad-discover then shows it with CIM off.
set -uo pipefail
source "$(dirname "$0")/rig.sh"

rig_init
rig_station st1 192.0.2.200/24 198.51.100.200/24 fd00::200/64
rig_switches 1 2 || exit 1
rig_check_multicast st1 s1 s2 || exit 1

rig_edit_state s2 's/^Config.Services.CIMEnable = True/Config.Services.CIMEnable = False/' || exit 1
grep -q '^service:wbem' "$RIG_TMP/s2/truth" && { rig_fail "orvad-show still gives WBEM URLs with CIM off"; exit 1; }
start=$(date +%s%N)
rig_expected_urls service:wbem s1 s2 >"$RIG_TMP/expected.wbem"
wbem_gone() {
    rig_findsrvs st1 findsrvs service:wbem >"$RIG_TMP/found.wbem"
    cmp -s "$RIG_TMP/expected.wbem" "$RIG_TMP/found.wbem"
}
if ! rig_wait_for 18 "s2's WBEM URLs gone from multicast discovery" wbem_gone; then
    rig_same "multicast findsrvs service:wbem" "$RIG_TMP/expected.wbem" "$RIG_TMP/found.wbem"
    exit 1
fi
echo "WBEM URLs of s2 gone after $((($(date +%s%N) - start) / 1000000)) ms"
failed=0
rig_check_multicast st1 s1 s2 || failed=1
rig_check_discover st1 s1 s2 || failed=1
exit $failed

#!/usr/bin/env bash
# Case: filtered multicast searches (filters.table) over every list orvad registers and over
# registrations with odd lists: unbalanced parentheses, '=' or '(' in a value, a blank before an
# item, a bare item after a comma. Each search must bring exactly the registrations the table
# names, and afterwards the agent must still run and hold every registration.
set -uo pipefail
source "$(dirname "$0")/rig.sh"

rig_init
rig_station st1 192.0.2.200/24 198.51.100.200/24 fd00::200/64
rig_switches 1 1 || exit 1
dir=$RIG_TMP/s1

# The odd registrations, sent straight to the agent over loopback inside the switch.
wbem_list=$(grep -m1 '^service:wbem:https://192.0.2.11:5989	' "$dir/truth" | cut -f2 | sed 's/192\.0\.2\.11/192.0.2.99/g')
{
    printf 'service:wbem:https://192.0.2.99:5989\t%s\n' "$wbem_list"
    printf 'service:rigprobe://192.0.2.11/1\t(x=1), (y=2)\n'
    printf 'service:rigprobe://192.0.2.11/2\t(x=a=b)\n'
    printf 'service:rigprobe://192.0.2.11/3\t(x=a(b)\n'
    printf 'service:rigprobe://192.0.2.11/4\t(x=1),y=2\n'
} >"$RIG_TMP/odd"
rig_at s1 "$RIG_PYTHON" "$RIG_HELPERS/slp-register.py" 127.0.0.1 "$RIG_PORT" "$RIG_TMP/odd" >"$RIG_TMP/odd.acks" ||
    { rig_fail "registering the odd lists: $(cat "$RIG_TMP/odd.acks")"; exit 1; }

# The URLs a name of the table stands for.
urls_of() {
    case $1 in
    wbem) cut -f1 "$dir/truth" | grep '^service:wbem:' ;;
    io0) cut -f1 "$dir/truth" | grep -E '^service:io-device.3873:59://(192\.0\.2\.11|fd00::[12]0:1)$' ;;
    io1) cut -f1 "$dir/truth" | grep -E '^service:io-device.3873:59://(198\.51\.100\.11|fd00::[12]1:1)$' ;;
    w1) echo service:wbem:https://192.0.2.99:5989 ;;
    p[1-4]) echo "service:rigprobe://192.0.2.11/${1#p}" ;;
    esac
}

failed=0 searches=0
while IFS=$'\t' read -r type filter names; do
    case $type in '' | '#'*) continue ;; esac
    searches=$((searches + 1))
    # Built without the switch's key tool, orvad advertises no fingerprint.
    grep -q 'ssh-fingerprint=' "$dir/truth" || case $filter in *ssh-fingerprint*) names=- ;; esac
    rig_findsrvs st1 findsrvs "$type" "" "$filter" </dev/null >"$RIG_TMP/found"
    [ "$names" = "?" ] && continue
    for name in $names; do [ "$name" = - ] || urls_of "$name"; done | sed 's/$/,65535/' | LC_ALL=C sort >"$RIG_TMP/expected"
    rig_same "findsrvs $type \"\" \"$filter\"" "$RIG_TMP/expected" "$RIG_TMP/found" || failed=1
done <"$RIG_HELPERS/filters.table"

# Nothing lost: the agent still runs and holds orvad's records and the odd ones.
kill -0 "${RIG_AGENT_PID[s1]}" 2>/dev/null || { rig_fail "the agent of s1 died"; exit 1; }
for type in service:wbem service:io-device.3873 service:rigprobe; do
    { rig_expected_urls "$type" s1; cut -f1 "$RIG_TMP/odd" | grep -F "$type:" | sed 's/$/,65535/'; } |
        LC_ALL=C sort >"$RIG_TMP/expected"
    rig_findsrvs st1 findsrvs "$type" </dev/null >"$RIG_TMP/found"
    rig_same "every $type registration kept" "$RIG_TMP/expected" "$RIG_TMP/found" || failed=1
done
[ "$failed" = 0 ] && echo "$searches filtered searches answered as expected; every registration kept"
exit $failed

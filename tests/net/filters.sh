#!/usr/bin/env bash
# Case: filtered multicast searches (filters.table) over every list orvad registers and over
# registrations with odd lists: unbalanced parentheses, '=' or '(' in a value, a blank before an
# item, a bare item after a comma. Each search must bring exactly the registrations the table
# names, and afterwards the agent must still run and hold every registration.
# shellcheck source=tests/harness.sh
source "$(dirname "$0")/../harness.sh"

rig_init
rig_node st1 192.0.2.200/24 198.51.100.200/24 fd00::200/64
rig_switches 1 1
truth=$h_dir/s1/truth

# The odd registrations, sent straight to the agent over loopback inside the switch.
wbem_list=$(grep -m1 '^service:wbem:https://192.0.2.11:5989 ' "$truth" | cut -d' ' -f2- | sed 's/192\.0\.2\.11/192.0.2.99/g')
printf '%s\n' "service:wbem:https://192.0.2.99:5989 $wbem_list" 'service:rigprobe://192.0.2.11/1 (x=1), (y=2)' \
    'service:rigprobe://192.0.2.11/2 (x=a=b)' 'service:rigprobe://192.0.2.11/3 (x=a(b)' \
    'service:rigprobe://192.0.2.11/4 (x=1),y=2' >"$h_dir/odd"
rig_at s1 "$h_python" "$RIG_HELPERS/slp-register.py" 127.0.0.1 "$RIG_PORT" "$h_dir/odd" >"$h_dir/odd.acks" ||
    h_die "registering the odd lists: $(cat "$h_dir/odd.acks")"

# The URLs a name of the table stands for.
urls_of() {
    case $1 in
    wbem) cut -d' ' -f1 "$truth" | grep '^service:wbem:' ;;
    io0) cut -d' ' -f1 "$truth" | grep -E '^service:io-device.3873:59://(192\.0\.2\.11|fd00::[12]0:1)$' ;;
    io1) cut -d' ' -f1 "$truth" | grep -E '^service:io-device.3873:59://(198\.51\.100\.11|fd00::[12]1:1)$' ;;
    w1) echo service:wbem:https://192.0.2.99:5989 ;;
    p[1-4]) echo "service:rigprobe://192.0.2.11/${1#p}" ;;
    esac
}

while IFS=$'\t' read -r type filter names; do
    case $type in '' | '#'*) continue ;; esac
    # Built without the switch's key tool, orvad advertises no fingerprint.
    grep -q 'ssh-fingerprint=' "$truth" || case $filter in *ssh-fingerprint*) names=- ;; esac
    rig_at st1 "$SLP_QUERY" findsrvs "$type" "" "$filter" </dev/null | LC_ALL=C sort >"$h_dir/found"
    [ "$names" = "?" ] && continue
    for name in $names; do [ "$name" = - ] || urls_of "$name"; done | sed 's/$/,65535/' | LC_ALL=C sort >"$h_dir/expected"
    h_expect_same "$h_dir/expected" "$h_dir/found" "findsrvs $type \"\" \"$filter\""
done <"$RIG_HELPERS/filters.table"

# Nothing lost: the agent still runs and holds orvad's records and the odd ones.
h_running "${RIG_AGENT_PID[s1]}" || h_die "the agent of s1 died"
h_types+=(service:rigprobe)
for type in "${h_types[@]}"; do
    cut -d' ' -f1 "$truth" "$h_dir/odd" | grep -F "$type:" | sed 's/$/,65535/' | LC_ALL=C sort
done >"$h_dir/expected"
h_wait_same 0 "every registration kept" "$h_dir/expected" rig_finds st1
h_end

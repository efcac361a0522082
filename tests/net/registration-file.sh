#!/usr/bin/env bash
# Case: services from a registration file. A switch's agent started with -r FILE advertises each
# entry beside orvad's records: a station finds the URLs by multicast and their attribute lists
# byte for byte. After an edit and SIGHUP the station finds the new content: a changed list, an
# entry gone, an entry added. A bad entry is skipped with a line naming file and line. A station
# without a multicast route, set to broadcast only (net.slp.isBroadcastOnly), finds them too.
# shellcheck source=tests/harness.sh
source "$(dirname "$0")/../harness.sh"

rig_init
rig_node st1 192.0.2.200/24
rig_node st2 192.0.2.201/24
ip -n "$RIG_ID-st2" route del 224.0.0.0/4
echo "net.slp.isBroadcastOnly = TRUE" >>"$h_dir/st2/slp.conf"
reg=$h_dir/slp.reg
cat >"$reg" <<'REG'
# the switch's other services
service:printer:lpr://192.0.2.11/queue,en,65535
printer-name=lab 3 \28east\29
color-supported
media=a4,letter

; a web UI outside the service: scheme
http://192.0.2.11/,en,65535,service:web-ui
ui-version=2

service:broken://192.0.2.11,en,0
REG
RIG_AGENT_IPV6=false RIG_AGENT_ARGS="-r $reg" rig_switches 1 1

# shellcheck disable=SC2317 # run by h_wait_same
# What st1 finds by multicast: "TYPE URL,LIFETIME ATTRIBUTES" lines, sorted.
finds() {
    local type url
    for type in service:printer service:web-ui service:spool; do
        rig_at st1 "$SLP_QUERY" findsrvs "$type" | while IFS=, read -r url _; do
            printf '%s %s,65535 %s\n' "$type" "$url" "$(rig_at st1 "$SLP_QUERY" findattrs "$url")"
        done
    done | LC_ALL=C sort
}
# expect WHAT LINE...: st1 finds exactly the LINEs.
expect() { printf '%s\n' "${@:2}" >"$h_dir/expected"; h_wait_same 0 "$1" "$h_dir/expected" finds; }

grep -qx "slp-agent: $reg:11: lifetime '0' is not 1 to 65535; entry skipped" "$h_dir/s1/agent.log" ||
    h_fail "no line for the bad entry"
expect "the file's services" \
    'service:printer service:printer:lpr://192.0.2.11/queue,65535 (printer-name=lab 3 \28east\29),color-supported,(media=a4,letter)' \
    'service:web-ui http://192.0.2.11/,65535 (ui-version=2)'

sed -i -e 's/^media=a4,letter/media=a3/' -e '/^http/,/^ui-version/d' "$reg"
printf '\nservice:spool://192.0.2.11:515,en,65535\nspooler\n' >>"$reg"
kill -HUP "${RIG_AGENT_PID[s1]}"
wait_for 5 grep -q '^deregistered http://192.0.2.11/$' "$h_dir/s1/agent.log" || h_die "the agent did not re-read its registration file"
expect "the file's services after an edit and SIGHUP" \
    'service:printer service:printer:lpr://192.0.2.11/queue,65535 (printer-name=lab 3 \28east\29),color-supported,(media=a3)' \
    'service:spool service:spool://192.0.2.11:515,65535 spooler'
rig_check_multicast st1 s1
[ "$(rig_at st2 "$SLP_QUERY" findsrvs service:spool)" = service:spool://192.0.2.11:515,65535 ] ||
    h_fail "a station that broadcasts does not find service:spool"
h_end

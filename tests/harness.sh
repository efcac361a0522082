# shellcheck shell=bash
# harness.sh: what the process-level tests (e2e, soak, net, the tool tests) and the network
# benches share, sourced by bash scripts. A temp folder per run ($h_dir); child processes in
# process groups of their own with their output in files; bounded waiting; a failure record. On
# exit everything started here is stopped (TERM, then KILL), every namespace made removed and
# every file written deleted, also when a check fails or the run is interrupted; after a failure
# the end of each process's output is printed, and a sanitizer report in any of it fails the run.
# Sections: syslog capture and the SLP agent on loopback (e2e, soak, tool tests), the switch
# state edited line by line, and the network rig (net, benches).
#
# Programs come from the environment (ctest sets them), else from RIG_BUILD (build/default):
# ORVAD SLP_AGENT SLP_QUERY ORVAD_SHOW ORVAD_DISCOVER LOG_SINK RUN_ISOLATED DEV_SWITCH_STATE
# (and VALGRIND, empty when the daemon runs without it). A script reports failures with h_fail
# (the run goes on) or h_die (it ends), and ends with h_end. Exit status: 0 passed, 1 failed,
# 77 skipped (no namespace for the syslog capture or the rig). RIG_KEEP=1 keeps the temp folder;
# RIG_NO_LOGS=1 prints no output tails after a failure.

set -uo pipefail
h_source=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
: "${RIG_BUILD:=$h_source/build/default}"
: "${ORVAD:=$RIG_BUILD/daemon/orvad}" "${SLP_AGENT:=$RIG_BUILD/slp-agent/slp-agent}"
: "${SLP_QUERY:=$RIG_BUILD/tools/slp-query}" "${ORVAD_SHOW:=$RIG_BUILD/tools/orvad-show}"
: "${ORVAD_DISCOVER:=$RIG_BUILD/tools/orvad-discover}" "${LOG_SINK:=$RIG_BUILD/tools/log-sink}"
: "${RUN_ISOLATED:=$h_source/tools/run-isolated}" "${DEV_SWITCH_STATE:=$h_source/sim/kesh/dev-switch.state}"
h_python=$(command -v /usr/bin/python3 || command -v python3)
h_dir=$(mktemp -d "${TMPDIR:-/tmp}/orvad-test.XXXXXX") || exit 1
chmod 755 "$h_dir"  # agents read their files after dropping root
h_pids=()
h_netns=()   # namespaces made, in order
h_marker=""  # ORVAD_E2E_RUN value of daemons that may have detached themselves
h_sanitizer='==[0-9]+==ERROR: |WARNING: ThreadSanitizer|: runtime error: '
h_types=(service:wbem service:io-device.3873)  # what orvad advertises

h_cleanup() {
    local status=$? pid i
    [ "$BASHPID" = $$ ] || exit "$status"  # a child signalled before it ran its program cleans nothing
    trap - EXIT INT TERM
    trap '' PIPE  # a reader that went away must not stop the clean-up half way
    [ "$status" != 0 ] || [ ! -s "$h_dir/failures" ] || status=1
    {  # CONT: a stopped process would otherwise see TERM only once killed
        for pid in "${h_pids[@]}"; do h_kill "$pid" TERM && h_kill "$pid" CONT; done
        wait_for 3 h_all_exited
        for pid in "${h_pids[@]}"; do h_kill "$pid" KILL; done
        wait
    } 2>/dev/null
    for ((i = ${#h_netns[@]} - 1; i >= 0; i--)); do h_remove_netns "${h_netns[i]}"; done
    [ -z "$h_marker" ] || h_kill_detached >/dev/null
    # Sanitizer builds report leaks at exit, after the checks: such a report fails the run.
    if [ "$status" = 0 ] && grep -rqE "$h_sanitizer" "$h_dir" 2>/dev/null; then
        echo "FAIL: sanitizer report:" >&2
        grep -rE -A15 "$h_sanitizer" "$h_dir" | head -n 60 >&2
        status=1
    fi
    if [ "$status" != 0 ] && [ "$status" != 77 ] && [ -z "${RIG_NO_LOGS-}" ]; then h_show_logs; fi
    if [ "${RIG_KEEP-}" = 1 ]; then echo "logs kept in $h_dir" >&2; else rm -rf "$h_dir"; fi
    exit "$status"
}
trap h_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# After a failure: the end of each process's output (the first eight, by name).
h_show_logs() {
    local file
    find "$h_dir" -name '*.log' -size +0 | LC_ALL=C sort | head -n 8 | while IFS= read -r file; do
        echo "--- ${file#"$h_dir"/} (last 15 lines)"
        tail -n 15 "$file" | cut -c1-160
    done >&2
}

# Records a failure (kept in a file, so a check inside $(...) counts too) and goes on; returns 1.
h_fail() { printf 'FAIL: %s\n' "$*" | tee -a "$h_dir/failures" >&2; return 1; }

# Records a failure and ends the run.
h_die() { h_fail "$@"; exit 1; }

# Ends the run: 1 when anything failed, else 0.
h_end() {
    [ -s "$h_dir/failures" ] && { echo "FAILED: $(wc -l <"$h_dir/failures") check(s)"; exit 1; }
    echo PASSED
    exit 0
}

# h_expect_same EXPECTED ACTUAL WHAT: checks that the two files are the same; else records a
# failure and prints the difference (- expected, + actual).
h_expect_same() {
    diff -u --label expected --label actual "$1" "$2" >"$h_dir/diff" && return 0
    h_fail "$3 differs:"
    head -n 60 "$h_dir/diff" >&2
    return 1
}

# Microseconds since boot (/proc/uptime: a clock that setting the time does not move; 10 ms steps).
h_now() { local up; read -r up _ </proc/uptime; echo $((10#${up/./} * 10000)); }

# wait_for SECONDS COMMAND...: runs COMMAND every 50 ms until it succeeds or SECONDS have
# passed (at most SECONDS * 20 + 1 runs); its last status.
wait_for() {
    local seconds=$1 tries=0
    shift
    local end=$(($(h_now) + seconds * 1000000))
    while [ "$(h_now)" -lt "$end" ] && [ "$tries" -lt $((seconds * 20)) ]; do
        "$@" && return 0
        tries=$((tries + 1))
        sleep 0.05
    done
    "$@"
}

# h_prints FILE COMMAND...: whether COMMAND prints exactly what FILE holds (its output is left
# in $h_dir/printed).
h_prints() { "${@:2}" >"$h_dir/printed"; cmp -s "$1" "$h_dir/printed"; }

# h_wait_same SECONDS WHAT EXPECTED COMMAND...: waits at most SECONDS (0: checks once) until
# COMMAND prints what the file EXPECTED holds; says how long that took, or fails with the diff.
h_wait_same() {
    local start
    start=$(h_now)
    if wait_for "$1" h_prints "$3" "${@:4}"; then
        [ "$1" = 0 ] || echo "$2: after $((($(h_now) - start) / 1000)) ms"
        return 0
    fi
    h_expect_same "$3" "$h_dir/printed" "$2"
}

# h_start NAME COMMAND...: starts COMMAND in a process group of its own, stdin /dev/null, stdout
# and stderr in $h_dir/NAME.log. Sets h_pid.
h_start() {
    setsid "${@:2}" </dev/null >"$h_dir/$1.log" 2>&1 &
    h_pid=$! && h_pids+=("$h_pid")
}

h_running() { kill -0 "$1" 2>/dev/null; }
h_exited() { ! h_running "$1"; }
h_all_exited() { local pid; for pid in "${h_pids[@]}"; do h_exited "$pid" || return 1; done; }

# h_ours PID: whether PID is still a child of this shell (running or not yet reaped), so neither
# it nor its process group can be some other process that got the number since.
h_ours() { local stat; stat=$(cat "/proc/$1/stat" 2>/dev/null) && read -r _ stat _ <<<"${stat##*) }" && [ "$stat" = $$ ]; }

# h_kill PID SIGNAL: sends SIGNAL to PID's process group and PID, if it is still ours.
h_kill() { ! h_ours "$1" || kill -"$2" -- "-$1" "$1" 2>/dev/null; }

# h_wait PID SECONDS: the exit status of PID (128 + N after signal N), or 255 when it is still
# running after SECONDS (it is left running).
h_wait() {
    wait_for "$2" h_exited "$1" || return 255
    wait "$1" 2>/dev/null
}

# h_stop PID [SIGNAL]: sends SIGNAL (TERM) to PID, SIGKILL when it still runs five seconds later;
# without bash's "Killed" note, which it prints whenever it reaps the child.
h_stop() {
    {
        h_kill "$1" "${2:-TERM}"
        h_wait "$1" 5
        [ $? != 255 ] || { h_kill "$1" KILL; wait "$1"; }
    } 2>/dev/null
}

# h_kill_detached: kills every process whose environment holds ORVAD_E2E_RUN=$h_marker (what a
# daemon that detached itself leaves behind); prints how many there were.
h_kill_detached() {
    local environ count=0
    for environ in /proc/[0-9]*/environ; do
        grep -qzxF "ORVAD_E2E_RUN=$h_marker" "$environ" 2>/dev/null && kill -KILL "${environ//[^0-9]/}" 2>/dev/null &&
            count=$((count + 1))
    done
    echo "$count"
}

# h_shown_records: orvad-show's output on stdin as records: a URL line, then its attribute items
# indented two spaces (each may end in the "," that separates it from the next), joined with ",";
# a URL listed again keeps its last attributes. "URL ATTRIBUTES" a line, sorted.
h_shown_records() {
    awk '/^  / { item = substr($0, 3); sub(/,$/, "", item)
                 items[url] = items[url] (items[url] == "" ? "" : ",") item; next }
         { url = $0; items[url] = "" }
         END { for (url in items) print url " " items[url] }' | LC_ALL=C sort
}

# h_truth STATE FILE [ENV...]: the records orvad-show derives from switch state file STATE, run
# under env ENV..., into FILE (h_shown_records): what the agent must hold, byte for byte.
h_truth() {
    env "${@:3}" KESH_STATE="$1" timeout 60 "$ORVAD_SHOW" >"$2.show" 2>"$2.err" ||
        h_fail "orvad-show on $1: $(cat "$2.err")" || return
    h_shown_records <"$2.show" >"$2"
}

# --- syslog ------------------------------------------------------------------------------------

h_log=$h_dir/syslog.log  # "SECONDS <PRIORITY>TAG: TEXT" per message, TEXT escaped (log-sink --stamped)

# Starts the capture on $h_dir/log and checks that tools/run-isolated can make it a program's
# /dev/log: exit 77 where it cannot create its namespace.
h_log_start() {
    h_start syslog "$LOG_SINK" --stamped "$h_dir/log"
    wait_for 5 test -S "$h_dir/log" || h_die "log-sink did not create its socket: $(cat "$h_log")"
    "$RUN_ISOLATED" "$h_dir/log" /bin/true 2>"$h_dir/probe.err" && return
    [ $? != 125 ] || { echo "SKIP: needs root or user namespaces: $(cat "$h_dir/probe.err")"; exit 77; }
    h_die "run-isolated failed: $(cat "$h_dir/probe.err")"
}

h_log_count() { wc -l <"$h_log"; }

# h_logged FROM: the messages from the FROM-th on (0-based), "<PRIORITY>TAG: TEXT".
h_logged() { tail -n "+$(($1 + 1))" "$h_log" | cut -d' ' -f2-; }

# h_log_time N: when message N (0-based) arrived, in microseconds; empty when there is none.
h_log_time() { sed -n "$(($1 + 1)){s/ .*//;s/\.//;p}" "$h_log"; }

h_log_has() { [ "$(h_log_count)" -ge "$1" ]; }

# --- SLP agent on loopback ---------------------------------------------------------------------

# h_agent_start [PORT]: starts slp-agent on PORT (default: a random free one, tried again
# elsewhere when taken), with the options in the array h_agent_args, and waits at most five
# seconds for its "listening on port" line. Its output is in $h_agent_out, fresh for each start.
# Writes slp.conf, the OpenSLPConfig file that points at it, and sets h_query.
h_agent_out=$h_dir/agent.log
h_agent_args=()
h_agent_start() {
    local _
    for _ in 1 2 3 4 5; do
        h_agent_port=${1:-$((20000 + RANDOM % 40000))}
        h_start agent "$SLP_AGENT" --port "$h_agent_port" "${h_agent_args[@]}"
        h_agent_pid=$h_pid
        if wait_for 5 grep -qsx "listening on port $h_agent_port" "$h_agent_out"; then
            printf 'net.slp.port = %s\n' "$h_agent_port" >"$h_dir/slp.conf"
            # Without -u slp-query looks for agents by multicast, which loopback cannot carry.
            h_query=("$SLP_QUERY" --port "$h_agent_port" -u 127.0.0.1)
            return 0
        fi
        h_stop "$h_agent_pid"
    done
    h_die "slp-agent did not start: $(cat "$h_agent_out")"
}

# h_agent_lines MARK PREFIX: the agent's lines after the first MARK that begin with PREFIX.
h_agent_lines() { tail -n "+$(($1 + 1))" "$h_agent_out" | awk -v prefix="$2" 'index($0, prefix) == 1'; }
h_agent_mark() { wc -l <"$h_agent_out"; }

# h_registered MARK COUNT: whether COUNT registrations came after MARK.
h_registered() { [ "$(h_agent_lines "$1" "registered " | wc -l)" -ge "$2" ]; }

# h_held: what the agent holds of the two advertised types, "URL ATTRIBUTES" a line, sorted. A
# failed query, an error line or a lifetime other than 65535 is a failure.
h_held() {
    local type url lifetime
    for type in "${h_types[@]}"; do
        env -u OpenSLPConfig timeout 20 "${h_query[@]}" findsrvs "$type" >"$h_dir/found" || h_fail "slp-query findsrvs $type failed"
        while IFS=, read -r url lifetime; do
            [[ $url != errorcode:* && -n $lifetime ]] || { h_fail "findsrvs $type: $url" && continue; }
            [ "$lifetime" = 65535 ] || h_fail "$url: lifetime $lifetime"
            printf '%s %s\n' "$url" "$(env -u OpenSLPConfig timeout 20 "${h_query[@]}" findattrs "$url" ||
                h_fail "slp-query findattrs $url failed")"
        done <"$h_dir/found"
    done | LC_ALL=C sort
}

# h_expect_held FILE: checks that the agent holds exactly the records in FILE (as h_held prints them).
h_expect_held() { h_wait_same 0 "what the agent holds" "$1" h_held; }

# --- switch state ------------------------------------------------------------------------------

# A copy of DEV_SWITCH_STATE, edited in memory and written by atomic rename to $h_state_file,
# as the stand-in's README advises for a running daemon.
h_state_file=$h_dir/switch.state
mapfile -t h_state <"$DEV_SWITCH_STATE"

# state_set NAME VALUE: replaces the line "NAME = ..." or appends one.
state_set() {
    local i
    for i in "${!h_state[@]}"; do [[ ${h_state[i]} != "$1 ="* ]] || { h_state[i]="$1 = $2" && return; }; done
    h_state+=("$1 = $2")
}

# state_add LINE (e.g. "!status NAME 0x1f"); state_remove LINE: every line that is exactly LINE.
state_add() { h_state+=("$1"); }
state_remove() {
    local i
    for i in "${!h_state[@]}"; do [ "${h_state[i]}" != "$1" ] || unset 'h_state[i]'; done
    h_state=("${h_state[@]}")
}

state_write() {
    printf '%s\n' "${h_state[@]}" >"$h_state_file.new" && mv "$h_state_file.new" "$h_state_file" ||
        h_fail "cannot replace $h_state_file"
}

# --- network rig -------------------------------------------------------------------------------
# A LAN of network namespaces: a bridge in namespace $RIG_LAN, one veth pair per node, whose
# files are under $h_dir/NODE. Addresses come only from 192.0.2.0/24, 198.51.100.0/24,
# 203.0.113.0/24 and fd00::/8, and the namespaces are joined to nothing but each other, so no
# packet can reach the host's network. A switch node sN runs an slp-agent on the switch's
# addresses and orvad on a state of its own; stations query them.
# Knobs: RIG_PORT (SLP port, 427), RIG_MCAST_WAIT and RIG_MCAST_TIMEOUTS (the nodes'
# net.slp.multicastMaximumWait, 3000 ms, and net.slp.multicastTimeouts), RIG_CMD_SECONDS (120,
# the bound of a command run by rig_at). rig_switch takes more, as temporary assignments.

: "${RIG_PORT:=427}" "${RIG_MCAST_WAIT:=3000}" "${RIG_MCAST_TIMEOUTS:=250,500,750,1000}"
RIG_HELPERS=$h_source/tests/net
RIG_ID=orn$$  # namespace names: orn<pid>-lan, orn<pid>-<node>
RIG_LAN=$RIG_ID-lan
declare -A RIG_AGENT_PID RIG_ORVAD_PID rig_agent_options  # per node
RIG_SWITCHES=()  # the switch nodes made, in order

# Removes namespace NS and every process in it.
h_remove_netns() {
    local pid
    for pid in $(ip netns pids "$1" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
    ip netns del "$1" 2>/dev/null || echo "cannot delete namespace $1" >&2
}

# Makes the LAN, or exits 77 where network namespaces cannot be made. Namespaces of earlier runs
# whose script is gone (killed before its clean-up ran) are removed first.
rig_init() {
    local program ns
    for program in "$ORVAD" "$SLP_AGENT" "$SLP_QUERY" "$ORVAD_SHOW"; do [ -x "$program" ] || h_die "$program is not built"; done
    if [ "$(id -u)" != 0 ] || ! command -v ip >/dev/null; then
        echo "SKIP: needs root and iproute2 to make network namespaces"
        exit 77
    fi
    for ns in $(ip netns list 2>/dev/null | grep -oE '^orn[0-9]+-[^ ]+'); do
        [[ $ns =~ ^orn([0-9]+) ]] && ! h_running "${BASH_REMATCH[1]}" && h_remove_netns "$ns"
    done
    ip netns add "$RIG_LAN" 2>/dev/null || { echo "SKIP: cannot make a network namespace here"; exit 77; }
    h_netns+=("$RIG_LAN")
    # Snooping off: the bridge floods multicast to every port, like a plain switch.
    ip -n "$RIG_LAN" link add br0 type bridge mcast_snooping 0
    ip -n "$RIG_LAN" link set lo up
    ip -n "$RIG_LAN" link set br0 up
}

# rig_node NAME ADDR/PREFIX...: namespace $RIG_ID-NAME with eth0 on the bridge holding the
# addresses (IPv6 without duplicate detection, so they work at once), loopback up, a multicast
# route, and $h_dir/NAME/slp.conf, the SLP properties of what runs there: the rig's port and
# short multicast waits (which only queries use).
rig_node() {
    local name=$1 ns=$RIG_ID-$1 address
    shift
    ip netns add "$ns" || h_die "cannot make namespace $ns"
    h_netns+=("$ns")
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.accept_dad=0 net.ipv6.conf.all.accept_dad=0 \
        net.ipv6.conf.default.router_solicitations=0 >/dev/null
    ip link add eth0 netns "$ns" type veth peer name "$name" netns "$RIG_LAN" || h_die "cannot link $ns"
    ip -n "$RIG_LAN" link set "$name" master br0 up
    ip -n "$ns" link set lo up
    ip -n "$ns" link set eth0 up
    for address in "$@"; do
        case $address in *:*) ip -n "$ns" addr add "$address" dev eth0 nodad ;; *) ip -n "$ns" addr add "$address" dev eth0 ;; esac
    done
    ip -n "$ns" route add 224.0.0.0/4 dev eth0
    mkdir -p "$h_dir/$name"
    printf 'net.slp.port = %s\nnet.slp.multicastMaximumWait = %s\nnet.slp.multicastTimeouts = %s\n' "$RIG_PORT" \
        "$RIG_MCAST_WAIT" "$RIG_MCAST_TIMEOUTS" >"$h_dir/$name/slp.conf"
}

# rig_at NODE COMMAND...: runs COMMAND inside NODE's namespace with its SLP properties, ended
# after RIG_CMD_SECONDS.
rig_at() {
    ip netns exec "$RIG_ID-$1" env OpenSLPConfig="$h_dir/$1/slp.conf" \
        timeout --kill-after=5 "${RIG_CMD_SECONDS:-120}" "${@:2}"
}

# rig_start NODE NAME COMMAND...: starts COMMAND there in the background (h_start; its output in
# $h_dir/NODE/NAME.log). Sets h_pid.
rig_start() {
    h_start "$1/$2" ip netns exec "$RIG_ID-$1" env OpenSLPConfig="$h_dir/$1/slp.conf" "${@:3}"
}

# rig_make_state N FILE: a switch state for switch number N (1..180): the development switch with
# its own name, serial, WWN, MACs and addresses. Eth.0: 192.0.2.(10+N) and fd00::10:N,
# fd00::20:N; Eth.1: 198.51.100.(10+N) and fd00::11:N, fd00::21:N. RIG_IPV6_COUNT=K (at most 32)
# gives each interface K IPv6 addresses instead (fd1a::1 ... and fd2a::1 ..., the same for every
# N): 32 makes the 132-registration switch.
rig_make_state() {
    local n=$1 two k list0=fd00::10:$1,fd00::20:$1 list1=fd00::11:$1,fd00::21:$1 value edits=()
    two=$(printf '%02x' "$n")
    if [ -n "${RIG_IPV6_COUNT-}" ]; then
        list0='' list1=''
        # The stand-in serves at most 255 bytes of a value: 32 addresses of 7 characters fit.
        for ((k = 0; k < RIG_IPV6_COUNT; k++)); do
            list0+=${list0:+,}fd1$(printf '%x::%x' $((10 + k / 15)) $((1 + k % 15)))
            list1+=${list1:+,}fd2$(printf '%x::%x' $((10 + k / 15)) $((1 + k % 15)))
        done
    fi
    for value in "Config.Switch.SymName = rig-switch-$two" "Config.Mfg.ChassisSerialNum = RIG59S$two" \
        "Oper.Switch.WWN = 10:00:00:00:5e:00:54:$two" "Config.Mfg.Mac = 00:00:5e:00:54:$two" \
        "Config.Mfg.Mac1 = 00:00:5e:00:55:$two" "Config.System.Eth.0.IPAddress = 192.0.2.$((10 + n))" \
        "Config.System.Eth.1.IPAddress = 198.51.100.$((10 + n))" "Oper.System.Eth.0.IPv6AddressList = $list0" \
        "Oper.System.Eth.1.IPv6AddressList = $list1"; do
        edits+=(-e "s/^${value%% = *} = .*/$value/")
    done
    sed "${edits[@]}" "$DEV_SWITCH_STATE" >"$2"
}

# The addresses (no prefix) a switch state gives its two interfaces, one a line, IPv4 first.
rig_state_addresses() {
    sed -n -e 's/^Config.System.Eth.[01].IPAddress = //p' "$1"
    sed -n -e 's/^Oper.System.Eth.[01].IPv6AddressList = //p' "$1" | tr ',' '\n'
}

# rig_switch N [STATE_FILE]: makes switch number N as node sN (its state rig_make_state N, or a
# copy of STATE_FILE); its namespace holds every address of the state, its agent listens on them
# (and loopback) at RIG_PORT with a state file, and orvad runs on the state. Returns once both
# run; rig_wait_registered tells when orvad's records are in. Temporary assignments change it:
# RIG_AGENT_IPV6 (the agent's net.slp.useIPv6, true), RIG_AGENT_PROPERTIES (lines added to its
# properties), RIG_AGENT_ARGS (its options), RIG_AGENT_IPV4_ONLY=1 (it serves the IPv4 addresses
# only), RIG_ORVAD_PREFIX (a command orvad runs under).
rig_switch() {
    local name=s$1 dir=$h_dir/s$1 addresses
    mkdir -p "$dir"
    if [ -n "${2-}" ]; then cp "$2" "$dir/switch.state"; else rig_make_state "$1" "$dir/switch.state"; fi
    mapfile -t addresses < <(rig_state_addresses "$dir/switch.state" | sed '/:/s|$|/64|; /:/!s|$|/24|')
    rig_node "$name" "${addresses[@]}"
    RIG_SWITCHES+=("$name")
    # IPv6 on, so that the agent answers on the IPv6 addresses of its URLs too.
    printf 'net.slp.port = %s\nnet.slp.useIPv6 = %s\n%s\n' "$RIG_PORT" "${RIG_AGENT_IPV6:-true}" \
        "${RIG_AGENT_PROPERTIES-}" >"$dir/agent.conf"
    rig_state_addresses "$dir/switch.state" | grep -e "${RIG_AGENT_IPV4_ONLY:+^[^:]*\$}" | paste -sd, - >"$dir/addresses"
    rig_agent_options[$name]=${RIG_AGENT_ARGS-}
    rig_truth "$name"
    rig_start_agent "$name"
    # shellcheck disable=SC2086 # RIG_ORVAD_PREFIX: a command orvad runs under, split into words
    rig_start "$name" orvad env KESH_STATE="$dir/switch.state" ${RIG_ORVAD_PREFIX-} "$ORVAD"
    # shellcheck disable=SC2034 # for the scripts
    RIG_ORVAD_PID[$name]=$h_pid
}

# rig_switches FIRST LAST: makes those switches, then waits until each agent holds its orvad's records.
rig_switches() {
    local n
    for ((n = $1; n <= $2; n++)); do rig_switch "$n"; done
    for ((n = $1; n <= $2; n++)); do rig_wait_registered "s$n" 30; done
}

# rig_big_switch: switch 1 as the 132-registration switch, its agent on the IPv4 addresses
# only; returns once orvad's records are in. Takes rig_switch's temporary assignments.
rig_big_switch() {
    RIG_IPV6_COUNT=32 rig_make_state 1 "$h_dir/big.state"
    RIG_AGENT_IPV4_ONLY=1 rig_switch 1 "$h_dir/big.state"
    rig_wait_registered s1 60
}

# rig_da NAME ADDR/PREFIX...: node NAME with our agent as a directory agent (--da) on those
# addresses. Fails at once when this build's agent has no DA mode.
rig_da() {
    "$SLP_AGENT" --help 2>&1 | grep -q -- '--da' || h_die "this slp-agent has no --da (DA mode not built in: $SLP_AGENT)"
    rig_node "$@"
    printf '%s\n' "${@:2}" | cut -d/ -f1 | paste -sd, - >"$h_dir/$1/addresses"
    printf 'net.slp.port = %s\nnet.slp.useIPv6 = true\nnet.slp.isDA = true\n' "$RIG_PORT" >"$h_dir/$1/agent.conf"
    rig_agent_options[$1]=--da
    rig_start_agent "$1"
}

# rig_start_agent NODE [fresh]: starts (or restarts) the agent of a switch or DA node on its
# addresses, properties, options and state file (with "fresh": an empty one, as the DA's after
# a disk loss), and waits until it listens. The log of an earlier run is kept aside.
rig_start_agent() {
    local dir=$h_dir/$1
    mkdir -p "$dir/agent"
    chown nobody "$dir/agent"  # the agent writes its state file there after dropping root
    [ "${2-}" != fresh ] || find "$dir/agent" -mindepth 1 -delete
    [ ! -e "$dir/agent.log" ] || mv "$dir/agent.log" "$dir/agent.log.$(date +%s%N)"
    # shellcheck disable=SC2086 # the options, split into words
    rig_start "$1" agent "$SLP_AGENT" ${rig_agent_options[$1]} -c "$dir/agent.conf" --port "$RIG_PORT" \
        --interfaces "$(cat "$dir/addresses")" --state "$dir/agent/state"
    RIG_AGENT_PID[$1]=$h_pid
    wait_for 10 rig_listening "$1" || h_die "the agent of $1 does not listen after 10 s"
}

# True once NODE's agent said it listens; ends the run at once when the agent exited.
rig_listening() {
    grep -qs '^listening on port' "$h_dir/$1/agent.log" && return 0
    h_running "${RIG_AGENT_PID[$1]}" || h_die "the agent of $1 exited: $(head -c 300 "$h_dir/$1/agent.log")"
    return 1
}

# rig_truth NAME: h_truth of switch NAME's current state, into $h_dir/NAME/truth.
rig_truth() { h_truth "$h_dir/$1/switch.state" "$h_dir/$1/truth" || exit 1; }

# rig_wait_registered NAME SECONDS: waits until orvad's registrations on switch NAME are in its
# agent (as many registration lines as records in its truth), or ends the run.
rig_wait_registered() {
    local want
    want=$(wc -l <"$h_dir/$1/truth")
    wait_for "$2" rig_registered "$1" "$want" || h_die "not $want registrations of orvad in the agent of $1 after $2 s"
}
rig_registered() { [ "$(grep -c '^registered ' "$h_dir/$1/agent.log")" -ge "$2" ]; }

# rig_edit_state NAME EXPRESSION: edits switch NAME's state with sed EXPRESSION (sed -i: by a
# rename, as an administrator's tool would) and refreshes its truth.
rig_edit_state() {
    sed -i -e "$2" "$h_dir/$1/switch.state"
    rig_truth "$1"
}

# rig_cim_off NAME: switches CIM off on switch NAME; its truth then has no WBEM URL.
rig_cim_off() {
    rig_edit_state "$1" 's/^Config.Services.CIMEnable = True/Config.Services.CIMEnable = False/'
    ! grep -q '^service:wbem' "$h_dir/$1/truth" || h_die "orvad-show still gives $1 WBEM URLs with CIM off"
}

# rig_expected_urls TYPE SWITCH...: the "URL,65535" lines the switches' truth expects for TYPE, sorted.
rig_expected_urls() {
    local name
    for name in "${@:2}"; do cut -d' ' -f1 "$h_dir/$name/truth"; done | grep -F "$1:" | sed 's/$/,65535/' | LC_ALL=C sort
}

# rig_expected SWITCH...: the same for every type in h_types, one after the other (rig_finds' form).
rig_expected() { local type; for type in "${h_types[@]}"; do rig_expected_urls "$type" "$@"; done; }

# rig_finds STATION [ARGS...]: what `slp-query ARGS findsrvs TYPE` prints there for each type in
# h_types, each sorted (ARGS e.g. -u ADDRESS; none: multicast, or the DA the station knows).
rig_finds() { local type; for type in "${h_types[@]}"; do rig_at "$1" "$SLP_QUERY" "${@:2}" findsrvs "$type" | LC_ALL=C sort; done; }

# rig_check_multicast STATION SWITCH...: checks that STATION finds, by multicast, exactly the
# URLs of the switches.
rig_check_multicast() {
    rig_expected "${@:2}" >"$h_dir/expected"
    h_wait_same 0 "multicast findsrvs from $1" "$h_dir/expected" rig_finds "$1"
}

# rig_urls STATION ADDRESS: the URLs that the agent at ADDRESS ("-": the agents the station's
# properties lead it to) gives STATION, lifetimes cut off (a DA gives what remains of each).
rig_urls() {
    if [ "$2" = - ]; then rig_finds "$1"; else rig_finds "$1" -u "$2"; fi | sed 's/,[0-9]*$//'
}

# rig_wait_holds SECONDS WHAT STATION ADDRESS SWITCH...: waits at most SECONDS until rig_urls are
# exactly the switches' URLs (h_wait_same; what was expected is left in $h_dir/want).
rig_wait_holds() {
    rig_expected "${@:5}" | sed 's/,65535$//' >"$h_dir/want"
    h_wait_same "$1" "$2" "$h_dir/want" rig_urls "$3" "$4"
}

# rig_check_attributes STATION ADDRESS SWITCH...: checks every attribute list of the switches
# byte for byte against their truth, asked by unicast from STATION of the agent at ADDRESS (a
# DA, say; "-": each switch's own agent, on its first address).
rig_check_attributes() {
    local address=$2 name url
    for name in "${@:3}"; do
        [ "$2" != - ] || address=$(rig_state_addresses "$h_dir/$name/switch.state" | head -n 1)
        while read -r url _; do
            printf '%s %s\n' "$url" "$(rig_at "$1" "$SLP_QUERY" -u "$address" findattrs "$url" </dev/null)"
        done <"$h_dir/$name/truth" >"$h_dir/attrs"
        h_expect_same "$h_dir/$name/truth" "$h_dir/attrs" "attribute lists of $name (findattrs -u $address)"
    done
}

# rig_check_discover STATION SWITCH...: checks that orvad-discover --json there lists exactly
# the switches as their states say (check-discover.py).
rig_check_discover() {
    local switches=("${@:2}")
    rig_at "$1" "$ORVAD_DISCOVER" --json >"$h_dir/discover.json" 2>"$h_dir/discover.err" ||
        h_fail "orvad-discover --json failed: $(cat "$h_dir/discover.err")" || return
    "$h_python" "$RIG_HELPERS/check-discover.py" "$h_dir/discover.json" "${switches[@]/#/$h_dir/}" || h_fail "orvad-discover --json at $1"
}

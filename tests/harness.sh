# shellcheck shell=bash
# harness.sh: what the process-level tests share, sourced by bash scripts. A temp folder per run,
# child processes in process groups of their own with their output in files, a syslog capture
# through tools/log-sink and tools/run-isolated, the SLP agent on a free loopback port, a switch
# state file edited line by line, and what the agent holds. Everything started here is killed and
# everything written removed on exit, also when a check fails or the run is interrupted.
#
# Program paths come from the environment: ORVAD, SLP_AGENT, SLP_QUERY, ORVAD_SHOW, LOG_SINK,
# RUN_ISOLATED, DEV_SWITCH_STATE (and VALGRIND, empty when the daemon runs without it).
# A script reports failures with h_fail (the run goes on) or h_die (it ends), and ends with h_end.
# Exit status: 0 passed, 1 failed, 77 skipped (no namespace for the syslog capture).

set -u
h_dir=$(mktemp -d "${TMPDIR:-/tmp}/orvad-e2e.XXXXXX") || exit 1
h_pids=()
h_marker=""  # ORVAD_E2E_RUN value of daemons that may have detached themselves

h_cleanup() {
    trap - EXIT INT TERM
    local pid
    {  # without bash's "Killed" notes
        for pid in "${h_pids[@]}"; do h_kill "$pid" KILL; done
        for pid in "${h_pids[@]}"; do wait "$pid"; done
    } 2>/dev/null
    [ -z "$h_marker" ] || h_kill_detached >/dev/null
    rm -rf "$h_dir"
}
trap h_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Records a failure (kept in a file, so a check inside $(...) counts too) and goes on.
h_fail() {
    printf 'FAIL: %s\n' "$*" | tee -a "$h_dir/failures" >&2
}

# Records a failure and ends the run.
h_die() {
    h_fail "$@"
    exit 1
}

# Ends the run: 1 when anything failed, else 0.
h_end() {
    if [ -s "$h_dir/failures" ]; then
        echo "FAILED: $(wc -l <"$h_dir/failures") check(s)"
        exit 1
    fi
    echo PASSED
    exit 0
}

# Checks that file $2 holds what file $1 holds; $3 names what is compared.
h_expect_same() {
    diff -u "$1" "$2" >&2 || h_fail "$3 differs (- expected, + actual)"
}

# Microseconds since boot (/proc/uptime: a clock that setting the time does not move; 10 ms steps).
h_now() {
    local up
    read -r up _ </proc/uptime
    echo $((10#${up/./} * 10000))
}

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

# h_start NAME COMMAND...: starts COMMAND in a process group of its own, stdin /dev/null, stdout
# and stderr in $h_dir/NAME.out and NAME.err. Sets h_pid.
h_start() {
    local name=$1
    shift
    setsid "$@" </dev/null >"$h_dir/$name.out" 2>"$h_dir/$name.err" &
    h_pid=$!
    h_pids+=("$h_pid")
}

h_running() { kill -0 "$1" 2>/dev/null; }

# h_ours PID: whether PID is still a child of this shell (running or not yet reaped), so neither
# it nor its process group can be some other process that got the number since.
h_ours() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "$(echo "$stat" | cut -d' ' -f2)" = "$$" ]
}

# h_kill PID SIGNAL: sends SIGNAL to PID's process group and PID, if it is still ours.
h_kill() {
    if h_ours "$1"; then kill -"$2" -- "-$1" "$1" 2>/dev/null; fi
}

# h_wait PID SECONDS: the exit status of PID (128 + N after signal N), or 255 when it is still
# running after SECONDS (it is left running).
h_wait() {
    wait_for "$2" h_exited "$1" || return 255
    wait "$1"
}
h_exited() { ! h_running "$1"; }

# h_kill_detached: kills every process whose environment holds ORVAD_E2E_RUN=$h_marker (what a
# daemon that detached itself leaves behind); prints how many there were.
h_kill_detached() {
    local environ count=0
    for environ in /proc/[0-9]*/environ; do
        if grep -qzxF "ORVAD_E2E_RUN=$h_marker" "$environ" 2>/dev/null; then
            environ=${environ#/proc/}
            kill -KILL "${environ%/environ}" 2>/dev/null && count=$((count + 1))
        fi
    done
    echo "$count"
}

# --- syslog ------------------------------------------------------------------------------------

h_log=$h_dir/syslog.out  # "SECONDS <PRIORITY>TAG: TEXT" per message, TEXT escaped (log-sink --stamped)

# Starts the capture on $h_dir/log and checks that tools/run-isolated can make it a program's
# /dev/log: exit 77 where it cannot create its namespace.
h_log_start() {
    h_start syslog "$LOG_SINK" --stamped "$h_dir/log"
    wait_for 5 test -S "$h_dir/log" || h_die "log-sink did not create its socket: $(cat "$h_dir/syslog.err")"
    "$RUN_ISOLATED" "$h_dir/log" /bin/true 2>"$h_dir/probe.err"
    case $? in
    0) ;;
    125) echo "SKIP: needs root or user namespaces: $(cat "$h_dir/probe.err")"; exit 77 ;;
    *) h_die "run-isolated failed: $(cat "$h_dir/probe.err")" ;;
    esac
}

h_log_count() { wc -l <"$h_log"; }

# h_logged FROM: the messages from the FROM-th on (0-based), "<PRIORITY>TAG: TEXT".
h_logged() { tail -n "+$(($1 + 1))" "$h_log" | cut -d' ' -f2-; }

# h_log_time N: when message N (0-based) arrived, in microseconds; empty when there is none.
h_log_time() { sed -n "$(($1 + 1)){s/ .*//;s/\.//;p}" "$h_log"; }

h_log_has() { [ "$(h_log_count)" -ge "$1" ]; }

# --- SLP agent ---------------------------------------------------------------------------------

h_agent_pid=""
h_agent_port=""

# h_agent_start [PORT]: starts slp-agent on PORT (default: a random free one, tried again
# elsewhere when taken), with the options in the array h_agent_args, and waits at most five
# seconds for its "listening on port" line. Its output, stdout and stderr, is in $h_agent_out,
# fresh for each start. Writes slp.conf, the OpenSLPConfig file that points at it, and sets h_query.
h_agent_out=$h_dir/agent.out
h_agent_args=()
h_agent_start() {
    local _
    for _ in 1 2 3 4 5; do
        h_agent_port=${1:-$((20000 + RANDOM % 40000))}
        # shellcheck disable=SC2016 # the inner shell expands them
        h_start agent sh -c 'exec "$0" --port "$@" 2>&1' "$SLP_AGENT" "$h_agent_port" "${h_agent_args[@]}"
        h_agent_pid=$h_pid
        if wait_for 5 grep -qsx "listening on port $h_agent_port" "$h_agent_out"; then
            printf 'net.slp.port = %s\n' "$h_agent_port" >"$h_dir/slp.conf"
            h_query=("$SLP_QUERY" --port "$h_agent_port")
            # Without -u a newer slp-query looks for agents by multicast, which loopback cannot carry.
            if "$SLP_QUERY" --help 2>&1 | grep -qE -- '(^|[[:space:][])-u([][:space:],=]|$)'; then
                h_query+=(-u 127.0.0.1)
            fi
            return 0
        fi
        h_agent_stop
        sleep 0.2
    done
    h_die "slp-agent did not start: $(cat "$h_agent_out")"
}

# Stops the agent: SIGTERM, SIGKILL after five seconds.
h_agent_stop() {
    h_kill "$h_agent_pid" TERM
    h_wait "$h_agent_pid" 5 >/dev/null
    [ $? != 255 ] || { h_kill "$h_agent_pid" KILL; wait "$h_agent_pid"; } 2>/dev/null
}

# h_agent_lines MARK PREFIX: the agent's lines after the first MARK that begin with PREFIX.
h_agent_lines() { tail -n "+$(($1 + 1))" "$h_agent_out" | awk -v prefix="$2" 'index($0, prefix) == 1'; }
h_agent_mark() { wc -l <"$h_agent_out"; }

# h_registered MARK COUNT: whether COUNT registrations came after MARK.
h_registered() { [ "$(h_agent_lines "$1" "registered " | wc -l)" -ge "$2" ]; }

# h_held: what the agent holds of the two advertised types, "URL ATTRIBUTES" a line, sorted. A
# failed query, an error line or a lifetime other than 65535 is a failure.
h_held() {
    local type line url
    for type in service:wbem service:io-device.3873; do
        env -u OpenSLPConfig timeout 20 "${h_query[@]}" findsrvs "$type" >"$h_dir/found" ||
            h_fail "slp-query findsrvs $type failed"
        while IFS= read -r line; do
            url=${line%,*}
            if [[ $line == errorcode:* || $line != *,* ]]; then
                h_fail "findsrvs $type: $line"
                continue
            fi
            [ "${line##*,}" = 65535 ] || h_fail "$url: lifetime ${line##*,}"
            printf '%s %s\n' "$url" "$(env -u OpenSLPConfig timeout 20 "${h_query[@]}" findattrs "$url" ||
                h_fail "slp-query findattrs $url failed")"
        done <"$h_dir/found"
    done | LC_ALL=C sort
}

# h_holds FILE: whether the agent holds exactly the records in FILE (as h_held prints them).
h_holds() {
    h_held >"$h_dir/held"
    cmp -s "$1" "$h_dir/held"
}

# h_expect_held FILE: checks that the agent holds exactly the records in FILE.
h_expect_held() {
    h_held >"$h_dir/held"
    h_expect_same "$1" "$h_dir/held" "what the agent holds"
}

# h_shown_records: orvad-show's output on stdin as records: a URL line, then its attribute items
# indented two spaces (each may end in the "," that separates it from the next), joined with ",";
# a URL listed again keeps its last attributes.
h_shown_records() {
    awk '/^  / { item = substr($0, 3); sub(/,$/, "", item)
                 items[url] = items[url] (items[url] == "" ? "" : ",") item; next }
         { url = $0; items[url] = "" }
         END { for (url in items) print url " " items[url] }' | LC_ALL=C sort
}

# --- switch state ------------------------------------------------------------------------------

# A copy of DEV_SWITCH_STATE, edited in memory and written by atomic rename to $h_state_file,
# as the stand-in's README advises for a running daemon.
h_state_file=$h_dir/switch.state
mapfile -t h_state <"$DEV_SWITCH_STATE"

# state_set NAME VALUE: replaces the line "NAME = ..." or appends one.
state_set() {
    local i
    for i in "${!h_state[@]}"; do
        if [[ ${h_state[i]} == "$1 ="* ]]; then
            h_state[i]="$1 = $2"
            return
        fi
    done
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
    if ! printf '%s\n' "${h_state[@]}" >"$h_state_file.new" || ! mv "$h_state_file.new" "$h_state_file"; then
        h_fail "cannot replace $h_state_file"
    fi
}

# rig.sh: the network test rig, sourced by the tests/net cases. It builds a LAN out of network
# namespaces (a bridge in a "lan" namespace, one veth pair per node), runs per switch an
# slp-agent on the switch's addresses and orvad on a switch state of its own, and runs queries
# from station namespaces. Everything it makes is removed on exit, whatever the outcome.
#
# Addresses come only from 192.0.2.0/24, 198.51.100.0/24 and fd00::/8. The namespaces are
# joined to nothing but each other, so no packet can reach the host's network.
#
# Programs: taken from the environment (ctest sets them), else from RIG_BUILD (build/default):
#   ORVAD SLP_AGENT SLP_QUERY ORVAD_SHOW ORVAD_DISCOVER DEV_SWITCH_STATE
# Knobs: RIG_PORT (SLP port, 427), RIG_AGENT_IPV6 (the agents' net.slp.useIPv6, true),
# RIG_AGENT_PROPERTIES (lines added to each switch agent's property file, e.g. net.slp.DAAddresses),
# RIG_MCAST_WAIT (the stations' net.slp.multicastMaximumWait, 3000 ms), RIG_MCAST_TIMEOUTS
# (their net.slp.multicastTimeouts), RIG_KEEP=1 (keep the temporary folder and its logs;
# namespaces and processes still go), RIG_NO_LOGS=1 (no log tails after a failure).
# A case exits 77 (skipped) only when network namespaces cannot be made here.

rig_source=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
: "${RIG_BUILD:=$rig_source/build/default}"
: "${ORVAD:=$RIG_BUILD/daemon/orvad}"
: "${SLP_AGENT:=$RIG_BUILD/slp-agent/slp-agent}"
: "${SLP_QUERY:=$RIG_BUILD/tools/slp-query}"
: "${ORVAD_SHOW:=$RIG_BUILD/tools/orvad-show}"
: "${ORVAD_DISCOVER:=$RIG_BUILD/tools/orvad-discover}"
: "${DEV_SWITCH_STATE:=$rig_source/sim/kesh/dev-switch.state}"
: "${RIG_PORT:=427}"
: "${RIG_MCAST_WAIT:=3000}"
: "${RIG_MCAST_TIMEOUTS:=250,500,750,1000}"
RIG_HELPERS=$rig_source/tests/net
rig_sanitizer_report='==[0-9]+==ERROR: |WARNING: ThreadSanitizer|: runtime error: '

RIG_ID=orn$$           # namespace names: orn<pid>-lan, orn<pid>-<node>
RIG_LAN=$RIG_ID-lan
RIG_TMP=
RIG_NETNS=()           # namespaces made, in order
RIG_PIDS=()            # background processes started
declare -A RIG_AGENT_PID RIG_ORVAD_PID  # per switch node

rig_log() { printf '%s rig: %s\n' "$(date +%T)" "$*" >&2; }
rig_fail() { printf 'FAIL: %s\n' "$*" >&2; return 1; }

# Polls "$@" every 0.2 s until it succeeds, for at most SECONDS (and SECONDS*5 tries), then
# once more. Returns 1, after saying WHAT, when it never succeeded.
# Usage: rig_wait_for SECONDS WHAT COMMAND...
rig_wait_for() {
    local seconds=$1 what=$2 tries=0 end
    shift 2
    end=$((SECONDS + seconds))
    while [ "$SECONDS" -lt "$end" ] && [ "$tries" -lt $((seconds * 5)) ]; do
        "$@" && return 0
        sleep 0.2
        tries=$((tries + 1))
    done
    "$@" && return 0
    rig_fail "after ${seconds}s still not: $what"
}

# Namespaces of earlier runs whose script is gone (killed before its trap ran) are removed with
# every process inside them: they are this rig's own, named after the dead run's pid.
rig_reap_stale() {
    local ns pid proc
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E '^orn[0-9]+-' || true); do
        pid=${ns#orn}
        pid=${pid%%-*}
        kill -0 "$pid" 2>/dev/null && continue
        for proc in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$proc" 2>/dev/null || true; done
        ip netns del "$ns" 2>/dev/null || true
    done
}

# Stops every process started, then everything still inside our namespaces, then the namespaces.
rig_cleanup() {
    local status=$? pid ns i proc
    trap - EXIT INT TERM
    trap '' PIPE  # a reader that went away must not stop the clean-up half way
    # CONT: a case may have stopped a process, which would otherwise see TERM only once killed.
    for pid in "${RIG_PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null && kill -CONT "$pid" 2>/dev/null; done
    for pid in "${RIG_PIDS[@]}"; do
        for ((i = 0; i < 30; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    done
    for ((i = ${#RIG_NETNS[@]} - 1; i >= 0; i--)); do
        ns=${RIG_NETNS[i]}
        for proc in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$proc" 2>/dev/null || true; done
        ip netns del "$ns" 2>/dev/null || rig_log "cannot delete namespace $ns"
    done
    wait 2>/dev/null || true
    # Sanitizer builds report leaks at exit, after the case's checks: such a report fails the case.
    if [ "$status" -eq 0 ] && [ -n "$RIG_TMP" ] && grep -rqE "$rig_sanitizer_report" "$RIG_TMP" 2>/dev/null; then
        rig_log "sanitizer report:"
        grep -rE -A15 "$rig_sanitizer_report" "$RIG_TMP" | head -n 60 >&2
        status=1
    fi
    if [ -n "$RIG_TMP" ]; then
        if [ "$status" -ne 0 ] && [ "$status" -ne 77 ] && [ -z "${RIG_NO_LOGS-}" ]; then rig_show_logs; fi
        if [ "${RIG_KEEP-}" = 1 ]; then rig_log "logs kept in $RIG_TMP"; else rm -rf "$RIG_TMP"; fi
    fi
    exit "$status"
}

# After a failure: the end of each switch's agent and orvad output (the first three switches).
rig_show_logs() {
    local dir shown=0
    for dir in "$RIG_TMP"/*/; do
        [ -f "$dir/agent.log" ] || continue
        [ "$shown" -lt 3 ] || break
        shown=$((shown + 1))
        echo "--- $(basename "$dir"): agent (last 15 lines)"; tail -n 15 "$dir/agent.log" | cut -c1-160
        echo "--- $(basename "$dir"): orvad (last 5 lines)"; tail -n 5 "$dir/orvad.log" 2>/dev/null | cut -c1-160
    done >&2
}

# Sets up the rig: checks the programs, makes the LAN (or exits 77 when namespaces cannot be
# made here), installs the clean-up. Call first, from the case script's top level.
rig_init() {
    local program
    for program in "$ORVAD" "$SLP_AGENT" "$SLP_QUERY" "$ORVAD_SHOW"; do
        [ -x "$program" ] || { echo "rig: $program is not built" >&2; exit 1; }
    done
    if [ "$(id -u)" != 0 ] || ! command -v ip >/dev/null; then
        echo "rig: needs root and iproute2 to make network namespaces: skipped" >&2
        exit 77
    fi
    rig_reap_stale
    if ! ip netns add "$RIG_LAN" 2>/dev/null; then
        echo "rig: cannot make a network namespace here: skipped" >&2
        exit 77
    fi
    RIG_NETNS+=("$RIG_LAN")
    trap rig_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    RIG_TMP=$(mktemp -d "${TMPDIR:-/tmp}/orvad-net.XXXXXX")
    chmod 755 "$RIG_TMP"  # the agents read their configuration after dropping root
    # Snooping off: the bridge floods multicast to every port, like a plain switch.
    ip -n "$RIG_LAN" link add br0 type bridge mcast_snooping 0
    ip -n "$RIG_LAN" link set lo up
    ip -n "$RIG_LAN" link set br0 up
}

# Makes namespace RIG_ID-NAME with eth0 on the LAN bridge and the given ADDR/PREFIX addresses
# (IPv6 without duplicate detection, so they work at once), loopback up, and a multicast route.
rig_node() {
    local name=$1 ns=$RIG_ID-$1 address
    shift
    ip netns add "$ns" || return 1
    RIG_NETNS+=("$ns")
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.accept_dad=0 net.ipv6.conf.all.accept_dad=0 \
        net.ipv6.conf.default.router_solicitations=0 >/dev/null
    ip link add eth0 netns "$ns" type veth peer name "$name" netns "$RIG_LAN" || return 1
    ip -n "$RIG_LAN" link set "$name" master br0 up
    ip -n "$ns" link set lo up
    ip -n "$ns" link set eth0 up
    for address in "$@"; do
        case $address in
        *:*) ip -n "$ns" addr add "$address" dev eth0 nodad ;;
        *) ip -n "$ns" addr add "$address" dev eth0 ;;
        esac
    done
    ip -n "$ns" route add 224.0.0.0/4 dev eth0
}

# Runs "$@" inside node NAME's namespace with its SLP property file, ended after RIG_CMD_SECONDS (120).
rig_at() {
    local name=$1
    shift
    ip netns exec "$RIG_ID-$name" env OpenSLPConfig="$RIG_TMP/$name/slp.conf" \
        timeout --kill-after=5 "${RIG_CMD_SECONDS:-120}" "$@"
}

# Starts "$@" in the background inside node NAME's namespace, output to FILE; sets RIG_LAST_PID.
# Usage: rig_spawn NAME FILE COMMAND...
rig_spawn() {
    local name=$1 out=$2
    shift 2
    ip netns exec "$RIG_ID-$name" env OpenSLPConfig="$RIG_TMP/$name/slp.conf" "$@" </dev/null >"$out" 2>&1 &
    RIG_LAST_PID=$!
    RIG_PIDS+=("$RIG_LAST_PID")
}

# Makes a station: a node whose SLP properties point at the rig's port with short multicast waits.
# Usage: rig_station NAME ADDR/PREFIX...
rig_station() {
    local name=$1
    rig_node "$@" || return 1
    mkdir -p "$RIG_TMP/$name"
    {
        echo "net.slp.port = $RIG_PORT"
        echo "net.slp.multicastMaximumWait = $RIG_MCAST_WAIT"
        echo "net.slp.multicastTimeouts = $RIG_MCAST_TIMEOUTS"
    } >"$RIG_TMP/$name/slp.conf"
}

# Writes a switch state for switch number N (1..180) to FILE: the development switch with its
# own name, serial, WWN, MACs and addresses. Eth.0: 192.0.2.(10+N) and fd00::10:N, fd00::20:N;
# Eth.1: 198.51.100.(10+N) and fd00::11:N, fd00::21:N. RIG_IPV6_COUNT=K (at most 32) gives each
# interface K IPv6 addresses instead (fd1a::1 ... and fd2a::1 ..., the same for every N), e.g.
# 32 for the 132-registration switch.
rig_make_state() {
    local n=$1 out=$2 two k list0 list1
    two=$(printf '%02x' "$n")
    if [ -n "${RIG_IPV6_COUNT-}" ]; then
        list0='' list1=''
        # The stand-in serves at most 255 bytes of a value: 32 addresses of 7 characters fit.
        for ((k = 0; k < RIG_IPV6_COUNT; k++)); do
            list0+=${list0:+,}fd1$(printf '%x::%x' $((10 + k / 15)) $((1 + k % 15)))
            list1+=${list1:+,}fd2$(printf '%x::%x' $((10 + k / 15)) $((1 + k % 15)))
        done
    else
        list0=fd00::10:$n,fd00::20:$n
        list1=fd00::11:$n,fd00::21:$n
    fi
    sed -e "s/^Config.Switch.SymName = .*/Config.Switch.SymName = rig-switch-$two/" \
        -e "s/^Config.Mfg.ChassisSerialNum = .*/Config.Mfg.ChassisSerialNum = RIG59S$two/" \
        -e "s/^Oper.Switch.WWN = .*/Oper.Switch.WWN = 10:00:00:00:5e:00:54:$two/" \
        -e "s/^Config.Mfg.Mac = .*/Config.Mfg.Mac = 00:00:5e:00:54:$two/" \
        -e "s/^Config.Mfg.Mac1 = .*/Config.Mfg.Mac1 = 00:00:5e:00:55:$two/" \
        -e "s/^Config.System.Eth.0.IPAddress = .*/Config.System.Eth.0.IPAddress = 192.0.2.$((10 + n))/" \
        -e "s/^Config.System.Eth.1.IPAddress = .*/Config.System.Eth.1.IPAddress = 198.51.100.$((10 + n))/" \
        -e "s/^Oper.System.Eth.0.IPv6AddressList = .*/Oper.System.Eth.0.IPv6AddressList = $list0/" \
        -e "s/^Oper.System.Eth.1.IPv6AddressList = .*/Oper.System.Eth.1.IPv6AddressList = $list1/" \
        "$DEV_SWITCH_STATE" >"$out"
}

# The addresses (no prefix) a switch state gives its two interfaces, one a line, IPv4 first.
rig_state_addresses() {
    sed -n -e 's/^Config.System.Eth.[01].IPAddress = //p' "$1"
    sed -n -e 's/^Oper.System.Eth.[01].IPv6AddressList = //p' "$1" | tr ',' '\n'
}

# Makes switch number N as node sN: its namespace holds every address of its state, its agent
# listens on them (and loopback) at RIG_PORT with a state file, and orvad runs on the state.
# Returns once both run; rig_wait_registered tells when orvad's records are in.
# Usage: rig_switch N [STATE_FILE]   (default: rig_make_state N)
rig_switch() {
    local n=$1 name=s$1 dir=$RIG_TMP/s$1 addresses=() address
    mkdir -p "$dir/agent"
    chown nobody "$dir/agent"  # the agent writes its state file there after dropping root
    if [ -n "${2-}" ]; then cp "$2" "$dir/switch.state"; else rig_make_state "$n" "$dir/switch.state"; fi
    for address in $(rig_state_addresses "$dir/switch.state"); do
        case $address in *:*) addresses+=("$address/64") ;; *) addresses+=("$address/24") ;; esac
    done
    rig_node "$name" "${addresses[@]}" || return 1
    echo "net.slp.port = $RIG_PORT" >"$dir/slp.conf"
    # The agent's own properties: IPv6 on, so it answers on the IPv6 addresses of its URLs too.
    printf 'net.slp.port = %s\nnet.slp.useIPv6 = %s\n' "$RIG_PORT" "${RIG_AGENT_IPV6:-true}" >"$dir/agent.conf"
    [ -z "${RIG_AGENT_PROPERTIES-}" ] || printf '%s\n' "$RIG_AGENT_PROPERTIES" >>"$dir/agent.conf"
    rig_truth "$name" || return 1
    rig_start_agent "$name" || return 1
    # shellcheck disable=SC2086 # RIG_ORVAD_PREFIX: a command orvad runs under, split into words
    rig_spawn "$name" "$dir/orvad.log" env KESH_STATE="$dir/switch.state" ${RIG_ORVAD_PREFIX-} "$ORVAD"
    RIG_ORVAD_PID[$name]=$RIG_LAST_PID
}

# Makes switches FIRST..LAST (rig_switch), then waits until each agent holds its orvad's records.
rig_switches() {
    local n
    for ((n = $1; n <= $2; n++)); do rig_switch "$n" || return 1; done
    for ((n = $1; n <= $2; n++)); do rig_wait_registered "s$n" 30 || return 1; done
}

# Starts (or restarts) the agent of switch NAME on every address of its namespace (only the IPv4
# ones with RIG_AGENT_IPV4_ONLY=1; RIG_AGENT_ARGS adds options) and waits until it says it listens.
rig_start_agent() {
    local name=$1 dir=$RIG_TMP/$1 interfaces
    interfaces=$(rig_state_addresses "$dir/switch.state" | { if [ -n "${RIG_AGENT_IPV4_ONLY-}" ]; then grep -v :; else cat; fi; } |
        paste -sd, -)
    rig_spawn "$name" "$dir/agent.log" "$SLP_AGENT" -c "$dir/agent.conf" --port "$RIG_PORT" \
        --interfaces "$interfaces" --state "$dir/agent/state" ${RIG_AGENT_ARGS-}
    RIG_AGENT_PID[$name]=$RIG_LAST_PID
    rig_wait_for 10 "agent of $name listening" rig_listening "$name" || return 1
}

# True once switch NAME's agent said it listens; fails the case at once when the agent exited.
rig_listening() {
    grep -qs '^listening on port' "$RIG_TMP/$1/agent.log" && return 0
    kill -0 "${RIG_AGENT_PID[$1]}" 2>/dev/null && return 1
    rig_fail "the agent of $1 exited: $(head -c 300 "$RIG_TMP/$1/agent.log")"
    exit 1
}

# orvad-show's records for switch NAME's current state, as "URL<TAB>attribute list" lines sorted
# by URL, into $RIG_TMP/NAME/truth: what the switch's agent must hold, byte for byte. Each item
# line of orvad-show ends with the comma that separates it from the next.
rig_truth() {
    local dir=$RIG_TMP/$1
    KESH_STATE=$dir/switch.state "$ORVAD_SHOW" >"$dir/show.out" 2>"$dir/show.err" ||
        { rig_fail "orvad-show on $1: $(cat "$dir/show.err")"; return 1; }
    awk '/^  / { list = list substr($0, 3); next }
         { if (url != "") print url "\t" list; url = $0; list = "" }
         END { if (url != "") print url "\t" list }' "$dir/show.out" | LC_ALL=C sort >"$dir/truth"
}

# Waits until orvad's registrations on switch NAME are in its agent (the count of registration
# lines reaches what orvad-show says), at most SECONDS.
rig_wait_registered() {
    local name=$1 dir=$RIG_TMP/$1 want
    want=$(wc -l <"$dir/truth")
    rig_wait_for "$2" "$want registrations of orvad in the agent of $name" \
        rig_count_at_least "$want" grep -c '^registered ' "$dir/agent.log"
}

# True when "$@" prints a number of at least WANT.
rig_count_at_least() {
    local want=$1 got
    shift
    got=$("$@" 2>/dev/null) || true
    [ "${got:-0}" -ge "$want" ]
}

# Replaces switch NAME's state with an edited copy (sed EXPRESSION), atomically as an
# administrator's tool would, and refreshes its truth.
rig_edit_state() {
    local dir=$RIG_TMP/$1
    sed -e "$2" "$dir/switch.state" >"$dir/switch.state.new" && mv "$dir/switch.state.new" "$dir/switch.state"
    rig_truth "$1"
}

# What `slp-query findsrvs` prints at STATION, sorted; ARGS are slp-query's (e.g. -u ADDR, TYPE).
rig_findsrvs() {
    local station=$1
    shift
    rig_at "$station" "$SLP_QUERY" "$@" | LC_ALL=C sort
}

# The "URL,65535" lines the truth of the given switches expects for TYPE, sorted.
rig_expected_urls() {
    local type=$1 name
    shift
    for name in "$@"; do cut -f1 "$RIG_TMP/$name/truth"; done |
        grep -F "$type:" | sed 's/$/,65535/' | LC_ALL=C sort
}

# Compares EXPECTED and ACTUAL files; on a difference prints LABEL and the diff, returns 1.
rig_same() {
    local label=$1
    diff -u --label expected --label actual "$2" "$3" >"$RIG_TMP/diff" && return 0
    rig_fail "$label"
    head -n 60 "$RIG_TMP/diff" >&2
    return 1
}

# Checks that STATION finds, by multicast, exactly the URLs of the given switches for both types.
# Usage: rig_check_multicast STATION SWITCH...
rig_check_multicast() {
    local station=$1 type failed=0
    shift
    for type in service:wbem service:io-device.3873; do
        rig_expected_urls "$type" "$@" >"$RIG_TMP/expected"
        rig_findsrvs "$station" findsrvs "$type" >"$RIG_TMP/found"
        rig_same "multicast findsrvs $type from $station" "$RIG_TMP/expected" "$RIG_TMP/found" || failed=1
    done
    return $failed
}

# Checks every attribute list of the given switches byte for byte against their truth, asking
# each switch's agent by unicast from STATION (the agent listens on the URL's first address).
# Usage: rig_check_attributes STATION SWITCH...
rig_check_attributes() {
    local station=$1 name failed=0
    shift
    for name in "$@"; do
        rig_check_attributes_at "$station" "$(rig_state_addresses "$RIG_TMP/$name/switch.state" | head -n 1)" \
            "$name" || failed=1
    done
    return $failed
}

# The same, asking the agent at ADDRESS (a directory agent, say) for every switch's URLs.
# Usage: rig_check_attributes_at STATION ADDRESS SWITCH...
rig_check_attributes_at() {
    local station=$1 address=$2 name url failed=0
    shift 2
    for name in "$@"; do
        while IFS=$'\t' read -r url _; do
            printf '%s\t%s\n' "$url" "$(rig_at "$station" "$SLP_QUERY" -u "$address" findattrs "$url" </dev/null)"
        done <"$RIG_TMP/$name/truth" >"$RIG_TMP/attrs"
        rig_same "attribute lists of $name (findattrs -u $address)" "$RIG_TMP/$name/truth" "$RIG_TMP/attrs" ||
            failed=1
    done
    return $failed
}

RIG_PYTHON=$(command -v /usr/bin/python3 || command -v python3)

# Runs orvad-discover --json at STATION and checks that it lists exactly the given switches as
# their states say (check-discover.py).
rig_check_discover() {
    local station=$1 name dirs=()
    shift
    [ -x "$ORVAD_DISCOVER" ] || { rig_fail "orvad-discover is not built ($ORVAD_DISCOVER)"; return 1; }
    for name in "$@"; do dirs+=("$RIG_TMP/$name"); done
    if ! rig_at "$station" "$ORVAD_DISCOVER" --json >"$RIG_TMP/discover.json" 2>"$RIG_TMP/discover.err"; then
        rig_fail "orvad-discover --json failed: $(cat "$RIG_TMP/discover.err")"
        return 1
    fi
    "$RIG_PYTHON" "$RIG_HELPERS/check-discover.py" "$RIG_TMP/discover.json" "${dirs[@]}"
}

# Directory agents. A DA node NAME keeps its address list, its property file da.conf (with
# net.slp.isDA, besides the --da it is started with) and its state file under $RIG_TMP/NAME;
# RIG_AGENT_PID[NAME] is its agent. RIG_DA_ARGS adds options to its agent.

# Makes node NAME with the given ADDR/PREFIX addresses and starts our agent there as a DA.
# Usage: rig_da NAME ADDR/PREFIX...
rig_da() {
    local name=$1 dir=$RIG_TMP/$1 address list=''
    rig_node "$@" || return 1
    shift
    mkdir -p "$dir/agent"
    chown nobody "$dir/agent"
    for address in "$@"; do list+=${list:+,}${address%/*}; done
    echo "$list" >"$dir/addresses"
    echo "net.slp.port = $RIG_PORT" >"$dir/slp.conf"
    printf 'net.slp.port = %s\nnet.slp.useIPv6 = true\nnet.slp.isDA = true\n' "$RIG_PORT" >"$dir/da.conf"
    rig_start_da "$name"
}

# Starts (or restarts) DA NAME's agent, `slp-agent --da` on its addresses, on its state file
# (with "fresh": on an empty one), and waits until it listens. Fails at once, saying so, when
# this build's agent has no DA mode.
rig_start_da() {
    local name=$1 dir=$RIG_TMP/$1
    if ! "$SLP_AGENT" --help 2>&1 | grep -q -- '--da'; then
        rig_fail "this slp-agent has no --da (DA mode not built in: $SLP_AGENT)"
        return 1
    fi
    [ "${2-}" != fresh ] || find "$dir/agent" -mindepth 1 -delete
    mv -f "$dir/agent.log" "$dir/agent.log.$(date +%s%N)" 2>/dev/null
    rig_spawn "$name" "$dir/agent.log" "$SLP_AGENT" --da -c "$dir/da.conf" --port "$RIG_PORT" \
        --interfaces "$(cat "$dir/addresses")" --state "$dir/agent/state" ${RIG_DA_ARGS-}
    RIG_AGENT_PID[$name]=$RIG_LAST_PID
    rig_wait_for 10 "DA $name listening" rig_listening "$name" || return 1
}

# Kills (-9) the agent of node NAME and reaps it.
rig_kill_agent() {
    kill -KILL "${RIG_AGENT_PID[$1]}" 2>/dev/null
    wait "${RIG_AGENT_PID[$1]}" 2>/dev/null
    return 0
}

# The URLs of TYPE that the agent at ADDRESS gives STATION by unicast, lifetimes cut off, sorted
# (a DA reports what remains of each lifetime).
rig_urls_at() {
    rig_findsrvs "$1" -u "$2" findsrvs "$3" | sed -e 's/,[0-9]*$//' | LC_ALL=C sort
}

# True when the agent at ADDRESS gives STATION exactly the URLs of the given switches' truths,
# both types; what it gave and what was expected are left in $RIG_TMP/held.TYPE and
# $RIG_TMP/want.TYPE. Usage: rig_holds STATION ADDRESS SWITCH...
rig_holds() {
    local station=$1 address=$2 type same=0
    shift 2
    for type in service:wbem service:io-device.3873; do
        rig_expected_urls "$type" "$@" | sed -e 's/,65535$//' >"$RIG_TMP/want.$type"
        rig_urls_at "$station" "$address" "$type" >"$RIG_TMP/held.$type"
        cmp -s "$RIG_TMP/want.$type" "$RIG_TMP/held.$type" || same=1
    done
    return $same
}

# Waits at most SECONDS until the agent at ADDRESS holds exactly the given switches' URLs (as
# rig_holds); prints how long it took, or fails with the difference.
# Usage: rig_wait_holds SECONDS WHAT STATION ADDRESS SWITCH...
rig_wait_holds() {
    local seconds=$1 what=$2 start type
    shift 2
    start=$(date +%s%N)
    if rig_wait_for "$seconds" "$what" rig_holds "$@"; then
        echo "$what: after $((($(date +%s%N) - start) / 1000000)) ms"
        return 0
    fi
    for type in service:wbem service:io-device.3873; do
        rig_same "$type URLs held at $2" "$RIG_TMP/want.$type" "$RIG_TMP/held.$type"
    done
    return 1
}

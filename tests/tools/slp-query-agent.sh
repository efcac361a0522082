#!/usr/bin/env bash
# slp-query against slp-agent on a free loopback port: each row's output (stdout and stderr) must
# match its pattern (extglob: a lifetime may lose a second), with exit status 2 for usage only.
# Then orvad-discover asking that agent alone (-u) for the records of orvad-show's io-example,
# registered as orvad would: the JSON of io-example.json with the URLs in the agent's order
# (io-example-agent.json). Without the agent: exit status 1 and a message.
# shellcheck source=tests/harness.sh
source "$(dirname "$0")/../harness.sh"
shopt -s extglob
h_agent_start
t=service:x-query u1=service:x-query://192.0.2.1:99 u2=service:x-query://192.0.2.2
row() {
    local expected=$1 out status
    shift
    out=$("${h_query[@]}" "$@" 2>&1)
    status=$?
    # shellcheck disable=SC2053 # a pattern
    [[ $out == $expected && $status == $([[ $out == usage:* ]] && echo 2 || echo 0) ]] ||
        h_fail "slp-query $*: exit status $status, printed '$out', expected '$expected'"
}
row '' register "$u1" '(a=1),(b=two words),flag'
row '' register "$u2" '' 300
row "$u1,65535"$'\n'"$u2,@(300|299)" findsrvs "$t"
row '(a=1),(b=two words),flag' findattrs "$u1"
row "$u1,65535" findsrvs "$t" '(a=1)'
row '' -s OTHER findsrvs "$t"
row "$u1,65535" -s OTHER findsrvs "$t" DEFAULT '(b=two words)'
row 'errorcode: -4' -s OTHER register "$u1"
row '' deregister "$u1"
row "$u2,@(300|299)" findsrvs "$t"
row 'errorcode: -3' deregister "$u1"
row "net.slp.port = $h_agent_port" getproperty net.slp.port
row 'no.such.property = ' getproperty no.such.property
row 'usage: slp-query *' register "$u1" '' 0
row 'usage: slp-query *' register "$u1" '' 65536

here=$(dirname "$0")
h_shown_records <"$here/orvad-show/io-example.out" | while read -r url attributes; do
    "${h_query[@]}" register "$url" "$attributes" || h_fail "slp-query register $url"
done
discover() { "$ORVAD_DISCOVER" --json -u 127.0.0.1 --port "$h_agent_port" >"$h_dir/out" 2>"$h_dir/err"; }
discover || h_fail "orvad-discover: $(cat "$h_dir/err")"
h_expect_same "$here/orvad-discover/io-example-agent.json" "$h_dir/out" "orvad-discover --json -u 127.0.0.1"
h_stop "$h_agent_pid"
discover
status=$?
[ $status = 1 ] && [ ! -s "$h_dir/out" ] && grep -q '^orvad-discover: finding service:wbem: ' "$h_dir/err" ||
    h_fail "without agent: status $status, stderr: $(cat "$h_dir/err")"
h_end

#!/usr/bin/env bash
# Case: COUNT switches (default 1) on one LAN. A station finds every registration of every
# orvad by multicast (over IPv4, then over IPv6 alone), each attribute list is byte for byte
# what orvad-show derives from that switch's state, and orvad-discover --json lists every
# switch as its state says.
# Usage: multicast.sh COUNT|many   ("many": ORVAD_NET_SWITCHES switches, default 20, at most 180)
# shellcheck source=tests/harness.sh
source "$(dirname "$0")/../harness.sh"
count=${1:-1}
[ "$count" = many ] && count=${ORVAD_NET_SWITCHES:-20}

rig_init
rig_node st1 192.0.2.200/24 198.51.100.200/24 fd00::200/64
rig_switches 1 "$count"
rig_check_multicast st1 "${RIG_SWITCHES[@]}"
rig_check_attributes st1 - "${RIG_SWITCHES[@]}"
rig_check_discover st1 "${RIG_SWITCHES[@]}"
# The same finds over IPv6 multicast alone (the RFC 3111 groups), the station's IPv4 off.
printf 'net.slp.useIPv6 = true\nnet.slp.useIPv4 = false\n' >>"$h_dir/st1/slp.conf"
rig_check_multicast st1 "${RIG_SWITCHES[@]}" || echo "(over IPv6)" >&2
h_end

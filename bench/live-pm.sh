#!/usr/bin/env bash
# Live Y.1731 responder benchmark: cfmagentd on one end of a veth pair with one MEP, and
# pmflood (bench/pmflood.c) on the other, alternating LBMs (answered by the agent) and DMMs
# (answered by the software ALE layer's responder) at window 1 (latency) and window 64
# (throughput). Prints replies/s and p50/p99 latency of each, with the ratios DMR/LBR taken
# in the same round: the layer's responder measured against the agent's, by one instrument.
#
#   bench/live-pm.sh [--seconds N] [--rounds N] [--build DIR]
#
#   --seconds N   length of each pmflood run (default 5)
#   --rounds N    LBM then DMM at both windows, N times over (default 5); the medians of the
#                 rounds' ratios are printed last
#   --build DIR   build directory holding cfmagentd and cfmctl (default: build)
#
# Needs root (namespaces, AF_PACKET), gcc, ip (iproute2) and jq. Namespaces, processes and
# files are removed on exit, also when interrupted.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

seconds=5
rounds=5
build=$repo/build
usage() { sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=${2:?}; shift 2 ;;
    --rounds) rounds=${2:?}; shift 2 ;;
    --build) build=${2:?}; shift 2 ;;
    -h | --help) usage ;;
    *) echo "live-pm: unknown argument '$1'" >&2; usage ;;
  esac
done
cfmagentd=$build/apps/cfmagentd/cfmagentd
cfmctl=$build/apps/cfmctl/cfmctl

fail() { echo "live-pm: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root: it makes network namespaces and opens packet sockets"
[[ $seconds =~ ^[0-9]+([.][0-9]+)?$ ]] || fail "--seconds: '$seconds' is not a number of seconds"
[[ $rounds =~ ^[1-9][0-9]*$ ]] || fail "--rounds: '$rounds' is not a number of rounds"
for tool in gcc ip jq; do
  command -v "$tool" >/dev/null || fail "$tool is missing (apt-get install gcc iproute2 jq)"
done
for b in "$cfmagentd" "$cfmctl"; do
  [ -x "$b" ] || fail "$b is missing: build first (cmake --preset default && cmake --build build)"
done

tag=pmbench$$
agent=
stopOnExit="agent"
source "$repo/bench/lib.sh"

gcc -O2 -o "$work/pmflood" "$repo/bench/pmflood.c"

# The demo's switch cut down to one access port with MEP 100 at level 3 in VLAN 10, which
# sends no CCMs (its CCMs would share the socket with the load) and expects no remote MEP.
config=$work/config.json
jq '{bridgeMac,
     interfaces: {Ethernet1: "sw-a"},
     switchports: {Ethernet1: {mode: "access", portVlan: 10}},
     vlans: {"10": {}},
     cfm: {defaultProfile: {ccmEnable: false},
           domains: [.cfm.domains[] | select(.level == 3)
                     | .associations[0].localMeps = [{id: 100, interface: "Ethernet1", remoteMeps: []}]]}}' \
  "$repo/apps/runner/demo-config.json" >"$config"
bridgeMac=$(jq -r .bridgeMac "$config")

vethLink sw-a host-a "$bridgeMac" 02:00:00:00:00:0a

ip netns exec "$nsSw" "$cfmagentd" --config "$config" --control "$work/cfmagentd.sock" >"$work/cfmagentd.log" 2>&1 &
agent=$!
waitFor "cfmagentd (its log: $(cat "$work/cfmagentd.log" 2>/dev/null))" 10 agentReady
mepRunning() { ctl show meps --json | jq -e '."3"."demo-ma"."100"' >/dev/null; }
waitFor "MEP 100" 10 mepRunning

value() { sed -n "s/.*$2=\([0-9.-]*\).*/\1/p" <<<"$1"; }
ratios=$work/ratios
for round in $(seq "$rounds"); do
  echo "== round $round of $rounds"
  for window in 1 64; do
    declare -A line=()
    for kind in lbm dmm; do
      line[$kind]=$(ip netns exec "$nsHost" "$work/pmflood" host-a "$bridgeMac" 3 "$seconds" "$window" "$kind")
      printf '   %s window %-3s %s\n' "$kind" "$window" "${line[$kind]}"
    done
    awk -v w="$window" -v rate="$(value "${line[dmm]}" replies_per_s) $(value "${line[lbm]}" replies_per_s)" \
        -v p50="$(value "${line[dmm]}" p50_us) $(value "${line[lbm]}" p50_us)" \
        'BEGIN { split(rate, r); split(p50, p); printf "%s %.2f %.2f\n", w, r[1] / r[2], p[1] / p[2] }' >>"$ratios"
  done
done
echo "== $seconds s per run; ratios DMR/LBR (rate: higher is better; p50: lower is better)"
awk '{ printf "   window %-3s rate %s p50 %s\n", $1, $2, $3 }' "$ratios"
for window in 1 64; do
  median() { awk -v w="$window" -v c="$1" '$1 == w { print $c }' "$ratios" | sort -g |
             awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
  echo "   median window $window: rate $(median 2), p50 $(median 3)"
done
echo "   MEP 100's responder: $(ctl show meps --json | jq -c '."3"."demo-ma"."100".pmResponder')"

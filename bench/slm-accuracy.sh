#!/usr/bin/env bash
# How right cfmtool slm's loss ratios are: against a far end of our own (bench/slmdrop.c) on
# a veth pair that loses a known share of the SLMs on the way there (far-end loss) and of
# its SLRs on the way back (near-end loss). Prints each measured ratio against its truth.
#
#   bench/slm-accuracy.sh [--count N] [--build DIR]
#
#   --count N    SLMs per run (default 2000)
#   --build DIR  build directory holding cfmtool (default: build)
#
# Needs root (namespaces, AF_PACKET), gcc and ip (iproute2). Namespaces, processes and files
# are removed on exit, also when interrupted.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

count=2000
build=$repo/build
while [ $# -gt 0 ]; do
  case $1 in
    --count) count=${2:?}; shift 2 ;;
    --build) build=${2:?}; shift 2 ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
cfmtool=$build/apps/cfmtool/cfmtool

fail() { echo "slm-accuracy: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root: it makes network namespaces and opens packet sockets"
[[ $count =~ ^[1-9][0-9]*$ ]] || fail "--count: '$count' is not a number of SLMs"
[ -x "$cfmtool" ] || fail "$cfmtool is missing: build first (cmake --preset default && cmake --build build)"

tag=slmacc$$
far=
stopOnExit="far"
source "$repo/bench/lib.sh"
gcc -O2 -o "$work/slmdrop" "$repo/bench/slmdrop.c"
vethLink far near 02:00:00:00:00:01 02:00:00:00:00:0a

echo "== $count SLMs per run, 1 ms apart; loss ratios in percent"
printf '%-9s %-9s | %-9s %-9s %7s | %-9s %-9s %7s\n' forward backward far-end measured error near-end measured error
for shares in "0 0" "5 0" "0 5" "10 3" "1 20"; do
  read -r forward backward <<<"$shares"
  ip netns exec "$nsSw" "$work/slmdrop" far "$forward" "$backward" >"$work/far.out" &
  far=$!
  waitFor "slmdrop" 5 grep -q slmdrop "$work/far.out"
  ip netns exec "$nsHost" "$cfmtool" slm --intf near --dst 02:00:00:00:00:01 --level 3 --count "$count" \
    --interval 0.001 --timeout 1 >"$work/slm.out" || fail "cfmtool slm: $(tail -3 "$work/slm.out")"
  stop "$far"
  line=$(grep '^far-end loss' "$work/slm.out") || fail "no loss ratios: $(tail -3 "$work/slm.out")"
  farEnd=$(sed -n 's/^far-end loss \([0-9.]*\)%.*/\1/p' <<<"$line")
  nearEnd=$(sed -n 's/.*near-end loss \([0-9.]*\)%$/\1/p' <<<"$line")
  error() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%+.2f", a - b }'; }
  printf '%-9s %-9s | %-9s %-9.3f %7s | %-9s %-9.3f %7s\n' "$forward%" "$backward%" "$forward" "$farEnd" \
    "$(error "$farEnd" "$forward")" "$backward" "$nearEnd" "$(error "$nearEnd" "$backward")"
done

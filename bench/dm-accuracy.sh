#!/usr/bin/env bash
# How right cfmtool dmm's two-way delay is: against a far end of our own (bench/dmhold.c) on
# a veth pair that holds each DMM a known time before its DMR. A far end that leaves its
# times zero makes the hold the delay: the truth is the hold (the path, measured, is the
# error). One that fills them has its hold taken out: the truth is the path alone, measured
# first with no hold. Prints the p50 of each run against its truth.
#
#   bench/dm-accuracy.sh [--count N] [--build DIR]
#
#   --count N    DMMs per run (default 200)
#   --build DIR  build directory holding cfmtool (default: build)
#
# Needs root (namespaces, AF_PACKET), gcc and ip (iproute2). Namespaces, processes and files
# are removed on exit, also when interrupted.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

count=200
build=$repo/build
while [ $# -gt 0 ]; do
  case $1 in
    --count) count=${2:?}; shift 2 ;;
    --build) build=${2:?}; shift 2 ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
cfmtool=$build/apps/cfmtool/cfmtool
cfmctl=$build/apps/cfmctl/cfmctl  # lib.sh's ctl(), unused here

fail() { echo "dm-accuracy: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root: it makes network namespaces and opens packet sockets"
[[ $count =~ ^[1-9][0-9]*$ ]] || fail "--count: '$count' is not a number of DMMs"
[ -x "$cfmtool" ] || fail "$cfmtool is missing: build first (cmake --preset default && cmake --build build)"

tag=dmacc$$
holder=
stopOnExit="holder"
source "$repo/bench/lib.sh"
gcc -O2 -o "$work/dmhold" "$repo/bench/dmhold.c"

vethLink far near 02:00:00:00:00:01 02:00:00:00:00:0a

run() {  # HOLD_US MODE: the p50 of COUNT delays, in µs
  ip netns exec "$nsSw" "$work/dmhold" far "$1" "$2" >"$work/holder.out" &
  holder=$!
  waitFor "dmhold" 5 grep -q dmhold "$work/holder.out"
  local interval
  interval=$(awk -v h="$1" 'BEGIN { printf "%.3f", h / 1e6 * 2 + 0.002 }')
  ip netns exec "$nsHost" "$cfmtool" dmm --intf near --dst 02:00:00:00:00:01 --level 3 --count "$count" \
    --interval "$interval" --timeout 1 >"$work/dmm.out" || fail "cfmtool dmm: $(tail -3 "$work/dmm.out")"
  stop "$holder"
  sed -n 's/.* delay=\([0-9.]*\) ms$/\1/p' "$work/dmm.out" | sort -g |
    awk '{ v[NR] = $1 } END { printf "%.1f", v[int((NR + 1) / 2)] * 1000 }'
}

path=$(run 0 fill)
echo "== $count DMMs per run; p50 two-way delay against the truth, µs"
printf '%-8s %-6s %10s %10s %8s\n' hold far-end truth measured error
printf '%-8s %-6s %10s %10s %8s\n' 0 fill "(path)" "$path" -
for hold in 1000 10000; do
  for mode in zero fill; do
    measured=$(run "$hold" "$mode")
    truth=$(awk -v h="$hold" -v m="$mode" -v p="$path" 'BEGIN { printf "%.1f", m == "zero" ? h : p }')
    printf '%-8s %-6s %10s %10s %8s\n' "$hold" "$mode" "$truth" "$measured" \
      "$(awk -v a="$measured" -v b="$truth" 'BEGIN { printf "%+.1f", a - b }')"
  done
done

#!/usr/bin/env bash
# How right cfmtool dmm and slm are, against far ends of our own on a veth pair:
# - dmm against bench/dmhold.c, which holds each DMM a known time before its DMR. A far end
#   that leaves its times zero makes the hold the delay: the truth is the hold (the path,
#   measured, is the error). One that fills them has its hold taken out: the truth is the
#   path alone, measured first with no hold. Prints the p50 of each run against its truth.
# - slm against bench/slmdrop.c, which loses a known share of the SLMs on the way there
#   (far-end loss) and of its SLRs on the way back (near-end loss). Prints each measured
#   ratio against its truth.
#
#   bench/pm-accuracy.sh [--dmms N] [--slms N] [--build DIR]
#
#   --dmms N     DMMs per delay run (default 200)
#   --slms N     SLMs per loss run (default 2000)
#   --build DIR  build directory holding cfmtool (default: build)
#
# Needs root (namespaces, AF_PACKET), gcc and ip (iproute2). Namespaces, processes and files
# are removed on exit, also when interrupted.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

dmms=200
slms=2000
build=$repo/build
while [ $# -gt 0 ]; do
  case $1 in
    --dmms) dmms=${2:?}; shift 2 ;;
    --slms) slms=${2:?}; shift 2 ;;
    --build) build=${2:?}; shift 2 ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
cfmtool=$build/apps/cfmtool/cfmtool

fail() { echo "pm-accuracy: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root: it makes network namespaces and opens packet sockets"
[[ $dmms =~ ^[1-9][0-9]*$ ]] || fail "--dmms: '$dmms' is not a number of DMMs"
[[ $slms =~ ^[1-9][0-9]*$ ]] || fail "--slms: '$slms' is not a number of SLMs"
[ -x "$cfmtool" ] || fail "$cfmtool is missing: build first (cmake --preset default && cmake --build build)"

tag=pmacc$$
far=
stopOnExit="far"
source "$repo/bench/lib.sh"
gcc -O2 -o "$work/dmhold" "$repo/bench/dmhold.c"
gcc -O2 -o "$work/slmdrop" "$repo/bench/slmdrop.c"
vethLink far near 02:00:00:00:00:01 02:00:00:00:00:0a

farEnd() {  # PROGRAM ARG...: the far end, once it has said it runs
  ip netns exec "$nsSw" "$work/$1" far "${@:2}" >"$work/far.out" &
  far=$!
  waitFor "$1" 5 grep -q "$1" "$work/far.out"
}

run() {  # HOLD_US MODE: the p50 of COUNT delays, in µs
  farEnd dmhold "$1" "$2"
  local interval
  interval=$(awk -v h="$1" 'BEGIN { printf "%.3f", h / 1e6 * 2 + 0.002 }')
  ip netns exec "$nsHost" "$cfmtool" dmm --intf near --dst 02:00:00:00:00:01 --level 3 --count "$dmms" \
    --interval "$interval" --timeout 1 >"$work/dmm.out" || fail "cfmtool dmm: $(tail -3 "$work/dmm.out")"
  stop "$far"
  sed -n 's/.* delay=\([0-9.]*\) ms$/\1/p' "$work/dmm.out" | sort -g |
    awk '{ v[NR] = $1 } END { printf "%.1f", v[int((NR + 1) / 2)] * 1000 }'
}

path=$(run 0 fill)
echo "== $dmms DMMs per run; p50 two-way delay against the truth, µs"
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

echo "== $slms SLMs per run, 1 ms apart; loss ratios in percent"
printf '%-9s %-9s | %-9s %-9s %7s | %-9s %-9s %7s\n' forward backward far-end measured error near-end measured error
for shares in "0 0" "5 0" "0 5" "10 3" "1 20"; do
  read -r forward backward <<<"$shares"
  farEnd slmdrop "$forward" "$backward"
  ip netns exec "$nsHost" "$cfmtool" slm --intf near --dst 02:00:00:00:00:01 --level 3 --count "$slms" \
    --interval 0.001 --timeout 1 >"$work/slm.out" || fail "cfmtool slm: $(tail -3 "$work/slm.out")"
  stop "$far"
  line=$(grep '^far-end loss' "$work/slm.out") || fail "no loss ratios: $(tail -3 "$work/slm.out")"
  farEnd=$(sed -n 's/^far-end loss \([0-9.]*\)%.*/\1/p' <<<"$line")
  nearEnd=$(sed -n 's/.*near-end loss \([0-9.]*\)%$/\1/p' <<<"$line")
  error() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%+.2f", a - b }'; }
  printf '%-9s %-9s | %-9s %-9.3f %7s | %-9s %-9.3f %7s\n' "$forward%" "$backward%" "$forward" "$farEnd" \
    "$(error "$farEnd" "$forward")" "$backward" "$nearEnd" "$(error "$nearEnd" "$backward")"
done

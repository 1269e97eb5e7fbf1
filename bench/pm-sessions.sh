#!/usr/bin/env bash
# What measurement sessions cost cfmagentd in CPU: agent A in one network namespace runs N
# local MEPs, each with one DMM session to the far end's address, agent B in the other
# answers them (its software ALE layer's responder), over one veth pair. Each round runs A
# once with the sessions and once without them (the same MEPs, nothing else changed), in
# alternating order, and takes A's CPU time (user and system, /proc/PID/stat) over the same
# window of each run; the difference, as a share of one core, is what the sessions cost.
# B's CPU over the same windows is printed too. CCMs are off on both ends: only the
# sessions' frames cross the link.
#
#   bench/pm-sessions.sh [--sessions N] [--interval T] [--seconds N] [--rounds N]
#                        [--layout vlans|shared] [--build DIR]
#
#   --sessions N   MEPs on A, one DMM session each (default 100)
#   --interval T   the sessions' message interval, as in the configuration file (default
#                  100ms)
#   --seconds N    the window CPU time is taken over, once the sessions all have replies
#                  (default 30)
#   --rounds N     with and without sessions, N times over, alternating which comes first
#                  (default 3); the medians of the rounds are printed last
#   --layout L     vlans (default): each MEP in its own association and VLAN on a trunk
#                  port, B with one MEP in each, as a switch carrying N services runs them;
#                  shared: the N MEPs in one association and VLAN, B with one MEP there,
#                  so that every reply is offered to every MEP of A
#   --build DIR    build directory holding cfmagentd and cfmctl (default: build)
#
# Needs root (namespaces, AF_PACKET), ip (iproute2) and jq. Namespaces, processes and files
# are removed on exit, also when interrupted.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

sessions=100
interval=100ms
seconds=30
rounds=3
layout=vlans
build=$repo/build
usage() { sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --sessions) sessions=${2:?}; shift 2 ;;
    --interval) interval=${2:?}; shift 2 ;;
    --seconds) seconds=${2:?}; shift 2 ;;
    --rounds) rounds=${2:?}; shift 2 ;;
    --layout) layout=${2:?}; shift 2 ;;
    --build) build=${2:?}; shift 2 ;;
    -h | --help) usage ;;
    *) echo "pm-sessions: unknown argument '$1'" >&2; usage ;;
  esac
done
cfmagentd=$build/apps/cfmagentd/cfmagentd
cfmctl=$build/apps/cfmctl/cfmctl

fail() { echo "pm-sessions: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root: it makes network namespaces and opens packet sockets"
# VLANs 100 and up, one per MEP, must stay below 4095.
[[ $sessions =~ ^[1-9][0-9]*$ ]] && [ "$sessions" -le 3000 ] || fail "--sessions: '$sessions' is not 1-3000"
[[ $seconds =~ ^[1-9][0-9]*$ ]] || fail "--seconds: '$seconds' is not a whole number of seconds"
[[ $rounds =~ ^[1-9][0-9]*$ ]] || fail "--rounds: '$rounds' is not a number of rounds"
[[ $layout =~ ^(vlans|shared)$ ]] || fail "--layout: '$layout' is neither vlans nor shared"
for tool in ip jq; do
  command -v "$tool" >/dev/null || fail "$tool is missing (apt-get install iproute2 jq)"
done
for b in "$cfmagentd" "$cfmctl"; do
  [ -x "$b" ] || fail "$b is missing: build first (cmake --preset default && cmake --build build)"
done

tag=pmsess$$
agent= responder=
stopOnExit="agent responder"
source "$repo/bench/lib.sh"

macA=02:00:00:00:00:01 macB=02:00:00:00:00:0a
# ROLE(a|b) WITH_SESSIONS(0|1): a configuration. Both ends have the same associations, A's
# MEPs 100 (1..N when shared), B's 200; only A's MEPs carry sessions, to B's address.
makeConfig() {
  jq -n --arg role "$1" --argjson with "$2" --argjson n "$sessions" --arg layout "$layout" \
        --arg interval "$interval" --arg macA "$macA" --arg macB "$macB" '
    def mep($id): {id: $id, interface: "Ethernet1"}
      + if $role == "a" and $with == 1
        then {pmSessions: [{name: "dmm", kind: "dmm", target: $macB, interval: $interval}]} else {} end;
    (if $layout == "vlans" then [range(100; 100 + $n)] else [100] end) as $vlans
    | (if $role == "a" then {mac: $macA, dev: "sw-a"} else {mac: $macB, dev: "host-a"} end) as $self
    | {bridgeMac: $self.mac,
     interfaces: {Ethernet1: $self.dev},
     switchports: {Ethernet1: {mode: "trunk", allowedVlans: $vlans}},
     vlans: ($vlans | map({key: tostring, value: {}}) | from_entries),
     cfm: {defaultProfile: {ccmEnable: false},
           domains: [{level: 3, name: "bench-md",
                      associations: [$vlans[] | {name: "ma-\(.)", primaryVlan: .,
                        localMeps: (if $role == "b" then [mep(200)]
                                    elif $layout == "vlans" then [mep(100)]
                                    else [range(1; $n + 1) | mep(.)] end)}]}]}}'
}
makeConfig a 1 >"$work/with.json"
makeConfig a 0 >"$work/without.json"
makeConfig b 0 >"$work/responder.json"
for c in with without responder; do
  "$cfmagentd" --config "$work/$c.json" --check-config >/dev/null 2>&1 ||
    fail "the $c configuration is refused: $("$cfmagentd" --config "$work/$c.json" --check-config 2>&1 | tail -1)"
done

vethLink sw-a host-a "$macA" "$macB"

ctlB() { "$cfmctl" --socket "$work/responder.sock" "$@"; }
mepCount() { jq '[.[][] | keys[]] | length'; }
ip netns exec "$nsHost" "$cfmagentd" --config "$work/responder.json" --control "$work/responder.sock" \
  >"$work/responder.log" 2>&1 &
responder=$!
responderMeps=$(jq '[.cfm.domains[].associations[].localMeps[]] | length' "$work/responder.json")
responderReady() { [ "$(ctlB show meps --json 2>/dev/null | mepCount)" = "$responderMeps" ]; }
waitFor "cfmagentd B (its log: $(tail -3 "$work/responder.log" 2>/dev/null))" 20 responderReady

# CPU time of PID: user and system in clock ticks (the fields after the command's name),
# and the scheduler's time on CPU in ns, which is exact where ticks are sampled.
ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12, $13 }'; cut -d' ' -f1 "/proc/$1/schedstat"; }
hz=$(getconf CLK_TCK)
# All intervals of all sessions summed: messages sent, replies received, sessions with none.
pmTotals() {
  ctl show pm --json | jq -r '[.[][][][]] | map([.intervals[] | .sent] | add) as $sent
    | map([.intervals[] | .received] | add) as $received
    | "\($sent | add // 0) \($received | add // 0) \(length) \($received | map(select(. == 0)) | length)"'
}
allAnswered() { read -r _ _ count silent < <(pmTotals) && [ "$count" = "$sessions" ] && [ "$silent" = 0 ]; }

results=$work/results
run() {  # ROUND with|without: A on that configuration; one result line
  ip netns exec "$nsSw" "$cfmagentd" --config "$work/$2.json" --control "$work/cfmagentd.sock" \
    >"$work/cfmagentd.log" 2>&1 &
  agent=$!
  agentMeps() { [ "$(ctl show meps --json 2>/dev/null | mepCount)" = "$sessions" ]; }
  waitFor "cfmagentd A (its log: $(tail -3 "$work/cfmagentd.log" 2>/dev/null))" 20 agentMeps
  if [ "$2" = with ]; then
    waitFor "a reply to every session" 20 allAnswered
  fi
  # Past the start either way: the sessions' results are written once a second, so the
  # first replies show up to a second late, and the run without waits as long.
  sleep 2
  local a0 b0 pm0 t0 a1 b1 pm1 t1
  # Asking A for its results costs A CPU: asked before the window opens and after it closes.
  pm0=$(pmTotals)
  a0=$(ticks "$agent") b0=$(ticks "$responder") t0=$(date +%s.%N)
  sleep "$seconds"
  a1=$(ticks "$agent") b1=$(ticks "$responder") t1=$(date +%s.%N)
  pm1=$(pmTotals)
  kill -0 "$agent" 2>/dev/null || fail "cfmagentd A ended: $(tail -3 "$work/cfmagentd.log")"
  stop "$agent"
  agent=
  awk -v r="$1" -v k="$2" -v hz="$hz" -v t="$t0 $t1" -v a="$a0 $a1" -v b="$b0 $b1" -v pm="$pm0 $pm1" 'BEGIN {
    split(t, T, " "); split(a, A, " "); split(b, B, " "); split(pm, P, " ")
    wall = T[2] - T[1]
    au = (A[4] - A[1]) / hz; as = (A[5] - A[2]) / hz; bc = (B[4] + B[5] - B[1] - B[2]) / hz
    printf "%s %s %.2f %d %d %.2f %.2f %.4f %.4f %.4f %.4f\n", r, k, wall, P[5] - P[1], P[6] - P[2], au, as,
      100 * (au + as) / wall, 100 * (A[6] - A[3]) / 1e9 / wall, 100 * bc / wall, 100 * (B[6] - B[3]) / 1e9 / wall
  }' | tee -a "$results" |
    awk '{ printf "   round %s %-7s %5.2f s  DMMs %6d  DMRs %6d  A user %5.2f s sys %5.2f s = %6.3f%% (on CPU %6.3f%%)  B %6.3f%% (%6.3f%%)\n",
           $1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11 }'
}

echo "== $sessions DMM sessions at $interval ($layout), ${seconds} s windows; CPU as % of one core"
echo "   load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq "$rounds"); do
  if [ $((round % 2)) -eq 1 ]; then order="with without"; else order="without with"; fi
  for kind in $order; do run "$round" "$kind"; done
done
echo "   load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== per round: A with - A without, % of one core (user + system; in brackets on CPU)"
awk '{ k = $1 " " $2; cpu[k] = $8; run[k] = $9; b[k] = $10; brun[k] = $11; if ($1 > n) n = $1 }
  END { for (r = 1; r <= n; r++) {
          w = r " with"; o = r " without"
          printf "%s %.4f %.4f %.4f %.4f %.4f %.4f\n", r, cpu[w], cpu[o], cpu[w] - cpu[o], run[w] - run[o], b[w] - b[o],
                 brun[w] - brun[o] } }' \
  "$results" >"$work/rounds"
awk '{ printf "   round %s  with %6.3f%%  without %6.3f%%  sessions %6.3f%% (%6.3f%%)  B %+.3f%% (%+.3f%%)\n", $1, $2, $3, $4, $5, $6, $7 }' \
  "$work/rounds"
median() { awk -v c="$1" '{ print $c }' "$work/rounds" | sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", v[int((NR + 1) / 2)] }'; }
echo "   median: with $(median 2)%, without $(median 3)%, the sessions $(median 4)% ($(median 5)%) of a core," \
  "B $(median 6)% ($(median 7)%)"

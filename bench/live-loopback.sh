#!/usr/bin/env bash
# Live loopback benchmark: lbmflood in one network namespace floods LBMs over a veth pair at
# the responder in the other, first cfmagentd, then lbrreflect on the same veth end in its
# place, each at window 1 (latency) and window 64 (throughput). Prints replies/s and p50/p99
# latency of both side by side with the ratios agent/reflector: absolute figures depend on
# the machine and on what else runs on it, the ratios taken in one run much less.
#
#   bench/live-loopback.sh [--seconds N] [--rounds N] [--build DIR] [--cfmagentd PATH]
#                          [--cfmctl PATH] [--tools DIR] [--overload W] [--scale "N ..."] [--scrape]
#
#   --seconds N       length of each lbmflood run (default 5)
#   --rounds N        agent, then reflector, N times over (default 1): each round gives its
#                     own ratios, and the medians of the rounds are printed last, so that
#                     what else the machine does between two runs weighs less
#   --build DIR       build directory holding cfmagentd and cfmctl (default: build)
#   --cfmagentd PATH  the daemon to measure (default: DIR/apps/cfmagentd/cfmagentd)
#   --cfmctl PATH     (default: DIR/apps/cfmctl/cfmctl)
#   --tools DIR       where lbmflood.c and lbrreflect.c are (default: ../shared/tools)
#   --overload W      after the agent's first runs, lbmflood at window W until the agent's
#                     socket has seen 10 M frames (well over a minute); prints what it shed,
#                     its resident memory after 100 k and 10 M frames, and how long
#                     `cfmctl show counters` took meanwhile
#   --scale "N ..."   instead of the rounds: for each N, the agent on N veth pairs with an
#                     lbmflood at window 1 on each, all at once; prints replies/s and the
#                     agent's CPU per reply by N, and its user time alone, where a cost that
#                     grew with the number of interfaces would show (its system time also
#                     carries the waking of N lbmflood processes)
#   --scrape          the agent serves its metrics (--metrics 127.0.0.1:9750 in its
#                     namespace) and curl, in the same namespace, fetches /metrics once a
#                     second for the whole of each agent run, as a Prometheus would: the cost
#                     of being scraped shows in the agent's figures. Each run's scrapes are
#                     summed up after its flood lines; the table is the same
#
# Needs root (namespaces, AF_PACKET), gcc, ip (iproute2) and jq, and curl for --scrape.
# Namespaces, processes and files are removed on exit, also when interrupted.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

seconds=5
rounds=1
overload=
scale=
scrape=
build=$repo/build
cfmagentd= cfmctl=
tools=$repo/../shared/tools
usage() { sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=${2:?}; shift 2 ;;
    --rounds) rounds=${2:?}; shift 2 ;;
    --build) build=${2:?}; shift 2 ;;
    --cfmagentd) cfmagentd=${2:?}; shift 2 ;;
    --cfmctl) cfmctl=${2:?}; shift 2 ;;
    --tools) tools=${2:?}; shift 2 ;;
    --overload) overload=${2:?}; shift 2 ;;
    --scale) scale=${2:?}; shift 2 ;;
    --scrape) scrape=1; shift ;;
    -h | --help) usage ;;
    *) echo "live-loopback: unknown argument '$1'" >&2; usage ;;
  esac
done
cfmagentd=${cfmagentd:-$build/apps/cfmagentd/cfmagentd}
cfmctl=${cfmctl:-$build/apps/cfmctl/cfmctl}

fail() { echo "live-loopback: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root: it makes network namespaces and opens packet sockets"
[[ $seconds =~ ^[0-9]+([.][0-9]+)?$ ]] || fail "--seconds: '$seconds' is not a number of seconds"
[[ $rounds =~ ^[1-9][0-9]*$ ]] || fail "--rounds: '$rounds' is not a number of rounds"
for n in $scale; do
  [[ $n =~ ^[1-9][0-9]*$ && $n -le 4000 ]] || fail "--scale: '$n' is not a number of interfaces (1-4000)"
done
for tool in gcc ip jq ${scrape:+curl}; do
  command -v "$tool" >/dev/null || fail "$tool is missing (apt-get install gcc iproute2 jq curl)"
done
for b in "$cfmagentd" "$cfmctl"; do
  [ -x "$b" ] || fail "$b is missing: build first (cmake --preset default && cmake --build build), or say where it is"
done
for c in lbmflood.c lbrreflect.c; do
  [ -f "$tools/$c" ] || fail "$tools/$c is missing: say where the tools are with --tools"
done
demoConfig=$repo/apps/runner/demo-config.json
[ -f "$demoConfig" ] || fail "$demoConfig is missing"

tag=lbbench$$
agent= reflector= flooder= scraper=
stopOnExit="scraper agent reflector flooder"
source "$repo/bench/lib.sh"

echo "== building lbmflood and lbrreflect from $tools"
gcc -O2 -o "$work/lbmflood" "$tools/lbmflood.c"
gcc -O2 -o "$work/lbrreflect" "$tools/lbrreflect.c"

# The demo's switch cut down to the one port lbmflood reaches: an access port (lbmflood
# sends untagged) and the level 3 domain with its default MIP, without the MEP.
config=$work/config.json
jq '{bridgeMac,
     interfaces: {Ethernet1: "sw-a"},
     switchports: {Ethernet1: {mode: "access", portVlan: 10}},
     vlans: {"10": {}},
     cfm: {domains: [.cfm.domains[] | select(.level == 3) | del(.associations)]},
     aleStatus: [.aleStatus[] | select(.level == 3)]}' "$demoConfig" >"$config"
"$cfmagentd" --config "$config" --check-config 2>/dev/null ||
  fail "the configuration derived from $demoConfig is refused: $(cat "$config")"
bridgeMac=$(jq -r .bridgeMac "$config")
hostMac=02:00:00:00:00:0a
level=3

echo "== topology: $nsHost (host-a $hostMac) -- sw-a [$nsSw] ($bridgeMac)"
# The switch's port answers to the bridge MAC address, as a switch's CPU port does; the
# reflector answers only frames to its device's own address.
vethLink sw-a host-a "$bridgeMac" "$hostMac"
# The metrics are served on the switch namespace's loopback.
[ -z "$scrape" ] || ip -n "$nsSw" link set lo up
swIfIndex=$(ip netns exec "$nsSw" cat /sys/class/net/sw-a/ifindex)

# Whether process PID holds a packet socket bound to sw-a.
packetSocketBound() {
  local pid=$1 link inodes=()
  for fd in /proc/"$pid"/fd/*; do
    link=$(readlink "$fd" 2>/dev/null) || continue
    [[ $link =~ ^socket:\[([0-9]+)\]$ ]] && inodes+=("${BASH_REMATCH[1]}")
  done
  [ ${#inodes[@]} -gt 0 ] || return 1
  awk -v ifindex="$swIfIndex" -v inodes="${inodes[*]}" '
    BEGIN { n = split(inodes, list, " "); for (i = 1; i <= n; i++) mine[list[i]] = 1 }
    NR > 1 && $5 == ifindex && ($9 in mine) { found = 1 }
    END { exit !found }' /proc/"$pid"/net/packet
}

# CPU time process PID has used so far (user and system, the softirq work its sends do in
# its context included), in clock ticks.
clockTick=$(getconf CLK_TCK)
cpuTicks() { awk '{ print $14 + $15 }' /proc/"$1"/stat; }
userTicks() { awk '{ print $14 }' /proc/"$1"/stat; }  # the process's own code only
declare -A result cpu
flood() {  # RESPONDER WINDOW PID: one lbmflood run against PID, its line kept in
           # result[RESPONDER/WINDOW], PID's CPU ticks during it in cpu[RESPONDER/WINDOW]
  local line ticks0
  ticks0=$(cpuTicks "$3")
  line=$(ip netns exec "$nsHost" "$work/lbmflood" host-a "$bridgeMac" "$level" "$seconds" "$2")
  cpu[$1/$2]=$(($(cpuTicks "$3") - ticks0))
  printf '   %-10s window %-3s %s\n' "$1" "$2" "$line"
  result[$1/$2]=$line
}

metricsAt=127.0.0.1:9750
startAgent() {  # CONFIG READY: cfmagentd on CONFIG, once the command READY succeeds; with
                # --scrape, scraped from then on until stopAgent
  ip netns exec "$nsSw" "$cfmagentd" --config "$1" --control "$work/cfmagentd.sock" \
    ${scrape:+--metrics "$metricsAt"} >"$work/cfmagentd.log" 2>&1 &
  agent=$!
  waitFor "cfmagentd (its log: $(cat "$work/cfmagentd.log" 2>/dev/null))" 10 "$2"
  [ -n "$scrape" ] || return 0
  waitFor "the agent's /metrics" 10 scrapeQuiet
  : >"$work/scrapes"
  # A scrape a second, each line "bytes seconds" or "failed"; an hour at most.
  (
    for _ in $(seq 3600); do
      scrapeOnce >>"$work/scrapes" 2>/dev/null || echo failed >>"$work/scrapes"
      sleep 1
    done
  ) &
  scraper=$!
}
scrapeOnce() {
  ip netns exec "$nsSw" curl -sSf --max-time 5 -o /dev/null -w '%{size_download} %{time_total}\n' \
    "http://$metricsAt/metrics"
}
scrapeQuiet() { scrapeOnce >/dev/null 2>&1; }
stopAgent() {  # with --scrape, what the scrapes of this run of the agent got
  if [ -n "$scraper" ]; then
    stop "$scraper"
    scraper=
    awk '$1 == "failed" { failed++; next }
         { n++; bytes = $1; if ($2 > slowest) slowest = $2 }
         END { printf "   metrics: %d scrapes of %d bytes, slowest %.1f ms, %d failed\n", n, bytes, slowest * 1000, failed }' \
      "$work/scrapes"
  fi
  stop "$agent"
  agent=
}
# What the agent's socket shed during a run: frames its queue dropped, frames the kernel did.
socketDrops() { ctl show sockets --json | jq -r '.Ethernet1 | "\(.rxQueueDrops) \(.rxKernelDrops)"'; }
declare -A drops

overloadRun() {
  echo "== overload: lbmflood at window $overload until the agent's socket has seen 10 M frames"
  # Frames that reached the socket: the kernel's drops, and every other frame, since the
  # agent's queue drops at the head (each arriving frame is queued, an older one shed).
  seen() { ctl show sockets --json | jq -r '.Ethernet1 | .rxFrames + .rxKernelDrops'; }
  rss() { awk '/^VmRSS/ { print $2 }' /proc/"$agent"/status; }
  socketLine() { ctl show sockets --json | jq -c '.Ethernet1'; }
  answerTimes() {  # N: how long N `cfmctl show counters` took, in microseconds, one a line
    for _ in $(seq "$1"); do
      t0=$(date +%s%N)
      ctl show counters >/dev/null || fail "cfmctl show counters failed"
      echo $((($(date +%s%N) - t0) / 1000))
      sleep 0.5
    done
  }
  summary() { sort -n | awk '{ v[NR] = $1 } END {
    printf "%d answers, median %.1f ms, max %.1f ms\n", NR, v[int((NR + 1) / 2)] / 1000, v[NR] / 1000 }'; }
  echo "   cfmctl show counters without traffic (cfmctl's own start included): $(answerTimes 5 | summary)"
  echo "   before: $(socketLine)"
  seen0=$(seen)
  ip netns exec "$nsHost" "$work/lbmflood" host-a "$bridgeMac" "$level" 100000 "$overload" \
    >"$work/overload.out" &
  flooder=$!
  reachedSeen() { [ $(($(seen) - seen0)) -ge "$1" ]; }
  for _ in $(seq 6000); do reachedSeen 100000 && break; sleep 0.01; done
  reachedSeen 100000 || fail "the agent's socket saw fewer than 100 k frames in 60 s"
  rssFirst=$(rss)
  answers=()
  started=$(date +%s%N) ticks0=$(cpuTicks "$agent") line0=$(socketLine)
  while ! reachedSeen 10000000; do
    kill -0 "$flooder" 2>/dev/null || fail "lbmflood ended early: $(cat "$work/overload.out")"
    answers+=("$(answerTimes 1)")
  done
  elapsed=$((($(date +%s%N) - started) / 1000000)) ticks=$(($(cpuTicks "$agent") - ticks0))
  line1=$(socketLine)
  rssLast=$(rss)
  stop "$flooder"
  echo "   after:  $(socketLine)"
  echo "   agent resident memory after the first 100 k frames: $rssFirst kB; after 10 M: $rssLast kB"
  jq -rn --argjson a "$line0" --argjson b "$line1" --argjson ms "$elapsed" \
     --argjson cpu "$(awk -v t="$ticks" -v hz="$clockTick" 'BEGIN { print t / hz }')" '
    ($b.txFrames - $a.txFrames) as $answered |
    ($b.rxQueueDrops - $a.rxQueueDrops) as $shed | ($b.rxKernelDrops - $a.rxKernelDrops) as $kernel |
    ($answered + $shed + $kernel) as $seen |
    "   from 100 k to 10 M frames: \($ms) ms; \($seen) frames, \($answered) answered (\($answered * 1000 / $ms | floor)/s), " +
    "\($shed) shed by the queue, \($kernel) by the kernel; agent CPU \($cpu) s, " +
    "\($cpu * 1e9 / $seen | floor) ns per frame seen"'
  echo "   cfmctl show counters under overload: $(printf '%s\n' "${answers[@]}" | summary)"
}

scaleRun() {  # N: the agent on N veth pairs, lbmflood at window 1 on each
  local n=$1 i pids=() ticks0 ticks user0 user replies=0 line queue kernel
  echo "== scale: $n interfaces"
  {
    for i in $(seq "$n"); do
      echo "link add ssw$i type veth peer name shost$i netns $nsHost"
      echo "link set ssw$i addrgenmode none"
      echo "link set ssw$i address $bridgeMac up"
    done
  } | ip -n "$nsSw" -batch -
  for i in $(seq "$n"); do
    printf 'link set shost%d addrgenmode none\nlink set shost%d address 02:00:00:%02x:%02x:0a up\n' \
      "$i" "$i" $((i / 256)) $((i % 256))
  done | ip -n "$nsHost" -batch -
  jq --argjson n "$n" '[range(1; $n + 1)] as $ports
    | .interfaces = ($ports | map({key: "Ethernet\(.)", value: "ssw\(.)"}) | from_entries)
    | .switchports = ($ports | map({key: "Ethernet\(.)", value: {mode: "access", portVlan: 10}}) | from_entries)' \
    "$config" >"$work/scale.json"
  allSockets() { [ "$(ctl show sockets --json 2>/dev/null | jq length)" = "$n" ]; }
  startAgent "$work/scale.json" allSockets
  ticks0=$(cpuTicks "$agent") user0=$(userTicks "$agent")
  for i in $(seq "$n"); do
    ip netns exec "$nsHost" "$work/lbmflood" "shost$i" "$bridgeMac" "$level" "$seconds" 1 >"$work/scale.$i" &
    pids+=($!)
  done
  wait "${pids[@]}"
  ticks=$(($(cpuTicks "$agent") - ticks0)) user=$(($(userTicks "$agent") - user0))
  for i in $(seq "$n"); do
    line=$(cat "$work/scale.$i")
    [[ $line =~ replies=([0-9]+) ]] || fail "lbmflood on shost$i: $line"
    replies=$((replies + BASH_REMATCH[1]))
  done
  read -r queue kernel < <(ctl show sockets --json | jq -r '"\([.[].rxQueueDrops] | add) \([.[].rxKernelDrops] | add)"')
  stopAgent
  for i in $(seq "$n"); do echo "link del ssw$i"; done | ip -n "$nsSw" -batch -
  awk -v n="$n" -v r="$replies" -v s="$seconds" -v t="$ticks" -v u="$user" -v hz="$clockTick" -v q="$queue" \
      -v k="$kernel" 'BEGIN {
    printf "   %4d interfaces: %9d replies/s, agent CPU %6.2f s, per reply %5.2f us (user %5.2f us); shed: rxQueue %d, kernel %d\n",
      n, (r / s), (t / hz), (r > 0 ? t / hz * 1e6 / r : 0), (r > 0 ? u / hz * 1e6 / r : 0), q, k }' | tee -a "$work/scale"
}

if [ -n "$scale" ]; then
  for n in $scale; do scaleRun "$n"; done
  echo
  echo "== $seconds s per run; lbmflood at window 1 on every interface"
  cat "$work/scale"
  exit 0
fi

for round in $(seq "$rounds"); do
  echo "== round $round of $rounds: cfmagentd ($cfmagentd) on sw-a"
  startAgent "$config" agentReady
  for window in 1 64; do
    read -r queue0 kernel0 < <(socketDrops)
    flood "agent/$round" "$window" "$agent"
    read -r queue1 kernel1 < <(socketDrops)
    drops[$round/$window]="$((queue1 - queue0)) $((kernel1 - kernel0))"
  done
  echo "   cfmctl show sockets (both runs):"
  ctl show sockets | sed 's/^/     /'
  if [ "$round" -eq 1 ] && [ -n "$overload" ]; then overloadRun; fi
  stopAgent

  echo "== round $round of $rounds: lbrreflect on sw-a"
  ip netns exec "$nsSw" "$work/lbrreflect" sw-a &
  reflector=$!
  waitFor "lbrreflect" 10 packetSocketBound "$reflector"
  for window in 1 64; do flood "reflector/$round" "$window" "$reflector"; done
  stop "$reflector"
  reflector=
done

echo
echo "== $seconds s per run; ratios are agent/reflector (replies/s: higher is better; latency and"
echo "   CPU per reply, the responder's user and system time during the run / replies: lower)"
printf '%-6s %-6s | %-28s | %-28s | %-23s | %s\n' "" "" "agent" "reflector" "agent/reflector" \
  "agent: frames lost and where"
printf '%-6s %-6s | %10s %8s %8s | %10s %8s %8s | %5s %5s %5s %5s | %10s %6s %7s %7s\n' "round" "window" \
  "replies/s" "p50 us" "p99 us" "replies/s" "p50 us" "p99 us" "rate" "p50" "p99" "CPU" \
  "unanswered" "stalls" "rxQueue" "kernel"
ratios=$work/ratios
for round in $(seq "$rounds"); do
  for window in 1 64; do
    awk -v round="$round" -v window="$window" -v tick="$clockTick" -v a="${result[agent/$round/$window]}" \
        -v r="${result[reflector/$round/$window]}" -v ca="${cpu[agent/$round/$window]}" \
        -v cr="${cpu[reflector/$round/$window]}" -v d="${drops[$round/$window]}" -v out="$ratios" '
      # The value of NAME in an lbmflood line; empty when the line has none.
      function value(line, name,   parts) {
        if (!match(line, "(^| )" name "=[-0-9.]+")) return ""
        split(substr(line, RSTART, RLENGTH), parts, "=")
        return parts[2]
      }
      function ratio(x, y) { return (x > 0 && y > 0) ? sprintf("%.2f", x / y) : "-" }
      function perReply(ticks, line) { return value(line, "replies") > 0 ? ticks / tick * 1e6 / value(line, "replies") : -1 }
      BEGIN {
        split(d, shed, " ")
        rate = ratio(value(a, "replies_per_s"), value(r, "replies_per_s"))
        p50 = ratio(value(a, "p50_us"), value(r, "p50_us"))
        p99 = ratio(value(a, "p99_us"), value(r, "p99_us"))
        cpu = ratio(perReply(ca, a), perReply(cr, r))
        printf "%-6s %-6s | %10s %8s %8s | %10s %8s %8s | %5s %5s %5s %5s | %10d %6d %7d %7d\n", round, window,
               value(a, "replies_per_s"), value(a, "p50_us"), value(a, "p99_us"),
               value(r, "replies_per_s"), value(r, "p50_us"), value(r, "p99_us"), rate, p50, p99, cpu,
               value(a, "sent") - value(a, "replies"), value(a, "stalls"), shed[1], shed[2]
        print window, rate, p50, p99, cpu >> out
      }'
  done
done
if [ "$rounds" -gt 1 ]; then
  for window in 1 64; do
    medians=()
    for column in 2 3 4 5; do
      medians+=("$(awk -v w="$window" -v c="$column" '$1 == w { print $c }' "$ratios" | sort -g |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : sprintf("%.2f", (v[NR / 2] + v[NR / 2 + 1]) / 2) }')")
    done
    printf '%-6s %-6s | %28s | %28s | %5s %5s %5s %5s |\n' "median" "$window" "" "" "${medians[@]}"
  done
fi

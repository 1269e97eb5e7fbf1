#!/usr/bin/env bash
# The software ALE layer at scale, live: cfmagentd in one network namespace runs N local
# MEPs, each in its own association and VLAN on one trunk port, sending CCMs at one interval;
# ccmecho (bench/ccmecho.c) on the far end of a veth pair stands in for all their remote
# MEPs, answering each CCM with one of the remote MEP's. Measures, in one run:
#
#   gaps          between two CCMs of one MEP, from the kernel's receive timestamps on the
#                 far end: mean, p99, p99.9, worst, share within 10% of the interval
#   false fails   remote MEPs failed while every CCM was answered (their flaps), over the
#                 steady phase
#   cut to fail   ccmecho stops answering; each remote MEP's failure time (rMepFailedOkTime)
#                 less the cut, worst and median, against 3.5 intervals + 1 ms
#   CPU           the daemon's user + system time (/proc/PID/stat) per CCM sent (a phase
#                 with no answers) and per CCM received (the steady phase less the sending),
#                 and its share of a core in the steady phase
#   profile       perf record of the daemon, echoes on, before the steady phase
#
# Phases: start (every MEP heard by ccmecho, every remote MEP failed and alarmed, since none
# answers yet); send only (--send-seconds); answers on, every remote MEP ok, every alarm
# cleared; the profile (10 s); steady (--seconds), the daemon not asked anything during it;
# the cut. It prints one table row (bench/README.md) and every raw figure.
#
#   bench/ale-scale.sh [--mep-count N] [--interval T] [--seconds N] [--send-seconds N]
#                      [--cfmagentd PATH] [--cfmctl PATH] [--label TEXT] [--no-profile]
#                      [--realtime PRIORITY] [--pin]
#
#   --mep-count N     local MEPs, 1-4093 (default 100): VLANs 2..N+1, MEP ids 1..N, their
#                     remote MEPs 4001..4000+N
#   --interval T      CCM interval as in the configuration file: 3.3ms (default), 10ms,
#                     100ms, 1s, 10s
#   --seconds N       the steady phase (default 60)
#   --send-seconds N  the send-only phase (default 10)
#   --cfmagentd PATH  the daemon to measure (default: build/apps/cfmagentd/cfmagentd), so
#                     that an older build can be measured beside a newer one
#   --cfmctl PATH     (default: build/apps/cfmctl/cfmctl)
#   --label TEXT      the table row's first column (default: the repository's commit)
#   --no-profile      no perf record
#   --realtime P      run the daemon with --realtime P (its loop at SCHED_FIFO priority P)
#   --pin             the daemon on CPU 0, ccmecho on CPU 1: the far end stands for other
#                     machines, and a daemon at SCHED_FIFO would hold it off a shared core
#
# Needs root (namespaces, AF_PACKET), gcc, ip (iproute2), jq and curl; perf for the profile.
# Namespaces, processes and files are removed on exit, also when interrupted.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

mepCount=100
interval=3.3ms
seconds=60
sendSeconds=10
profile=1
realtime=
pin=
label=
cfmagentd=$repo/build/apps/cfmagentd/cfmagentd
cfmctl=$repo/build/apps/cfmctl/cfmctl
usage() { sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --mep-count) mepCount=${2:?}; shift 2 ;;
    --interval) interval=${2:?}; shift 2 ;;
    --seconds) seconds=${2:?}; shift 2 ;;
    --send-seconds) sendSeconds=${2:?}; shift 2 ;;
    --cfmagentd) cfmagentd=${2:?}; shift 2 ;;
    --cfmctl) cfmctl=${2:?}; shift 2 ;;
    --label) label=${2:?}; shift 2 ;;
    --no-profile) profile=; shift ;;
    --realtime) realtime=${2:?}; shift 2 ;;
    --pin) pin=1; shift ;;
    -h | --help) usage ;;
    *) echo "ale-scale: unknown argument '$1'" >&2; usage ;;
  esac
done

fail() { echo "ale-scale: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root: it makes network namespaces and opens packet sockets"
# VLANs 2..N+1 stay at or below 4094.
[[ $mepCount =~ ^[1-9][0-9]*$ ]] && [ "$mepCount" -le 4093 ] || fail "--mep-count: '$mepCount' is not 1-4093"
[[ $seconds =~ ^[1-9][0-9]*$ ]] || fail "--seconds: '$seconds' is not a whole number of seconds"
[[ $sendSeconds =~ ^[1-9][0-9]*$ ]] || fail "--send-seconds: '$sendSeconds' is not a whole number of seconds"
case $interval in
  3.3ms) intervalS=0.0033333333 ;;
  10ms) intervalS=0.01 ;;
  100ms) intervalS=0.1 ;;
  1s) intervalS=1 ;;
  10s) intervalS=10 ;;
  *) fail "--interval: '$interval' is not 3.3ms, 10ms, 100ms, 1s or 10s" ;;
esac
daemonCpu=() echoCpu=()
if [ -n "$pin" ]; then
  [ "$(nproc)" -ge 2 ] || fail "--pin: needs two CPUs, this machine has $(nproc)"
  daemonCpu=(taskset -c 0) echoCpu=(taskset -c 1)
fi
for tool in gcc ip jq curl; do
  command -v "$tool" >/dev/null || fail "$tool is missing (apt-get install gcc iproute2 jq curl)"
done
for b in "$cfmagentd" "$cfmctl"; do
  [ -x "$b" ] || fail "$b is missing: build first (cmake --build build --target cfmagentd cfmctl), or say where it is"
done
if [ -z "$label" ]; then
  label=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo "?")
  git -C "$repo" diff --quiet HEAD 2>/dev/null || label="$label+changes"
  [ -z "$realtime" ] || label="$label, SCHED_FIFO"
  [ -z "$pin" ] || label="$label, pinned"
fi

tag=alescale$$
agent= echoer= profiler=
stopOnExit="profiler echoer agent"
source "$repo/bench/lib.sh"

echo "== building ccmecho"
gcc -O2 -Wall -o "$work/ccmecho" "$repo/bench/ccmecho.c"

remoteOffset=4000
bridgeMac=02:00:00:00:00:01 hostMac=02:00:00:00:00:0a
config=$work/config.json
jq -n --argjson n "$mepCount" --arg interval "$interval" --arg mac "$bridgeMac" --argjson offset "$remoteOffset" '
  [range(2; $n + 2)] as $vlans
  | {bridgeMac: $mac,
     interfaces: {Ethernet1: "sw-a"},
     switchports: {Ethernet1: {mode: "trunk", allowedVlans: $vlans}},
     vlans: ($vlans | map({key: tostring, value: {}}) | from_entries),
     cfm: {defaultProfile: {ccmInterval: $interval, ccmEnable: true},
           domains: [{level: 5, name: "scale-md",
                      associations: [range(1; $n + 1) | {name: "ma-\(.)", primaryVlan: (. + 1),
                        localMeps: [{id: ., interface: "Ethernet1", remoteMeps: [. + $offset]}]}]}]}}' >"$config"
"$cfmagentd" --config "$config" --check-config >/dev/null 2>&1 ||
  fail "the configuration is refused: $("$cfmagentd" --config "$config" --check-config 2>&1 | tail -1)"

vethLink sw-a host-a "$bridgeMac" "$hostMac"

# Deadlines scale with the interval: a remote MEP fails 3.5 intervals after its last CCM.
deadline() { awk -v base="$1" -v iv="$intervalS" 'BEGIN { d = base + 10 * iv; print (d == int(d)) ? d : int(d) + 1 }'; }
nowS() { date +%s.%N; }
# WHAT SECONDS COMMAND...: polls COMMAND until it succeeds, against a deadline in real time
# (a poll of a thousand MEPs' state takes longer than lib.sh's 50 ms step). Every 100 ms: a
# query of the state is work on the daemon's loop, and a run once saw remote MEPs flap
# while it was asked every 20 ms.
waitUntil() {
  local what=$1 limit=$2 end
  end=$(($(date +%s%N) + limit * 1000000000))
  shift 2
  until "$@"; do
    if [ "$(date +%s%N)" -ge "$end" ]; then
      [ "$1" != stateIs ] || what="$what (the state: $(state | tr '\t' ' '), fields as in state())"
      fail "$what: not so after $limit s"
    fi
    [ -z "$agent" ] || kill -0 "$agent" 2>/dev/null || fail "cfmagentd ended: $(tail -3 "$work/cfmagentd.log")"
    sleep 0.1
  done
}
# ccmecho's figure KEY, its latest.
echoValue() { awk -v k="$1" '$1 == k { v = $2 } END { print v }' "$work/echo.out"; }
echoHas() { grep -q "^$1 " "$work/echo.out"; }
echoSignal() { kill -"$1" "$echoer"; }

echo "== ccmecho on host-a [$nsHost], cfmagentd ($cfmagentd, built $(date -u -r "$cfmagentd" '+%F %T UTC')) on sw-a [$nsSw]"
echo "   $mepCount MEPs at $interval, level 5, VLANs 2-$((mepCount + 1)); load $(cut -d' ' -f1-3 /proc/loadavg)"
ip netns exec "$nsHost" "${echoCpu[@]}" "$work/ccmecho" host-a "$remoteOffset" "$mepCount" >"$work/echo.out" 2>"$work/echo.err" &
echoer=$!
waitUntil "ccmecho ready ($(cat "$work/echo.err"))" 5 echoHas ready
# The metrics endpoint is how the phases are watched: its snapshot holds the loop a fraction
# of a millisecond, where `cfmctl show meps --json` of a thousand MEPs holds it tens of ms,
# long enough at 3.3 ms for the ring to overflow and remote MEPs to fail.
ip -n "$nsSw" link set lo up
ip netns exec "$nsSw" "${daemonCpu[@]}" "$cfmagentd" --config "$config" --control "$work/cfmagentd.sock" --metrics 127.0.0.1:9750 \
  ${realtime:+--realtime "$realtime"} >"$work/cfmagentd.log" 2>&1 &
agent=$!
started=$(nowS)

# The local MEPs' state in one line: local MEPs, remote MEPs, of them ok and failed, their
# flaps, CCMs and sequence errors, CCMs sent, MEPs with a fault alarm and MEPs whose
# generator is at rest, error and cross-connect CCMs.
state() {
  ctl show meps --json 2>/dev/null | jq -r '[.[][][]] as $l | [$l[] | .remoteMeps[]] as $r
    | [($l | length), ($r | length), ($r | map(select(.rMepState == "ok")) | length),
       ($r | map(select(.rMepState == "failed")) | length), ($r | map(.flaps) | add // 0),
       ($r | map(.ccmsReceived) | add // 0), ($r | map(.sequenceErrors) | add // 0),
       ($l | map(.cciSentCcms) | add // 0), ($l | map(select(.faultAlarm != "none")) | length),
       ($l | map(select(.fngState == "fngReset" and .highestPrDefect == "none")) | length),
       ($l | map(.errorCcms) | add // 0), ($l | map(.xconCcms) | add // 0)] | @tsv'
}
# The same from /metrics, without what it does not carry (CCMs received, error and
# cross-connect CCMs: "-"); a MEP is calm with no alarm and no defect.
quickState() {
  ip netns exec "$nsSw" curl -sf http://127.0.0.1:9750/metrics | awk '
    /^cfm_mep_fault_alarm\{/ { locals++; alarms += $NF; alarm[$1] = $NF }
    /^cfm_mep_highest_defect\{/ { k = $1; sub(/^cfm_mep_highest_defect/, "cfm_mep_fault_alarm", k); defect[k] = $NF }
    /^cfm_remote_mep_up\{/ { remotes++; ok += $NF }
    /^cfm_remote_mep_flaps_total\{/ { flaps += $NF }
    /^cfm_mep_ccm_sequence_errors_total\{/ { seq += $NF }
    /^cfm_mep_ccms_sent_total\{/ { sent += $NF }
    END { for (m in alarm) if (alarm[m] == 0 && defect[m] == 0) calm++
          if (locals == 0) exit 1
          printf "%d\t%d\t%d\t%d\t%d\t-\t%d\t%d\t%d\t%d\t-\t-\n", locals, remotes, ok, remotes - ok, flaps, seq, sent, alarms, calm }'
}
declare -A st
readState() {  # NAME [quick]: the state's figures into st[NAME.field]
  local line fields=(locals remotes ok failed flaps received seqErrors sent alarms calm errorCcms xconCcms) i
  if [ "${2:-}" = quick ]; then line=$(quickState) || return 1; else line=$(state) || return 1; fi
  [ -n "$line" ] || return 1
  read -r -a values <<<"$line"
  for i in "${!fields[@]}"; do st[$1.${fields[$i]}]=${values[$i]}; done
}
stateIs() {  # CONDITION over st[now.*]
  readState now quick || return 1
  eval "$1"
}
n=$mepCount
waitUntil "all $n MEPs in the daemon's state" "$(deadline 30)" stateIs '[ "${st[now.locals]}" = "$n" ]'
waitUntil "a CCM from each of the $n MEPs at ccmecho" "$(deadline 10)" echoHas allSeen
echo "   every MEP running and heard after $(awk -v a="$started" -v b="$(echoValue allSeen)" 'BEGIN { printf "%.2f", b - a }') s"
# Nothing answers yet: every remote MEP fails, its defect raises an alarm.
waitUntil "every remote MEP failed and every MEP alarmed" "$(deadline 20)" \
  stateIs '[ "${st[now.failed]}" = "$n" ] && [ "${st[now.alarms]}" = "$n" ]'

hz=$(getconf CLK_TCK)
# PID's user + system time in clock ticks, and its time on CPU in ns (exact where ticks are
# sampled).
cpu() { echo "$(sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }') $(cut -d' ' -f1 "/proc/$1/schedstat")"; }
# A figure of the state at a time between the two ends of its query.
stampedState() {  # NAME [quick]
  local t0 t1
  t0=$(nowS)
  readState "$@" || fail "the daemon's state could not be read"
  t1=$(nowS)
  st[$1.at]=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", (a + b) / 2 }')
}

echo "== send only: $sendSeconds s, nothing answered"
stampedState send0
read -r sendTicks0 sendRun0 <<<"$(cpu "$agent")"
sendT0=$(nowS)
sleep "$sendSeconds"
read -r sendTicks1 sendRun1 <<<"$(cpu "$agent")"
sendT1=$(nowS)
stampedState send1

echo "== answers on: every remote MEP ok, every alarm cleared"
echoSignal USR1
waitUntil "ccmecho echoing" 5 echoHas echoFrom
okWait0=$(nowS)
waitUntil "every remote MEP ok" "$(deadline 10)" stateIs '[ "${st[now.ok]}" = "$n" ]'
okWait=$(awk -v a="$okWait0" -v b="$(nowS)" 'BEGIN { printf "%.3f", b - a }')
# The latest time a remote MEP went ok, against the first echo.
okLatest=$(ctl show meps --json | jq '[.[][][] | .remoteMeps[] | .rMepFailedOkTime] | max')
okAfter=$(awk -v a="$(echoValue echoFrom)" -v b="$okLatest" 'BEGIN { printf "%.1f", (b - a) * 1000 }')
echo "   all ok; the last $okAfter ms after the first echo (the wait: $okWait s)"
# The generators clear their alarms fngResetTime (10 s) after the defects went.
# A daemon that cannot hold the load never gets there: the steady phase then shows what it
# does instead.
calmEnd=$(($(date +%s) + $(deadline 25)))
until stateIs '[ "${st[now.calm]}" = "$n" ]'; do
  if [ "$(date +%s)" -ge "$calmEnd" ]; then
    echo "   NOT every alarm cleared after $(deadline 25) s: ${st[now.calm]} of $n MEPs calm, ${st[now.flaps]} flaps so far"
    break
  fi
  sleep 0.1
done

profileOut=
if [ -n "$profile" ]; then
  if ! command -v perf >/dev/null; then
    profileOut="perf is missing: no profile"
  else
    event=cycles
    if perf stat -e instructions true 2>&1 | grep -q 'not supported'; then
      event=cpu-clock  # no hardware counters (a VM): sampled on the kernel's clock
    elif ! perf stat -e instructions true >/dev/null 2>&1; then
      event=none
    fi
    if [ "$event" = none ]; then
      profileOut="perf stat -e instructions failed ($(perf stat -e instructions true 2>&1 | head -1)): no profile"
    else
      echo "== profile: perf record -e $event -g of the daemon for 10 s, answers on"
      perf record -e "$event" -F 999 -g -p "$agent" -o "$work/perf.data" -- sleep 10 >"$work/perf.log" 2>&1 &
      profiler=$!
      if wait "$profiler"; then
        profileOut=$(perf report -i "$work/perf.data" --stdio --no-children -g none --percent-limit 0.5 2>/dev/null |
          grep -v '^#' | grep -v '^$' | head -30)
        [ -n "$profileOut" ] || profileOut="perf report gave nothing: $(tail -2 "$work/perf.log")"
        profileOut="$event, $(grep -o '[0-9]* samples' "$work/perf.log" | head -1) at 999 Hz
$profileOut"
      else
        profileOut="perf record failed: $(tail -2 "$work/perf.log")"
      fi
      profiler=
    fi
  fi
fi

echo "== steady: $seconds s, every CCM answered, the daemon not asked anything"
stampedState steady0 quick
read -r echoTicks0 _ <<<"$(cpu "$echoer")"
echoUser0=$(sed 's/.*) //' "/proc/$echoer/stat" | awk '{ print $12 }')
echoSignal USR1  # the gap statistics start afresh
read -r steadyTicks0 steadyRun0 <<<"$(cpu "$agent")"
steal0=$(awk '$1 == "cpu" { print $9 }' /proc/stat)
steadyT0=$(nowS)
sleep "$seconds"
read -r steadyTicks1 steadyRun1 <<<"$(cpu "$agent")"
steal1=$(awk '$1 == "cpu" { print $9 }' /proc/stat)
steadyT1=$(nowS)
read -r echoTicks1 _ <<<"$(cpu "$echoer")"
echoUser1=$(sed 's/.*) //' "/proc/$echoer/stat" | awk '{ print $12 }')

echo "== the cut: ccmecho stops answering"
echoSignal USR2
waitUntil "ccmecho's cut" 5 echoHas cut.otherIntervalCcms
cut=$(echoValue cut)
# ccmecho sees each MEP's CCMs carry RDI once its remote MEP failed: waited for on the far
# end, so that no query of the daemon's state delays the failures being timed.
waitUntil "a CCM with RDI from every MEP after the cut" "$(deadline 5)" echoHas allRdi
waitUntil "every remote MEP failed" "$(deadline 5)" stateIs '[ "${st[now.failed]}" = "$n" ]'
stampedState end
# Each local MEP's id and its remote MEP's failure time.
ctl show meps --json | jq -r '.[][] | to_entries[] | .key as $id | .value.remoteMeps[] | "\($id) \(.rMepFailedOkTime)"' \
  >"$work/failed"
awk -v cut="$cut" '{ printf "%.6f\n", ($2 - cut) * 1000 }' "$work/failed" | sort -g >"$work/failAfter"
# From each MEP's last echo (just before the call that sent it) to its remote MEP's failure:
# 3.5 intervals, the echo's way and the daemon's wake-up; less would be a remote MEP failed
# early.
awk 'NR == FNR { split($2, key, "/"); echo[key[2]] = $3; next } ($1 in echo) { printf "%.6f\n", ($2 - echo[$1]) * 1000 }' \
  <(grep '^lastEcho ' "$work/echo.out") "$work/failed" | sort -g >"$work/failAfterEcho"
ctl show sockets --json | jq -c .Ethernet1 >"$work/sockets"
echoSignal TERM
wait "$echoer" || true
echoer=

# The figures.
failWorst=$(tail -1 "$work/failAfter" | awk '{ printf "%.3f", $1 }')
failMedian=$(awk '{ v[NR] = $1 } END { printf "%.3f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }' "$work/failAfter")
failBest=$(head -1 "$work/failAfter" | awk '{ printf "%.3f", $1 }')
bound=$(awk -v iv="$intervalS" 'BEGIN { printf "%.3f", 3.5 * iv * 1000 + 1 }')
overBound=$(awk -v b="$bound" '$1 > b' "$work/failAfter" | wc -l)
summary() {  # FILE: median, best and worst of its numbers, one a line, sorted
  awk '{ v[NR] = $1 } END { if (NR == 0) { print "none"; exit }
    printf "median %.3f ms, best %.3f ms, worst %.3f ms (%d)", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[1], v[NR], NR }' "$1"
}
threeAndHalf=$(awk -v iv="$intervalS" 'BEGIN { printf "%.3f", 3.5 * iv * 1000 }')
beforeCut=$(awk '$1 < 0' "$work/failAfter" | wc -l)
# Flaps from the steady phase's start to the end: those of the cut (a remote MEP failed
# after it) are not false.
falseFails=$((${st[end.flaps]} - ${st[steady0.flaps]} - ($(wc -l <"$work/failAfter") - beforeCut)))

read -r sendCpuRate sendRunRate sentPerS <<<"$(awk -v t="$((sendTicks1 - sendTicks0))" -v r="$((sendRun1 - sendRun0))" \
  -v hz="$hz" -v a="$sendT0" -v b="$sendT1" -v s0="${st[send0.sent]}" -v s1="${st[send1.sent]}" \
  -v q0="${st[send0.at]}" -v q1="${st[send1.at]}" \
  'BEGIN { w = b - a; printf "%.6f %.6f %.1f\n", t / hz / w, r / 1e9 / w, (s1 - s0) / (q1 - q0) }')"
read -r steadyCpuRate steadyRunRate steadySeconds <<<"$(awk -v t="$((steadyTicks1 - steadyTicks0))" \
  -v r="$((steadyRun1 - steadyRun0))" -v hz="$hz" -v a="$steadyT0" -v b="$steadyT1" \
  'BEGIN { w = b - a; printf "%.6f %.6f %.3f\n", t / hz / w, r / 1e9 / w, w }')"
echoes=$(echoValue cut.echoes) echoSeconds=$(echoValue cut.seconds)
receivedPerS=$(awk -v e="$echoes" -v s="$echoSeconds" 'BEGIN { printf "%.1f", e / s }')
read -r usPerSent runUsPerSent usPerReceived runUsPerReceived share runShare echoShare <<<"$(awk \
  -v sc="$sendCpuRate" -v sr="$sendRunRate" -v sp="$sentPerS" -v tc="$steadyCpuRate" -v tr="$steadyRunRate" \
  -v rp="$receivedPerS" -v et="$((echoTicks1 - echoTicks0))" -v hz="$hz" -v w="$steadySeconds" 'BEGIN {
    printf "%.2f %.2f %.2f %.2f %.2f %.2f %.2f\n", sc / sp * 1e6, sr / sp * 1e6, (tc - sc) / rp * 1e6, (tr - sr) / rp * 1e6,
      tc * 100, tr * 100, et / hz / w * 100 }')"

cat <<EOF

== raw figures
daemon                 $cfmagentd (built $(date -u -r "$cfmagentd" '+%F %T UTC'))${realtime:+, SCHED_FIFO $realtime}${pin:+, on CPU 0 (ccmecho on CPU 1)}
MEPs, interval         $n at $interval (${intervalS} s); load now $(cut -d' ' -f1-3 /proc/loadavg)
send only              ${sendSeconds} s: CCMs sent $(awk -v r="$sentPerS" 'BEGIN { printf "%.0f", r }')/s (cciSentCcms), daemon CPU $(awk -v c="$sendCpuRate" 'BEGIN { printf "%.2f", c * 100 }')% of a core (on CPU $(awk -v c="$sendRunRate" 'BEGIN { printf "%.2f", c * 100 }')%): ${usPerSent} us per CCM sent (on CPU ${runUsPerSent} us)
to ok                  every remote MEP ok ${okAfter} ms after the first echo; the script's wait ${okWait} s
steady                 ${steadySeconds} s: echoes ${receivedPerS}/s, daemon CPU ${share}% of a core (on CPU ${runShare}%); ccmecho ${echoShare}%, of it user $(awk -v u="$((echoUser1 - echoUser0))" -v hz="$hz" -v w="$steadySeconds" 'BEGIN { printf "%.2f", u / hz / w * 100 }')% (its sends deliver each frame into the daemon's socket in its own context)
per CCM received       ${usPerReceived} us (on CPU ${runUsPerReceived} us): steady CPU less the send-only rate, over the echoes
gaps (steady)          $(echoValue cut.gaps) gaps over $(echoValue cut.meps) MEPs; mean $(echoValue cut.gapMeanMs) ms, p50 $(echoValue cut.gapP50Ms), p99 $(echoValue cut.gapP99Ms), p99.9 $(echoValue cut.gapP999Ms), worst $(echoValue cut.gapWorstMs) ms (VLAN/MEP $(echoValue cut.gapWorstAt)); within 10%: $(echoValue cut.gapWithin10pct)%; past 1.5 intervals: $(echoValue cut.gapsPast1.5x), past 20: $(echoValue cut.gapsPast20x)
CCMs per MEP (steady)  $(echoValue cut.mepCcmsMin)-$(echoValue cut.mepCcmsMax); MEPs silent at the cut: $(echoValue cut.silentMeps)
false failures         $falseFails (flaps ${st[steady0.flaps]} at the steady phase's start, ${st[end.flaps]} at the end, $n of them the cut's; $beforeCut remote MEPs failed before the cut)
cut to failed          median ${failMedian} ms, best ${failBest} ms, worst ${failWorst} ms; bound ${bound} ms, $overBound over it
last echo to failed    $(summary "$work/failAfterEcho"); 3.5 intervals are ${threeAndHalf} ms
cut to CCM with RDI    median $(echoValue rdiMedianMs) ms, worst $(echoValue rdiWorstMs) ms (ccmecho's receive time)
echoes, accepted       ccmecho sent $(echoValue echo) in all, the daemon counted $((${st[end.received]} - ${st[send0.received]})) CCMs from the remote MEPs, $((${st[end.seqErrors]} - ${st[send0.seqErrors]})) out of sequence; error CCMs ${st[end.errorCcms]}, cross-connect ${st[end.xconCcms]}
stalls (steady)        $(awk -v from="$(echoValue echoFrom)" -v to="$cut" '$1 == "stall" && $2 >= from && $2 < to {
                         n++; if (n <= 12) list = list sprintf("%s+%.3f s %.1f ms", n > 1 ? ", " : "", $2 - from, $3) }
                         END { printf "%d gaps of 2 intervals or more%s", n, n ? " (from the phase start: " list (n > 12 ? ", ..." : "") ")" : "" }' "$work/echo.out"); the VM's steal time $(((steal1 - steal0) * 1000 / hz)) ms
echo delay (steady)    from a CCM's receive to its echo's send: mean $(echoValue cut.echoDelayMeanMs) ms, worst $(echoValue cut.echoDelayWorstMs) ms, $(echoValue cut.echoesPast1ms) past 1 ms
ccmecho                ring drops $(echoValue ringDrops), send errors $(echoValue sendErrors), not CCMs $(echoValue notCcm)
daemon socket          $(cat "$work/sockets")
EOF
if [ -n "$profile" ]; then
  echo
  echo "== profile (perf report --stdio --no-children -g none, the top)"
  echo "$profileOut"
fi
echo
echo "| run | MEPs | interval | gap mean | gap p99 | gap p99.9 | gap worst | within 10% | false failures | cut to failed, median | worst | bound | CPU per CCM sent | per CCM received | core, steady |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '| %s | %s | %s | %.4f ms | %.3f ms | %.3f ms | %.3f ms | %s%% | %s | %.3f ms | %.3f ms | %s ms | %s us | %s us | %s%% |\n' \
  "$label" "$n" "$interval" "$(echoValue cut.gapMeanMs)" "$(echoValue cut.gapP99Ms)" "$(echoValue cut.gapP999Ms)" \
  "$(echoValue cut.gapWorstMs)" "$(echoValue cut.gapWithin10pct)" "$falseFails" "$failMedian" "$failWorst" "$bound" \
  "$usPerSent" "$usPerReceived" "$share"

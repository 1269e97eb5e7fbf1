#!/usr/bin/env bash
# The demo: host A -- switch -- host B over veth pairs in three network namespaces. The
# switch runs cfmagentd with apps/runner/demo-config.json; the hosts send CFM frames with
# cfmtool; the ALE configuration the agent writes is shown and follows a changed file
# applied live; the software ALE layer's MEP 100 hears host A's MEP 200 (host A runs
# cfmagentd too), raises a fault alarm for MEP 201 that nobody runs, measures delay and loss
# to MEP 200, and sees MEP 200 fail when host A stops, with the events cfmctl monitor prints; the databases the agent learns from host A's CCMs are shown,
# host A pings the switch and gets its loopback replies, at the end the agent's counters are
# shown and MEP 100's series as a Prometheus scrapes them, and everything is removed, also
# when interrupted.
#
#   ./demo.sh              install what is missing, build, run
#   ./demo.sh --no-build   run with the binaries already in build/
set -euo pipefail
cd "$(dirname "$0")"

if [ "$(id -u)" -ne 0 ]; then
  exec sudo --preserve-env=PATH,KILN_TRACE "$0" "$@"
fi

build=1
[ "${1:-}" = "--no-build" ] && build=0

if [ "$build" = 1 ]; then
  echo "== installing packages and building"
  scripts/install-deps.sh
  cmake --preset default >/dev/null
  cmake --build build -j2 --target cfmagentd cfmctl cfmtool CfmAgent
fi

bin=build/apps
cfmagentd=$bin/cfmagentd/cfmagentd
cfmctl=$bin/cfmctl/cfmctl
cfmtool=$bin/cfmtool/cfmtool
config=apps/runner/demo-config.json
for b in "$cfmagentd" "$cfmctl" "$cfmtool"; do
  [ -x "$b" ] || { echo "demo: $b is missing; run without --no-build" >&2; exit 1; }
done

# Names are unique per run, so that a demo never touches another's namespaces.
tag=cfmdemo$$
nsA=$tag-a nsSw=$tag-sw nsB=$tag-b
work=$(mktemp -d /tmp/$tag.XXXX)
socket=$work/cfmagentd.sock
daemon=
hostA=
monitor=

cleanup() {
  set +e
  [ -n "$monitor" ] && kill "$monitor" 2>/dev/null
  for p in "$hostA" "$daemon"; do
    if [ -n "$p" ] && kill -0 "$p" 2>/dev/null; then
      kill -TERM "$p"
      wait "$p"
    fi
  done
  for ns in "$nsA" "$nsSw" "$nsB"; do ip netns del "$ns" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

bridgeMac=02:00:00:00:00:01
macA=02:00:00:00:00:0a
macB=02:00:00:00:00:0b

echo "== topology: $nsA (eth0 $macA) -- sw-a [$nsSw] sw-b -- $nsB (eth0 $macB)"
for ns in "$nsA" "$nsSw" "$nsB"; do ip netns add "$ns"; done
ip -n "$nsSw" link add sw-a type veth peer name eth0 netns "$nsA"
ip -n "$nsSw" link add sw-b type veth peer name eth0 netns "$nsB"
# The switch's ports answer to the bridge MAC address, as a switch's CPU port does.
ip -n "$nsSw" link set sw-a address $bridgeMac up
ip -n "$nsSw" link set sw-b address $bridgeMac up
ip -n "$nsA" link set eth0 address $macA up
ip -n "$nsB" link set eth0 address $macB up

echo "== starting cfmagentd in $nsSw with $config, metrics for Prometheus on 127.0.0.1:9750"
ip -n "$nsSw" link set lo up
ip netns exec "$nsSw" "$cfmagentd" --config "$config" --control "$socket" --metrics 127.0.0.1:9750 &
daemon=$!
for _ in $(seq 50); do [ -S "$socket" ] && break; sleep 0.1; done
[ -S "$socket" ] || { echo "demo: cfmagentd did not start" >&2; exit 1; }

inA() { ip netns exec "$nsA" "$@"; }
ctl() { "$cfmctl" --socket "$socket" "$@"; }
# Until `cfmctl show SECTION` has a line matching PATTERN (10 s at most): the agent takes
# frames on its own schedule, and the demo shows what it has done, not what it was sent.
await() {
  for _ in $(seq 100); do ctl show "$1" | grep -E "$2" >/dev/null && return; sleep 0.1; done
  echo "-- nothing matching '$2' in cfmctl show $1 after 10 s"
}

echo
echo "== cfmctl show ale-config (what the agent wrote for the ALE layer from $config)"
ctl show ale-config
echo
echo "== cfmctl monitor, started now, prints the software ALE layer's events as they happen"
"$cfmctl" --socket "$socket" monitor >"$work/monitor" &
monitor=$!
echo
echo "== host A runs cfmagentd too: its MEP 200 (demo-md / demo-ma, MD level 3) sends CCMs every"
echo "   second and answers Y.1731's delay and loss messages"
cat >"$work/host-a.json" <<JSON
{
  "bridgeMac": "$macA",
  "interfaces": { "Ethernet1": "eth0" },
  "switchports": { "Ethernet1": { "mode": "access", "portVlan": 10 } },
  "vlans": { "10": {} },
  "cfm": {
    "defaultProfile": { "ccmEnable": true, "ccmInterval": "1s" },
    "domains": [ { "level": 3, "name": "demo-md", "associations": [ { "name": "demo-ma", "primaryVlan": 10,
      "localMeps": [ { "id": 200, "interface": "Ethernet1", "remoteMeps": [100] } ] } ] } ]
  }
}
JSON
ip netns exec "$nsA" "$cfmagentd" --config "$work/host-a.json" --control "$work/host-a.sock" \
  >"$work/host-a.log" 2>&1 &
hostA=$!
await remote-meps '^ +3 +demo-ma +100 +200 +ok '
ctl show remote-meps
echo
echo "== cfmctl config apply: MEP 100 also expects MEP 201, which nobody runs; a domain at"
echo "   level 5 whose default MIP the agent's status shows; the ALE configuration follows"
echo "   And MEP 100 measures two-way delay (DMM, every 100 ms) and synthetic loss (SLM) to MEP 200,"
echo "   in measurement intervals of 10 s"
jq '.cfm.domains[0].associations[0].localMeps[0].remoteMeps += [201]
    | .cfm.domains[0].associations[0].localMeps[0].pmSessions = [
        {"name": "delay-to-200", "kind": "dmm", "target": 200, "interval": "100ms",
         "measurementInterval": "10s", "thresholds": {"delayP99": "5ms"}},
        {"name": "loss-to-200", "kind": "slm", "target": 200, "interval": "100ms",
         "measurementInterval": "10s", "thresholds": {"farEndLossPercent": 1, "nearEndLossPercent": 1}}]
    | .cfm.domains += [{"level": 5, "name": "demo-md5", "defaultMip": true}]' "$config" >"$work/changed.json"
ctl config apply "$work/changed.json"
ctl show ale-config
echo
echo "== MEP 100 hears MEP 200 (ok); MEP 201 is never heard: it fails after 3.5 intervals,"
echo "   the remote MEP CCM defect (remoteCcm) stands, and 2.5 s later the fault alarm is raised"
await meps 'fngDefectReported +remoteCcm'
ctl show meps
ctl show remote-meps
echo
echo "== cfmctl show pm: each session's current interval (and the last one it completed, once"
echo "   10 s have passed); delays are two-way, with host A's own time taken out"
await pm '^ +3 +demo-ma +100 +delay-to-200 +dmm +200 +current +[0-9]+ +[1-9]'
ctl show pm
echo
echo "== what cfmctl monitor printed so far"
cat "$work/monitor"
await counters '^Ethernet1 +3 +1 CCM +in +[0-9]+$'
echo
echo "== cfmctl show ccm-database (where and when each remote MEP was last heard)"
ctl show ccm-database
echo
echo "== cfmctl show intermediate-point-database (the interface each CCM sender was heard on)"
ctl show intermediate-point-database

echo
echo "== host A: cfmtool ping to the switch ($bridgeMac), MD level 3"
echo "   (each LBM is answered by an LBR from the bridge MAC: opcode 3 in, opcode 2 out below)"
inA "$cfmtool" ping --intf eth0 --dst $bridgeMac --level 3 --count 3 --interval 0.2 --timeout 1 ||
  echo "-- cfmtool ping got no replies"
await counters '^Ethernet1 +3 +2 LBR +out +3$'
echo
echo "== host A: cfmtool dmm to the switch, MD level 3: MEP 100's Y.1731 responder answers each"
echo "   DMM with a DMR, with the times it held it (taken out of the delay)"
inA "$cfmtool" dmm --intf eth0 --dst $bridgeMac --level 3 --count 3 --interval 0.2 --timeout 1 ||
  echo "-- cfmtool dmm got no replies"

echo
echo "== cfmctl explain linktrace: what the agent would do with host A's trace to host B"
ctl explain linktrace --intf Ethernet1 --vlan 10 --target $macB
echo
echo "== host A: cfmtool trace to host B ($macB), MD level 3; host B listens"
echo "   (the switch answers with one LTR and relays the LTM to host B with its TTL one lower)"
ip netns exec "$nsB" "$cfmtool" listen --intf eth0 --count 1 --timeout 3 >"$work/listenB" &
listener=$!
# The listener's socket is open once it has printed its first line.
for _ in $(seq 50); do [ -s "$work/listenB" ] && break; sleep 0.1; done
inA "$cfmtool" trace --intf eth0 --target $macB --level 3 --ttl 8 --timeout 1 ||
  echo "-- cfmtool trace got no replies"
wait "$listener" || echo "-- host B heard no relayed LTM"
echo "-- host B:"
cat "$work/listenB"

echo
echo "== host A: cfmtool trace to the switch itself ($bridgeMac): it is the target (RlyHit)"
inA "$cfmtool" trace --intf eth0 --target $bridgeMac --level 3 --ttl 8 --timeout 1 ||
  echo "-- cfmtool trace got no replies"

await counters '^Ethernet1 +3 +4 LTR +out +2$'
echo
echo "== cfmctl show counters"
ctl show counters
echo
echo "== cfmctl show counters --by-class (the agent's own sums)"
ctl show counters --by-class
echo
echo "== cfmctl clear counters --intf Ethernet1 --level 3 --protocol loopback (the LBM counts go,"
echo "   the LBR counts at opcode 2 stay), then cfmctl clear continuity-check-database"
ctl clear counters --intf Ethernet1 --level 3 --protocol loopback
ctl show counters
ctl clear continuity-check-database
ctl show ccm-database
echo
echo "== cfmctl show sockets (frames each socket took, and any it shed)"
ctl show sockets
echo
echo "== cfmctl show status"
ctl show status
echo
echo "== cfmctl show pm: the intervals completed since"
await pm 'loss-to-200 +slm +200 +to [0-9:]+'
ctl show pm
echo
echo "== host A stops: MEP 200 fails 3.5 s after its last CCM"
kill -TERM "$hostA"
wait "$hostA" 2>/dev/null || true
await remote-meps '^ +3 +demo-ma +100 +200 +failed '
ctl show remote-meps
echo "-- cfmctl monitor:"
for _ in $(seq 50); do grep -q 'remote MEP 200 failed' "$work/monitor" && break; sleep 0.1; done
tail -n 2 "$work/monitor"
echo
echo "== what a Prometheus scrapes (docs/fleet.md): MEP 100's series from /metrics"
ip netns exec "$nsSw" curl -s http://127.0.0.1:9750/metrics | grep -E '^cfm_(mep|remote_mep|pm)_[a-z_]+\{[^}]*mep="100"'
echo
echo "== stopping (namespaces and files are removed)"

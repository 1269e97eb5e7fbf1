#!/usr/bin/env bash
# Resident memory of cfmagentd under a CCM flood past its database limits. A flooder in one
# network namespace sends CCMs over a veth pair to the agent in the other, each from a new
# source address with a new 45-byte MA name and another MEP id: every CCM asks for one new
# entry in each CCM database, the costliest flood (docs/security.md). Prints the agent's
# resident size (VmRSS) before the flood, once it has taken as many CCMs as the limits
# allow, after three times as many more, after clearing both databases and filling them
# again, and its peak (VmHWM) after one `cfmctl show --json` of the full databases.
#
#   bench/ccm-flood-rss.sh [--build DIR] [--limits CCM,MIP] [--rate N]
#
#   --build DIR      build directory holding cfmagentd and cfmctl (default: build)
#   --limits C,M     the configuration's limits.ccmDatabaseEntries and
#                    limits.mipCcmDatabaseEntries (default: none, the agent's defaults);
#                    the flood's size follows the larger
#   --rate N         CCMs per second at most (default 20000): the agent takes them all
#                    without its socket's queue shedding any on a slow machine
#
# Needs root (namespaces, AF_PACKET), python3, ip (iproute2) and jq. Namespaces, processes
# and files are removed on exit, also when interrupted.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

build=$repo/build
limits=
rate=20000
usage() { sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=${2:?}; shift 2 ;;
    --limits) limits=${2:?}; shift 2 ;;
    --rate) rate=${2:?}; shift 2 ;;
    -h | --help) usage ;;
    *) echo "ccm-flood-rss: unknown argument '$1'" >&2; usage ;;
  esac
done
cfmagentd=$build/apps/cfmagentd/cfmagentd
cfmctl=$build/apps/cfmctl/cfmctl

fail() { echo "ccm-flood-rss: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root: it makes network namespaces and opens packet sockets"
[ -z "$limits" ] || [[ $limits =~ ^[0-9]+,[0-9]+$ ]] || fail "--limits: '$limits' is not CCM,MIP"
[[ $rate =~ ^[1-9][0-9]*$ ]] || fail "--rate: '$rate' is not a number of CCMs per second"
for tool in python3 ip jq; do
  command -v "$tool" >/dev/null || fail "$tool is missing (apt-get install python3 iproute2 jq)"
done
for b in "$cfmagentd" "$cfmctl"; do
  [ -x "$b" ] || fail "$b is missing: build first (cmake --preset default && cmake --build build)"
done

tag=ccmrss$$
agent=
stopOnExit=agent
source "$repo/bench/lib.sh"

# One access port in VLAN 10 and the level 3 domain with its default MIP.
config=$work/config.json
jq -n --arg limits "$limits" '{
  bridgeMac: "02:00:00:00:00:01",
  interfaces: {Ethernet1: "sw-a"},
  switchports: {Ethernet1: {mode: "access", portVlan: 10}},
  vlans: {"10": {}},
  cfm: {domains: [{level: 3, name: "flood-md", defaultMip: true}]},
  aleStatus: [{level: 3, defaultMip: true}]}
  | if $limits == "" then . else
      .limits = ($limits | split(",") | {ccmDatabaseEntries: (.[0] | tonumber),
                                         mipCcmDatabaseEntries: (.[1] | tonumber)}) end' >"$config"
"$cfmagentd" --config "$config" --check-config >/dev/null || fail "configuration refused: $(cat "$config")"

vethLink sw-a host-a

ip netns exec "$nsSw" "$cfmagentd" --config "$config" --control "$work/cfmagentd.sock" >"$work/cfmagentd.log" 2>&1 &
agent=$!
waitFor "cfmagentd ready (its log: $(cat "$work/cfmagentd.log" 2>/dev/null))" 10 agentReady

# The limits the agent applies, as its state says.
fill() { ctl show --json | jq -c '.databaseFill'; }
read -r ccmLimit mipLimit < <(fill | jq -r '"\(.ccmDatabase.limit) \(.mipCcmDatabase.limit)"')
batch=$((ccmLimit > mipLimit ? ccmLimit : mipLimit))

# FIRST COUNT: COUNT CCMs numbered from FIRST, at level 3, untagged. CCM n comes from
# 02:<n as 5 bytes>, as MEP n % 8191 + 1 of a 45-byte MA name made of n (no MD name).
flood() {
  ip netns exec "$nsHost" python3 - "$1" "$2" "$rate" <<'EOF'
import socket, struct, sys, time
first, count, rate = (int(a) for a in sys.argv[1:4])
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind(("host-a", 0))
start = time.monotonic()
for i in range(count):
    n = first + i
    src = b"\x02" + n.to_bytes(5, "big")
    name = (b"%08x" % n) + b"m" * 37
    maid = bytes([1, 2, len(name)]) + name
    pdu = bytes([3 << 5, 1, 4, 70]) + struct.pack("!IH", n, n % 8191 + 1) + maid + bytes(16) + b"\0"
    s.send(b"\x01\x80\xc2\x00\x00\x33" + src + b"\x89\x02" + pdu)
    if i % 64 == 63:
        ahead = start + (i + 1) / rate - time.monotonic()
        if ahead > 0:
            time.sleep(ahead)
EOF
}
# CCMs the agent has taken: its sum of `in` at opcode 1. Asked of the agent's sums, not
# with `cfmctl show`, whose every answer exports the whole state, databases and all: with
# full databases that would be the figure measured (see the end).
taken() { ctl show counters --by-id --opcode 1 --json | jq '[.[] | select(.counter == "in") | .sum] | add // 0'; }
sent=0
floodAndWait() {  # COUNT: sends COUNT more, then waits until the agent has taken them all,
                  # or has taken none for a second (its socket shed the rest: shown at the end)
  flood "$sent" "$1"
  sent=$((sent + $1))
  local now last=-1
  for _ in $(seq 600); do
    now=$(taken)
    [ "$now" -ge "$sent" ] || [ "$now" -eq "$last" ] && return 0
    last=$now
    sleep 1
  done
  fail "the agent still taking CCMs after 600 s"
}
status() { awk -v key="$1:" '$1 == key { print $2 }' /proc/"$agent"/status; }
line() { printf '   %-52s VmRSS %7s kB\n' "$1" "$(status VmRSS)"; }

echo "== limits: $ccmLimit CCM database entries, $mipLimit MIP CCM database entries"
line "started, databases empty"
floodAndWait "$batch"
line "$sent CCMs, each a new MEP, association and address"
floodAndWait $((3 * batch))
line "$sent CCMs"
ctl clear continuity-check-database
ctl clear intermediate-point-database
floodAndWait "$batch"
line "cleared, then $batch more new senders ($sent in all)"
printf '   %-52s VmHWM %7s kB\n' "peak of all the above" "$(status VmHWM)"
echo "   refused: $(ctl show counters --by-id --opcode 1 --json | jq -c '[.[] | select(.counter | test("DbFull"))]')"
echo "   databases: $(fill)"
line "after one cfmctl show of the full databases"
printf '   %-52s VmHWM %7s kB\n' "peak" "$(status VmHWM)"
echo "   socket: $(ctl show sockets --json | jq -c .Ethernet1)"

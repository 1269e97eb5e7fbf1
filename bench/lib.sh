# What the live benchmarks share: a run's two namespaces, its scratch directory, the
# processes it started and the daemon's control socket, all gone when the script exits,
# also when interrupted. Sourced after `tag` (unique per run, so that a run never touches
# another's namespaces), `cfmctl` and `fail` are set; `stopOnExit` names the variables that
# hold the PIDs to end. With KEEP_WORK=DIR in the environment, the scratch directory (the
# daemon's log, the far end's output) is copied to DIR before it goes.

nsSw=$tag-sw nsHost=$tag-host
work=$(mktemp -d "/tmp/$tag.XXXX")

stop() {  # PID: ends a process this script started and reaps it
  if [ -n "$1" ] && kill -0 "$1" 2>/dev/null; then
    kill -TERM "$1"
    wait "$1" 2>/dev/null || true
  fi
}
cleanup() {
  set +e
  local pid
  for pid in $stopOnExit; do stop "${!pid}"; done
  ip netns del "$nsSw" 2>/dev/null
  ip netns del "$nsHost" 2>/dev/null
  [ -n "${KEEP_WORK:-}" ] && cp -r "$work" "$KEEP_WORK"; rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

waitFor() {  # WHAT SECONDS COMMAND...: polls COMMAND every 50 ms; fails naming WHAT
  local what=$1 seconds=$2
  shift 2
  for _ in $(seq $((seconds * 20))); do "$@" && return 0; sleep 0.05; done
  fail "$what not ready after $seconds s"
}
ctl() { "$cfmctl" --socket "$work/cfmagentd.sock" "$@"; }
vethLink() {  # SWITCH_DEV HOST_DEV [SWITCH_MAC HOST_MAC]: the run's two namespaces and a
              # veth pair between them, up; without IPv6 addresses the link carries no
              # neighbour discovery, only the benchmark's frames
  ip netns add "$nsSw"
  ip netns add "$nsHost"
  ip -n "$nsSw" link add "$1" type veth peer name "$2" netns "$nsHost"
  ip -n "$nsSw" link set "$1" addrgenmode none 2>/dev/null || true
  ip -n "$nsHost" link set "$2" addrgenmode none 2>/dev/null || true
  ip -n "$nsSw" link set "$1" ${3:+address "$3"} up
  ip -n "$nsHost" link set "$2" ${4:+address "$4"} up
}
agentReady() { ctl show sockets 2>/dev/null | grep -q '^Ethernet1 '; }

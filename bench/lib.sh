# What the live benchmarks share: a run's two namespaces, its scratch directory, the
# processes it started and the daemon's control socket, all gone when the script exits,
# also when interrupted. Sourced after `tag` (unique per run, so that a run never touches
# another's namespaces), `cfmctl` and `fail` are set; `stopOnExit` names the variables that
# hold the PIDs to end.

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
  rm -rf "$work"
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
agentReady() { ctl show sockets 2>/dev/null | grep -q '^Ethernet1 '; }

#!/usr/bin/env bash
# Builds the fuzz preset, makes the seed corpora and runs each libFuzzer target for a while:
#   fuzz/run.sh [seconds per target, default 30] [target ...]
# Targets: agent_frames pcapng config control (all by default). Inputs that once broke a
# target (fuzz/regressions/<target>/) are run first. Each target runs as one process, with
# its corpus under build-fuzz/corpus/<target>, kept between runs. Exits non-zero on the
# first finding; the input is left in build-fuzz/findings/. A soak counts executions
# instead of seconds: CFM_FUZZ_RUNS=10000000 fuzz/run.sh 0 config
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -ne 0 ] || targets=(agent_frames pcapng config control)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_seeds "${targets[@]/#/fuzz_}"

build=build-fuzz
rm -rf "$build/seeds"
"$build/fuzz/fuzz_seeds" "$build/seeds" apps/runner/demo-config.json fuzz/agent-config.json
mkdir -p "$build/findings"

declare -A seedDir=([agent_frames]=frames [pcapng]=pcapng [config]=config [control]=control)
# The largest input each target is given (docs/security.md, "Fuzzing"):
# - agent_frames: a record is 3 bytes and a frame; 10 KiB carries one 9,216-byte jumbo frame
#   (9,219 bytes) and seven more records of up to 142 bytes (a tagged CCM, LBM or small LTM
#   before or after it). Frames up to the socket's 16,384 bytes take the same paths as one
#   of 9,217: past every egress's MTU, so refused as answers.
# - pcapng: the reader has no limit of its own; the replay's sockets take frames of up to
#   16,384 bytes. 20 KiB holds such a frame in its packet block (16,416 bytes), the section
#   and interface blocks and room for more blocks.
# - config: a document reaches the daemon by file (no limit) or by the control socket (1 MiB);
#   what costs is the number of entries, not bytes. 64 KiB holds two documents that list
#   every VLAN one by one, or hundreds of MEPs.
# - control: the fuzzed server takes requests of up to 80 KiB (the daemon's 1 MiB, scaled
#   down but still more than one 64 KiB read); 88 KiB reaches past it.
declare -A maxLen=([agent_frames]=10240 [pcapng]=20480 [config]=65536 [control]=90112)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for t in "${targets[@]}"; do
  bin="$build/fuzz/fuzz_$t"
  regressions=(fuzz/regressions/"$t"/*)
  if [ -e "${regressions[0]}" ]; then
    echo "== fuzz_$t: ${#regressions[@]} regression inputs"
    "$bin" "${regressions[@]}" >"$build/findings/$t-regressions.log" 2>&1 ||
      { tail -40 "$build/findings/$t-regressions.log"; exit 1; }
  fi
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  limit=(-max_total_time="$seconds")
  [ -z "${CFM_FUZZ_RUNS:-}" ] || limit=(-runs="$CFM_FUZZ_RUNS")
  echo "== fuzz_$t: ${limit[*]}"
  start=$SECONDS
  "$bin" "${limit[@]}" -max_len="${maxLen[$t]}" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$t-" "$corpus" "$build/seeds/${seedDir[$t]}" \
    >"$build/findings/$t.log" 2>&1 || { tail -60 "$build/findings/$t.log"; exit 1; }
  grep -E '^#[0-9]+ *DONE|^stat::(number_of_executed_units|peak_rss_mb)' "$build/findings/$t.log" | tr '\n' ' '
  echo "wall $((SECONDS - start)) s"
done
echo "== fuzz: ${#targets[@]} targets, no finding"

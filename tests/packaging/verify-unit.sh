#!/usr/bin/env bash
# packaging/cfmagentd.service as systemd reads it: no complaint about it, and its exposure
# no worse than now (1.2 on systemd 252; the threshold, on systemd's 0-100 scale, leaves
# room for another version's weights but not for a lost setting of weight).
# Usage: verify-unit.sh UNIT BUILT-CFMAGENTD
set -euo pipefail
unit=$1 daemon=$2
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is missing: scripts/install-deps.sh installs it"; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# The unit names the installed program; verify checks that it exists, so use the built one.
sed "s|/usr/local/bin/cfmagentd|$daemon|" "$unit" >"$dir/cfmagentd.service"
cd "$dir"
out=$(systemd-analyze verify ./cfmagentd.service 2>&1) || { echo "$out"; exit 1; }
if grep -i cfmagentd <<<"$out"; then exit 1; fi
systemd-analyze security --offline=true --threshold=20 ./cfmagentd.service | tail -n 1

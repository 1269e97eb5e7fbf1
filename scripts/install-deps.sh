#!/usr/bin/env bash
# Installs the Debian packages that building and testing need. Safe to run again: when
# every package is present it changes nothing and needs no network.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcli11-dev libcivetweb-dev
  prometheus curl
  tshark
  iproute2 nftables
  python3-scapy
  jq
  systemd libsystemd-dev
  util-linux
  linux-source-6.1 make bc flex bison xz-utils libc6-dev libelf-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Builds the third-party CFM peer of the e2e tests into DIR (default build-kernel-peer/):
# a User-mode Linux kernel with the Linux bridge's own CFM (CONFIG_BRIDGE_CFM, which
# Debian's kernels leave out), from Debian's linux-source-6.1, and kernel-cfm-peer, the
# program that drives it as that kernel's init (tests/apps/cfmagentd/kernel-cfm-peer.c).
# The kernel is built again only when this script or the source package changed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-kernel-peer}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

# Static: the guest runs it from the host's filesystem before anything is set up.
gcc -std=c11 -D_GNU_SOURCE -O2 -Wall -Wextra -Werror -static \
  -o "$dir/kernel-cfm-peer.new" "$root/tests/apps/cfmagentd/kernel-cfm-peer.c"
mv "$dir/kernel-cfm-peer.new" "$dir/kernel-cfm-peer"

source=$(ls /usr/src/linux-source-6.1.tar.xz 2>/dev/null) ||
  { echo "build-kernel-peer: /usr/src/linux-source-6.1.tar.xz is missing: run scripts/install-deps.sh" >&2; exit 1; }
stamp=$({ cat "$0"; ls -l --time-style=+%s "$source"; } | sha256sum | cut -d' ' -f1)
[ -x "$dir/linux" ] && [ "$(cat "$dir/stamp" 2>/dev/null)" = "$stamp" ] && exit 0

rm -rf "$dir/src" "$dir/obj" "$dir/linux" "$dir/stamp"
mkdir -p "$dir/src" "$dir/obj"
echo "build-kernel-peer: unpacking $source"
tar -xf "$source" -C "$dir/src" --strip-components=1
cd "$dir/src"

# User-mode Linux hands ptrace a fixed-size buffer for the XSAVE area. Where the host's is
# larger (AMX), the buffer comes back full and setting it fails with EFAULT, which kills
# the guest's init. Such hosts get the plain FXSAVE registers instead; the test tells the
# guest's C library not to use AVX, whose upper halves those leave out.
registers=arch/x86/um/os-Linux/registers.c
sed -i 's/NT_X86_XSTATE, &iov) == 0)$/NT_X86_XSTATE, \&iov) == 0 \&\& iov.iov_len < FP_SIZE * sizeof(unsigned long))/' "$registers"
grep -q 'iov.iov_len < FP_SIZE' "$registers" || { echo "build-kernel-peer: $registers changed; the XSAVE check does not apply" >&2; exit 1; }

# The least kernel that runs the peer: the host's filesystem as root, a console on
# stdin/stdout, a network device on a host interface (vector, raw), the bridge with CFM.
options=(
  64BIT BINFMT_ELF BINFMT_SCRIPT HOSTFS STDERR_CONSOLE TTY SSL NULL_CHAN PRINTK PROC_FS SYSFS
  DEVTMPFS TMPFS FUTEX EPOLL SIGNALFD TIMERFD EVENTFD POSIX_TIMERS MULTIUSER SHMEM FILE_LOCKING
  NET UNIX PACKET NETDEVICES UML_NET UML_NET_VECTOR BRIDGE BRIDGE_CFM
)
make -s ARCH=um O="$dir/obj" tinyconfig
{
  printf 'CONFIG_%s=y\n' "${options[@]}"
  echo '# CONFIG_PTP_1588_CLOCK is not set'  # does not build without SRCU
} >"$dir/obj/peer.config"
scripts/kconfig/merge_config.sh -m -O "$dir/obj" "$dir/obj/.config" "$dir/obj/peer.config" >/dev/null
make -s ARCH=um O="$dir/obj" olddefconfig
for o in "${options[@]}"; do
  grep -q "^CONFIG_$o=y" "$dir/obj/.config" || { echo "build-kernel-peer: CONFIG_$o did not take" >&2; exit 1; }
done
echo "build-kernel-peer: building User-mode Linux"
make -s ARCH=um O="$dir/obj" -j"$(nproc)" linux 2>&1 | grep -v 'RWX permissions\|deprecated and will be removed' || true
[ -x "$dir/obj/linux" ] || { echo "build-kernel-peer: the kernel did not build" >&2; exit 1; }
mv "$dir/obj/linux" "$dir/linux"
cd "$dir" && rm -rf "$dir/src" "$dir/obj"
echo "$stamp" >"$dir/stamp"
echo "build-kernel-peer: $dir/linux"

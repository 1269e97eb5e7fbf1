#!/usr/bin/env python3
"""How long cfmagentd takes to answer frames again: from its start, and from a kill -9 of a
running one to its successor. A host sends an LBM to the switch every millisecond; the
daemon runs in the switch's namespace with the demo configuration, under a notify socket
of this script's (as systemd would give it). Printed per run and as medians:

  start -> READY=1, start -> first LBR       a fresh start
  kill -> reaped, -> READY=1, -> first LBR   kill -9, and once the killed one is reaped
                                             the same start again (systemd waits
                                             RestartSec= in between)

Needs root (namespaces, packet sockets) and iproute2.

  bench/restart-time.py [--runs N] [--cfmagentd PATH]
"""
import argparse
import ctypes
import os
import select
import signal
import socket
import statistics
import struct
import subprocess
import tempfile
import time

SWITCH, HOST = bytes.fromhex("020000000001"), bytes.fromhex("02000000000a")
CLONE_NEWNET = 0x40000000
libc = ctypes.CDLL(None, use_errno=True)


def ip(*args):
    subprocess.run(["ip", *args], check=True)


def enter(netns):
    fd = os.open(f"/run/netns/{netns}", os.O_RDONLY)
    if libc.setns(fd, CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), f"setns {netns}")
    os.close(fd)


def lbm(transaction):
    # VLAN 10, level 3, opcode 3 (LBM), first TLV offset 4, the End TLV.
    return (SWITCH + HOST + struct.pack("!HHH", 0x8100, 10, 0x8902) +
            struct.pack("!BBBBIB", 3 << 5, 3, 0, 4, transaction, 0)).ljust(60, b"\0")


# The transaction id of an LBR from the switch, or None.
def lbr_transaction(frame):
    # The kernel takes the VLAN tag off into the packet's metadata, or leaves it.
    cfm = 18 if frame[12:14] == b"\x81\x00" else 14
    if len(frame) < cfm + 8 or frame[6:12] != SWITCH or frame[cfm - 2:cfm] != b"\x89\x02" or frame[cfm + 1] != 2:
        return None
    return struct.unpack("!I", frame[cfm + 4:cfm + 8])[0]


class Run:
    def __init__(self, daemon, work, sw):
        self.daemon, self.work, self.sw = daemon, work, sw
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(f"{work}/notify.sock")
        enter(f"{sw}-host")
        self.host = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x8902))
        self.host.bind(("host-a", 0))
        enter(sw)  # where the daemon runs; this process stays there
        self.transaction = 0

    def start(self):
        return subprocess.Popen(
            [self.daemon, "--control", f"{self.work}/control.sock"], stderr=subprocess.DEVNULL,
            env={"NOTIFY_SOCKET": f"{self.work}/notify.sock", "PATH": os.environ["PATH"]})

    # Sends LBMs every millisecond until both READY=1 and an LBR came; their times after t0.
    def until_answered(self, t0, deadline=30):
        ready = lbr = None
        first = self.transaction + 1  # a reply to an earlier LBM came from the daemon before
        next_send = time.monotonic()
        while ready is None or lbr is None:
            now = time.monotonic()
            if now - t0 > deadline:
                raise RuntimeError("READY=1 after %s s, first LBR after %s s: one did not come within %d s"
                                   % (ready, lbr, deadline))
            if now >= next_send:
                self.transaction += 1
                self.host.send(lbm(self.transaction))
                next_send = now + 0.001
            for s in select.select([self.notify, self.host], [], [], max(0, next_send - now))[0]:
                data, at = s.recv(4096), time.monotonic()
                if s is self.notify and data.startswith(b"READY=1") and ready is None:
                    ready = at - t0
                elif s is self.host and (lbr_transaction(data) or 0) >= first and lbr is None:
                    lbr = at - t0
        return ready * 1000, lbr * 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=10)
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--cfmagentd", default=f"{repo}/build/apps/cfmagentd/cfmagentd")
    args = parser.parse_args()
    sw = f"cfmrestart-{os.getpid()}"
    ip("netns", "add", sw)
    ip("netns", "add", f"{sw}-host")
    work = tempfile.mkdtemp(prefix="cfm-restart-")
    try:
        for dev, peer in (("sw-a", "host-a"), ("sw-b", "host-b")):
            ip("-n", sw, "link", "add", dev, "type", "veth", "peer", "name", peer, "netns", f"{sw}-host")
            ip("-n", sw, "link", "set", dev, "up")
            ip("-n", f"{sw}-host", "link", "set", peer, "up")
        run = Run(args.cfmagentd, work, sw)
        fresh, restart = [], []
        for i in range(args.runs):
            t0 = time.monotonic()
            daemon = run.start()
            fresh.append(run.until_answered(t0))
            t0 = time.monotonic()
            daemon.kill()
            daemon.wait()
            gone = (time.monotonic() - t0) * 1000
            successor = run.start()
            restart.append((*run.until_answered(t0), gone))
            successor.send_signal(signal.SIGTERM)
            successor.wait()
            print("run %d: start -> READY %.1f ms, -> LBR %.1f ms; kill -> READY %.1f ms, -> LBR %.1f ms"
                  " (reaped after %.1f ms)"
                  % (i + 1, *fresh[-1], *restart[-1]), flush=True)
        def spread(runs, i):
            values = [r[i] for r in runs]
            return "%.1f ms (%.1f-%.1f)" % (statistics.median(values), min(values), max(values))
        print("median of %d, min-max: start -> READY=1 %s, -> first LBR %s"
              % (len(fresh), spread(fresh, 0), spread(fresh, 1)))
        print("median of %d, min-max: kill -> reaped %s, -> READY=1 %s, -> first LBR %s"
              % (len(restart), spread(restart, 2), spread(restart, 0), spread(restart, 1)))
    finally:
        subprocess.run(["ip", "netns", "del", sw])
        subprocess.run(["ip", "netns", "del", f"{sw}-host"])
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()

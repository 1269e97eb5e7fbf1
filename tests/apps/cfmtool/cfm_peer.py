#!/usr/bin/python3
"""The far end of cfmtool's end-to-end tests, a CFM station written apart from the tool.

Prints "ready" once bound, then records each CFM frame to --pcap and prints "recorded N".
Answers each LBM to its MAC, after two decoy LBRs (another transaction id, another level);
--skip N leaves the N-th LBM unanswered. Answers each LTM with two LTRs, the farther hop
first, after a decoy LTR with another transaction id.
"""

import argparse
import struct
import sys

from scapy.config import conf
from scapy.layers.l2 import Ether
from scapy.utils import PcapWriter

CFM = 0x8902
HOP_NEAR = bytes.fromhex("0200000000aa")
HOP_FAR = bytes.fromhex("0200000000bb")


def split(frame):
    """(dst, src, VLAN tag bytes or b"", CFM PDU), or None for a frame that is not CFM."""
    off = 12
    tag = b""
    if frame[off:off + 2] == b"\x81\x00":
        tag = frame[off:off + 4]
        off += 4
    if frame[off:off + 2] != struct.pack("!H", CFM) or len(frame) < off + 6:
        return None
    return frame[0:6], frame[6:12], tag, frame[off + 2:]


def ltr(level, transaction_id, reply_ttl, relay_action, flags, tlvs):
    return bytes([level << 5, 4, flags, 6]) + struct.pack("!IBB", transaction_id, reply_ttl,
                                                          relay_action) + tlvs + b"\x00"


def reply_tlv(tlv_type, action, mac):
    return struct.pack("!BHB", tlv_type, 7, action) + mac


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--iface", required=True)
    parser.add_argument("--pcap", required=True)
    parser.add_argument("--skip", type=int, default=0)
    args = parser.parse_args()

    sock = conf.L2socket(iface=args.iface)
    with open("/sys/class/net/%s/address" % args.iface) as f:
        own = bytes.fromhex(f.read().strip().replace(":", ""))
    pcap = PcapWriter(args.pcap, linktype=1, sync=True)
    print("ready", flush=True)

    lbms = recorded = 0
    while True:
        packet = sock.recv()
        parts = split(bytes(packet)) if packet is not None else None
        if parts is None:
            continue
        frame = bytes(packet)
        recorded += 1
        pcap.write(Ether(frame))
        print("recorded %d" % recorded, flush=True)
        dst, src, tag, pdu = parts
        level, opcode = pdu[0] >> 5, pdu[1]

        def send(to, pdu_bytes, sender=own):
            sock.send(Ether(to + sender + tag + struct.pack("!H", CFM) + pdu_bytes))

        if opcode == 3 and dst == own:
            lbms += 1
            if lbms == args.skip:
                continue
            (transaction_id,) = struct.unpack("!I", pdu[4:8])
            body = pdu[2:4] + struct.pack("!I", (transaction_id + 0x10000) & 0xffffffff)
            send(src, bytes([pdu[0], 2]) + body + pdu[8:])
            send(src, bytes([((level + 1) % 8) << 5, 2]) + pdu[2:])
            send(src, bytes([pdu[0], 2]) + pdu[2:])
        elif opcode == 5:
            transaction_id, ttl = struct.unpack("!IB", pdu[4:9])
            original = pdu[9:15]
            send(original, ltr(level, transaction_id + 1, ttl - 1, 1, 0, b""), HOP_NEAR)
            egress_ids = struct.pack("!BH", 8, 16) + bytes(16)
            send(original, ltr(level, transaction_id, ttl - 2, 1, 0x20,
                               egress_ids + reply_tlv(5, 1, HOP_FAR)), HOP_FAR)
            send(original, ltr(level, transaction_id, ttl - 1, 2, 0x40,
                               egress_ids + reply_tlv(5, 1, HOP_NEAR[:5] + b"\xa1") +
                               reply_tlv(6, 2, HOP_NEAR[:5] + b"\xa2")), HOP_NEAR)


if __name__ == "__main__":
    sys.exit(main())

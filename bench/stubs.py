"""Loopback peers for the benchmark, each run as a process of its own:

    stubs.py dns   answers every PTR query over UDP on 127.0.0.1 with a made-up name

(The echo peer of the call rows is C: bench/echo_server.c.)

Each prints its address on the first line of standard output and ends when standard
input closes (its parent is gone) or after --lifetime seconds, whichever comes first."""

import argparse
import select
import socket
import struct
import sys
import time

POLL = 0.2  # seconds between checks that the parent is still there


def parent_gone():
    ready, _, _ = select.select([sys.stdin], [], [], 0)
    return bool(ready) and not sys.stdin.buffer.read1(1)


def ptr_name(labels):
    """host-10-0-0-1.bench.test for 1.0.0.10.in-addr.arpa: one name per address."""
    octets = labels[:4][::-1]
    return "host-%s.bench.test" % "-".join(octets)


def dns_answer(query):
    labels, at = [], 12
    while at < len(query) and query[at]:
        length = query[at]
        labels.append(query[at + 1:at + 1 + length].decode("ascii", "replace").lower())
        at += 1 + length
    if at + 5 > len(query):
        return None
    qtype = struct.unpack("!H", query[at + 1:at + 3])[0]
    question = query[12:at + 5]
    if qtype != 12 or len(labels) != 6 or labels[4:] != ["in-addr", "arpa"]:
        return query[:2] + struct.pack("!BBHHHH", 0x81, 0x83, 1, 0, 0, 0) + question
    data = b"".join(bytes([len(p)]) + p.encode() for p in ptr_name(labels).split(".")) + b"\0"
    record = struct.pack("!HHHIH", 0xC00C, 12, 1, 60, len(data)) + data
    return query[:2] + struct.pack("!BBHHHH", 0x81, 0x80, 1, 1, 0, 0) + question + record


def serve_dns(deadline):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    print("127.0.0.1:%d" % sock.getsockname()[1], flush=True)
    while time.monotonic() < deadline:
        ready, _, _ = select.select([sock, sys.stdin], [], [], POLL)
        if sys.stdin in ready and parent_gone():
            return
        if sock not in ready:
            continue
        # Drain what is queued before looking at the parent again.
        for _ in range(256):
            try:
                query, peer = sock.recvfrom(512, socket.MSG_DONTWAIT)
            except BlockingIOError:
                break
            answer = dns_answer(query) if len(query) >= 12 else None
            if answer:
                sock.sendto(answer, peer)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=("dns",))
    parser.add_argument("--lifetime", type=float, default=4 * 3600)
    args = parser.parse_args()
    deadline = time.monotonic() + args.lifetime
    serve_dns(deadline)


if __name__ == "__main__":
    main()

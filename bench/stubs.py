"""Loopback peers for the benchmark, each run as a process of its own:

    stubs.py dns   answers every PTR query over UDP on 127.0.0.1 with a made-up name
    stubs.py echo  a bare JSON-RPC echo server on a Unix socket, with the framing the
                   Quillon server uses ("Content-Length: N\\r\\n\\r\\n" + JSON)

Each prints its address on the first line of standard output and ends when standard
input closes (its parent is gone) or after --lifetime seconds, whichever comes first."""

import argparse
import json
import os
import select
import socket
import struct
import sys
import tempfile
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


def read_frame(conn, buffer):
    """The next JSON body from `conn`, or None when the peer closed."""
    while True:
        end = buffer.find(b"\r\n\r\n")
        if end >= 0:
            length = None
            for line in bytes(buffer[:end]).split(b"\r\n"):
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value)
            start = end + 4
            if length is not None and len(buffer) >= start + length:
                body = bytes(buffer[start:start + length])
                del buffer[:start + length]
                return body
        data = conn.recv(1 << 20)
        if not data:
            return None
        buffer += data


def frame(message):
    body = json.dumps(message, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    return b"Content-Length: %d\r\n\r\n" % len(body) + body


def serve_echo(deadline):
    folder = tempfile.mkdtemp(prefix="quillon-echo-")  # 0700, as the server's
    path = os.path.join(folder, "echo.sock")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(4)
    print(path, flush=True)
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([listener, sys.stdin], [], [], POLL)
            if sys.stdin in ready and parent_gone():
                return
            if listener not in ready:
                continue
            conn, _ = listener.accept()
            with conn:
                buffer = bytearray()
                while time.monotonic() < deadline:
                    body = read_frame(conn, buffer)
                    if body is None:
                        break
                    message = json.loads(body)
                    conn.sendall(frame({"jsonrpc": "2.0", "id": message.get("id"),
                                        "result": message.get("params")}))
    finally:
        listener.close()
        os.unlink(path)
        os.rmdir(folder)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=("dns", "echo"))
    parser.add_argument("--lifetime", type=float, default=4 * 3600)
    args = parser.parse_args()
    deadline = time.monotonic() + args.lifetime
    (serve_dns if args.kind == "dns" else serve_echo)(deadline)


if __name__ == "__main__":
    main()

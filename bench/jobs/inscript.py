"""Side-by-side measurements inside one Python process: Quillon through its Python
client against a peer doing the same job in Python. Each case alternates the two
sides rep by rep, so a burst of noise from other work on the machine hits both, and
prints {"quillon": [seconds...], "peer": [seconds...], "extra": {...}} as JSON.

The server is the one named by QUILLON_SOCKET; the caller starts it."""

import argparse
import base64
import json
import os
import random
import resource
import socket
import struct
import sys
import time
import urllib.request
import zlib

import quillon
from quillon import _wire

WAIT = 60.0  # seconds any single wait may take before the measurement is abandoned


class Finished:
    """Downloader events: counts finished downloads."""

    def __init__(self):
        self.count = 0
        self.code = None

    def OnDownloadFinish(self, code, text):  # noqa: N802 - named like the event
        self.count += 1
        self.code = code


class AllEvents(Finished):
    """All three Downloader events handled, as a script that reports progress does."""

    def __init__(self):
        super().__init__()
        self.connects = self.disconnects = 0

    def OnConnect(self, url):  # noqa: N802
        self.connects += 1

    def OnDisconnect(self):  # noqa: N802
        self.disconnects += 1


def wait_finished(handler, count):
    if not quillon.PumpWaitingMessages(WAIT, until=lambda: handler.count >= count):
        raise SystemExit("a download did not finish within %.0f s" % WAIT)


def case_downloads(args):
    url = "http://127.0.0.1:%d%s" % (args.port, args.path)
    dl = quillon.Dispatch("Quillon.Downloader")
    handler = quillon.WithEvents(dl, AllEvents if args.all_events else Finished)
    dl.Port = args.port
    expected = len(urllib.request.urlopen(url, timeout=WAIT).read())

    def quillon_batch():
        for _ in range(args.count):
            done = handler.count
            if dl.RequestFile("127.0.0.1", args.path) != 0:
                raise SystemExit("RequestFile failed: %s" % dl.ErrorString)
            wait_finished(handler, done + 1)
        if handler.code != 200 or dl.CurSize != expected:
            raise SystemExit("the last download was not the file")
        if args.all_events and not handler.connects == handler.disconnects == handler.count:
            raise SystemExit("each download did not raise each event once")

    def peer_batch():
        for _ in range(args.count):
            with urllib.request.urlopen(url, timeout=WAIT) as reply:
                if len(reply.read()) != expected:
                    raise SystemExit("urllib read a short file")

    return alternate(args.reps, quillon_batch, peer_batch)


def case_zip(args):
    with open(args.data, "rb") as source:
        data = source.read(args.size)
    fo = quillon.Dispatch("Quillon.FileOps")
    extra = {}

    def quillon_job():
        out = quillon.Ref()
        if fo.StoreBytes("DATA", data) != 0:
            raise SystemExit("StoreBytes failed: %s" % fo.ErrorString)
        if fo.Zip("DATA") != 0:
            raise SystemExit("Zip failed: %s" % fo.ErrorString)
        extra["compressed"] = fo.GetStoreSize("DATA")
        if fo.Unzip("DATA", len(data)) != 0:
            raise SystemExit("Unzip failed: %s" % fo.ErrorString)
        if fo.GetBytes("DATA", 1, len(data), out) != 0:
            raise SystemExit("GetBytes failed: %s" % fo.ErrorString)
        fo.DeleteStore("DATA")
        return out

    def peer_job():
        packed = zlib.compress(data, 9)
        extra["peer_compressed"] = len(packed)
        return zlib.decompress(packed)

    result = alternate(args.reps, quillon_job, peer_job)
    # Checked once, outside the timing: the round trip gave the bytes back.
    if bytes(quillon_job().value) != data or peer_job() != data:
        raise SystemExit("a round trip changed the data")
    result["extra"] = extra
    return result


class EchoClient:
    """The bare peer: JSON-RPC requests over the same framing and kind of socket."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.buffer = bytearray()
        self.next_id = 1

    def call(self, params):
        body = json.dumps({"jsonrpc": "2.0", "id": self.next_id, "method": "echo", "params": params},
                          ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        self.next_id += 1
        return self.send(b"Content-Length: %d\r\n\r\n" % len(body) + body)

    def send(self, request):
        """Sends a whole frame and returns the result of the answer."""
        self.sock.sendall(request)
        while True:
            end = self.buffer.find(b"\r\n\r\n")
            if end >= 0:
                length = int(bytes(self.buffer[:end]).split(b":")[1])
                start = end + 4
                if len(self.buffer) >= start + length:
                    message = json.loads(bytes(self.buffer[start:start + length]))
                    del self.buffer[:start + length]
                    return message["result"]
            data = self.sock.recv(1 << 20)
            if not data:
                raise SystemExit("the echo server went away")
            self.buffer += data


def case_calls(args):
    fo = quillon.Dispatch("Quillon.FileOps")
    echo = EchoClient(args.echo)
    # The very frame the client sends for FileSize, built by the client's own code.
    request = b"".join(_wire.frame({"jsonrpc": "2.0", "id": 1000, "method": "invoke",
                                    "params": {"object": fo._handle, "member": "FileSize", "kind": "get",
                                               "args": []}}))

    def quillon_batch():
        for _ in range(args.count):
            fo.FileSize

    def peer_batch():
        for _ in range(args.count):
            echo.send(request)

    return alternate(args.reps, quillon_batch, peer_batch)


def case_bytes(args):
    data = random.Random(7).randbytes(args.size)
    sent = list(data) if args.as_ints else data  # a script without a bytes type passes numbers
    fo = quillon.Dispatch("Quillon.FileOps")
    echo = EchoClient(args.echo)

    def quillon_job():
        for _ in range(args.count):
            # A fresh Ref each time: a Ref goes to the server with its value, and the
            # last call left a million elements in it.
            out = quillon.Ref()
            if fo.StoreBytes("B", sent) != 0 or fo.GetBytes("B", 1, len(data), out) != 0:
                raise SystemExit("a store call failed: %s" % fo.ErrorString)
            fo.DeleteStore("B")
        return bytes(out.value)

    def peer_job():
        for _ in range(args.count):
            back = base64.b64decode(echo.call({"bytes": base64.b64encode(data).decode("ascii")})["bytes"])
        return back

    result = alternate(args.reps, quillon_job, peer_job)
    if quillon_job() != data or peer_job() != data:
        raise SystemExit("a round trip changed the data")
    return result


def case_biglist(args):
    """StoreBytes of one large list of ints: the client's peak memory against the list's
    own size (its ints are the interpreter's cached small ones, so the list is its pointers)."""
    data = list(random.Random(7).randbytes(args.size))
    own = sys.getsizeof(data)
    fo = quillon.Dispatch("Quillon.FileOps")
    started = time.perf_counter()
    if fo.StoreBytes("B", data) != 0 or fo.GetStoreSize("B") != len(data):
        raise SystemExit("StoreBytes failed: %s" % fo.ErrorString)
    seconds = time.perf_counter() - started
    fo.DeleteStore("B")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return {"peak": peak, "list": own, "seconds": seconds}


def case_text(args):
    """CurFileAsString of one download, `reps` times (the peer row is the other size)."""
    dl = quillon.Dispatch("Quillon.Downloader")
    handler = quillon.WithEvents(dl, Finished)
    dl.Port = args.port
    if dl.RequestFile("127.0.0.1", args.path) != 0:
        raise SystemExit("RequestFile failed: %s" % dl.ErrorString)
    wait_finished(handler, 1)
    samples = []
    length = None
    for _ in range(args.reps):
        started = time.perf_counter()
        text = dl.CurFileAsString
        samples.append(time.perf_counter() - started)
        length = len(text)
        del text
    return {"quillon": samples, "extra": {"size": dl.CurSize, "characters": length}}


class Resolved:
    def __init__(self):
        self.count = 0
        self.last = None

    def OnHostNameResult(self, ip, host, err):  # noqa: N802 - named like the event
        self.count += 1
        self.last = (ip, host, err)


def ptr_query(ip, query_id):
    name = b"".join(bytes([len(p)]) + p.encode() for p in reversed(ip.split(".")))
    return (struct.pack("!HHHHHH", query_id, 0x0100, 1, 0, 0, 0) + name + b"\x07in-addr\x04arpa\x00"
            + struct.pack("!HH", 12, 1))


def ptr_answer(reply):
    """The name of the first answer of a PTR reply (no compression inside the name,
    which is what the stub sends)."""
    count = struct.unpack("!H", reply[6:8])[0]
    if count == 0:
        return ""
    at = 12
    while reply[at]:
        at += 1 + reply[at]
    at += 5 + 2 + 10  # question end, answer name pointer, type class ttl length
    labels = []
    while reply[at]:
        labels.append(reply[at + 1:at + 1 + reply[at]].decode("ascii"))
        at += 1 + reply[at]
    return ".".join(labels)


def case_lookups(args):
    host, port = args.dns.rsplit(":", 1)
    addresses = ["10.%d.%d.%d" % (i >> 16 & 255, i >> 8 & 255, i & 255) for i in range(1, args.count + 1)]
    info = quillon.Dispatch("Quillon.IPInfo")
    handler = quillon.WithEvents(info, Resolved)
    if info.EnableHostNameData() != 0:
        raise SystemExit("EnableHostNameData failed: %s" % info.ErrorString)
    resolver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    resolver.settimeout(5)
    resolver.connect((host, int(port)))

    def quillon_batch():
        for ip in addresses:
            done = handler.count
            info.GetHostNameFromIP(ip)
            if not quillon.PumpWaitingMessages(WAIT, until=lambda: handler.count > done):
                raise SystemExit("a lookup did not finish")
            if handler.last[2] != 0:
                raise SystemExit("lookup of %s failed with %r" % (ip, handler.last))

    def peer_batch():
        for number, ip in enumerate(addresses):
            query_id = number & 0xFFFF
            resolver.send(ptr_query(ip, query_id))
            for _ in range(8):  # a stray late reply is skipped, a bounded number of times
                reply = resolver.recv(512)
                if struct.unpack("!H", reply[:2])[0] == query_id:
                    break
            if not ptr_answer(reply):
                raise SystemExit("the stub did not answer %s" % ip)

    return alternate(args.reps, quillon_batch, peer_batch)


def alternate(reps, quillon_job, peer_job):
    quillon_job()  # warm both up: connections, caches, the server's first allocations
    peer_job()
    samples = {"quillon": [], "peer": []}
    for rep in range(reps):
        order = (("quillon", quillon_job), ("peer", peer_job))
        for side, job in order if rep % 2 == 0 else order[::-1]:
            started = time.perf_counter()
            job()
            samples[side].append(time.perf_counter() - started)
    return samples


CASES = {"downloads": case_downloads, "zip": case_zip, "calls": case_calls, "bytes": case_bytes,
         "biglist": case_biglist, "text": case_text, "lookups": case_lookups}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--size", type=int, default=1 << 20)
    parser.add_argument("--port", type=int)
    parser.add_argument("--path")
    parser.add_argument("--data")
    parser.add_argument("--echo")
    parser.add_argument("--dns")
    parser.add_argument("--all-events", action="store_true", help="downloads: handle all three events")
    parser.add_argument("--as-ints", action="store_true", help="bytes: pass the data as a list of ints")
    args = parser.parse_args()
    result = CASES[args.case](args)
    json.dump(result, sys.stdout)
    sys.stdout.write("\n")
    quillon.shutdown()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Runs a command (a script under cscript, or the C++ client) with the servers
it talks to: a small HTTP server on 127.0.0.1 and a DNS stub on 127.0.0.1, and
checks the files the command saved from the HTTP server.

    with_fixtures.py --dns-port PORT --folder FOLDER -- COMMAND [ARGUMENT...]

FOLDER is made afresh: FOLDER/site is what the HTTP server serves (notes.txt,
blob.bin); FOLDER/out is where the command saves. In the arguments, {http_port}
becomes the HTTP server's port and {out} the out folder. Every wait is bounded.
"""

import argparse
import functools
import http.server
import os
import shutil
import subprocess
import sys
import threading

_clients = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "clients", "python")
sys.path[:0] = [_clients, os.path.join(_clients, "tests")]
from support import PtrStub  # noqa: E402

NAMES = {"192.0.2.1": "one.example.test", "127.0.0.1": "localhost.test"}
NOTES = b"first line\nsecond line\n\nlast line without an end"
BLOB = bytes((i * 31 + (i >> 8)) & 0xFF for i in range(300_000))


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def check_saved(out):
    failures = []
    expected = {"blob.bin": BLOB, "notes.txt": NOTES.replace(b"\n", b"\r\n")}
    for name, content in expected.items():
        path = os.path.join(out, name)
        if not os.path.exists(path):
            continue
        with open(path, "rb") as saved:
            data = saved.read()
        if data != content:
            failures.append("%s: %d bytes saved, %d expected, first difference at %s" % (
                name, len(data), len(content),
                next((i for i, (a, b) in enumerate(zip(data, content)) if a != b), min(len(data), len(content)))))
        else:
            print("with_fixtures.py: %s saved as expected" % name)
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dns-port", type=int, required=True)
    parser.add_argument("--folder", required=True)
    parser.add_argument("--timeout", type=float, default=240)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    command = options.command[1:] if options.command[:1] == ["--"] else options.command

    shutil.rmtree(options.folder, ignore_errors=True)
    site = os.path.join(options.folder, "site")
    out = os.path.join(options.folder, "out")
    os.makedirs(site)
    os.makedirs(out)
    with open(os.path.join(site, "notes.txt"), "wb") as f:
        f.write(NOTES)
    with open(os.path.join(site, "blob.bin"), "wb") as f:
        f.write(BLOB)

    web = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(QuietHandler, directory=site))
    threading.Thread(target=web.serve_forever, daemon=True).start()
    dns = PtrStub.__new__(PtrStub)
    # The stub binds the port the server was told of (the prefix's registry).
    dns.names = {PtrStub.reverse(ip): name for ip, name in NAMES.items()}
    dns.silent = set()
    UdpStubOn(dns, options.dns_port)

    arguments = [a.replace("{http_port}", str(web.server_address[1])).replace("{out}", out) for a in command]
    try:
        status = subprocess.run(arguments, timeout=options.timeout).returncode
    except subprocess.TimeoutExpired:
        print("with_fixtures.py: the command took over %g s" % options.timeout, file=sys.stderr)
        status = 1
    finally:
        web.shutdown()
        dns.close()
    failures = check_saved(out)
    for failure in failures:
        print("with_fixtures.py: " + failure, file=sys.stderr)
    return 1 if status != 0 or failures else 0


def UdpStubOn(stub, port):
    """Starts `stub` like UdpStub's constructor does, on a given port."""
    import socket
    stub.delay = 0.0
    stub.queries = 0
    stub.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    stub.sock.bind(("127.0.0.1", port))
    stub.sock.settimeout(0.05)
    stub.address = "127.0.0.1:%d" % port
    stub.stopping = threading.Event()
    stub.thread = threading.Thread(target=stub._serve, daemon=True)
    stub.thread.start()


if __name__ == "__main__":
    sys.exit(main())

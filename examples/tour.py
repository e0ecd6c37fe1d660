#!/usr/bin/env python3
"""A tour of Quillon from Python, on this machine alone.

It starts its own server on a private socket, serves a folder over HTTP on 127.0.0.1,
downloads a file with events, saves it as bytes and as text, gzips and gunzips it, works
with stores, looks up 127.0.0.1's name and locates a documentation address in the sample
city database, saying what happens at each step.

    python3 examples/tour.py            # after ./run.sh or scripts/build.sh

The server is $QUILLON_SERVER, else build/bin/quillon-server of this checkout.
"""

import functools
import http.server
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.dirname(HERE)
try:
    import quillon
except ImportError:  # run from a checkout, without the client installed
    sys.path.insert(0, os.path.join(CHECKOUT, "clients", "python"))
    import quillon

# The server decides from these whether a connection would go through a proxy, and the
# Downloader refuses to use one; the tour's server talks to 127.0.0.1 only.
PROXY_VARIABLES = ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY")
WAIT = 10.0  # seconds any one step may wait


class TourFailed(Exception):
    pass


def step(title):
    print("\n== " + title)


def say(text):
    print("   " + text)


def check(condition, what):
    if not condition:
        raise TourFailed(what)


# -- the machine's stand-ins for the Internet --------------------------------------------

class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class WebServer:
    """Python's http.server on 127.0.0.1, serving one folder, on a thread."""

    def __init__(self, folder):
        handler = functools.partial(QuietHandler, directory=folder)
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
        self.thread.start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(WAIT)


class NameServer:
    """A DNS server on 127.0.0.1 that answers reverse (PTR) queries from a table, so that
    the tour's lookups never leave this machine."""

    def __init__(self, names):
        self.names = {".".join(reversed(ip.split("."))) + ".in-addr.arpa": host for ip, host in names.items()}
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.1)
        self.address = "127.0.0.1:%d" % self.sock.getsockname()[1]
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def close(self):
        self.stopping.set()
        self.thread.join(WAIT)
        self.sock.close()

    def _serve(self):
        while not self.stopping.is_set():
            try:
                query, peer = self.sock.recvfrom(512)
            except (socket.timeout, OSError):
                continue
            labels, at = [], 12
            while at < len(query) and query[at]:
                labels.append(query[at + 1:at + 1 + query[at]].decode("ascii", "replace").lower())
                at += 1 + query[at]
            if at + 5 > len(query):
                continue
            host = self.names.get(".".join(labels))
            flags = 0x8180 if host else 0x8183  # an answer, or "no such name"
            reply = query[:2] + struct.pack(">HHHHH", flags, 1, 1 if host else 0, 0, 0) + query[12:at + 5]
            if host:
                name = b"".join(bytes([len(part)]) + part.encode() for part in host.split(".")) + b"\0"
                reply += struct.pack(">HHHIH", 0xC00C, 12, 1, 60, len(name)) + name
            self.sock.sendto(reply, peer)


class PrivateServer:
    """The automation server on a socket in a 0700 folder of its own."""

    def __init__(self, binary, folder):
        self.socket = os.path.join(folder, "quillon.sock")
        self.log = os.path.join(folder, "server.log")
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen([binary, "--socket", self.socket, "--log", self.log],
                                            stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline and self.process.poll() is None:
            with socket.socket(socket.AF_UNIX) as probe:
                if probe.connect_ex(self.socket) == 0:
                    return
            time.sleep(0.02)
        self.stop()
        raise TourFailed("the server did not start; its log %s says: %s" % (self.log, self.log_tail()))

    def log_tail(self):
        try:
            with open(self.log, encoding="utf-8", errors="replace") as log:
                lines = log.read().strip().splitlines()
            return lines[-1] if lines else "(nothing)"
        except OSError:
            return "(no log)"

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(WAIT)


# -- the tour -----------------------------------------------------------------------------

class DownloadEvents:
    """Methods named like the Downloader's events receive them."""

    def __init__(self):
        self.finished = None

    def OnConnect(self, url):  # noqa: N802 - named like the event
        say("event OnConnect(%r)" % url)

    def OnDisconnect(self):  # noqa: N802
        say("event OnDisconnect()")

    def OnDownloadFinish(self, code, text):  # noqa: N802
        say("event OnDownloadFinish(%d, %r)" % (code, text))
        self.finished = (code, text)


class HostNameEvents:
    def __init__(self):
        self.results = []

    def OnHostNameResult(self, ip, host, err):  # noqa: N802
        say("event OnHostNameResult(%r, %r, %d)" % (ip, host, err))
        self.results.append((ip, host, err))


def download(port, folder, content):
    step("Downloader: fetch tour.txt over HTTP, with events")
    d = quillon.Dispatch("Quillon.Downloader")
    events = quillon.WithEvents(d, DownloadEvents)
    d.Port = port
    say("Port = %d; RequestFile('127.0.0.1', '/tour.txt')" % port)
    check(d.RequestFile("127.0.0.1", "/tour.txt") == 0, "RequestFile failed: %s" % d.ErrorString)
    # Events arrive while the client pumps; RequestFile only started the download.
    check(quillon.PumpWaitingMessages(WAIT, until=lambda: events.finished is not None), "the download did not finish")
    say("ServerCode %d, CurSize %d bytes" % (d.ServerCode, d.CurSize))
    check(d.ServerCode == 200 and d.CurSize == len(content),
          "unexpected reply %d, %d bytes" % (d.ServerCode, d.CurSize))

    step("Downloader: save it as bytes and as text")
    as_bytes = os.path.join(folder, "tour.txt")
    as_text = os.path.join(folder, "tour-crlf.txt")
    check(d.WriteBinaryFile(as_bytes, True) == 0, "WriteBinaryFile failed: %s" % d.ErrorString)
    check(d.WriteTextFile(as_text, True) == 0, "WriteTextFile failed: %s" % d.ErrorString)
    say("WriteBinaryFile -> %s, %d bytes, as received" % (as_bytes, os.path.getsize(as_bytes)))
    say("WriteTextFile   -> %s, %d bytes: every line now ends in CR LF" % (as_text, os.path.getsize(as_text)))
    with open(as_bytes, "rb") as f:
        check(f.read() == content, "the saved bytes differ from the served file")
    with open(as_text, "rb") as f:
        check(f.read() == content.replace(b"\n", b"\r\n"), "the text file does not have CR LF line ends")
    quillon.release(d)
    return as_bytes


def gzip_round_trip(fo, path, folder):
    step("FileOps: gzip the download and gunzip it again")
    packed = path + ".gz"
    check(fo.GZipFile(path, packed) == 0, "GZipFile failed: %s" % fo.ErrorString)
    say("GZipFile(%s) -> %s: %d bytes from %d" % (os.path.basename(path), packed, os.path.getsize(packed),
                                                   os.path.getsize(path)))
    out = os.path.join(folder, "unpacked")
    os.mkdir(out)
    target = quillon.Ref(os.path.join(out, "any-name.txt"))
    check(fo.GUnZipFile(packed, target, False) == 0, "GUnZipFile failed: %s" % fo.ErrorString)
    say("GUnZipFile wrote %s: the name stored in the .gz file wins" % target.value)
    with open(path, "rb") as original, open(target.value, "rb") as restored:
        check(original.read() == restored.read(), "the unpacked file differs from the original")


def stores(fo):
    step("FileOps: stores, little-endian numbers and store compression")
    fo.StoreString("greeting", "Grüße from the tour")
    say("StoreString('greeting', 'Grüße from the tour'): %d bytes (Windows-1252)" % fo.GetStoreSize("GREETING"))
    first = quillon.Ref()
    fo.GetBytes("greeting", 1, 5, first)
    say("GetBytes('greeting', 1, 5) -> %s" % (tuple(first.value),))
    check(bytes(first.value) == "Grüße".encode("cp1252"), "GetBytes gave %r" % (first.value,))
    four = fo.LongToBytes(1000)
    say("LongToBytes(1000) -> %s; BytesToLong of it -> %d" % (tuple(four), fo.BytesToLong(four)))
    check(fo.BytesToLong(four) == 1000, "BytesToLong did not undo LongToBytes")
    fo.StoreString("big", "tour " * 400)
    size = fo.GetStoreSize("big")
    fo.Zip("big")
    say("Zip('big'): %d bytes -> %d" % (size, fo.GetStoreSize("big")))
    fo.Unzip("big", size)
    check(fo.GetStoreSize("big") == size, "Unzip did not restore the size")
    say("Unzip('big', %d): %d bytes again" % (size, fo.GetStoreSize("big")))
    fo.DeleteStore("big")
    say("DeleteStore('big'); StoreExists('big') -> %s" % fo.StoreExists("big"))
    check(not fo.StoreExists("big"), "the store is still there")


def ip_info(database):
    step("IPInfo: the name of 127.0.0.1, by event, waiting on Busy")
    info = quillon.Dispatch("Quillon.IPInfo")
    events = quillon.WithEvents(info, HostNameEvents)
    check(info.EnableHostNameData() == 0, "EnableHostNameData failed: %s" % info.ErrorString)
    info.GetHostNameFromIP("127.0.0.1")
    deadline = time.monotonic() + WAIT
    while info.Busy and time.monotonic() < deadline:
        quillon.PumpWaitingMessages(0.1)
    check(events.results[-1:] == [("127.0.0.1", "localhost", 0)], "the lookup gave %r" % (events.results,))
    say("127.0.0.1 is %s" % events.results[-1][1])

    step("IPInfo and Location: where a documentation address is, in the sample database")
    check(info.EnableLocationData(database) == 0, "EnableLocationData(%s) failed: %s" % (database, info.ErrorString))
    place = info.GetLocationFromIP("192.0.2.70")
    check(place.Valid, "192.0.2.70 is not in the sample database")
    say("192.0.2.70: %s, %s (%s), %s %s, area code %s" % (place.City, place.Region, place.CountryCode, place.Country,
                                                          place.ZipCode, place.AreaCode))
    check(place.City == "San Francisco", "the sample database says %r" % place.City)
    say("10.1.2.3 is in it too? Valid = %s" % info.GetLocationFromIP("10.1.2.3").Valid)
    quillon.release(info)


def find_server():
    binary = os.environ.get("QUILLON_SERVER") or os.path.join(CHECKOUT, "build", "bin", "quillon-server")
    if not os.access(binary, os.X_OK):
        raise TourFailed("no server at %s: build first (./run.sh or scripts/build.sh), or set QUILLON_SERVER"
                         % binary)
    database = os.path.join(os.path.dirname(os.path.dirname(binary)), "share", "quillon", "GEOIPCITY.DAT")
    return binary, database


def tour(folder):
    binary, database = find_server()
    for name in PROXY_VARIABLES:
        os.environ.pop(name, None)

    site = os.path.join(folder, "site")
    os.mkdir(site)
    content = b"".join(b"line %03d of the tour file\n" % n for n in range(1, 201))
    with open(os.path.join(site, "tour.txt"), "wb") as f:
        f.write(content)

    cleanups = []
    try:
        names = NameServer({"127.0.0.1": "localhost"})
        cleanups.append(names.close)
        web = WebServer(site)
        cleanups.append(web.close)
        step("A private server")
        server = PrivateServer(binary, folder)
        cleanups.append(server.stop)
        os.environ["QUILLON_SOCKET"] = server.socket
        os.environ["QUILLON_SERVER"] = binary
        # The client sends its settings with its first call, and this script's connection
        # uses them. Everything the tour reaches is on 127.0.0.1, so it needs no network:
        # it is online even on a machine without any network interface up.
        os.environ["QUILLON_DNS_SERVERS"] = names.address
        os.environ["QUILLON_NETWORK_STATE"] = "online"
        cleanups.append(quillon.shutdown)
        say("%s on %s" % (binary, server.socket))
        say("web server: http://127.0.0.1:%d/ serving %s" % (web.port, site))
        say("name server: %s (QUILLON_DNS_SERVERS)" % names.address)

        saved = download(web.port, folder, content)
        fo = quillon.Dispatch("Quillon.FileOps")
        gzip_round_trip(fo, saved, folder)
        stores(fo)
        quillon.release(fo)
        ip_info(database)
    finally:
        for cleanup in reversed(cleanups):
            cleanup()


def main():
    print("Quillon tour, with the Python client %s" % quillon.__version__)
    folder = tempfile.mkdtemp(prefix="quillon-tour-")
    try:
        tour(folder)
    except (TourFailed, quillon.com_error) as failure:
        print("\nThe tour stopped: %s" % failure, file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print("\nTour complete.")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Loopback stand-ins for the Internet a Downloader talks to: a scripted HTTP server and a
stub DNS server, both on 127.0.0.1 with ephemeral ports, each on a thread of its own."""

import socket
import struct
import threading
import time

from support import UdpStub, query_name

# Longer than 50 bytes, so it is taken for the header even when it arrives alone.
HEADER_OK = b"HTTP/1.0 200 OK\r\nServer: quillon test fixture\r\nContent-Type: text/plain\r\n\r\n"


class HttpServer:
    """Serves one connection at a time: records the request (through its blank line), then
    runs `reply(server, conn)`, then closes the connection."""

    def __init__(self, reply):
        self.reply = reply
        self.requests = []
        self.peer_closed = threading.Event()
        self.stopping = threading.Event()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.listener.settimeout(0.05)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def close(self):
        self.stopping.set()
        self.thread.join(10)
        self.listener.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def pause(self, seconds):
        """Waits; False when the server is stopping."""
        return not self.stopping.wait(seconds)

    def await_peer_close(self, conn, limit=10.0):
        deadline = time.monotonic() + limit
        conn.settimeout(0.05)
        while time.monotonic() < deadline and not self.stopping.is_set():
            try:
                if not conn.recv(512):
                    self.peer_closed.set()
                    return
            except socket.timeout:
                continue
            except OSError:
                self.peer_closed.set()
                return

    def _serve(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            with conn:
                conn.settimeout(3)
                request = b""
                try:
                    while b"\r\n\r\n" not in request:
                        chunk = conn.recv(1024)
                        if not chunk:
                            break
                        request += chunk
                except OSError:
                    pass
                self.requests.append(request)
                try:
                    self.reply(self, conn)
                except OSError:
                    pass


def replying(data):
    """A reply script that sends `data` at once and closes."""
    return lambda server, conn: conn.sendall(data)


class StubDns(UdpStub):
    """Answers A queries for the names it knows, NXDOMAIN for the rest, or nothing at all
    when silent."""

    def __init__(self, names=None, silent=False):
        self.names = {k.lower(): v for k, v in (names or {}).items()}
        self.silent = silent
        super().__init__()

    def answer(self, query):
        if self.silent:
            return None
        name, end = query_name(query)
        if end > len(query):
            return None
        qtype = struct.unpack("!H", query[end - 4:end - 2])[0]
        address = self.names.get(name)
        flags = 0x8000 | (query[2] & 0x79) << 8 | 0x80
        if address is None:
            return query[:2] + struct.pack("!HHHHH", flags | 3, 1, 0, 0, 0) + query[12:end]
        if qtype != 1:
            return query[:2] + struct.pack("!HHHHH", flags, 1, 0, 0, 0) + query[12:end]
        record = struct.pack("!HHHIH", 0xC00C, 1, 1, 60, 4) + socket.inet_aton(address)
        return query[:2] + struct.pack("!HHHHH", flags, 1, 1, 0, 0) + query[12:end] + record


class Recorder:
    """Downloader events in the order they came."""

    def __init__(self):
        self.seen = []

    def OnConnect(self, url):  # noqa: N802 - named like the event
        self.seen.append(("OnConnect", url))

    def OnDisconnect(self):  # noqa: N802
        self.seen.append(("OnDisconnect",))

    def OnDownloadFinish(self, code, text):  # noqa: N802
        self.seen.append(("OnDownloadFinish", code, text))

    def names(self):
        return [event[0] for event in self.seen]

    def finishes(self):
        return self.names().count("OnDownloadFinish")


class RecordingServer:
    """Takes any number of connections at once and keeps, for each, every byte it
    received and whether it is still open. A connection whose request asks for a
    path in `bodies` gets that reply and is closed; any other is held open until
    the peer closes it (a server that never answers). While `paused`, nothing is read."""

    def __init__(self, bodies=None):
        self.bodies = bodies or {}
        self.paused = False
        self.lock = threading.Lock()
        self.received = []  # one bytearray per connection, in accepted order
        self.open = []      # True while that connection is open on our side
        self.stopping = threading.Event()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.listener.settimeout(0.05)
        self.port = self.listener.getsockname()[1]
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        for thread in list(self.threads):
            thread.join(10)
        self.listener.close()

    def resume(self):
        self.paused = False

    def requests(self):
        with self.lock:
            return [bytes(data) for data in self.received]

    def still_open(self):
        with self.lock:
            return [index for index, is_open in enumerate(self.open) if is_open]

    def _accept(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            with self.lock:
                index = len(self.received)
                self.received.append(bytearray())
                self.open.append(True)
            thread = threading.Thread(target=self._serve, args=(conn, index), daemon=True)
            self.threads.append(thread)
            thread.start()

    def _serve(self, conn, index):
        conn.settimeout(0.05)
        replied = False
        deadline = time.monotonic() + 60
        with conn:
            while not self.stopping.is_set() and time.monotonic() < deadline:
                if self.paused:
                    time.sleep(0.02)
                    continue
                try:
                    data = conn.recv(1 << 16)
                except socket.timeout:
                    continue
                except OSError:
                    break
                if not data:
                    break
                with self.lock:
                    self.received[index] += data
                    # Only the new bytes and the three before them can complete the header.
                    ended = b"\r\n\r\n" in self.received[index][-len(data) - 3:]
                    first_line = bytes(self.received[index][:1024]) if ended else b""
                if not replied and ended:
                    words = first_line.split(b" ")
                    path = words[1].decode("latin-1") if len(words) > 1 else ""
                    if path in self.bodies:
                        replied = True
                        try:
                            conn.sendall(self.bodies[path])
                        except OSError:
                            pass
                        break
        with self.lock:
            self.open[index] = False

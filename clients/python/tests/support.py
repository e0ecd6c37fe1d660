"""Servers on private sockets and a raw protocol client, for the suites."""

import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import quillon

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
SERVER = os.environ.get("QUILLON_SERVER") or os.path.join(REPO, "build", "bin", "quillon-server")
TEST_SERVER = os.environ.get("QUILLON_TEST_SERVER") or os.path.join(REPO, "build", "bin", "quillon-test-server")
CLIENT_PATH = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Whatever the caller's shell says about proxies and name servers stays out of the tests.
_CLEARED = ("http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY",
            "FTP_PROXY", "ALL_PROXY", "NO_PROXY", "QUILLON_DNS_SERVERS", "QUILLON_NETWORK_STATE",
            "RES_OPTIONS", "LOCALDOMAIN", "HOSTALIASES", "QUILLON_SOCKET", "XDG_RUNTIME_DIR",
            "QUILLON_IDLE_EXIT")
for _name in _CLEARED:
    os.environ.pop(_name, None)

_sanitized = {}


def sanitized(binary=SERVER):
    """True for a binary built with AddressSanitizer or ThreadSanitizer, whose memory
    figures mean nothing to a test (shadow memory, quarantine) and which runs slower."""
    if binary not in _sanitized:
        try:
            with open(binary, "rb") as program:
                image = program.read()
                _sanitized[binary] = b"AddressSanitizer" in image or b"ThreadSanitizer" in image
        except OSError:
            _sanitized[binary] = False
    return _sanitized[binary]


# Seconds any single wait in these tests may take before it counts as a hang; a
# sanitized server runs several times slower, more so beside other suites.
WAIT = 30.0 if sanitized(SERVER) else 10.0


def wait_for(predicate, timeout=WAIT, interval=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


def line_count(path):
    """Lines in a text file; 0 while it does not exist."""
    try:
        with open(path, encoding="utf-8") as lines:
            return len(lines.readlines())
    except FileNotFoundError:
        return 0


def rss_kib(pid, field="VmRSS"):
    """A process's resident memory in KiB (None once it is gone); field "RssAnon"
    leaves out the pages of the program's own files."""
    try:
        with open("/proc/%d/status" % pid, encoding="ascii") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


def _report_prefixes():
    prefixes = []
    for variable in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"):
        for option in os.environ.get(variable, "").split(":"):
            name, _, value = option.partition("=")
            if name == "log_path" and value and value not in ("stderr", "stdout"):
                prefixes.append(value)
    return prefixes


def sanitizer_reports(pid):
    """What the sanitizers wrote about a process (files log_path.PID), as text."""
    texts = []
    for prefix in _report_prefixes():
        path = "%s.%d" % (prefix, pid)
        try:
            with open(path, encoding="utf-8", errors="replace") as report:
                texts.append(report.read())
        except OSError:
            pass
    return texts


def can_connect(path):
    with socket.socket(socket.AF_UNIX) as probe:
        try:
            probe.connect(path)
            return True
        except OSError:
            return False


class Server:
    """A server process on a socket in a fresh 0700 folder."""

    def __init__(self, binary=SERVER, *args, folder=None, wrap=()):
        self.own_folder = folder is None
        self.folder = folder or tempfile.mkdtemp(prefix="quillon-test-")
        self.socket = os.path.join(self.folder, "q.sock")
        self.log = os.path.join(self.folder, "server.log")
        self.binary = binary
        # `wrap` runs the server through another program (unshare, setpriv) that
        # ends by executing it, so the process stays the server's.
        self.process = subprocess.Popen([*wrap, binary, "--socket", self.socket, "--log", self.log, *args],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE)
        if not wait_for(lambda: can_connect(self.socket) or self.process.poll() is not None):
            self.stop()
            raise AssertionError("the server did not start")
        if self.process.poll() is not None:
            raise AssertionError("the server exited: %s" % self.process.stderr.read().decode())

    def log_text(self):
        try:
            with open(self.log, encoding="utf-8") as log:
                return log.read()
        except OSError:
            return ""

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(WAIT)
        self.process.stderr.close()
        # A detached server's sanitizer reports go to files nobody else reads.
        reports = sanitizer_reports(self.process.pid)
        if reports:
            raise AssertionError("the server (pid %d) had sanitizer reports:\n%s"
                                 % (self.process.pid, "\n".join(reports)))
        return self.process.returncode

    def remove(self):
        try:
            self.stop()
        finally:
            if self.own_folder:
                shutil.rmtree(self.folder, ignore_errors=True)


class ServerTestCase(unittest.TestCase):
    """Every class of tests talks to its own server through the process's one connection."""

    binary = SERVER
    server_args = ()
    # Variables the class's server starts with and this process's client sends (a
    # subclass may set them in its setUpClass before calling this one's).
    settings = {}

    @classmethod
    def make_dns(cls):
        """The class's name server stub, or None: its address becomes QUILLON_DNS_SERVERS,
        and it is closed after the server."""
        return None

    @classmethod
    def setUpClass(cls):
        cls.dns = cls.make_dns()
        dns = {"QUILLON_DNS_SERVERS": cls.dns.address} if cls.dns is not None else {}
        cls.saved_env = set_env(**cls.settings, **dns)
        cls.server = Server(cls.binary, *cls.server_args)
        # The client compares the server's build with the binary it would start.
        os.environ["QUILLON_SERVER"] = cls.binary
        os.environ["QUILLON_SOCKET"] = cls.server.socket

    @classmethod
    def tearDownClass(cls):
        quillon.shutdown()
        os.environ.pop("QUILLON_SOCKET", None)
        os.environ["QUILLON_SERVER"] = SERVER
        cls.server.remove()
        restore_env(cls.saved_env)
        if cls.dns is not None:
            cls.dns.close()


class OnlineServerTestCase(ServerTestCase):
    """A server that takes the machine for online, whatever its interfaces say."""

    settings = {"QUILLON_NETWORK_STATE": "online"}


def set_env(**settings):
    """Sets variables for the server about to start and for this process's client,
    which sends them at initialize; returns what restore_env puts back."""
    saved = {name: os.environ.get(name) for name in settings}
    os.environ.update(settings)
    return saved


def restore_env(saved):
    for name, value in saved.items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value


def run_script(source, env=None, timeout=WAIT):
    """Runs Python source in a new process with the client on its path."""
    full_env = dict(os.environ, PYTHONPATH=CLIENT_PATH, **(env or {}))
    return subprocess.run([sys.executable, "-c", source], env=full_env, capture_output=True, text=True,
                          timeout=timeout)


class RawClient:
    """Speaks the protocol byte by byte, for what the Python client would never send."""

    def __init__(self, path, timeout=WAIT):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.buffer = b""
        self.next_id = 1

    def close(self):
        self.sock.close()

    def send_bytes(self, data):
        self.sock.sendall(data)

    def send(self, message):
        body = json.dumps(message).encode()
        self.send_bytes(b"Content-Length: %d\r\n\r\n" % len(body) + body)

    def receive(self):
        """The next message; None when the server closed the connection."""
        while True:
            end = self.buffer.find(b"\r\n\r\n")
            if end >= 0:
                length = int(self.buffer[:end].split(b":")[1])
                if len(self.buffer) >= end + 4 + length:
                    body = self.buffer[end + 4:end + 4 + length]
                    self.buffer = self.buffer[end + 4 + length:]
                    return json.loads(body)
            data = self.sock.recv(1 << 16)
            if not data:
                return None
            self.buffer += data

    def call(self, method, **params):
        request_id = self.next_id
        self.next_id += 1
        self.send({"jsonrpc": "2.0", "id": request_id, "method": method, "params": params})
        answer = self.receive()
        assert answer is not None and answer.get("id") == request_id, answer
        return answer

    def initialize(self):
        return self.call("initialize")["result"]


def query_name(query):
    """The question's name of a DNS query, lower case, and where the question ends
    (past its type and class); the end lies past the data when the query is cut short."""
    labels, at = [], 12
    while at < len(query) and query[at]:
        labels.append(query[at + 1:at + 1 + query[at]].decode("ascii", "replace").lower())
        at += 1 + query[at]
    return ".".join(labels), at + 5


class UdpStub:
    """A name server stub on 127.0.0.1 on a thread of its own: each query gets what
    `answer(query)` returns (None: no answer), `delay` seconds later. Subclasses set
    their own fields before calling this constructor, which starts the thread."""

    def __init__(self, delay=0.0):
        self.delay = delay
        self.queries = 0
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.05)
        self.address = "127.0.0.1:%d" % self.sock.getsockname()[1]
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def answer(self, query):
        raise NotImplementedError

    def close(self):
        self.stopping.set()
        self.thread.join(WAIT)
        self.sock.close()

    def _serve(self):
        while not self.stopping.is_set():
            try:
                query, peer = self.sock.recvfrom(512)
            except socket.timeout:
                continue
            if len(query) < 12:
                continue
            self.queries += 1
            reply = self.answer(query)
            if reply is None:
                continue
            if self.delay and self.stopping.wait(self.delay):
                return
            try:
                self.sock.sendto(reply, peer)
            except OSError:
                pass


class PtrStub(UdpStub):
    """Answers PTR queries: a name for the addresses it knows, nothing for the silent ones,
    NXDOMAIN for the rest."""

    def __init__(self, names, silent=()):
        self.names = {self.reverse(ip): name for ip, name in names.items()}
        self.silent = {self.reverse(ip) for ip in silent}
        super().__init__()

    @staticmethod
    def reverse(ip):
        return ".".join(reversed(ip.split("."))) + ".in-addr.arpa"

    def answer(self, query):
        name, end = query_name(query)
        if end > len(query) or name in self.silent:
            return None
        host = self.names.get(name)
        header = query[:2] + struct.pack(">BBHHHH", 0x81, 0x80 if host else 0x83, 1, 1 if host else 0, 0, 0)
        reply = header + query[12:end]
        if host:
            data = b"".join(bytes([len(p)]) + p.encode() for p in host.split(".")) + b"\0"
            reply += struct.pack(">HHHIH", 0xC00C, 12, 1, 60, len(data)) + data
        return reply

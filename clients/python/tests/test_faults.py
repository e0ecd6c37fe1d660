"""Faults and hostile peers: clients that die or stall, a server killed in the middle of
its work, web servers and name servers that misbehave. Each test bounds its own time."""

import gzip
import json
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import unittest

import quillon
from http_support import HttpServer, Recorder, replying
from support import (CLIENT_PATH, SERVER, TEST_SERVER, WAIT, OnlineServerTestCase, RawClient, Server,
                     ServerTestCase, UdpStub, line_count,
                     query_name, rss_kib, run_script, sanitized, sanitizer_reports, wait_for)

E_OUTOFMEMORY = -2147024882
RPC_S_SERVER_UNAVAILABLE = -2147023174
HEADER = b"HTTP/1.0 200 OK\r\nServer: quillon test fixture\r\nContent-Type: text/plain\r\n\r\n"
MIB = 1024


def gone(pid):
    """True once a process has exited (a zombie counts: it runs no more)."""
    try:
        with open("/proc/%d/stat" % pid, encoding="ascii") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except OSError:
        return True


def spawn(script, *args, env=None):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                            env=dict(os.environ, PYTHONPATH=CLIENT_PATH, **(env or {})),
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def read_line(process, timeout=WAIT):
    """The next line a child prints, or an AssertionError once `timeout` passes."""
    ready, _, _ = select.select([process.stdout], [], [], timeout)
    if not ready:
        raise AssertionError("no word from the child within %.0f s" % timeout)
    return process.stdout.readline().strip()


def finish(process, timeout=WAIT):
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
    return out, err


class HostileClientsTest(ServerTestCase):
    binary = TEST_SERVER
    server_args = ("--event-timeout", "5")

    def assertServed(self, probe):
        self.assertEqual(probe.Echo("still served"), "still served")

    def test_a_client_killed_in_the_middle_of_a_call_loses_its_objects(self):
        marks = os.path.join(self.server.folder, "mid-call")
        victim = spawn("""
            import sys, quillon
            probes = [quillon.Dispatch("Quillon.EventProbe") for _ in range(3)]
            for probe in probes:
                probe.MarkOnEnd(sys.argv[1])
            print("calling", flush=True)
            probes[0].Big(60000000)  # an answer of 60 MB, still being made and sent when we die
        """, marks)
        mine = quillon.Dispatch("Quillon.EventProbe")
        try:
            self.assertEqual(read_line(victim), "calling")
            time.sleep(0.2)
            victim.kill()
        finally:
            finish(victim)
        self.assertTrue(wait_for(lambda: line_count(marks) == 3), "the dead client's objects were not released")
        self.assertServed(mine)
        self.assertEqual(mine.Live, 1)

    def test_a_client_killed_while_events_stream_to_it_loses_its_objects(self):
        marks = os.path.join(self.server.folder, "mid-events")
        victim = spawn("""
            import sys, quillon
            probe = quillon.Dispatch("Quillon.EventProbe")
            probe.MarkOnEnd(sys.argv[1])
            class Ticks:
                def OnTick(self, n):
                    if n == 50:
                        print("ticking", flush=True)
            quillon.WithEvents(probe, Ticks)
            probe.RaiseTicks(10000)
        """, marks)
        mine = quillon.Dispatch("Quillon.EventProbe")
        try:
            self.assertEqual(read_line(victim), "ticking")
            victim.kill()
        finally:
            finish(victim)
        self.assertTrue(wait_for(lambda: line_count(marks) == 1))
        self.assertServed(mine)

    def test_stalled_half_frames_and_huge_announced_frames_hold_nobody_up(self):
        before = rss_kib(self.server.process.pid)
        stalled = []
        half_header = socket.socket(socket.AF_UNIX)
        half_header.connect(self.server.socket)
        half_header.sendall(b"Content-Len")
        stalled.append(half_header)
        for _ in range(4):
            # Exactly the limit, so the frame is accepted and its gigabyte awaited.
            client = RawClient(self.server.socket)
            client.initialize()
            client.send_bytes(b"Content-Length: 1073741824\r\n\r\n" + b'{"jsonrpc": "2.0", "id": 9, "pad": "')
            client.send_bytes(b"x" * 100000)
            stalled.append(client.sock)
        try:
            # One byte over the limit: refused at once, not a byte of it allocated,
            # and the connection goes on.
            over = RawClient(self.server.socket)
            over.initialize()
            over.send_bytes(b"Content-Length: 1073741825\r\n\r\n")
            answer = over.receive()
            self.assertEqual(answer["error"]["data"]["hresult"], E_OUTOFMEMORY, answer)
            over.close()

            mine = quillon.Dispatch("Quillon.EventProbe")
            started = time.monotonic()
            for i in range(300):
                self.assertEqual(mine.Echo(i), i)
            self.assertLess(time.monotonic() - started, WAIT)
            grown = rss_kib(self.server.process.pid) - before
            print("\nstalled: 4 frames of 1 GiB announced and 1 half header, server grew %d KiB" % grown,
                  file=sys.stderr)
            if not sanitized(self.binary):
                self.assertLess(grown, 32 * MIB, "the server grew by %d KiB" % grown)
        finally:
            for sock in stalled:
                sock.close()
        self.assertServed(mine)

    def test_a_message_nested_a_hundred_thousand_deep_is_refused(self):
        client = RawClient(self.server.socket)
        self.addCleanup(client.close)
        client.initialize()
        depth = 100000
        body = b'{"jsonrpc": "2.0", "method": "initialize", "id": ' + b"[" * depth + b"]" * depth + b"}"
        client.send_bytes(b"Content-Length: %d\r\n\r\n" % len(body) + body)
        answer = client.receive()
        self.assertEqual(answer["error"]["code"], -32700, answer)
        self.assertIn("nests deeper", answer["error"]["message"])
        self.assertIn("result", client.call("create", progid="Quillon.EventProbe"))

    def test_a_client_that_sends_requests_and_never_reads_is_cut_off_not_buffered(self):
        greedy = socket.socket(socket.AF_UNIX)
        greedy.connect(self.server.socket)
        initialize = b'{"jsonrpc": "2.0", "id": 0, "method": "initialize"}'
        greedy.sendall(b"Content-Length: %d\r\n\r\n" % len(initialize) + initialize)
        greedy.setblocking(False)
        before = rss_kib(self.server.process.pid)
        body = b'{"jsonrpc": "2.0", "id": 1, "method": "typelib"}'
        request = b"Content-Length: %d\r\n\r\n" % len(body) + body
        deadline = time.monotonic() + WAIT
        sent = 0
        while time.monotonic() < deadline and sent < (256 << 20):
            try:
                sent += greedy.send(request * 64)
            except BlockingIOError:
                # The server stopped reading us: our answers are not being taken.
                if not select.select([], [greedy], [], 0.5)[1]:
                    break
            except OSError:
                break
        mine = quillon.Dispatch("Quillon.EventProbe")
        self.assertServed(mine)
        grown = rss_kib(self.server.process.pid) - before
        greedy.close()
        print("\ngreedy: %d bytes of requests sent unread, server grew %d KiB" % (sent, grown), file=sys.stderr)
        if not sanitized(self.binary):
            self.assertLess(grown, 128 * MIB, "the server grew by %d KiB" % grown)
        self.assertServed(mine)

    def test_a_client_that_pipelines_beyond_the_limit_and_then_reads_gets_every_answer(self):
        # About 75 MB of answers: past the point where the server stops serving until
        # the client reads, so the rest must be served once it does.
        client = RawClient(self.server.socket, timeout=3 * WAIT)
        self.addCleanup(client.close)
        client.initialize()
        count = 6000
        requests = b"".join(b"Content-Length: %d\r\n\r\n%s" % (len(body), body) for body in (
            b'{"jsonrpc": "2.0", "id": %d, "method": "typelib"}' % (100 + i) for i in range(count)))
        sender = threading.Thread(target=client.send_bytes, args=(requests,), daemon=True)
        sender.start()
        time.sleep(1)  # the answers pile up unread meanwhile
        ids = [client.receive()["id"] for _ in range(count)]
        sender.join(WAIT)
        self.assertEqual(ids, list(range(100, 100 + count)))


class ServerKilledTest(unittest.TestCase):
    """SIGKILL in the middle of a download and of a save: the client's next call fails
    clearly, the next Dispatch starts a fresh server, and no file is left half-written."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-killed-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.run_dir = os.path.join(self.folder, "run")
        os.mkdir(self.run_dir, 0o700)
        self.socket = os.path.join(self.run_dir, "q.sock")
        self.env = {"QUILLON_SOCKET": self.socket, "QUILLON_SERVER": SERVER, "QUILLON_IDLE_EXIT": "2"}

    def server_pid(self):
        with open(self.socket + ".lock", encoding="ascii") as lock:
            return int(lock.read().split()[0])

    def test_killed_during_a_download_and_a_save(self):
        def endless(server, conn):
            conn.sendall(HEADER)
            while server.pause(0.01):
                conn.sendall(b"z" * 4096)

        server = Server(SERVER, folder=self.run_dir)
        self.addCleanup(server.stop, signal.SIGKILL)
        big = os.path.join(self.folder, "big.bin")
        with open(big, "wb") as out:
            out.write(os.urandom(48 << 20))
        target = os.path.join(self.folder, "big.gz")
        with open(target, "wb") as out:
            out.write(b"the old archive")

        with HttpServer(endless) as http:
            downloader = spawn("""
                import os, sys, quillon
                d = quillon.Dispatch("Quillon.Downloader")
                d.Port = int(sys.argv[1])
                assert d.RequestFile("127.0.0.1", "/endless") == 0
                quillon.PumpWaitingMessages(10, until=lambda: d.CurSize > 0)
                print("downloading", flush=True)
                sys.stdin.readline()
                try:
                    d.CurSize
                    print("no error")
                except quillon.com_error as error:
                    print(error.hresult, error.strerror)
                fo = quillon.Dispatch("Quillon.FileOps")
                print(fo.StoreString("a", "b"), flush=True)
                quillon.shutdown()
            """, http.port, env=self.env)
            self.addCleanup(finish, downloader)
            self.assertEqual(read_line(downloader), "downloading")
            saver = spawn("""
                import sys, quillon
                fo = quillon.Dispatch("Quillon.FileOps")
                print("saving", flush=True)
                try:
                    print(fo.GZipFile(sys.argv[1], sys.argv[2]))
                except quillon.com_error as error:
                    print(error.hresult)
            """, big, target, env=self.env)
            self.addCleanup(finish, saver)
            self.assertEqual(read_line(saver), "saving")
            time.sleep(0.3)
            first = server.process.pid
            server.process.kill()
            server.process.wait(WAIT)

            downloader.stdin.write("go\n")
            downloader.stdin.flush()
            failure = read_line(downloader)
            self.assertTrue(failure.startswith(str(RPC_S_SERVER_UNAVAILABLE)), failure)
            self.assertIn("went away", failure)
            self.assertEqual(read_line(downloader, 2 * WAIT), "0")  # served by a server it started
            self.assertNotEqual(self.server_pid(), first)
            out, err = finish(downloader)
            self.assertEqual(downloader.returncode, 0, err)

        out, err = finish(saver)
        self.assertIn(out.strip(), (str(RPC_S_SERVER_UNAVAILABLE), "0"), err)
        # The archive is the old one or a whole new one, never a piece of one.
        with open(target, "rb") as archive:
            content = archive.read()
        if content != b"the old archive":
            self.assertEqual(len(gzip.decompress(content)), 48 << 20)
        # What a killed save can leave is its hidden temporary file, never a file under a real name.
        names = sorted(os.listdir(self.folder))
        visible = [name for name in names if not name.startswith(".big.gz.quillon-")]
        self.assertEqual(visible, ["big.bin", "big.gz", "run"])
        # The server the client started goes once idle, with nothing for the sanitizers to say.
        second = self.server_pid()
        self.assertTrue(wait_for(lambda: not os.path.exists(self.socket), timeout=3 * WAIT))
        self.assertTrue(wait_for(lambda: gone(second)))
        self.assertEqual(sanitizer_reports(second), [])


class MisbehavingWebServersTest(OnlineServerTestCase):

    def setUp(self):
        self.d = quillon.Dispatch("Quillon.Downloader")
        self.handler = quillon.WithEvents(self.d, Recorder)

    def tearDown(self):
        quillon.release(self.d)

    def pump_until(self, done):
        self.assertTrue(quillon.PumpWaitingMessages(WAIT, until=done), "timed out")

    def assertUsable(self):
        """A normal download on the same object afterwards runs as it should."""
        self.handler.seen.clear()
        with HttpServer(replying(HEADER + b"all well")) as http:
            self.d.Port = http.port
            self.assertEqual(self.d.RequestFile("127.0.0.1", "/after"), 0)
            self.pump_until(lambda: "OnDownloadFinish" in self.handler.names())
        self.assertEqual(self.handler.names(), ["OnConnect", "OnDisconnect", "OnDownloadFinish"])
        self.assertEqual(self.handler.seen[-1], ("OnDownloadFinish", 200, "OK"))
        self.assertEqual(self.d.CurFileAsString, "all well")
        self.assertFalse(self.d.Busy)

    def test_a_server_that_accepts_and_never_answers(self):
        with HttpServer(lambda server, conn: server.await_peer_close(conn)) as http:
            self.d.Port = http.port
            self.assertEqual(self.d.RequestFile("127.0.0.1", "/silent"), 0)
            # There is no time-out: nothing happens until the script gives up.
            self.assertFalse(quillon.PumpWaitingMessages(0.5, until=lambda: len(self.handler.seen) > 1))
            self.d.DisconnectNetwork()
            self.assertTrue(http.peer_closed.wait(WAIT))
        self.assertEqual(self.handler.names(), ["OnConnect", "OnDisconnect"])
        self.assertUsable()

    def test_a_connection_reset_in_the_middle_of_the_body(self):
        def reset(server, conn):
            conn.sendall(HEADER + b"part of the body" * 100)
            server.pause(0.2)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

        with HttpServer(reset) as http:
            self.d.Port = http.port
            self.assertEqual(self.d.RequestFile("127.0.0.1", "/reset"), 0)
            self.pump_until(lambda: "OnDownloadFinish" in self.handler.names())
        self.assertEqual(self.handler.names(), ["OnConnect", "OnDisconnect", "OnDownloadFinish"])
        self.assertEqual(self.handler.seen[-1], ("OnDownloadFinish", -1, "10054"))
        self.assertFalse(self.d.Busy)
        self.assertUsable()

    def test_an_endless_body_until_disconnect_network(self):
        sent = []

        def endless(server, conn):
            chunk = b"e" * 65536
            total = 0
            while total < (256 << 20) and not server.stopping.is_set():
                try:
                    conn.sendall(chunk)
                except OSError:
                    break
                total += len(chunk)
                sent.append(total)

        pid = self.server.process.pid
        before = rss_kib(pid)
        before_anon = rss_kib(pid, "RssAnon")  # without pages of the program's own files
        with HttpServer(endless) as http:
            self.d.Port = http.port
            self.assertEqual(self.d.RequestFile("127.0.0.1", "/endless"), 0)
            self.pump_until(lambda: self.d.CurSize > (24 << 20))
            size = self.d.CurSize
            grown = rss_kib(pid) - before
            self.d.DisconnectNetwork()
        self.assertEqual(self.handler.names(), ["OnConnect", "OnDisconnect"])
        self.assertTrue(self.d.Busy)  # no OnDownloadFinish: disconnecting just ends the download
        if not sanitized(self.binary):
            # What the download costs is what it holds: no more than a small share on top.
            self.assertLess(grown * 1024, size * 1.5 + (16 << 20), "grew %d KiB for %d bytes" % (grown, size))
        print("\nendless body: %d bytes held, server grew %d KiB" % (size, grown), file=sys.stderr)
        self.assertUsable()
        if not sanitized(self.binary):
            # The next request let go of the old download's memory, most of it back
            # to the system (what stays varies from run to run: 0.3 to 17 MiB seen).
            kept = rss_kib(pid, "RssAnon") - before_anon
            print("endless body: %d KiB kept after the next request" % kept, file=sys.stderr)
            self.assertLess(kept * 1024, size * 0.75, "kept %d KiB of a %d-byte download" % (kept, size))

    def test_a_trickle_of_tiny_segments_costs_no_more_than_it_brings(self):
        count = 200000

        def trickle(server, conn):
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            conn.sendall(HEADER)
            for _ in range(count):
                if server.stopping.is_set():
                    return
                conn.send(b"t")
            server.await_peer_close(conn)

        pid = self.server.process.pid
        before = rss_kib(pid)
        with HttpServer(trickle) as http:
            self.d.Port = http.port
            self.assertEqual(self.d.RequestFile("127.0.0.1", "/trickle"), 0)
            self.pump_until(lambda: self.d.CurSize >= count)
            grown = rss_kib(pid) - before
            self.d.DisconnectNetwork()
        if not sanitized(self.binary):
            self.assertLess(grown, 4 * MIB, "%d one-byte reads cost %d KiB" % (count, grown))
        print("\ntrickle: %d one-byte segments, server grew %d KiB" % (count, grown), file=sys.stderr)
        self.assertUsable()


class DownloadLimitTest(OnlineServerTestCase):
    """What downloads may hold together is the server's to bound, whatever a web server sends."""

    server_args = ("--max-download", "3M", "--max-frame", "1048576")

    def test_an_endless_body_ends_at_the_limit_and_keeps_what_came(self):
        def endless(server, conn):
            conn.sendall(HEADER)
            for _ in range(4096):  # 256 MiB at most
                if server.stopping.is_set():
                    return
                try:
                    conn.sendall(b"e" * 65536)
                except OSError:
                    return

        d = quillon.Dispatch("Quillon.Downloader")
        handler = quillon.WithEvents(d, Recorder)
        folder = tempfile.mkdtemp(prefix="quillon-limit-")
        try:
            with HttpServer(endless) as http:
                d.Port = http.port
                self.assertEqual(d.RequestFile("127.0.0.1", "/endless"), 0)
                self.assertTrue(quillon.PumpWaitingMessages(WAIT, until=lambda: handler.finishes() == 1))
                self.assertEqual(handler.seen, [("OnConnect", "127.0.0.1"), ("OnDisconnect",),
                                                ("OnDownloadFinish", -1, "10055")])
                self.assertFalse(d.Busy)
                size = d.CurSize
                self.assertLessEqual(size, 3 << 20)
                self.assertGreater(size, (3 << 20) - 8192)
                saved = os.path.join(folder, "part.bin")
                self.assertEqual(d.WriteBinaryFile(saved, False), 0)
                with open(saved, "rb") as part:
                    self.assertEqual(part.read(), b"e" * size)
                # Three megabytes of text cannot be one answer here: refused before it is built.
                with self.assertRaises(quillon.com_error) as caught:
                    d.CurFileAsString  # noqa: B018 - reading the property is the call
                self.assertEqual(caught.exception.hresult, E_OUTOFMEMORY)

                # The limit is the process's: another script's download finds it taken ...
                other = run_script(textwrap.dedent("""
                    import json, sys, quillon
                    d = quillon.Dispatch("Quillon.Downloader")
                    d.Port = int(sys.argv[1])
                    d.RequestFile("127.0.0.1", "/small")
                    quillon.PumpWaitingMessages(%r, until=lambda: not d.Busy)
                    print(json.dumps([d.Busy, d.CurSize]))
                """ % WAIT).replace("sys.argv[1]", str(http.port)))
                self.assertEqual(other.returncode, 0, other.stderr)
                self.assertEqual(json.loads(other.stdout)[0], False)
                self.assertLess(json.loads(other.stdout)[1], 65536)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        # ... and has it back once this download is let go.
        with HttpServer(replying(HEADER + b"s" * 65536)) as http:
            d.Port = http.port
            self.assertEqual(d.RequestFile("127.0.0.1", "/small"), 0)
            self.assertTrue(quillon.PumpWaitingMessages(WAIT, until=lambda: handler.finishes() == 2))
        self.assertEqual((handler.seen[-1], d.CurSize), (("OnDownloadFinish", 200, "OK"), 65536))


class DnsGarbage(UdpStub):
    """Answers every query with what `make(query)` returns (None: no answer), after `delay`."""

    def __init__(self, make, delay=0.0):
        self.make = make
        super().__init__(delay)

    def answer(self, query):
        return self.make(query)


def question_end(query):
    return query_name(query)[1]


def answer_with(query, rdata, rtype=12, name=b"\xc0\x0c"):
    end = question_end(query)
    header = query[:2] + struct.pack(">BBHHHH", 0x81, 0x80, 1, 1, 0, 0)
    return header + query[12:end] + name + struct.pack(">HHIH", rtype, 1, 60, len(rdata)) + rdata


GARBAGE = {
    "random bytes": lambda q: q[:2] + os.urandom(60),
    "header only": lambda q: q[:2] + b"\x81\x80\x00\x01\x00\x01\x00\x00\x00\x00",
    "wrong id": lambda q: bytes([q[0] ^ 0xFF, q[1]]) + answer_with(q, b"\x04host\x00")[2:],
    "pointer loop": lambda q: answer_with(q, b"\xc0\x00"),
    "pointer past the end": lambda q: answer_with(q, b"\xc3\xff"),
    "label past the end": lambda q: answer_with(q, b"\x3fshort"),
    "rdlength past the end": lambda q: answer_with(q, b"\x04host\x00")[:-3],
    "an A record for a PTR": lambda q: answer_with(q, b"\x7f\x00\x00\x01", rtype=1),
    "SERVFAIL": lambda q: q[:2] + b"\x81\x82" + q[4:6] + b"\x00\x00\x00\x00\x00\x00" + q[12:question_end(q)],
    "truncated flag": lambda q: q[:2] + b"\x83\x80" + q[4:6] + b"\x00\x00\x00\x00\x00\x00" + q[12:question_end(q)],
}


class Lookups:
    def __init__(self):
        self.seen = []

    def OnHostNameResult(self, ip, host, err):  # noqa: N802
        self.seen.append((ip, host, err))


class MisbehavingNameServersTest(unittest.TestCase):
    """Each stub gets a server of its own: no late answer reaches another stub's test."""

    def ask(self, stub, addresses=(), timeout_ms=1000, forward=False):
        server = Server(SERVER)  # the script names the stub
        try:
            result = subprocess.run([sys.executable, "-c", textwrap.dedent("""
                import json, sys, quillon
                class H:
                    seen = []
                    def OnHostNameResult(self, ip, host, err):
                        H.seen.append([ip, host, err])
                info = quillon.DispatchWithEvents("Quillon.IPInfo", H)
                info.EnableHostNameData()
                info.TimeOut = int(sys.argv[1])
                for address in sys.argv[3:]:
                    info.GetHostNameFromIP(address)
                    quillon.PumpWaitingMessages(10, until=lambda: H.seen and H.seen[-1][0] == address)
                request = None
                if sys.argv[2] == "forward":
                    request = quillon.Dispatch("Quillon.Downloader").RequestFile("name.test", "/a")
                print(json.dumps([H.seen, request]))
            """), str(timeout_ms), "forward" if forward else "-", *addresses],
                env=dict(os.environ, PYTHONPATH=CLIENT_PATH, QUILLON_SOCKET=server.socket, QUILLON_SERVER=SERVER,
                         QUILLON_DNS_SERVERS=stub.address, QUILLON_NETWORK_STATE="online"),
                capture_output=True, text=True, timeout=6 * WAIT)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIsNone(server.process.poll(), "the server died")
            return json.loads(result.stdout)
        finally:
            self.assertEqual(server.stop(), 0)

    def test_garbage_answers_to_reverse_lookups_are_failures_never_crashes(self):
        for kind, make in GARBAGE.items():
            with self.subTest(kind=kind):
                stub = DnsGarbage(make)
                try:
                    seen, _ = self.ask(stub, ["192.0.2.1"])
                finally:
                    stub.close()
                self.assertEqual(len(seen), 1, seen)
                self.assertEqual(seen[0][:2], ["192.0.2.1", ""])
                self.assertIn(seen[0][2], (4, 5))
                self.assertGreater(stub.queries, 0)

    def test_garbage_answers_to_forward_lookups_fail_as_112(self):
        for kind in ("pointer loop", "rdlength past the end", "random bytes"):
            with self.subTest(kind=kind):
                stub = DnsGarbage(GARBAGE[kind])
                started = time.monotonic()
                try:
                    _, request = self.ask(stub, forward=True)
                finally:
                    stub.close()
                self.assertEqual(request, 112)
                self.assertLess(time.monotonic() - started, 15)

    def test_late_answers_time_out_and_are_then_ignored(self):
        stub = DnsGarbage(lambda q: answer_with(q, b"\x04late\x04test\x00"), delay=1.5)
        try:
            seen, _ = self.ask(stub, ["192.0.2.3", "192.0.2.4"], timeout_ms=500)
        finally:
            stub.close()
        # The first answer arrives while the second lookup waits: it belongs to no request.
        self.assertEqual(seen, [["192.0.2.3", "", 5], ["192.0.2.4", "", 5]])


if __name__ == "__main__":
    unittest.main()

"""Downloader end to end: the server's sockets against a scripted HTTP server and a stub
DNS server on loopback, driven through the Python client with events and by polling."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import quillon
from http_support import HttpServer, Recorder, RecordingServer, StubDns, replying
from support import (CLIENT_PATH, SERVER, WAIT, Server, ServerTestCase, restore_env, run_script, sanitized, set_env,
                     wait_for)

# Longer than 50 bytes, so it is taken for the header even when it arrives alone.
HEADER = b"HTTP/1.0 200 OK\r\nServer: quillon test fixture\r\nContent-Type: text/plain\r\n\r\n"


def slow(parts, pause=0.1):
    def reply(server, conn):
        conn.sendall(HEADER)
        for part in parts:
            conn.sendall(part)
            if not server.pause(pause):
                return
    return reply


FULL = ["OnConnect", "OnDisconnect", "OnDownloadFinish"]


def start_server(**settings):
    """A server of its own, started with these variables, which the scripts `ask`
    runs against it send as theirs."""
    saved = set_env(**settings)
    try:
        server = Server(SERVER)
    finally:
        restore_env(saved)
    server.settings = settings
    return server


SCRIPT_PRELUDE = """
import json, sys, quillon
d = quillon.Dispatch("Quillon.Downloader")
"""


class DownloaderTest(ServerTestCase):
    settings = {"QUILLON_NETWORK_STATE": "online"}

    @classmethod
    def make_dns(cls):
        return StubDns({"files.test": "127.0.0.1"})

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-download-")
        self.d = quillon.Dispatch("Quillon.Downloader")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def pump_until(self, done):
        self.assertTrue(quillon.PumpWaitingMessages(WAIT, until=done), "timed out")

    def request(self, d, port, server="127.0.0.1", path="/a.txt"):
        d.Port = port
        return d.RequestFile(server, path)

    def test_a_download_raises_its_events_in_order_and_saves(self):
        d = self.d
        inside = {}

        class Handler(Recorder):
            def OnConnect(self, url):  # noqa: N802
                super().OnConnect(url)
                inside["busy_on_connect"] = d.Busy

            def OnDownloadFinish(self, code, text):  # noqa: N802
                super().OnDownloadFinish(code, text)
                inside.update(busy=d.Busy, text=d.CurFileAsString, size=d.CurSize)

        handler = quillon.WithEvents(d, Handler)
        with HttpServer(replying(HEADER + b"line1\nline2\r\n\xe9")) as http:
            d.Port = http.port
            self.assertEqual(d.RequestFile("http://files.test", "a.txt"), 0)
            self.assertTrue(d.Busy)
            self.pump_until(lambda: handler.finishes() == 1)
            self.assertEqual(http.requests,
                             [b"GET /a.txt HTTP/1.0\r\nUser-Agent: Quillon v. 1.09\r\nHost: files.test\r\n\r\n"])

        self.assertEqual(handler.seen, [("OnConnect", "files.test"), ("OnDisconnect",),
                                        ("OnDownloadFinish", 200, "OK")])
        self.assertEqual(inside, {"busy_on_connect": False, "busy": True, "text": "", "size": 14})
        self.assertFalse(d.Busy)
        self.assertEqual(d.ServerCode, 200)
        self.assertEqual(d.ServerHeader, HEADER.decode("cp1252"))
        self.assertEqual(d.CurFileAsString, "line1\r\nline2\r\n\u00e9")

        binary, text = os.path.join(self.folder, "a.bin"), os.path.join(self.folder, "a.txt")
        self.assertEqual(d.WriteBinaryFile(binary, False), 0)
        self.assertEqual(d.WriteTextFile(text, False), 0)
        with open(binary, "rb") as f:
            self.assertEqual(f.read(), b"line1\nline2\r\n\xe9")
        with open(text, "rb") as f:
            self.assertEqual(f.read(), b"line1\r\nline2\r\n\xe9")
        self.assertEqual(d.WriteTextFile(text, False), 1)
        self.assertEqual(d.ErrorString, "File exists")

    def test_polling_busy_sees_the_file_grow(self):
        d = self.d
        with HttpServer(slow([b"chunk"] * 5, pause=0.15)) as http:
            self.assertEqual(self.request(d, http.port), 0)
            sizes = []
            deadline = time.monotonic() + WAIT
            while time.monotonic() < deadline:
                size, text = d.CurSize, d.CurFileAsString
                if not d.Busy:  # still busy now means it was busy when the text was read
                    break
                sizes.append(size)
                self.assertEqual(text, "")
                time.sleep(0.03)
        self.assertFalse(d.Busy)
        self.assertEqual(d.CurFileAsString, "chunk" * 5)
        self.assertTrue(any(0 < size < 25 for size in sizes), sizes)
        self.assertEqual(sizes, sorted(sizes))

    def test_failures_return_their_code_and_text(self):
        d = self.d
        handler = quillon.WithEvents(d, Recorder)
        unused = HttpServer(replying(b""))
        port = unused.port
        unused.close()
        cases = [
            ("", "/a", 80, 113, "Server address is missing."),
            ("127.0.0.1", "", 80, 114, "URL of file to retrieve is missing."),
            ("missing.test", "/a", 80, 112, "Failed to resolve server IP address."),
            ("255.255.255.255", "/a", 80, 112, "Failed to resolve server IP address."),
            ("127.0.0.1", "/a", port, 110, "Winsock error - Failed to connect to server. Error number:10061"),
        ]
        for server, path, port, code, text in cases:
            with self.subTest(server=server, code=code):
                self.assertEqual(self.request(d, port, server, path), code)
                self.assertEqual(d.ErrorString, text)
                self.assertFalse(d.Busy)
        self.assertFalse(quillon.PumpWaitingMessages(0.1, until=lambda: handler.seen))
        with self.assertRaises(quillon.com_error):
            d.RequestFile(quillon.Null, "/a")

    def test_404_ends_normally_and_a_redirect_is_reported_not_followed(self):
        d = self.d
        handler = quillon.WithEvents(d, Recorder)
        with HttpServer(replying(b"HTTP/1.0 404 Not Found\r\nServer: quillon test fixture\r\n\r\ngone")) as http:
            self.request(d, http.port)
            self.pump_until(lambda: handler.finishes() == 1)
        self.assertEqual(handler.seen[-1], ("OnDownloadFinish", 404, "Not Found"))
        self.assertEqual(d.CurFileAsString, "gone")

        moved = b"HTTP/1.0 302 Found\r\nContent-Location: /c.txt\r\nLocation: /new/a.txt\r\n\r\nmoved"
        with HttpServer(replying(moved)) as http:
            self.request(d, http.port)
            self.pump_until(lambda: handler.finishes() == 2)
            self.assertFalse(quillon.PumpWaitingMessages(0.2, until=lambda: len(http.requests) > 1))
        self.assertEqual(handler.seen[-1], ("OnDownloadFinish", 302, "FoundLocation: /c.txt"))

    def test_disconnect_network_ends_a_server_that_never_answers(self):
        d = self.d
        handler = quillon.WithEvents(d, Recorder)
        with HttpServer(lambda server, conn: server.await_peer_close(conn)) as http:
            self.assertEqual(self.request(d, http.port), 0)
            self.assertFalse(quillon.PumpWaitingMessages(0.3, until=lambda: len(handler.seen) > 1))
            d.DisconnectNetwork()
            self.assertTrue(http.peer_closed.wait(WAIT))
        self.assertEqual(handler.names(), ["OnConnect", "OnDisconnect"])
        self.assertTrue(d.Busy)

    def test_a_request_from_the_finish_handler_keeps_busy(self):
        d = self.d
        results = []

        class Again(Recorder):
            def OnDownloadFinish(self, code, text):  # noqa: N802
                super().OnDownloadFinish(code, text)
                if not results:
                    results.append(d.RequestFile("127.0.0.1", "/second"))

        handler = quillon.WithEvents(d, Again)
        with HttpServer(replying(HEADER + b"body")) as http:
            self.assertEqual(self.request(d, http.port), 0)
            self.pump_until(lambda: handler.finishes() == 1)
            self.assertEqual(results, [0])
            self.assertTrue(d.Busy)
            self.pump_until(lambda: handler.finishes() == 2)
            self.assertFalse(d.Busy)
            self.assertEqual(len(http.requests), 2)

    def test_downloaders_of_one_client_share_events_and_survive_each_other(self):
        a, b = self.d, quillon.Dispatch("Quillon.Downloader")
        seen_a, seen_b = quillon.WithEvents(a, Recorder), quillon.WithEvents(b, Recorder)
        with HttpServer(slow([b"part"] * 4)) as http:
            self.assertEqual(self.request(b, http.port), 0)
            self.pump_until(lambda: seen_a.seen)
            self.assertEqual(seen_a.names(), ["OnConnect"])
            quillon.release(a)
            self.pump_until(lambda: seen_b.finishes() == 1)
        self.assertEqual(seen_b.names(), FULL)
        self.assertEqual(b.CurFileAsString, "part" * 4)
        self.assertFalse(b.Busy)

    def test_a_superseding_request_that_fails_leaves_nobody_busy(self):
        a, b = self.d, quillon.Dispatch("Quillon.Downloader")
        handler = quillon.WithEvents(a, Recorder)
        cases = [("", "/x", 113), ("127.0.0.1", "", 114), ("missing.test", "/x", 112)]
        with RecordingServer() as http:
            for round_number, (server, path, code) in enumerate(cases, 1):
                with self.subTest(code=code):
                    self.assertEqual(self.request(a, http.port, path="/held"), 0)
                    self.assertTrue(a.Busy)
                    # This round's request, whole (the last one of the round before is whole already).
                    self.assertTrue(wait_for(lambda: len(http.requests()) == round_number
                                             and b"\r\n\r\n" in http.requests()[-1]))
                    self.assertEqual(self.request(b, http.port, server, path), code)
                    self.assertEqual((a.Busy, b.Busy), (False, False))
                    self.assertTrue(wait_for(lambda: not http.still_open()), "the held connection stayed open")
                    self.assertEqual(len(http.requests()), round_number)
        self.assertEqual(handler.names(), ["OnConnect", "OnDisconnect"] * len(cases))

    def open_descriptors(self):
        return len(os.listdir("/proc/%d/fd" % self.server.process.pid))

    def test_a_request_from_a_handler_wins_and_the_outer_one_gives_way(self):
        body = HEADER + b"inner body"
        for event in ("OnDisconnect", "OnConnect"):
            with self.subTest(handler=event), RecordingServer({"/inner": body}) as http:
                d = quillon.Dispatch("Quillon.Downloader")
                inner, armed = [], [True]

                class Again(Recorder):
                    def request_once(self, now):
                        if now == event and armed[0]:
                            armed[0] = False
                            inner.append(d.RequestFile("127.0.0.1", "/inner"))

                    def OnConnect(self, url):  # noqa: N802
                        super().OnConnect(url)
                        self.request_once("OnConnect")

                    def OnDisconnect(self):  # noqa: N802
                        super().OnDisconnect()
                        self.request_once("OnDisconnect")

                d.Port = http.port
                if event == "OnDisconnect":  # a download runs when the outer request comes
                    self.assertEqual(d.RequestFile("127.0.0.1", "/first"), 0)
                    self.assertTrue(wait_for(lambda: len(http.requests()) == 1 and http.requests()[0]))
                handler = quillon.WithEvents(d, Again)
                self.assertEqual(d.RequestFile("127.0.0.1", "/outer"), 99)
                self.assertEqual((inner, d.ErrorString, d.Busy), ([0], "10038", True))
                self.pump_until(lambda: handler.finishes() == 1)
                self.assertTrue(wait_for(lambda: not http.still_open()), "a connection stayed open")
                self.assertFalse(d.Busy)
                self.assertEqual(d.CurFileAsString, "inner body")
                self.assertEqual(handler.seen[-1], ("OnDownloadFinish", 200, "OK"))
                # Each connection carried at most one request, and the outer one none.
                get = b"GET %s HTTP/1.0\r\nUser-Agent: Quillon v. 1.09\r\nHost: 127.0.0.1\r\n\r\n"
                self.assertEqual(http.requests(), [get % b"/first", get % b"/inner"] if event == "OnDisconnect"
                                 else [b"", get % b"/inner"])
                quillon.release(d)

    def test_handler_requests_leave_no_socket_behind(self):
        d = self.d
        rounds = []

        class Again(Recorder):
            def OnDisconnect(self):  # noqa: N802
                super().OnDisconnect()
                if len(rounds) % 2 == 1 and len(rounds) < 20:
                    rounds.append(d.RequestFile("127.0.0.1", "/held"))

        quillon.WithEvents(d, Again)
        with RecordingServer() as http:
            d.Port = http.port
            for round_number in range(11):
                if round_number == 2:
                    baseline = self.open_descriptors()
                rounds.append(d.RequestFile("127.0.0.1", "/held"))
            d.DisconnectNetwork()
            self.assertTrue(wait_for(lambda: not http.still_open()), "a connection stayed open")
            self.assertEqual(self.open_descriptors(), baseline - 1)  # the last connection closed too
        self.assertEqual(set(rounds[::2]), {0, 99}, rounds)
        self.assertEqual(set(rounds[1::2]), {0})

    def test_server_names_written_as_addresses_are_never_looked_up(self):
        d = self.d
        handler = quillon.WithEvents(d, Recorder)
        asked = self.dns.queries
        with HttpServer(replying(HEADER + b"x")) as http:
            for round_number, server in enumerate(["127.1", "0x7f.1", "2130706433", "0177.0.0.1", "127.0.0.1"], 1):
                with self.subTest(server=server):
                    self.assertEqual(self.request(d, http.port, server), 0, d.ErrorString)
                    self.pump_until(lambda: handler.finishes() == round_number)
                    self.assertEqual(handler.seen[-1], ("OnDownloadFinish", 200, "OK"))
        self.assertEqual(self.dns.queries, asked)

    def test_two_client_connections_download_at_once_apart(self):
        script = SCRIPT_PRELUDE + textwrap.dedent("""
            seen = []
            class H:
                def OnConnect(self, url): seen.append("OnConnect")
                def OnDisconnect(self): seen.append("OnDisconnect")
                def OnDownloadFinish(self, code, text): seen.append("OnDownloadFinish")
            quillon.WithEvents(d, H)
            d.Port = int(sys.argv[1])
            assert d.RequestFile("127.0.0.1", "/b") == 0
            quillon.PumpWaitingMessages(10, until=lambda: "OnDownloadFinish" in seen)
            print(json.dumps([seen, d.CurFileAsString]))
        """)
        d = self.d
        handler = quillon.WithEvents(d, Recorder)
        with HttpServer(slow([b"aaa"] * 3)) as http_a, HttpServer(slow([b"bbb"] * 3)) as http_b:
            env = dict(os.environ, PYTHONPATH=CLIENT_PATH)
            other = subprocess.Popen([sys.executable, "-c", script, str(http_b.port)], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            try:
                self.assertEqual(self.request(d, http_a.port), 0)
                self.pump_until(lambda: handler.finishes() == 1)
                out, err = other.communicate(timeout=WAIT)
            finally:
                if other.poll() is None:
                    other.kill()
                    other.communicate()
        self.assertEqual(other.returncode, 0, err)
        self.assertEqual(json.loads(out), [FULL, "bbbbbbbbb"])
        self.assertEqual(handler.names(), FULL)
        self.assertEqual(d.CurFileAsString, "aaaaaaaaa")


class NetworkSettingsTest(unittest.TestCase):
    """Servers started with other settings, each asked from a script of its own."""

    def ask(self, server, body):
        result = run_script(SCRIPT_PRELUDE + textwrap.dedent(body),
                            env=dict(server.settings, QUILLON_SOCKET=server.socket, QUILLON_SERVER=SERVER),
                            timeout=3 * WAIT)
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)

    def test_offline_and_proxy_states_refuse_before_connecting(self):
        for state, code, text, online, proxy in [
                ("offline", 106, "No Internet connection active.", False, False),
                ("proxy", 107, "Internet connection is via proxy server.", True, True)]:
            with self.subTest(state=state):
                server = start_server(QUILLON_NETWORK_STATE=state)
                try:
                    answer = self.ask(server, """
                        print(json.dumps([d.Online, d.ProxyConnection, d.RequestFile("127.0.0.1", "/a"), d.ErrorString]))
                    """)
                finally:
                    server.remove()
                self.assertEqual(answer, [online, proxy, code, text])

    def test_a_proxy_in_the_scripts_environment_is_refused(self):
        server = start_server(http_proxy="http://127.0.0.1:9", QUILLON_NETWORK_STATE="")
        try:
            online, proxy, code = self.ask(server, """
                print(json.dumps([d.Online, d.ProxyConnection, d.RequestFile("127.0.0.1", "/a")]))
            """)
        finally:
            server.remove()
        self.assertTrue(proxy)
        if not online:
            self.skipTest("no interface besides loopback is up here, so the offline refusal comes first")
        self.assertEqual(code, 107)

    def test_a_dns_server_that_never_answers_fails_within_the_bound(self):
        silent = StubDns(silent=True)
        server = start_server(QUILLON_DNS_SERVERS=silent.address, QUILLON_NETWORK_STATE="online")
        try:
            started = time.monotonic()
            answer = self.ask(server, """
                print(json.dumps([d.RequestFile("quiet.test", "/a"), d.ErrorString]))
            """)
            elapsed = time.monotonic() - started
        finally:
            server.remove()
            silent.close()
        self.assertEqual(answer, [112, "Failed to resolve server IP address."])
        # The lookup's 10 s, plus a script's start (slow for a sanitized server on a busy machine).
        self.assertLess(elapsed, 20.0 if sanitized(SERVER) else 12.5)
        self.assertGreater(silent.queries, 0)


if __name__ == "__main__":
    unittest.main()

"""The example scripts as users run them: the tour on its own, the one-class scripts against a
server on a private socket. Everything they reach is on 127.0.0.1."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from http_support import HttpServer
from support import REPO, SERVER, WAIT, Server
from test_ipinfo import PtrStub

EXAMPLES = os.path.join(REPO, "examples")
SAMPLE_DB = os.path.join(os.path.dirname(os.path.dirname(SERVER)), "share", "quillon", "GEOIPCITY.DAT")
HEADER = b"HTTP/1.0 200 OK\r\nServer: quillon test fixture\r\nContent-Type: text/plain\r\n\r\n"


def run_example(name, *args, env=None, cwd=None, timeout=2 * WAIT):
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, name), *args], cwd=cwd,
                          env=dict(os.environ, **(env or {})), capture_output=True, text=True, timeout=timeout)


class TourTest(unittest.TestCase):
    def test_the_tour_runs_on_this_machine_alone(self):
        # A proxy in the caller's environment and a socket of someone else's must not matter:
        # the tour removes the one and uses a private socket of its own.
        result = run_example("tour.py", env={"QUILLON_SERVER": SERVER, "http_proxy": "http://127.0.0.1:9",
                                             "ALL_PROXY": "http://127.0.0.1:9",
                                             "QUILLON_SOCKET": "/nonexistent/quillon.sock"},
                             timeout=12 * WAIT)
        self.assertEqual(result.returncode, 0, "stdout:\n%s\nstderr:\n%s" % (result.stdout, result.stderr))
        for text in ("event OnDownloadFinish(200, 'OK')", "WriteTextFile ", "GUnZipFile wrote ",
                     "LongToBytes(1000) -> (232, 3, 0, 0)", "event OnHostNameResult('127.0.0.1', 'localhost', 0)",
                     "192.0.2.70: San Francisco", "\nTour complete.\n"):
            self.assertIn(text, result.stdout)
        # Its server, socket and files went with it.
        socket_path = re.search(r" on (/\S+/quillon\.sock)\n", result.stdout).group(1)
        self.assertFalse(os.path.exists(os.path.dirname(socket_path)))

    def test_the_tour_says_what_to_do_without_a_server(self):
        result = run_example("tour.py", env={"QUILLON_SERVER": "/nonexistent/quillon-server"})
        self.assertEqual(result.returncode, 1)
        self.assertIn("no server at /nonexistent/quillon-server: build first", result.stderr)


class ClassExamplesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dns = PtrStub({"127.0.0.1": "localhost"})
        os.environ.update(QUILLON_DNS_SERVERS=cls.dns.address, QUILLON_NETWORK_STATE="online")
        try:
            cls.server = Server(SERVER)
        finally:
            os.environ.pop("QUILLON_DNS_SERVERS", None)
            os.environ.pop("QUILLON_NETWORK_STATE", None)
        cls.env = {"QUILLON_SOCKET": cls.server.socket, "QUILLON_SERVER": SERVER}

    @classmethod
    def tearDownClass(cls):
        cls.server.remove()
        cls.dns.close()

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-examples-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def run_ok(self, name, *args):
        result = run_example(name, *args, env=self.env, cwd=self.folder)
        self.assertEqual(result.returncode, 0, "stdout:\n%s\nstderr:\n%s" % (result.stdout, result.stderr))
        return result.stdout

    def test_downloader(self):
        with HttpServer(lambda server, conn: conn.sendall(HEADER + b"example body\n")) as http:
            out = self.run_ok("downloader.py", "http://127.0.0.1:%d/files/example.txt" % http.port)
        self.assertIn("200 OK - 13 bytes", out)
        with open(os.path.join(self.folder, "example.txt"), "rb") as f:
            self.assertEqual(f.read(), b"example body\n")

    def test_ipinfo(self):
        out = self.run_ok("ipinfo.py", "127.0.0.1", "abc")
        self.assertEqual(out.splitlines(), ["127.0.0.1 localhost", "abc (not an IPv4 address)"])

    def test_location(self):
        # Two lookups through the one Location: each answer was copied before the next.
        out = self.run_ok("location.py", "--db", SAMPLE_DB, "192.0.2.70", "198.51.100.5").splitlines()
        self.assertEqual(out[out.index("192.0.2.70") + 4], "  City         San Francisco")
        self.assertEqual(out[out.index("198.51.100.5") + 4], "  City         Paris")

    def test_fileops(self):
        out = self.run_ok("fileops.py")
        self.assertIn("number at the end: 1000", out)
        self.assertIn("file now: b'Jello, file\\xe8\\x03\\x00\\x00'", out)
        self.assertIn("gzipped to ", out)


if __name__ == "__main__":
    unittest.main()

"""The quillon command end to end: each verb run as a user runs it, against a scripted HTTP
server and stub DNS servers on 127.0.0.1, the sample city database and generated gzip files.
Outputs, exit statuses and the files written are what is checked."""

import gzip
import json
import os
import pty
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

import quillon
from http_support import HttpServer, StubDns, replying
from support import REPO, SERVER, WAIT, can_connect, wait_for
from test_ipinfo import PtrStub
from test_typelib import DOWNLOADER, DOWNLOADER_EVENTS, FILEOPS, IPINFO, IPINFO_EVENTS, LOCATION

CLI = os.environ.get("QUILLON_CLI") or os.path.join(REPO, "build", "bin", "quillon")
SAMPLE_DB = os.path.join(os.path.dirname(os.path.dirname(CLI)), "share", "quillon", "GEOIPCITY.DAT")

# Longer than 50 bytes, so that it is taken for the header even when it arrives alone.
HEADER = b"HTTP/1.0 200 OK\r\nServer: quillon test fixture\r\nContent-Type: text/plain\r\n\r\n"
RECEIVED = re.compile(r"^received .* \((\d+) bytes\)( of .* \((\d+)%\))? in .*, .*$")


def run(args, cwd, env=None, timeout=2 * WAIT):
    full_env = dict(os.environ, **(env or {}))
    return subprocess.run([CLI, *args], cwd=cwd, env=full_env, capture_output=True, text=True, timeout=timeout)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def slow(parts, pause, header=HEADER):
    def reply(server, conn):
        conn.sendall(header)
        for part in parts:
            if not server.pause(pause):
                return
            conn.sendall(part)
    return reply


def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class CliTestCase(unittest.TestCase):
    env = {}

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-cli-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def path(self, *names):
        return os.path.join(self.folder, *names)

    def quillon(self, *args, env=None, timeout=2 * WAIT):
        return run(args, self.folder, dict(self.env, **(env or {})), timeout)

    def assertFailed(self, result, status=1):  # noqa: N802 - unittest's naming
        self.assertEqual(result.returncode, status, "stdout: %s\nstderr: %s" % (result.stdout, result.stderr))


class GetTest(CliTestCase):
    @classmethod
    def setUpClass(cls):
        cls.dns = StubDns({"files.test": "127.0.0.1"})
        cls.env = {"QUILLON_DNS_SERVERS": cls.dns.address, "QUILLON_NETWORK_STATE": "online"}

    @classmethod
    def tearDownClass(cls):
        cls.dns.close()

    def test_saves_the_bytes_and_reports_the_status(self):
        body = b"first\nsecond\r\nthird\r\xe9"
        with HttpServer(replying(HEADER + body)) as http:
            result = self.quillon("get", "http://files.test:%d/dir/a%%20b.txt?x=1" % http.port)
        self.assertEqual(result.returncode, 0, result.stderr)
        # The Host line names the server only, as every request of the Downloader does.
        self.assertEqual(http.requests,
                         [b"GET /dir/a%20b.txt?x=1 HTTP/1.0\r\nUser-Agent: Quillon v. 1.09\r\n"
                          b"Host: files.test\r\n\r\n"])
        self.assertEqual(result.stdout, "200 OK\nsaved a b.txt (%d bytes)\n" % len(body))
        self.assertEqual(read(self.path("a b.txt")), body)
        self.assertIn("connected to files.test:%d\n" % http.port, result.stderr)

    def test_text_saves_have_cr_lf_line_ends(self):
        with HttpServer(replying(HEADER + b"first\nsecond\r\nthird\r\xe9")) as http:
            result = self.quillon("get", "http://127.0.0.1:%d/a.txt" % http.port, "--text", "-o", "out.txt")
        self.assertEqual(result.returncode, 0, result.stderr)
        saved = b"first\r\nsecond\r\nthird\r\n\xe9"
        self.assertEqual(read(self.path("out.txt")), saved)
        self.assertIn("saved out.txt (%d bytes, as text)" % len(saved), result.stdout)

    def test_an_existing_file_is_kept_unless_forced(self):
        write(self.path("a.txt"), b"old")
        with HttpServer(replying(HEADER + b"new")) as http:
            url = "http://127.0.0.1:%d/a.txt" % http.port
            refused = self.quillon("get", url)
            self.assertFailed(refused)
            self.assertIn("cannot save to a.txt: File exists", refused.stderr)
            self.assertIn("--force", refused.stderr)
            self.assertEqual(read(self.path("a.txt")), b"old")
            self.assertEqual(http.requests, [], "nothing should be downloaded only to be thrown away")

            forced = self.quillon("get", url, "--force")
            self.assertEqual(forced.returncode, 0, forced.stderr)
            self.assertEqual(read(self.path("a.txt")), b"new")

            # A folder as the output saves inside it, under the URL's name.
            os.mkdir(self.path("into"))
            into = self.quillon("get", url, "-o", "into")
            self.assertEqual(into.returncode, 0, into.stderr)
            self.assertEqual(read(self.path("into", "a.txt")), b"new")

    def test_statuses_of_400_and_more_save_nothing(self):
        reply = b"HTTP/1.0 404 Not Found\r\nServer: quillon test fixture\r\nContent-Type: text/html\r\n\r\ngone"
        with HttpServer(replying(reply)) as http:
            result = self.quillon("get", "http://127.0.0.1:%d/missing.txt" % http.port)
        self.assertFailed(result)
        self.assertEqual(result.stdout, "404 Not Found\n")
        self.assertIn("nothing was saved", result.stderr)
        self.assertEqual(os.listdir(self.folder), [])

    def test_a_body_cut_short_is_not_saved(self):
        header = HEADER.replace(b"\r\n\r\n", b"\r\nContent-Length: 10000\r\n\r\n")
        cases = [
            (["-o", "a.bin"], "3700 of 10000 bytes"),
            (["-o", "-"], "3700 of 10000 bytes"),
            (["-o", "a.bin", "--text"], "3700 of 10000 bytes"),
        ]
        with HttpServer(replying(header + b"x" * 3700)) as http:
            for args, text in cases:
                with self.subTest(args=args):
                    result = self.quillon("get", "http://127.0.0.1:%d/a.bin" % http.port, *args)
                    self.assertFailed(result)
                    self.assertIn("cut short: " + text + " arrived; nothing was saved", result.stderr)
                    self.assertNotIn("saved", result.stdout)
                    self.assertNotIn("x", result.stdout)
        self.assertEqual(os.listdir(self.folder), [])

    def test_redirects_are_reported_or_followed(self):
        def redirect(to, body):
            return (b"HTTP/1.0 302 Found\r\nLocation: " + to + b"\r\nServer: quillon test fixture\r\n\r\n" + body)

        def script(replies):
            """Answers each path with its reply; the file at /end."""
            def reply(server, conn):
                path = server.requests[-1].split(b" ")[1]
                conn.sendall(replies.get(path, HEADER + b"the file"))
            return reply

        replies = {
            b"/with-body": redirect(b"/end", b"<a href=/end>moved</a>"),
            b"/without-body": redirect(b"http://files.test:PORT/end", b""),
            b"/relative/a": redirect(b"b", b""),
            b"/relative/b": redirect(b"http://files.test:PORT/end", b""),
            b"/secure": redirect(b"https://files.test/end", b""),
            b"/loop": redirect(b"/loop", b""),
        }
        with HttpServer(None) as http:
            for path in list(replies):
                replies[path] = replies[path].replace(b"PORT", str(http.port).encode())
            http.reply = script(replies)
            base = "http://127.0.0.1:%d" % http.port
            for path in ("/with-body", "/without-body"):
                with self.subTest(path=path):
                    told = self.quillon("get", base + path, "-o", "out")
                    self.assertFailed(told)
                    self.assertEqual(told.stdout.splitlines()[0], "302 Found")
                    self.assertRegex(told.stdout.splitlines()[1], r"^Location: .*/end$")
                    self.assertIn("-L", told.stderr)
            self.assertEqual(os.listdir(self.folder), [])

            followed = self.quillon("get", "-L", base + "/relative/a", "-o", "out")
            self.assertEqual(followed.returncode, 0, followed.stderr)
            self.assertEqual(read(self.path("out")), b"the file")
            self.assertEqual(followed.stdout.splitlines()[-2:], ["200 OK", "saved out (8 bytes)"])
            self.assertTrue(http.requests[-2].startswith(b"GET /relative/b HTTP/1.0"), http.requests)
            self.assertIn(b"Host: files.test\r\n", http.requests[-1])

            cases = [("/secure", "cannot follow the redirect to https://files.test/end: only http://"),
                     ("/loop", "more than 10 redirects")]
            for path, text in cases:
                with self.subTest(path=path):
                    count = len(http.requests)
                    refused = self.quillon("get", "--location", base + path, "-o", "refused")
                    self.assertFailed(refused)
                    self.assertIn(text, refused.stderr)
                    self.assertFalse(os.path.exists(self.path("refused")))
            self.assertEqual(len(http.requests) - count, 11)

    def test_an_empty_body_and_standard_output(self):
        with HttpServer(replying(HEADER)) as http:
            url = "http://127.0.0.1:%d/empty.txt" % http.port
            empty = self.quillon("get", url)
            self.assertEqual(empty.returncode, 0, empty.stderr)
            self.assertEqual(empty.stdout, "200 OK\nsaved empty.txt (0 bytes)\n")
            self.assertEqual(read(self.path("empty.txt")), b"")
            again = self.quillon("get", url, "-o", "-")
            self.assertEqual((again.returncode, again.stdout), (0, ""), again.stderr)

        body = bytes(range(256)) * 40 + b"a\nb"
        with HttpServer(replying(HEADER + body)) as http:
            url = "http://127.0.0.1:%d/a.bin" % http.port
            full = subprocess.run([CLI, "get", url, "-o", "-"], cwd=self.folder, env=dict(os.environ, **self.env),
                                  capture_output=True, timeout=2 * WAIT)
            self.assertEqual(full.returncode, 0, full.stderr)
            self.assertEqual(full.stdout, body)
            self.assertIn(b"200 OK\n", full.stderr)
            text = subprocess.run([CLI, "get", url, "-o", "-", "--text"], cwd=self.folder,
                                  env=dict(os.environ, **self.env), capture_output=True, timeout=2 * WAIT)
            self.assertTrue(text.stdout.endswith(b"a\r\nb"), text.stderr)
        self.assertEqual(sorted(os.listdir(self.folder)), ["empty.txt"])

    def test_a_header_longer_than_a_block_is_named(self):
        long_header = HEADER.replace(b"\r\n\r\n", b"\r\nSet-Cookie: " + b"c" * 12000 + b"\r\n\r\n")
        with HttpServer(replying(long_header + b"body")) as http:
            result = self.quillon("get", "http://127.0.0.1:%d/a.txt" % http.port)
        self.assertFailed(result)
        self.assertIn("has a header of %d bytes, longer than the Downloader reads" % len(long_header), result.stderr)
        self.assertEqual(os.listdir(self.folder), [])

    def test_a_missing_folder_is_refused_before_the_download(self):
        write(self.path("file"), b"")
        with HttpServer(replying(HEADER + b"new")) as http:
            for output, text in (("no/such/a.txt", "the folder no/such does not exist"),
                                 ("file/a.txt", "the folder file is not a folder")):
                with self.subTest(output=output):
                    result = self.quillon("get", "http://127.0.0.1:%d/a.txt" % http.port, "-o", output)
                    self.assertFailed(result)
                    self.assertIn(text, result.stderr)
        self.assertEqual(http.requests, [])

    def test_failed_requests_give_the_downloaders_text_and_what_to_do(self):
        cases = [
            (["http://nowhere.test/x"], {}, ["Failed to resolve server IP address. (code 112)", self.dns.address]),
            (["http://127.0.0.1:%d/x" % closed_port()], {},
             ["Failed to connect to server. Error number:10061 (code 110)", "Is a web server listening"]),
            (["http://127.0.0.1/x"], {"QUILLON_NETWORK_STATE": "proxy"},
             ["Internet connection is via proxy server. (code 107)", "HTTPS_PROXY"]),
            (["http://127.0.0.1/x"], {"QUILLON_NETWORK_STATE": "offline"},
             ["No Internet connection active. (code 106)", "QUILLON_NETWORK_STATE=online"]),
        ]
        for args, env, texts in cases:
            with self.subTest(args=args, env=env):
                result = self.quillon("get", *args, env=env)
                self.assertFailed(result)
                for text in texts:
                    self.assertIn(text, result.stderr)
                self.assertEqual(result.stdout, "")
        self.assertEqual(os.listdir(self.folder), [])

    def test_a_reply_that_is_no_http_fails(self):
        with HttpServer(lambda server, conn: None) as http:
            result = self.quillon("get", "http://127.0.0.1:%d/a.txt" % http.port)
        self.assertFailed(result)
        self.assertIn("no HTTP status line", result.stderr)
        self.assertEqual(os.listdir(self.folder), [])

    def test_the_time_out_closes_the_connection(self):
        def stall(server, conn):
            conn.sendall(HEADER + b"part of it")
            server.await_peer_close(conn)

        with HttpServer(stall) as http:
            started = time.monotonic()
            result = self.quillon("get", "http://127.0.0.1:%d/a.txt" % http.port, "--timeout", "0.5")
            elapsed = time.monotonic() - started
            self.assertTrue(wait_for(http.peer_closed.is_set), "the connection was left open")
        self.assertFailed(result)
        self.assertLess(elapsed, WAIT)
        self.assertIn("within 0.5 s; the connection was closed", result.stderr)
        self.assertEqual(os.listdir(self.folder), [])

    def test_progress_is_plain_lines_when_not_a_terminal(self):
        parts = [bytes([65 + n]) * 1000 for n in range(4)]
        header = HEADER.replace(b"\r\n\r\n", b"\r\nContent-Length: 4000\r\n\r\n")
        with HttpServer(slow(parts, 0.7, header)) as http:
            result = self.quillon("get", "http://127.0.0.1:%d/a.bin" % http.port)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn("\r", result.stderr)
        self.assertNotIn("\x1b", result.stderr)
        lines = [line for line in result.stderr.splitlines() if line.startswith("received ")]
        # A line a second while it runs (about 2.8 s), and the summary.
        self.assertGreaterEqual(len(lines), 3, result.stderr)
        counts = []
        for line in lines:
            match = RECEIVED.match(line)
            self.assertIsNotNone(match, line)
            counts.append(int(match.group(1)))
            self.assertEqual(int(match.group(3)), int(match.group(1)) * 100 // 4000, line)
        self.assertEqual(counts, sorted(counts))
        self.assertEqual(counts[-1], 4000)
        self.assertEqual(read(self.path("a.bin")), b"".join(parts))

    def test_progress_is_a_bar_on_a_terminal(self):
        parts = [b"x" * 500, b"y" * 500]
        header = HEADER.replace(b"\r\n\r\n", b"\r\nContent-Length: 1000\r\n\r\n")
        master, slave = pty.openpty()
        with HttpServer(slow(parts, 0.4, header)) as http:
            process = subprocess.Popen([CLI, "get", "http://127.0.0.1:%d/a.bin" % http.port], cwd=self.folder,
                                       env=dict(os.environ, **self.env), stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=slave)
            os.close(slave)
            shown = b""
            deadline = time.monotonic() + 2 * WAIT
            while time.monotonic() < deadline:
                ready, _, _ = select.select([master], [], [], 0.1)
                if not ready:
                    if process.poll() is not None:
                        break
                    continue
                try:
                    chunk = os.read(master, 4096)
                except OSError:  # the child's end closed
                    break
                if not chunk:
                    break
                shown += chunk
            os.close(master)
            stdout, _ = process.communicate(timeout=WAIT)
        self.assertEqual(process.returncode, 0, shown)
        self.assertEqual(stdout, b"200 OK\nsaved a.bin (1000 bytes)\n")
        text = shown.decode()
        self.assertIn("\r[", text)
        bars = [part for part in text.split("\r") if part.startswith("[")]
        self.assertRegex(bars[-1], r"^\[#+\] 100%  1000 B of 1000 B  ")
        self.assertNotIn("received ", text)


class UsageTest(CliTestCase):
    VERBS = ["get", "host", "locate", "gzip", "gunzip", "typelib"]

    def test_every_verb_explains_itself(self):
        overview = self.quillon("--help")
        self.assertEqual(overview.returncode, 0)
        for verb in self.VERBS + ["serve"]:
            self.assertRegex(overview.stdout, r"\n  %s +\S" % verb)
        for verb in self.VERBS:
            with self.subTest(verb=verb):
                result = self.quillon(verb, "--help")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("Usage: quillon %s" % verb, result.stdout)
        self.assertRegex(self.quillon("--version").stdout, r"^quillon \d+\.\d+\.\d+\n$")

    def test_a_wrong_command_line_exits_2_and_says_where_to_look(self):
        cases = [
            (["get"], "quillon get: URL is required"),
            (["get", "https://127.0.0.1/x"], "only http:// URLs"),
            (["get", "http://127.0.0.1:99999/x"], "port must be a number from 1 to 65535"),
            (["get", "http://127.0.0.1/x", "--timeout", "-1"], "not a number of seconds greater than 0"),
            (["get", "http://127.0.0.1/x", "--timeout", "0"], "not a number of seconds greater than 0"),
            (["get", "http://127.0.0.1/x", "--timeout", "abc"], "not a number of seconds greater than 0"),
            (["host", "127.0.0.1", "--timeout", "70000"], "--timeout"),
            (["gzip", "only-one"], "DEST"),
            (["frobnicate"], "frobnicate"),
        ]
        for args, text in cases:
            with self.subTest(args=args):
                result = self.quillon(*args)
                self.assertFailed(result, 2)
                self.assertIn(text, result.stderr)
                self.assertEqual(result.stdout, "")
        bare = self.quillon()
        self.assertFailed(bare, 2)
        self.assertIn("Usage: quillon", bare.stderr)


class HostTest(CliTestCase):
    @classmethod
    def setUpClass(cls):
        cls.dns = PtrStub({"192.0.2.5": "host-5.example.test", "127.0.0.1": "localhost"}, silent=["192.0.2.9"])
        cls.env = {"QUILLON_DNS_SERVERS": cls.dns.address}

    @classmethod
    def tearDownClass(cls):
        cls.dns.close()

    def test_one_line_per_address_with_the_name_or_the_reason(self):
        started = time.monotonic()
        result = self.quillon("host", "192.0.2.5", "192.0.2.6", "192.0.2.9", "300.1.1.1", "127.0.0.1",
                              "--timeout", "500")
        self.assertLess(time.monotonic() - started, WAIT)
        self.assertFailed(result)
        self.assertEqual(result.stdout.splitlines(), [
            "192.0.2.5  host-5.example.test",
            "192.0.2.6  (no host name found)",
            "192.0.2.9  (no answer within 500 ms)",
            "300.1.1.1  (not an IPv4 address)",
            "127.0.0.1  localhost",
        ])

    def test_all_named_exits_0(self):
        result = self.quillon("host", "127.0.0.1", "192.0.2.5")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "127.0.0.1  localhost\n192.0.2.5  host-5.example.test\n")


class LocateTest(CliTestCase):
    def test_fields_from_the_sample_database(self):
        result = self.quillon("locate", "192.0.2.70")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "192.0.2.70")
        self.assertIn("  Country    United States (US)", lines)
        self.assertIn("  City       San Francisco", lines)
        self.assertIn("  Zip code   94105", lines)
        self.assertIn("  Area code  415", lines)

        # As the host verb does, text that is no address is told from an address not found.
        words = self.quillon("locate", "hello", "10.0.0.1")
        self.assertFailed(words)
        self.assertEqual(words.stdout, "hello  not an IPv4 address (write it dotted, as 192.0.2.70)\n"
                                       "10.0.0.1  not in the database\n")

    def test_json_has_every_location_property(self):
        result = self.quillon("locate", "198.51.100.5", "10.0.0.1", "--json")
        self.assertFailed(result)  # one address is not in the database
        places = json.loads(result.stdout)
        self.assertEqual([p["Address"] for p in places], ["198.51.100.5", "10.0.0.1"])
        paris = places[0]
        self.assertEqual((paris["Valid"], paris["City"], paris["CountryCode"], paris["Country"]),
                         (True, "Paris", "FR", "France"))
        self.assertEqual(set(paris), {"Address", "Valid", "Country", "CountryCode", "Region", "City", "ZipCode",
                                      "AreaCode"})
        self.assertEqual((places[1]["Valid"], places[1]["City"]), (False, ""))

    def test_another_database_by_path(self):
        os.mkdir(self.path("db"))
        shutil.copy(SAMPLE_DB, self.path("db", "GeoIPCity.dat"))
        found = self.quillon("locate", "203.0.113.70", "--db", "db/GeoIPCity.dat")
        self.assertEqual(found.returncode, 0, found.stderr)
        self.assertIn("  City       Tokyo", found.stdout.splitlines())

        shutil.copy(SAMPLE_DB, self.path("db", "cities.dat"))
        misnamed = self.quillon("locate", "203.0.113.70", "--db", "db/cities.dat")
        self.assertFailed(misnamed)
        self.assertIn("Database path invalid", misnamed.stderr)
        self.assertIn("must be named GEOIPCITY.DAT", misnamed.stderr)

        missing = self.quillon("locate", "203.0.113.70", "--db", "nowhere/GEOIPCITY.DAT")
        self.assertFailed(missing)
        self.assertIn("no city database at nowhere/GEOIPCITY.DAT", missing.stderr)


def with_stored_name(data, name):
    """A gzip file as Python writes it, with FNAME set to `name`."""
    return data[:3] + bytes([data[3] | 0x08]) + data[4:10] + name + b"\0" + data[10:]


class GzipTest(CliTestCase):
    def test_round_trip_keeps_the_name_and_time(self):
        write(self.path("notes.txt"), b"line\n" * 300)
        os.utime(self.path("notes.txt"), (1500000000, 1500000000))
        packed = self.quillon("gzip", "notes.txt", "n.gz")
        self.assertEqual(packed.returncode, 0, packed.stderr)
        self.assertEqual(packed.stdout, "n.gz\n")
        self.assertEqual(gzip.decompress(read(self.path("n.gz"))), b"line\n" * 300)
        self.assertEqual(read(self.path("n.gz"))[10:20], b"notes.txt\0")

        os.mkdir(self.path("out"))
        unpacked = self.quillon("gunzip", "n.gz", "out/other.txt")
        self.assertEqual(unpacked.returncode, 0, unpacked.stderr)
        self.assertEqual(unpacked.stdout, "out/notes.txt\n")
        self.assertEqual(os.listdir(self.path("out")), ["notes.txt"])
        self.assertEqual(os.stat(self.path("out", "notes.txt")).st_mtime, 1500000000)

        exact = self.quillon("gunzip", "n.gz", "out/exact.txt", "--override-name")
        self.assertEqual(exact.stdout, "out/exact.txt\n")
        self.assertEqual(read(self.path("out", "exact.txt")), b"line\n" * 300)

    def test_gunzip_prints_where_a_foreign_file_went(self):
        os.mkdir(self.path("out"))
        write(self.path("plain.gz"), gzip.compress(b"no name inside", mtime=0))
        plain = self.quillon("gunzip", "plain.gz", "out/chosen.txt")
        self.assertEqual((plain.returncode, plain.stdout), (0, "out/chosen.txt\n"))

        # A stored name never leads out of DEST's folder.
        write(self.path("sly.gz"), with_stored_name(gzip.compress(b"sly", mtime=0), b"../escaped.txt"))
        sly = self.quillon("gunzip", "sly.gz", "out/chosen.txt")
        self.assertEqual(sly.returncode, 0, sly.stderr)
        written = sly.stdout.strip()
        self.assertEqual(os.path.dirname(written), "out")
        self.assertEqual(read(self.path(written)), b"sly")
        self.assertFalse(os.path.exists(self.path("escaped.txt")))

    def test_gunzip_into_a_folder_names_the_file_and_keeps_what_exists(self):
        os.mkdir(self.path("out"))
        write(self.path("NEWS.gz"), gzip.compress(b"no name inside", mtime=0))
        write(self.path("named.gz"), with_stored_name(gzip.compress(b"named", mtime=0), b"inside.txt"))
        cases = [
            (["NEWS.gz", "out"], "out/NEWS", b"no name inside"),
            (["named.gz", "out/"], "out/inside.txt", b"named"),
            (["NEWS.gz", "."], "./NEWS", b"no name inside"),
        ]
        for args, written, content in cases:
            with self.subTest(args=args):
                result = self.quillon("gunzip", *args)
                self.assertEqual((result.returncode, result.stdout), (0, written + "\n"), result.stderr)
                self.assertEqual(read(self.path(written)), content)

                write(self.path(written), b"kept")
                refused = self.quillon("gunzip", *args)
                self.assertFailed(refused)
                self.assertIn("%s: File exists" % written, refused.stderr)
                self.assertIn("--force", refused.stderr)
                self.assertEqual(read(self.path(written)), b"kept")

                forced = self.quillon("gunzip", *args, "--force")
                self.assertEqual(forced.returncode, 0, forced.stderr)
                self.assertEqual(read(self.path(written)), content)

    def test_failures_name_the_error_and_write_nothing(self):
        write(self.path("empty"), b"")
        write(self.path("not.gz"), b"this is not gzip data")
        cases = [
            (["gzip", "missing.txt", "m.gz"], "cannot compress missing.txt into m.gz: File not found (code 53)"),
            (["gzip", "empty", "e.gz"], "cannot compress empty: the file is empty, and GZipFile refuses an empty"),
            (["gunzip", "not.gz", "x.txt"], "Is SRC a complete gzip file?"),
            (["gunzip", "missing.gz", "x.txt"], "cannot extract missing.gz: no such file"),
        ]
        for args, text in cases:
            with self.subTest(args=args):
                result = self.quillon(*args)
                self.assertFailed(result)
                self.assertIn(text, result.stderr)
                if "not.gz" not in args:
                    self.assertNotIn("Subscript", result.stderr)
                self.assertEqual(result.stdout, "")
        self.assertEqual(sorted(os.listdir(self.folder)), ["empty", "not.gz"])


class TypelibTest(CliTestCase):
    def test_the_table_lists_every_member_with_its_dispid_and_help(self):
        result = self.quillon("typelib")
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = {}
        for line in result.stdout.splitlines():
            match = re.match(r"^    (0x[0-9a-f]{8}|\d+) +(method|get|put|event) +(\w+)(.*?)(?:  +(\S.*))?$", line)
            if match:
                key = (match.group(3), match.group(2))
                rows.setdefault(key, []).append((int(match.group(1), 0), match.group(5) or ""))
        expected = DOWNLOADER + DOWNLOADER_EVENTS + IPINFO + IPINFO_EVENTS + LOCATION + FILEOPS
        for dispid, kind, name, _, help_text in expected:
            self.assertIn((dispid, help_text), rows.get((name, kind), []), name)
        self.assertIn("Location  {6570A3D2-5C1E-4634-B7C1-FA823F23748D}  (not creatable)", result.stdout)
        self.assertIn("ProgID Quillon.Downloader", result.stdout)
        self.assertRegex(result.stdout, r"put +Port = PortNumber ")
        self.assertRegex(result.stdout, r"GetLocationFromIP\(vIP\) -> Location ")

    def test_idl_carries_dispids_and_help_strings(self):
        result = self.quillon("typelib", "--idl")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.startswith("[\n    uuid(C21BB842-C850-45CF-9071-9F93A46F32FD)"))
        self.assertIn('[id(0x6003000a), helpstring("Contacts server and requests file. This is NOT the same as '
                      'reception of the file.")]\n        HRESULT RequestFile(', result.stdout)
        for coclass in ("Downloader", "IPInfo", "Location", "FileOps"):
            self.assertIn("coclass %s\n" % coclass, result.stdout)


class ServeTest(CliTestCase):
    def start(self, *args):
        socket_path = self.path("q.sock")
        process = subprocess.Popen([CLI, "serve", "--socket", socket_path, "--log", self.path("log"), *args],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

        def stop():
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(WAIT)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(WAIT)
            process.stderr.close()
        self.addCleanup(stop)
        self.assertTrue(wait_for(lambda: can_connect(socket_path) or process.poll() is not None))
        self.assertIsNone(process.poll(), "quillon serve exited")
        return process, socket_path, stop

    def test_clients_take_it_for_their_own_server(self):
        process, socket_path, stop = self.start()
        saved = {name: os.environ.get(name) for name in ("QUILLON_SOCKET", "QUILLON_SERVER")}
        os.environ.update(QUILLON_SOCKET=socket_path, QUILLON_SERVER=SERVER)
        try:
            fo = quillon.Dispatch("Quillon.FileOps")
            fo.StoreString("a", "hello")
            self.assertEqual(fo.GetStoreSize("a"), 5)
            # A client replaces a server of another build than the one it would start.
            self.assertEqual(quillon._client.current_connection().info["buildId"], quillon._client.build_id(SERVER))
        finally:
            quillon.shutdown()
            for name, value in saved.items():
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value
        self.assertIsNone(process.poll(), "the client stopped the server")
        stop()
        self.assertIsNotNone(process.returncode)

    def test_the_servers_own_options(self):
        help_text = self.quillon("serve", "--help")
        self.assertEqual(help_text.returncode, 0, help_text.stderr)
        self.assertIn("Usage: quillon serve", help_text.stdout)
        self.assertIn("--socket", help_text.stdout)
        self.assertNotEqual(self.quillon("serve", "--no-such-option").returncode, 0)


if __name__ == "__main__":
    unittest.main()

"""Only the server's own user gets in: folder and socket modes, and the peer's uid."""

import os
import shutil
import stat
import struct
import subprocess
import tempfile
import textwrap
import unittest
import zlib

import quillon
from http_support import HttpServer, replying
from support import SERVER, WAIT, Server, run_script, wait_for

NOBODY = 65534
CONNECT = textwrap.dedent("""
    import socket, sys
    s = socket.socket(socket.AF_UNIX)
    try:
        s.connect(sys.argv[1])
    except OSError as error:
        print("refused at connect:", error.errno)
        sys.exit()
    s.settimeout(10)
    print("closed by the server" if s.recv(1) == b"" else "served")
""")


def mode(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


class PermissionsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(SERVER)

    @classmethod
    def tearDownClass(cls):
        cls.server.remove()

    def test_folder_socket_and_lock_are_private(self):
        self.assertEqual(mode(self.server.folder), 0o700)
        self.assertEqual(mode(self.server.socket), 0o600)
        self.assertEqual(mode(self.server.socket + ".lock"), 0o600)

    def run_as_nobody(self, *extra):
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("needs root and setpriv to run a client as another user")
        command = ["setpriv", "--reuid", str(NOBODY), "--regid", str(NOBODY), "--clear-groups", *extra,
                   "python3", "-c", CONNECT, self.server.socket]
        return subprocess.run(command, capture_output=True, text=True, timeout=WAIT)

    def test_another_user_cannot_reach_the_socket(self):
        done = self.run_as_nobody()
        self.assertEqual(done.stdout.strip(), "refused at connect: 13", done.stderr)

    def test_another_user_past_the_folder_is_refused_by_uid(self):
        # Permission checks waived, the uid is what is left to stop it.
        done = self.run_as_nobody("--inh-caps", "+dac_override", "--ambient-caps", "+dac_override")
        self.assertEqual(done.stdout.strip(), "closed by the server", done.stderr)
        self.assertTrue(wait_for(lambda: "refused a connection from uid %d" % NOBODY in self.server.log_text()))


class FolderChecksTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-perm-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.socket = os.path.join(self.folder, "q.sock")

    def test_the_server_refuses_a_folder_others_can_enter_or_write(self):
        # 1777 is what /tmp itself is: anyone may plant a file there.
        for folder_mode in (0o755, 0o1777, 0o770, 0o703):
            with self.subTest(mode=oct(folder_mode)):
                os.chmod(self.folder, folder_mode)
                done = subprocess.run([SERVER, "--socket", self.socket], capture_output=True, text=True,
                                      timeout=WAIT)
                self.assertEqual(done.returncode, 1)
                self.assertIn("refusing the socket folder " + self.folder, done.stderr)
                self.assertEqual(stat.S_IMODE(os.lstat(self.folder).st_mode), folder_mode)  # refused, not repaired
                self.assertEqual(os.listdir(self.folder), [])

    def test_the_client_checks_the_folder_before_it_sends_anything(self):
        server = Server(SERVER, folder=self.folder)
        self.addCleanup(server.stop)
        os.chmod(self.folder, 0o750)
        script = "import quillon\ntry:\n quillon.Dispatch('Quillon.FileOps')\n" \
                 "except quillon.com_error as e:\n print(hex(e.hresult & 0xFFFFFFFF), e.strerror)"
        done = run_script(script, {"QUILLON_SOCKET": server.socket, "QUILLON_SERVER": SERVER})
        self.assertIn("0x80070005 refusing the socket folder", done.stdout, done.stderr)
        os.chmod(self.folder, 0o700)
        # One connection only: the one that checked the server was up.
        self.assertEqual(server.log_text().count("closed by the client"), 1)


FAKE_SERVER = textwrap.dedent("""
    import os, socket, sys
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(sys.argv[1])
    os.chmod(sys.argv[1], 0o777)
    listener.listen(4)
    print("listening", flush=True)
    listener.settimeout(10)
    try:
        conn, _ = listener.accept()
    except socket.timeout:
        print("no connection")
        sys.exit()
    conn.settimeout(2)
    try:
        data = conn.recv(4096)
    except socket.timeout:
        data = b""
    print("received %d bytes" % len(data))
""")


class PlantedServerTest(unittest.TestCase):
    """Another user plants a server where ours would be: the client sends it nothing."""

    def setUp(self):
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("needs root and setpriv to run a fake server as another user")
        self.folder = tempfile.mkdtemp(prefix="quillon-planted-", dir="/tmp")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.socket = os.path.join(self.folder, "quillon.sock")

    def plant(self, *caps):
        fake = subprocess.Popen(["setpriv", "--reuid", str(NOBODY), "--regid", str(NOBODY), "--clear-groups", *caps,
                                 "python3", "-c", FAKE_SERVER, self.socket],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(fake.kill)
        self.assertEqual(fake.stdout.readline().strip(), "listening", fake.stderr.read() if fake.poll() else "")
        return fake

    def dispatch(self):
        script = "import quillon\ntry:\n quillon.Dispatch('Quillon.FileOps')\n print('connected')\n" \
                 "except quillon.com_error as e:\n print(hex(e.hresult & 0xFFFFFFFF), e.strerror)"
        return run_script(script, {"QUILLON_SOCKET": self.socket, "QUILLON_SERVER": SERVER}).stdout.strip()

    def test_a_folder_of_another_user_is_refused_before_connecting(self):
        os.chown(self.folder, NOBODY, NOBODY)
        fake = self.plant()
        answer = self.dispatch()
        self.assertTrue(answer.startswith("0x80070005 refusing the socket folder " + self.folder), answer)
        self.assertIn("belongs to uid %d" % NOBODY, answer)
        fake.kill()
        out, _ = fake.communicate(timeout=WAIT)
        self.assertNotIn("received", out)  # not even a connection

    def test_a_server_of_another_user_in_our_own_folder_is_refused_unspoken_to(self):
        # The folder is ours (0700); the planter needs to be past its mode, as only root could be.
        fake = self.plant("--inh-caps", "+dac_override", "--ambient-caps", "+dac_override")
        answer = self.dispatch()
        self.assertEqual(answer, "0x80070005 the server on %s runs as uid %d, not as this user"
                         % (self.socket, NOBODY))
        out, _ = fake.communicate(timeout=WAIT)
        self.assertIn("received 0 bytes", out)


class WhereFilesLandTest(unittest.TestCase):
    """A client's paths are used as given; the bytes of a downloaded or decompressed file
    never choose where the server writes."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="quillon-land-")
        os.environ["QUILLON_NETWORK_STATE"] = "online"
        try:
            cls.server = Server(SERVER)
        finally:
            os.environ.pop("QUILLON_NETWORK_STATE", None)
        os.environ["QUILLON_SOCKET"] = cls.server.socket
        os.environ["QUILLON_SERVER"] = SERVER

    @classmethod
    def tearDownClass(cls):
        quillon.shutdown()
        os.environ.pop("QUILLON_SOCKET", None)
        cls.server.remove()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def snapshot(self):
        """Every path under the test's folder and the server's, and the outside names the
        hostile bytes aim at."""
        seen = set()
        for top in (self.folder, self.server.folder):
            for where, folders, files in os.walk(top):
                seen.update(os.path.join(where, name) for name in folders + files)
        for aimed in ("escaped.txt", "absolute.txt", "win.txt", "planted.txt", "deep.txt"):
            for folder in ("/tmp", os.path.dirname(self.folder), os.getcwd()):
                if os.path.exists(os.path.join(folder, aimed)):
                    seen.add(os.path.join(folder, aimed))
        return seen

    def test_stored_names_that_point_elsewhere_land_in_the_given_folder(self):
        fo = quillon.Dispatch("Quillon.FileOps")
        inner = os.path.join(self.folder, "inner")
        os.mkdir(inner)
        for index, stored in enumerate((b"../../escaped.txt", b"/tmp/absolute.txt", b"..\\..\\win.txt", b"..",
                                        b"sub/dir/deep.txt")):
            with self.subTest(stored=stored):
                source = os.path.join(self.folder, "hostile%d.gz" % index)
                with open(source, "wb") as out:
                    out.write(gzip_named(stored, b"payload %d" % index))
                before = self.snapshot()
                result = quillon.Ref(os.path.join(inner, "given.out"))
                self.assertEqual(fo.GUnZipFile(source, result, False), 0, fo.ErrorString)
                self.assertEqual(os.path.dirname(result.value), inner)
                self.assertEqual(self.snapshot() - {result.value}, before)
                with open(result.value, "rb") as landed:
                    self.assertEqual(landed.read(), b"payload %d" % index)
                os.remove(result.value)
        self.assertEqual(os.listdir(inner), [])

    def test_a_reply_that_names_files_writes_nothing_by_itself(self):
        reply = (b"HTTP/1.0 302 Found\r\nLocation: file:///tmp/planted.txt\r\n"
                 b"Content-Disposition: attachment; filename=\"../../planted.txt\"\r\n\r\nbody")
        d = quillon.Dispatch("Quillon.Downloader")
        before = self.snapshot()
        with HttpServer(replying(reply)) as http:
            d.Port = http.port
            self.assertEqual(d.RequestFile("127.0.0.1", "/x"), 0)
            self.assertTrue(wait_for(lambda: not d.Busy))
        self.assertEqual(self.snapshot(), before)
        target = os.path.join(self.folder, "chosen.bin")
        self.assertEqual(d.WriteBinaryFile(target, False), 0)
        self.assertEqual(self.snapshot(), before | {target})


def gzip_named(stored, content):
    deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
    body = deflate.compress(content) + deflate.flush()
    return (b"\x1f\x8b\x08\x08" + struct.pack("<I", 1000000000) + b"\x00\xff" + stored + b"\x00" + body
            + struct.pack("<II", zlib.crc32(content), len(content)))


if __name__ == "__main__":
    unittest.main()

"""Only the server's own user gets in: folder and socket modes, and the peer's uid."""

import gzip
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
from support import SERVER, WAIT, OnlineServerTestCase, Server, run_script, wait_for

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


class WhereFilesLandTest(OnlineServerTestCase):
    """A client's paths are used as given; the bytes of a downloaded or decompressed file
    never choose where the server writes."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="quillon-land-")
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
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


class SavesTest(OnlineServerTestCase):
    """Every save (WriteBinaryFile, WriteTextFile, GZipFile, GUnZipFile) in a shared sticky
    folder, where another user may plant links, and over files whose mode and owner the
    replacement keeps."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            raise unittest.SkipTest("needs root and setpriv to plant links as another user")
        super().setUpClass()
        cls.d = quillon.Dispatch("Quillon.Downloader")
        with HttpServer(replying(b"HTTP/1.0 200 OK\r\n\r\nnew\n")) as http:
            cls.d.Port = http.port
            assert cls.d.RequestFile("127.0.0.1", "/new") == 0
            assert wait_for(lambda: not cls.d.Busy)
        cls.fo = quillon.Dispatch("Quillon.FileOps")

    def setUp(self):
        self.private = self.folder(0o700)
        self.shared = self.folder(0o1777)  # what /tmp is
        self.secret = os.path.join(self.private, "secret")
        with open(self.secret, "wb") as secret:
            secret.write(b"secret")
        os.chmod(self.secret, 0o600)
        self.source = os.path.join(self.private, "new.txt")
        with open(self.source, "wb") as source:
            source.write(b"new\n")
        self.archive = self.source + ".gz"
        with open(self.archive, "wb") as archive:
            archive.write(gzip.compress(b"new\n"))
        self.saves = {
            "WriteBinaryFile": lambda path: self.d.WriteBinaryFile(path, True),
            "WriteTextFile": lambda path: self.d.WriteTextFile(path, True),
            "GZipFile": lambda path: self.fo.GZipFile(self.source, path),
            "GUnZipFile": lambda path: self.fo.GUnZipFile(self.archive, quillon.Ref(path), True),
        }

    def folder(self, folder_mode, owner=0):
        folder = tempfile.mkdtemp(prefix="quillon-saves-")
        self.addCleanup(shutil.rmtree, folder, True)
        os.chown(folder, owner, owner)
        os.chmod(folder, folder_mode)
        return folder

    def plant(self, target, link):
        subprocess.run(["setpriv", "--reuid", str(NOBODY), "--regid", str(NOBODY), "--clear-groups",
                        "ln", "-s", target, link], check=True, capture_output=True, timeout=WAIT)
        self.assertEqual(os.lstat(link).st_uid, NOBODY)

    def test_a_link_another_user_planted_in_a_shared_folder_redirects_no_save(self):
        for name, target in (("to_secret", self.secret), ("dangling", os.path.join(self.private, "created")),
                             ("to_folder", self.private)):
            self.plant(target, os.path.join(self.shared, name))
        before = snapshot(self.private, self.shared)
        for save_name, save in self.saves.items():
            for path in ("to_secret", "dangling", "to_folder/secret", "to_folder/new"):
                with self.subTest(save=save_name, path=path):
                    self.assertEqual(save(os.path.join(self.shared, path)), 75)
        self.assertEqual(self.fo.ErrorString, "Path/File access error")
        # "Never overwrite" looks at the path itself: a dangling link is something there.
        self.assertEqual(self.d.WriteBinaryFile(os.path.join(self.shared, "dangling"), False), 1)
        self.assertEqual(self.d.ErrorString, "File exists")
        self.assertEqual(snapshot(self.private, self.shared), before)

        # Followed: a link of our own, one planted in the planter's own sticky folder, and one
        # in a folder that is world-writable but not sticky.
        links = [os.path.join(self.shared, "ours"), os.path.join(self.folder(0o1777, NOBODY), "theirs"),
                 os.path.join(self.folder(0o777), "unsticky")]
        os.symlink(os.path.join(self.private, "ours"), links[0])
        for link in links[1:]:
            self.plant(os.path.join(self.private, os.path.basename(link)), link)
        for save_name, save in self.saves.items():
            for link in links:
                with self.subTest(save=save_name, link=link):
                    self.assertEqual(save(link), 0)
                    self.assertTrue(os.path.islink(link))
                    self.assertTrue(os.path.isfile(os.path.join(self.private, os.path.basename(link))))

    def test_a_replaced_file_keeps_its_mode_and_owner(self):
        path = os.path.join(self.private, "kept")
        for save_name, save in self.saves.items():
            for kept_mode, owner in ((0o600, 0), (0o640, NOBODY)):
                with self.subTest(save=save_name, mode=oct(kept_mode)):
                    with open(path, "wb") as old:
                        old.write(b"old")
                    os.chmod(path, kept_mode)
                    os.chown(path, owner, owner)
                    self.assertEqual(save(path), 0)
                    info = os.lstat(path)
                    self.assertEqual((stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid), (kept_mode, owner, owner))
                    with open(path, "rb") as new:
                        self.assertNotEqual(new.read(), b"old")


def snapshot(*folders):
    """Every path under the folders: its mode, owner, and content or link target."""
    seen = {}
    for top in folders:
        for where, folder_names, file_names in os.walk(top):
            for name in folder_names + file_names:
                path = os.path.join(where, name)
                info = os.lstat(path)
                if stat.S_ISLNK(info.st_mode):
                    body = os.readlink(path)
                elif stat.S_ISREG(info.st_mode):
                    with open(path, "rb") as content:
                        body = content.read()
                else:
                    body = None
                seen[path] = (stat.S_IMODE(info.st_mode), info.st_uid, body)
    return seen


def gzip_named(stored, content):
    deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
    body = deflate.compress(content) + deflate.flush()
    return (b"\x1f\x8b\x08\x08" + struct.pack("<I", 1000000000) + b"\x00\xff" + stored + b"\x00" + body
            + struct.pack("<II", zlib.crc32(content), len(content)))


if __name__ == "__main__":
    unittest.main()

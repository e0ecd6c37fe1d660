"""A full disk and a read-only folder under every save: downloads, gzip output, extraction
and the current file. The server runs in a mount namespace the test makes, with a small
tmpfs and a read-only bind mount that only it sees (root ignores file modes, so modes
alone would prove nothing here). Failures return the documented codes, leave no partial
or temporary file, and leave an existing file as it was."""

import gzip
import os
import shutil
import subprocess
import tempfile
import unittest

import quillon
from http_support import HttpServer, replying
from support import SERVER, WAIT, Server, restore_env, set_env

HEADER = b"HTTP/1.0 200 OK\r\nServer: quillon test fixture\r\nContent-Type: text/plain\r\n\r\n"
TMPFS_KIB = 256
OLD = b"the old content"


def namespaces_usable():
    if os.geteuid() != 0:
        return "needs root to make a mount namespace with its own mounts"
    for tool in ("unshare", "nsenter", "mount"):
        if shutil.which(tool) is None:
            return "needs %s (util-linux)" % tool
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "--", "mount", "-t", "tmpfs",
                            "-o", "size=64k", "tmpfs", "/mnt"], capture_output=True, text=True, timeout=WAIT)
    if probe.returncode != 0:
        return "cannot mount in a new mount namespace here: " + probe.stderr.strip()
    return None


SKIP = namespaces_usable()


@unittest.skipIf(SKIP, SKIP)
class FullAndReadOnlyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="quillon-disk-")
        cls.full = os.path.join(cls.folder, "full")
        cls.ro = os.path.join(cls.folder, "ro")
        cls.run_dir = os.path.join(cls.folder, "run")
        for folder in (cls.full, cls.ro, cls.run_dir):
            os.mkdir(folder, 0o700)
        # Files the server will be asked to replace, made before the read-only mount.
        for name in ("old.bin", "old.txt", "old.gz", "old.out"):
            with open(os.path.join(cls.ro, name), "wb") as old:
                old.write(OLD)
        cls.source = os.path.join(cls.folder, "noise.bin")
        with open(cls.source, "wb") as noise:
            noise.write(os.urandom(1 << 20))  # a megabyte that does not compress
        cls.archive = os.path.join(cls.folder, "noise.gz")
        with open(cls.archive, "wb") as archive:
            archive.write(gzip.compress(os.urandom(1 << 20)))
        # sh -c SETUP sh FULL RO SERVER ARGS...: the mounts, then the server in their place.
        setup = ('mount -t tmpfs -o size=%dk,mode=0700 tmpfs "$1" && mount --bind "$2" "$2" && '
                 'mount -o remount,bind,ro "$2" && shift 2 && exec "$@"' % TMPFS_KIB)
        cls.saved_env = set_env(QUILLON_NETWORK_STATE="online")
        cls.server = Server(SERVER, folder=cls.run_dir,
                            wrap=("unshare", "--mount", "--propagation", "private", "--", "sh", "-c", setup,
                                  "sh", cls.full, cls.ro))
        os.environ["QUILLON_SOCKET"] = cls.server.socket
        os.environ["QUILLON_SERVER"] = SERVER

    @classmethod
    def tearDownClass(cls):
        quillon.shutdown()
        os.environ.pop("QUILLON_SOCKET", None)
        restore_env(cls.saved_env)
        cls.server.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def inside(self, *command):
        """Runs a command in the server's mount namespace, where the tmpfs is."""
        return subprocess.run(["nsenter", "--target", str(self.server.process.pid), "--mount", "--", *command],
                              capture_output=True, timeout=WAIT, check=True).stdout

    def listing(self, folder):
        return sorted(self.inside("ls", "-A", folder).decode().split())

    def content(self, path):
        return self.inside("cat", path)

    def setUp(self):
        # Each test starts with an empty tmpfs holding one old file to be replaced.
        self.inside("sh", "-c", 'rm -rf "$0"/* "$0"/.[!.]*; printf "%s" "$1" > "$0/old.bin"; '
                                'cp "$0/old.bin" "$0/old.gz"; cp "$0/old.bin" "$0/old.out"',
                    self.full, OLD.decode())
        self.fo = quillon.Dispatch("Quillon.FileOps")

    def assertUntouched(self, folder):
        expected = ["old.bin", "old.gz", "old.out"] if folder == self.full else ["old.bin", "old.gz", "old.out",
                                                                                 "old.txt"]
        self.assertEqual(self.listing(folder), expected)
        for name in expected:
            self.assertEqual(self.content(os.path.join(folder, name)), OLD, name)

    def download(self, size):
        d = quillon.Dispatch("Quillon.Downloader")
        seen = []

        class Done:
            def OnDownloadFinish(self, code, text):  # noqa: N802
                seen.append(code)

        quillon.WithEvents(d, Done)
        with HttpServer(replying(HEADER + b"d" * size)) as http:
            d.Port = http.port
            self.assertEqual(d.RequestFile("127.0.0.1", "/big"), 0)
            self.assertTrue(quillon.PumpWaitingMessages(WAIT, until=lambda: seen))
        self.assertEqual(seen, [200])
        self.assertEqual(d.CurSize, size)
        return d

    def test_downloads_saved_to_a_full_disk_or_a_read_only_folder(self):
        d = self.download(1 << 20)
        for folder, code, text in ((self.full, 61, "Disk full"), (self.ro, 75, "Path/File access error")):
            for save in ("WriteBinaryFile", "WriteTextFile"):
                with self.subTest(folder=os.path.basename(folder), save=save):
                    self.assertEqual(getattr(d, save)(os.path.join(folder, "new.bin"), False), code)
                    self.assertEqual(d.ErrorString, text)
                    self.assertEqual(getattr(d, save)(os.path.join(folder, "old.bin"), True), code)
                    self.assertUntouched(folder)
        # Room enough, and the same object saves.
        small = self.download(1000)
        self.assertEqual(small.WriteBinaryFile(os.path.join(self.full, "small.bin"), False), 0)
        self.assertEqual(self.content(os.path.join(self.full, "small.bin")), b"d" * 1000)

    def test_gzip_output_to_a_full_disk_or_a_read_only_folder(self):
        fo = self.fo
        for folder, code, text in ((self.full, 2, "zlib error: Failed writing compressed data to file."),
                                   (self.ro, 1, "zlib error: Unable to open destination file.")):
            with self.subTest(folder=os.path.basename(folder)):
                for name in ("new.gz", "old.gz"):
                    self.assertEqual(fo.GZipFile(self.source, os.path.join(folder, name)), code)
                    self.assertEqual(fo.ErrorString, text)
                self.assertUntouched(folder)

    def test_extraction_to_a_full_disk_or_a_read_only_folder(self):
        fo = self.fo
        for folder, code in ((self.full, 61), (self.ro, 75)):
            for name in ("new.out", "old.out"):
                with self.subTest(folder=os.path.basename(folder), name=name):
                    self.assertEqual(fo.GUnZipFile(self.archive, quillon.Ref(os.path.join(folder, name)), True), code)
                    self.assertUntouched(folder)

    def test_the_current_file_reports_a_full_disk_and_a_read_only_file(self):
        fo = self.fo
        self.assertEqual(fo.OpenFile(os.path.join(self.full, "grow.bin")), 0)
        self.assertEqual(fo.StoreBytes("big", os.urandom(TMPFS_KIB * 1024 * 2)), 0)
        self.assertEqual(fo.FileWrite(0, "big"), 61)
        self.assertEqual(fo.ErrorString, "Disk full")
        fo.CloseFile()
        self.assertEqual(fo.OpenFile(os.path.join(self.ro, "old.bin")), 75)
        fo.DeleteFile(os.path.join(self.ro, "old.bin"))
        self.assertUntouched(self.ro)


if __name__ == "__main__":
    unittest.main()

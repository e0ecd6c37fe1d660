"""Only the server's own user gets in: folder and socket modes, and the peer's uid."""

import os
import shutil
import stat
import subprocess
import tempfile
import textwrap
import unittest

import quillon
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

    def test_the_server_refuses_a_folder_others_can_enter(self):
        os.chmod(self.folder, 0o755)
        done = subprocess.run([SERVER, "--socket", self.socket], capture_output=True, text=True, timeout=WAIT)
        self.assertEqual(done.returncode, 1)
        self.assertIn("refusing the socket folder " + self.folder, done.stderr)
        self.assertEqual(mode(self.folder), 0o755)  # refused, not repaired

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


if __name__ == "__main__":
    unittest.main()

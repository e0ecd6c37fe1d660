"""The server's life: one per socket, auto-start, idle exit, shutdown, clients that come and go."""

import os
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import quillon
from http_support import StubDns
from support import (CLIENT_PATH, SERVER, TEST_SERVER, WAIT, RawClient, Server, ServerTestCase, can_connect,
                     line_count, run_script, sanitized, sanitizer_reports, wait_for)


class OneServerPerSocketTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-life-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.socket = os.path.join(self.folder, "q.sock")

    def test_a_second_server_on_the_same_socket_is_refused_at_once(self):
        first = Server(SERVER, folder=self.folder)
        self.addCleanup(first.stop)
        second = subprocess.run([SERVER, "--socket", first.socket], capture_output=True, text=True, timeout=WAIT)
        self.assertNotEqual(second.returncode, 0)
        self.assertIn("already serves " + first.socket, second.stderr)
        self.assertIn("pid %d" % first.process.pid, second.stderr)
        client = RawClient(first.socket)
        self.assertEqual(client.initialize()["pid"], first.process.pid)
        client.close()

    def test_a_stale_socket_is_replaced_and_the_socket_goes_with_the_server(self):
        with socket.socket(socket.AF_UNIX) as dead:
            dead.bind(self.socket)  # left behind, nobody listening
        self.assertFalse(can_connect(self.socket))
        server = Server(SERVER, folder=self.folder)
        self.assertTrue(can_connect(server.socket))
        self.assertEqual(server.stop(), 0)
        self.assertFalse(os.path.exists(self.socket))

    def test_exit_is_honoured_only_for_the_sole_client(self):
        server = Server(SERVER, folder=self.folder)
        self.addCleanup(server.stop)
        first, second = RawClient(server.socket), RawClient(server.socket)
        self.addCleanup(first.close)
        first.initialize()
        second.initialize()
        self.assertEqual(first.call("exit")["error"]["data"]["hresult"], quillon.RPC_E_CALL_REJECTED)
        second.close()
        # Accepted once the server has seen the other client go.
        self.assertTrue(wait_for(lambda: "result" in first.call("exit")))
        self.assertEqual(server.process.wait(WAIT), 0)

    def test_sigterm_ends_every_object_and_removes_the_socket(self):
        server = Server(TEST_SERVER, folder=self.folder)
        marks = os.path.join(self.folder, "ended")
        client = RawClient(server.socket)
        client.initialize()
        for _ in range(3):
            handle = client.call("create", progid="Quillon.EventProbe")["result"]["handle"]
            client.call("invoke", object=handle, member="MarkOnEnd", args=[marks])
            client.call("advise", object=handle)
        self.assertEqual(server.stop(signal.SIGTERM), 0)
        self.assertEqual(line_count(marks), 3)
        self.assertFalse(os.path.exists(server.socket))
        self.assertIn("shutting down: SIGTERM", server.log_text())
        self.assertIsNone(client.receive())  # no event on the way out, just the end
        client.close()


    def test_shutdown_ends_clients_that_wait_on_the_network_at_once(self):
        silent = StubDns(silent=True)
        self.addCleanup(silent.close)
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        fillers = [socket.socket() for _ in range(8)]  # the accept queue is full: connects hang
        for filler in fillers:
            filler.setblocking(False)
            filler.connect_ex(listener.getsockname())
        self.addCleanup(lambda: [sock.close() for sock in fillers + [listener]])
        server = Server(SERVER, folder=self.folder)
        waiting = []
        for target in ("quiet.test", "127.0.0.1"):
            script = textwrap.dedent("""
                import sys, quillon
                d = quillon.Dispatch("Quillon.Downloader")
                d.Port = int(sys.argv[2])
                print("calling", flush=True)
                try:
                    print(d.RequestFile(sys.argv[1], "/a"), flush=True)
                except quillon.com_error as error:
                    print(hex(error.hresult & 0xFFFFFFFF), flush=True)
            """)
            client = subprocess.Popen([sys.executable, "-c", script, target, str(listener.getsockname()[1])],
                                      env=dict(os.environ, PYTHONPATH=CLIENT_PATH, QUILLON_SOCKET=server.socket,
                                               QUILLON_SERVER=SERVER, QUILLON_DNS_SERVERS=silent.address,
                                               QUILLON_NETWORK_STATE="online"), stdout=subprocess.PIPE, text=True)
            self.addCleanup(lambda c=client: c.poll() is None and c.kill())
            self.assertEqual(client.stdout.readline().strip(), "calling")
            waiting.append(client)
        self.assertTrue(wait_for(lambda: silent.queries > 0))
        time.sleep(0.3)  # both calls are inside their waits now
        started = time.monotonic()
        self.assertEqual(server.stop(signal.SIGTERM), 0)
        took = time.monotonic() - started
        self.assertLess(took, 6.0 if sanitized(SERVER) else 2.0, "shutdown took %.2f s" % took)
        for client, given_up in zip(waiting, ("112", "110")):
            # The wait gives up (and its answer may still go out), or the call ends with the
            # connection: RPC_S_SERVER_UNAVAILABLE or RPC_E_DISCONNECTED.
            self.assertIn(client.communicate(timeout=WAIT)[0].strip(), (given_up, "0x800706ba", "0x80010108"))


class AutoStartTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-auto-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.socket = os.path.join(self.folder, "run", "q.sock")  # the client makes the folder
        self.env = {"QUILLON_SOCKET": self.socket, "QUILLON_SERVER": SERVER, "QUILLON_IDLE_EXIT": "1"}

    def tearDown(self):
        # Whatever was started goes by itself once idle; do not leave it behind.
        wait_for(lambda: not os.path.exists(self.socket))

    def test_a_client_starts_a_server_that_leaves_once_idle(self):
        script = "import quillon; print(quillon.Dispatch('Quillon.FileOps').StoreString('a', 'b'))"
        done = run_script(script, self.env)  # would hang if the server kept our streams
        self.assertEqual((done.returncode, done.stdout.strip()), (0, "0"), done.stderr)
        self.assertEqual(os.stat(os.path.dirname(self.socket)).st_mode & 0o777, 0o700)
        log = self.socket + ".log"
        self.assertTrue(os.path.exists(log))
        self.assertTrue(wait_for(lambda: not os.path.exists(self.socket)))
        with open(log, encoding="utf-8") as text:
            self.assertIn("nobody connected for 1 s", text.read())

    def test_clients_starting_at_once_share_one_server(self):
        script = "import quillon; print(quillon.Dispatch('Quillon.FileOps').StoreString('a', 'b'))"
        env = dict(os.environ, PYTHONPATH=CLIENT_PATH, **self.env)
        racers = [subprocess.Popen([sys.executable, "-c", script], env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True) for _ in range(4)]
        for racer in racers:
            out, err = racer.communicate(timeout=WAIT * 2)
            self.assertEqual((racer.returncode, out.strip()), (0, "0"), err)
        with open(self.socket + ".log", encoding="utf-8") as text:
            self.assertEqual(text.read().count("listening on"), 1)

    def test_a_server_of_another_build_is_replaced_only_when_nobody_uses_it(self):
        os.mkdir(os.path.dirname(self.socket), 0o700)
        other = Server(TEST_SERVER, folder=os.path.dirname(self.socket))
        script = textwrap.dedent("""
            import quillon
            print(sorted(c["name"] for c in quillon.typelib()["classes"]))
        """)
        holder = RawClient(other.socket)
        holder.initialize()
        refused = run_script(script, self.env)
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn("another build", refused.stderr)
        self.assertIn(self.socket, refused.stderr)
        holder.close()

        replaced = run_script(script, self.env)
        self.assertEqual(replaced.returncode, 0, replaced.stderr)
        self.assertNotIn("EventProbe", replaced.stdout)
        self.assertEqual(other.process.wait(WAIT), 0)
        other.stop()


class ClientsComeAndGoTest(ServerTestCase):
    binary = TEST_SERVER
    server_args = ("--event-timeout", "5")

    def test_twenty_clients_at_once(self):
        script = textwrap.dedent("""
            import os, quillon
            n = int(os.environ["CLIENT"])
            fo = quillon.Dispatch("Quillon.FileOps")
            text = ("client %d;" % n) * 200
            fo.StoreString("s", text)
            for i in range(20):
                fo.StoreString("t%d" % i, str(i))
            out = quillon.Ref()
            fo.GetBytes("s", 1, fo.GetStoreSize("s"), out)
            assert bytes(out.value).decode() == text
            print(n)
        """)
        env = dict(os.environ, PYTHONPATH=CLIENT_PATH)
        clients = [subprocess.Popen([sys.executable, "-c", script], env=dict(env, CLIENT=str(n)),
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for n in range(20)]
        for n, client in enumerate(clients):
            out, err = client.communicate(timeout=WAIT * 3)
            self.assertEqual((client.returncode, out.strip()), (0, str(n)), err)

    def test_a_client_killed_in_the_middle_loses_its_objects_and_the_others_go_on(self):
        marks = os.path.join(self.server.folder, "killed")
        script = textwrap.dedent("""
            import sys, time, quillon
            probes = [quillon.Dispatch("Quillon.EventProbe") for _ in range(3)]
            for probe in probes:
                probe.MarkOnEnd(sys.argv[1])
            class Stuck:
                def OnValue(self, value):
                    print("in the handler", flush=True)
                    time.sleep(60)
            quillon.WithEvents(probes[0], Stuck)
            probes[0].Raise(1)
        """)
        mine = quillon.Dispatch("Quillon.EventProbe")
        victim = subprocess.Popen([sys.executable, "-c", script, marks], env=dict(os.environ, PYTHONPATH=CLIENT_PATH),
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            ready, _, _ = select.select([victim.stdout], [], [], WAIT)
            self.assertTrue(ready and victim.stdout.readline().startswith(b"in the handler"))
            victim.kill()
        finally:
            victim.wait(WAIT)
            victim.stdout.close()
        self.assertTrue(wait_for(lambda: line_count(marks) == 3))
        self.assertEqual(mine.Echo("still served"), "still served")
        self.assertEqual(mine.Live, 1)

    def test_a_forked_child_never_speaks_on_its_parents_connection(self):
        script = textwrap.dedent("""
            import os, quillon
            probe = quillon.Dispatch("Quillon.EventProbe")
            probe.Echo("warm")
            pid = os.fork()
            if pid == 0:
                try:
                    probe.Echo("from the child")
                    os._exit(3)
                except quillon.com_error as error:
                    inherited = error.hresult == quillon.RPC_E_DISCONNECTED
                mine = quillon.Dispatch("Quillon.EventProbe")
                os._exit(0 if inherited and mine.Echo("own") == "own" else 4)
            _, status = os.waitpid(pid, 0)
            print(os.waitstatus_to_exitcode(status), probe.Echo("parent"))
        """)
        result = run_script(script, env={"QUILLON_SOCKET": self.server.socket})
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.split(), ["0", "parent"])

    def test_a_collected_proxy_releases_its_object(self):
        probe = quillon.Dispatch("Quillon.EventProbe")
        children = [probe.Child() for _ in range(3)]
        self.assertEqual(probe.Live, 4)
        del children
        self.assertTrue(wait_for(lambda: probe.Live == 1))


class ServerGoneTest(unittest.TestCase):
    def test_calls_fail_with_server_unavailable(self):
        server = Server(SERVER)
        self.addCleanup(server.remove)
        env = {"QUILLON_SOCKET": server.socket, "QUILLON_SERVER": SERVER}
        script = textwrap.dedent("""
            import os, signal, sys, quillon
            fo = quillon.Dispatch("Quillon.FileOps")
            os.kill(int(sys.argv[1]), signal.SIGKILL)
            for attempt in range(2):
                try:
                    fo.ClearError()
                except quillon.com_error as error:
                    print(hex(error.hresult & 0xFFFFFFFF))
        """)
        done = subprocess.run([sys.executable, "-c", script, str(server.process.pid)],
                              env=dict(os.environ, PYTHONPATH=CLIENT_PATH, **env), capture_output=True, text=True,
                              timeout=WAIT)
        self.assertEqual(done.stdout.split(), ["0x800706ba", "0x800706ba"], done.stderr)


SOCKET_ACTIVATE = shutil.which("systemd-socket-activate") or "/usr/bin/systemd-socket-activate"


def read_text(path):
    with open(path, encoding="utf-8", errors="replace") as text:
        return text.read()


@unittest.skipUnless(os.access(SOCKET_ACTIVATE, os.X_OK), "needs systemd-socket-activate (Debian's systemd package)")
class SocketActivationTest(unittest.TestCase):
    """A systemd socket unit makes the socket and starts the server on the first connection,
    handing it the listening socket (LISTEN_FDS, fd 3). The path is systemd's from then on."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-activated-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.socket = os.path.join(self.folder, "q.sock")
        self.log = os.path.join(self.folder, "activated.log")

    def test_a_client_is_served_on_the_socket_systemd_made_and_systemd_keeps_the_path(self):
        # A server a client started earlier still listens there when the unit takes the path over.
        earlier = Server(SERVER, folder=self.folder)
        self.addCleanup(earlier.stop)
        said = os.path.join(self.folder, "activate.err")
        with open(said, "wb") as stderr:
            activated = subprocess.Popen([SOCKET_ACTIVATE, "-l", self.socket, SERVER, "--log", self.log,
                                          "--idle-exit", "1"],
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr)
        self.addCleanup(lambda: activated.poll() is None and activated.kill())
        self.assertTrue(wait_for(lambda: "Listening on" in read_text(said) or activated.poll() is not None))
        self.assertIsNone(activated.poll(), read_text(said))

        # The server this client would start cannot run, so only the activated one can answer.
        env = {"QUILLON_SOCKET": self.socket, "QUILLON_SERVER": os.path.join(self.folder, "no-such-server")}
        script = "import quillon; print(quillon.Dispatch('Quillon.FileOps').StoreString('a', 'b'))"
        served = run_script(script, env)
        self.assertEqual((served.returncode, served.stdout.strip()), (0, "0"), served.stderr)
        self.assertIn("listening on %s from systemd" % self.socket, read_text(self.log))

        # The earlier server leaves the path it no longer owns; clients still reach systemd's socket.
        self.assertEqual(earlier.stop(), 0)
        self.assertIn("leaving %s in place" % self.socket, earlier.log_text())
        served = run_script(script, env)
        self.assertEqual((served.returncode, served.stdout.strip()), (0, "0"), served.stderr)

        # Idle, it exits (systemd would start it again on the next connection) and leaves the
        # socket and its folder as they were.
        self.assertEqual(activated.wait(WAIT), 0)
        self.assertTrue(stat.S_ISSOCK(os.lstat(self.socket).st_mode))
        self.assertEqual(sorted(os.listdir(self.folder)),
                         ["activate.err", "activated.log", "q.sock", "q.sock.lock", "server.log"])
        self.assertEqual(sanitizer_reports(activated.pid), [])


if __name__ == "__main__":
    unittest.main()

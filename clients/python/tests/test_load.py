"""Load: 64 clients at once, 1000 calls each, mixing FileOps file traffic with store traffic.
No call fails, no reply goes astray, and the server's memory returns near its start. And a
gigabyte compressed and extracted in a memory far smaller than the file."""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import quillon

from support import CLIENT_PATH, SERVER, WAIT, Server, ServerTestCase, rss_kib, run_script, sanitized, wait_for

CLIENTS = 64
ROUNDS = 142  # seven calls a round and six around them: 1000 calls a client

CLIENT = textwrap.dedent("""
    import os, sys, quillon
    n, folder = int(sys.argv[1]), sys.argv[2]
    fo = quillon.Dispatch("Quillon.FileOps")
    path = os.path.join(folder, "client-%d-%s.bin" % (n, sys.argv[3]))
    fo.ClearError()
    assert fo.OpenFile(path) == 0, fo.ErrorString
    calls, expected = 3, b""
    for i in range(int(sys.argv[3])):
        text = "client %d call %d;" % (n, i)
        # Each answer must be this client's own: a reply gone astray shows as another's text.
        assert fo.StoreString("s%d" % i, text) == 0
        assert fo.GetStoreSize("s%d" % i) == len(text)
        out = quillon.Ref()
        assert fo.GetBytes("s%d" % i, 1, len(text), out) == 0
        assert bytes(out.value) == text.encode(), (bytes(out.value), text)
        assert fo.FileWrite(0, "s%d" % i) == 0, fo.ErrorString
        expected += text.encode()
        assert fo.FileSize == len(expected)
        assert fo.BytesToLong(bytes(fo.LongToBytes(i * 7919 - n))) == i * 7919 - n
        calls += 7
    assert fo.FileRead(1, len(expected), "back") == 0
    back = quillon.Ref()
    assert fo.GetBytes("back", 1, len(expected), back) == 0 and bytes(back.value) == expected
    fo.CloseFile()
    calls += 3
    quillon.shutdown()
    print(calls)
""")


class LoadTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-load-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.server = Server(SERVER)
        self.addCleanup(self.server.remove)
        self.env = dict(os.environ, PYTHONPATH=CLIENT_PATH, QUILLON_SOCKET=self.server.socket,
                        QUILLON_SERVER=SERVER)

    def run_clients(self, count, rounds):
        clients = [subprocess.Popen([sys.executable, "-c", CLIENT, str(n), self.folder, str(rounds)], env=self.env,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                   for n in range(count)]
        results = []
        deadline = time.monotonic() + 240
        try:
            for client in clients:
                out, err = client.communicate(timeout=max(1, deadline - time.monotonic()))
                results.append((client.returncode, out.strip(), err[-2000:]))
        finally:
            for client in clients:
                if client.poll() is None:
                    client.kill()
                    client.communicate()
        return results

    def test_sixty_four_clients_of_a_thousand_calls(self):
        # A first small round brings the server to its working size.
        self.assertEqual(self.run_clients(4, 5), [(0, "41", "")] * 4)
        quiet = wait_for(lambda: self.server.log_text().count("closed by the client") >= 5)
        self.assertTrue(quiet)
        # Anonymous memory only: the program's own pages come in as more of its code runs.
        before = rss_kib(self.server.process.pid, "RssAnon")

        started = time.monotonic()
        results = self.run_clients(CLIENTS, ROUNDS)
        elapsed = time.monotonic() - started
        failures = [(n, result) for n, result in enumerate(results) if result[:2] != (0, "1000")]
        self.assertEqual(failures, [])
        for n in range(CLIENTS):
            with open(os.path.join(self.folder, "client-%d-%d.bin" % (n, ROUNDS)), "rb") as written:
                self.assertTrue(written.read().startswith(b"client %d call 0;" % n))

        # Every connection ended and released what it held.
        self.assertTrue(wait_for(lambda: self.server.log_text().count("closed by the client") >= 5 + CLIENTS))
        self.assertNotIn("failed", self.server.log_text())
        # The last close writes its log line before it hands memory back.
        readings = [rss_kib(self.server.process.pid, "RssAnon")]
        for _ in range(20):
            time.sleep(0.1)
            readings.append(rss_kib(self.server.process.pid, "RssAnon"))
            if readings[-1] == readings[-2]:
                break
        after = readings[-1]
        peak = rss_kib(self.server.process.pid, "VmHWM")
        print("\n%d clients x 1000 calls in %.1f s; server memory %d KiB before, %d KiB after, peak RSS %d KiB"
              % (CLIENTS, elapsed, before, after, peak), file=sys.stderr)
        if not sanitized(SERVER):
            self.assertLess(after - before, 8 * 1024, "the server kept %d KiB" % (after - before))
        self.assertEqual(self.server.stop(), 0)


GIB = 1 << 30
MIB = 1 << 10  # in KiB, as rss_kib counts

GZIP_CALL = """
import quillon
fo = quillon.Dispatch("Quillon.FileOps")
print(fo.GZipFile(%r, %r), fo.ErrorString)
"""

GUNZIP_CALL = """
import quillon
fo = quillon.Dispatch("Quillon.FileOps")
print(fo.GUnZipFile(%r, quillon.Ref(%r), True), fo.ErrorString)
"""


@unittest.skipIf(sanitized(SERVER), "memory figures mean nothing under AddressSanitizer, and a gigabyte takes minutes")
class LargeFileTest(unittest.TestCase):
    """GZipFile and GUnZipFile pass a file through a piece at a time, whatever its size."""

    def test_a_gigabyte_each_way_in_bounded_memory(self):
        folder = tempfile.mkdtemp(prefix="quillon-large-")
        self.addCleanup(shutil.rmtree, folder, True)
        server = Server(SERVER)
        self.addCleanup(server.remove)
        env = {"QUILLON_SOCKET": server.socket, "QUILLON_SERVER": SERVER}
        source, packed, output = (os.path.join(folder, name) for name in ("big.bin", "big.gz", "out.bin"))
        with open(source, "wb") as big:
            big.truncate(GIB)  # sparse: read as zeros, and it costs no disk
        start = rss_kib(server.process.pid, "VmHWM")

        started = time.monotonic()
        result = run_script(GZIP_CALL % (source, packed), env=env, timeout=120)
        self.assertEqual((result.returncode, result.stdout), (0, "0 \n"), result.stderr)
        zipped = time.monotonic() - started
        zip_peak = rss_kib(server.process.pid, "VmHWM")
        with open(packed, "rb") as archive:
            archive.seek(-4, os.SEEK_END)
            self.assertEqual(archive.read(), GIB.to_bytes(4, "little"))
        os.unlink(source)

        started = time.monotonic()
        result = run_script(GUNZIP_CALL % (packed, output), env=env, timeout=120)
        self.assertEqual((result.returncode, result.stdout), (0, "0 \n"), result.stderr)
        unzipped = time.monotonic() - started
        unzip_peak = rss_kib(server.process.pid, "VmHWM")
        self.assertEqual(os.path.getsize(output), GIB)

        print("\n1 GiB: GZipFile %.1f s, GUnZipFile %.1f s; server peak RSS %d KiB at start, %d KiB after "
              "GZipFile, %d KiB after GUnZipFile" % (zipped, unzipped, start, zip_peak, unzip_peak), file=sys.stderr)
        # Holding the file would take a gigabyte in either direction.
        self.assertLess(zip_peak - start, 200 * MIB, "GZipFile took %d KiB" % (zip_peak - start))
        self.assertLess(unzip_peak - start, 200 * MIB, "GUnZipFile took %d KiB" % (unzip_peak - start))


def cpu_seconds(pid):
    """User and system time of a process so far, all its threads."""
    with open("/proc/%d/stat" % pid, encoding="ascii") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class SpinWaitTest(ServerTestCase):
    """Before it sleeps, a client's thread in the server looks for the next call a short
    while, and the client looks for the answer: a script that pauses, or waits long for
    its events, must cost next to nothing on either side while it does."""

    def test_a_client_that_pauses_leaves_the_server_idle(self):
        fo = quillon.Dispatch("Quillon.FileOps")
        for _ in range(2000):  # back to back: the window opens to its widest
            fo.FileSize
        started = cpu_seconds(self.server.process.pid)
        for _ in range(20):  # pauses far longer than any window
            fo.FileSize
            time.sleep(0.05)
        used = cpu_seconds(self.server.process.pid) - started
        self.assertLess(used, 0.25, "the server used %.2f s of CPU over 1 s of pauses" % used)

    def test_a_script_that_waits_long_for_events_leaves_its_process_idle(self):
        fo = quillon.Dispatch("Quillon.FileOps")
        for _ in range(2000):
            fo.FileSize
        started = sum(os.times()[:2])
        quillon.PumpWaitingMessages(1.0)  # nothing comes
        used = sum(os.times()[:2]) - started
        self.assertLess(used, 0.25, "the client used %.2f s of CPU waiting 1 s for nothing" % used)

    def test_the_clients_window_is_a_setting_checked_at_connect(self):
        script = "import quillon; print(quillon.Dispatch('Quillon.FileOps').BytesToLong(b'\\x07\\0\\0\\0'))"
        for text, expected in (("0", "7"), ("50.5", "7"), ("soon", "QUILLON_SPIN_WAIT"), ("-1", "QUILLON_SPIN_WAIT")):
            with self.subTest(text=text):
                result = run_script(script, env={"QUILLON_SPIN_WAIT": text})
                self.assertIn(expected, result.stdout + result.stderr)
                self.assertEqual(result.returncode != 0, expected != "7", result.stderr)


if __name__ == "__main__":
    unittest.main()

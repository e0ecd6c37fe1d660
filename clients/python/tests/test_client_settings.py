"""Each client's working folder and settings are its own: two scripts that share one server,
each started in a folder of its own with name servers and a network state of its own, see
their own files and reach the network their own way, and the server's folder and
environment stay as they were."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

from support import CLIENT_PATH, SERVER, WAIT, PtrStub, RawClient, ServerTestCase, restore_env, set_env

SCRIPT = textwrap.dedent("""
    import json, os, quillon
    ops = quillon.Dispatch("Quillon.FileOps")
    opened = ops.OpenFile("data.txt")
    size = ops.FileSize
    ops.CloseFile()
    zipped = ops.GZipFile("data.txt", "out/data.txt.gz")
    info = quillon.Dispatch("Quillon.IPInfo")
    seen = []
    class Results:
        def OnHostNameResult(self, ip, host, err): seen.append(host)
    quillon.WithEvents(info, Results)
    info.EnableHostNameData()
    info.GetHostNameFromIP("192.0.2.5")
    quillon.PumpWaitingMessages(10, until=lambda: seen)
    located = info.EnableLocationData("geo/GEOIPCITY.DAT")
    city = info.GetLocationFromIP("192.0.2.5").City
    d = quillon.Dispatch("Quillon.Downloader")
    print(json.dumps({"opened": opened, "size": size, "zipped": zipped,
                      "zip_here": os.path.exists(os.path.join("out", "data.txt.gz")),
                      "host": seen, "located": located, "city": city,
                      "online": d.Online, "proxy": d.ProxyConnection}))
""")


class ClientSettingsTest(ServerTestCase):
    @classmethod
    def setUpClass(cls):
        # The server starts with settings of its own, as if a first script had started it.
        cls.server_dns = PtrStub({"192.0.2.5": "seen-by-the-server.test"})
        saved = set_env(QUILLON_DNS_SERVERS=cls.server_dns.address, QUILLON_NETWORK_STATE="offline")
        try:
            super().setUpClass()
        finally:
            restore_env(saved)  # the server's own: the scripts below bring theirs
        cls.sample = os.path.join(os.path.dirname(os.path.abspath(cls.binary)), "..", "share", "quillon",
                                  "GEOIPCITY.DAT")

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.server_dns.close()

    def client_folder(self, size):
        folder = tempfile.mkdtemp(prefix="quillon-client-")
        self.addCleanup(shutil.rmtree, folder, True)
        with open(os.path.join(folder, "data.txt"), "wb") as data:
            data.write(b"x" * size)
        os.mkdir(os.path.join(folder, "out"))
        os.mkdir(os.path.join(folder, "geo"))
        shutil.copy(self.sample, os.path.join(folder, "geo", "GEOIPCITY.DAT"))
        return folder

    def start_client(self, folder, **settings):
        env = {name: value for name, value in os.environ.items() if name not in settings}
        env.update(settings, PYTHONPATH=CLIENT_PATH)
        return subprocess.Popen([sys.executable, "-c", SCRIPT], cwd=folder, env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)

    def test_two_clients_side_by_side_each_with_its_own_folder_and_settings(self):
        server_cwd = os.readlink("/proc/%d/cwd" % self.server.process.pid)
        dns_a = PtrStub({"192.0.2.5": "seen-by-a.test"})
        dns_b = PtrStub({"192.0.2.5": "seen-by-b.test"})
        self.addCleanup(dns_a.close)
        self.addCleanup(dns_b.close)
        a = self.start_client(self.client_folder(100), QUILLON_DNS_SERVERS=dns_a.address,
                              QUILLON_NETWORK_STATE="online")
        b = self.start_client(self.client_folder(200), QUILLON_DNS_SERVERS=dns_b.address,
                              http_proxy="http://127.0.0.1:9")
        results = []
        for client in (a, b):
            out, err = client.communicate(timeout=3 * WAIT)
            self.assertEqual(client.returncode, 0, err)
            results.append(json.loads(out))
        common = {"opened": 0, "zipped": 0, "zip_here": True, "located": 0, "city": "New York"}
        self.assertEqual(results[0], dict(common, size=100, host=["seen-by-a.test"], online=True, proxy=False))
        self.assertEqual({k: v for k, v in results[1].items() if k != "online"},
                         dict(common, size=200, host=["seen-by-b.test"], proxy=True))
        self.assertEqual(self.server_dns.queries, 0)
        self.assertEqual(os.readlink("/proc/%d/cwd" % self.server.process.pid), server_cwd)

    def test_settings_that_cannot_be_taken_are_refused_and_the_client_may_try_again(self):
        raw = RawClient(self.server.socket)
        self.addCleanup(raw.close)
        for params in ({"workingFolder": "relative/folder"}, {"workingFolder": 7}, {"environment": []},
                       {"environment": {"QUILLON_DNS_SERVERS": 1}}):
            with self.subTest(params=params):
                self.assertEqual(raw.call("initialize", **params)["error"]["code"], -32602)
        answer = raw.call("initialize", workingFolder="/", environment={})["result"]
        self.assertTrue(answer["clientSettings"])


if __name__ == "__main__":
    unittest.main()

"""IPInfo end to end: reverse lookups answered by a DNS stub on 127.0.0.1, with events and
with Busy polling, and locations from the sample city database the build writes."""

import json
import os
import tempfile
import textwrap
import time
import unittest

import quillon
from http_support import StubDns
from support import SERVER, WAIT, PtrStub, Server, ServerTestCase, run_script, wait_for


class Results:
    """Handler for IPInfo events; `inside` runs within the event, with the arguments."""

    inside = None

    def __init__(self):
        self.seen = []

    def OnHostNameResult(self, ip, host, err):  # noqa: N802 - named like the event
        self.seen.append((ip, host, err))
        if self.inside:
            self.inside(ip, host, err)


class IPInfoTest(ServerTestCase):
    @classmethod
    def make_dns(cls):
        return PtrStub({"192.0.2.5": "host-5.example.test", "192.0.2.8": "next.example.test"},
                       silent=["192.0.2.9"])

    def setUp(self):
        self.objects = []

    def tearDown(self):
        # The connection's lookup engine ends with its last IPInfo, so every test starts
        # with host names not yet enabled.
        for obj in self.objects:
            quillon.release(obj)

    def new_info(self):
        info = quillon.Dispatch("Quillon.IPInfo")
        self.objects.append(info)
        return info

    def make(self):
        info = self.new_info()
        handler = quillon.WithEvents(info, Results)
        return info, handler

    def test_lookups_report_through_the_event(self):
        info, handler = self.make()
        info.GetHostNameFromIP("192.0.2.5")  # before EnableHostNameData
        self.assertEqual(handler.seen, [("192.0.2.5", "", 1)])
        self.assertEqual(quillon.invoke(info, "EnableHostNameData", raw=True), quillon.Variant(quillon.VT_I4, 0))
        self.assertEqual(info.ErrorString, "")

        info.GetHostNameFromIP("abc")  # reported before the call returns
        self.assertEqual(handler.seen[-1], ("abc", "", 2))
        self.assertFalse(info.Busy)

        for ip, expected in (("192.0.2.5", ("192.0.2.5", "host-5.example.test", 0)),
                             ("192.0.2.6", ("192.0.2.6", "", 4))):
            handler.seen.clear()
            info.GetHostNameFromIP(ip)
            self.assertTrue(info.Busy)
            self.assertTrue(quillon.PumpWaitingMessages(WAIT, until=lambda: handler.seen) or handler.seen)
            self.assertEqual(handler.seen, [expected])
            self.assertFalse(info.Busy)

    def test_busy_polling_and_time_out(self):
        info = self.new_info()  # no events: the script polls
        info.EnableHostNameData()
        info.TimeOut = 1000
        with self.assertRaises(quillon.com_error):
            info.TimeOut  # write-only
        started = time.monotonic()
        info.GetHostNameFromIP("192.0.2.9")
        self.assertTrue(info.Busy)
        self.assertTrue(wait_for(lambda: not info.Busy, timeout=WAIT, interval=0.05))
        self.assertGreaterEqual(time.monotonic() - started, 0.9)

    def test_a_silent_first_name_server_leaves_the_second_its_turn(self):
        silent = StubDns(silent=True)
        servers = "%s,%s" % (silent.address, self.dns.address)
        server = Server(SERVER)
        try:
            result = run_script(textwrap.dedent("""
                import json, time, quillon
                info = quillon.Dispatch("Quillon.IPInfo")
                seen = []
                class Results:
                    def OnHostNameResult(self, ip, host, err): seen.append([host, err])
                quillon.WithEvents(info, Results)
                info.EnableHostNameData()
                started = time.monotonic()
                info.GetHostNameFromIP("192.0.2.5")  # the default TimeOut: 5000 ms
                quillon.PumpWaitingMessages(10, until=lambda: seen)
                print(json.dumps([seen, time.monotonic() - started]))
            """), env={"QUILLON_SOCKET": server.socket, "QUILLON_SERVER": SERVER, "QUILLON_DNS_SERVERS": servers})
        finally:
            server.remove()
            silent.close()
        self.assertEqual(result.returncode, 0, result.stderr)
        seen, took = json.loads(result.stdout)
        self.assertEqual(seen, [["host-5.example.test", 0]])
        self.assertGreater(silent.queries, 0)
        self.assertLess(took, 4.0)

    def test_handler_sees_busy_and_chains_a_lookup_and_objects_share_results(self):
        info, handler = self.make()
        other, other_handler = self.make()
        info.EnableHostNameData()
        busy_inside = []

        def chain(ip, host, err):
            busy_inside.append(info.Busy)
            if ip == "192.0.2.5":
                info.GetHostNameFromIP("192.0.2.8")

        handler.inside = chain
        info.GetHostNameFromIP("192.0.2.5")
        quillon.PumpWaitingMessages(WAIT, until=lambda: len(handler.seen) == 2)
        self.assertEqual(handler.seen, [("192.0.2.5", "host-5.example.test", 0),
                                        ("192.0.2.8", "next.example.test", 0)])
        self.assertEqual(busy_inside, [True, True])
        self.assertFalse(info.Busy)
        self.assertEqual(other_handler.seen, handler.seen)  # one engine per connection
        self.assertFalse(other.Busy)

    def test_locations_from_the_sample_database(self):
        sample = os.path.join(os.path.dirname(os.path.abspath(os.environ.get("QUILLON_SERVER", SERVER))),
                              "..", "share", "quillon", "GEOIPCITY.DAT")
        info = self.new_info()
        before = info.GetLocationFromIP("192.0.2.5")
        self.assertFalse(before.Valid)

        self.assertEqual(info.EnableLocationData(sample), 0)
        us = info.GetLocationFromIP("192.0.2.5")
        self.assertEqual((us.Valid, us.Country, us.CountryCode, us.Region, us.City, us.ZipCode, us.AreaCode),
                         (True, "United States", "US", "NY", "New York", "10001", "212"))
        fr = info.GetLocationFromIP("198.51.100.70")
        self.assertEqual(fr, us)  # the same Location every time
        self.assertEqual((us.Region, us.City, us.ZipCode), ("Bourgogne", "Dijon", ""))
        self.assertFalse(info.GetLocationFromIP("203.0.113.200").Valid)

        self.assertEqual(info.EnableLocationData("/nonexistent/GEOIPCITY.DAT"), 2)
        self.assertEqual(info.ErrorString, "Database path invalid")
        with tempfile.TemporaryDirectory() as folder:
            damaged = os.path.join(folder, "GEOIPCITY.DAT")
            with open(damaged, "wb") as out:
                out.write(b"\xff" * 10)
            self.assertEqual(info.EnableLocationData(damaged), 75)
            self.assertIn(damaged, info.ErrorString)
        self.assertFalse(info.GetLocationFromIP("192.0.2.5").Valid)


if __name__ == "__main__":
    unittest.main()

"""Events through the test build's EventProbe: delivery, calls from handlers, lifetimes, time-outs."""

import contextlib
import gc
import io
import threading
import time
import unittest

import quillon
from support import TEST_SERVER, WAIT, RawClient, ServerTestCase, wait_for


class Recorder:
    def __init__(self):
        self.seen = []

    def OnValue(self, value):  # noqa: N802 - named like the event
        self.seen.append(("OnValue", value))

    def OnTick(self, n):  # noqa: N802
        self.seen.append(("OnTick", n))


class EventsTest(ServerTestCase):
    binary = TEST_SERVER
    server_args = ("--event-timeout", "1")

    def setUp(self):
        # Objects of earlier tests held in reference cycles go now, not in the middle of
        # a count of live objects.
        gc.collect()
        self.probe = quillon.Dispatch("Quillon.EventProbe")

    def live(self):
        return self.probe.Live

    def test_handlers_get_events_in_order_with_positional_arguments(self):
        handler = quillon.WithEvents(self.probe, Recorder)
        self.assertIsInstance(handler, Recorder)
        self.assertEqual(self.probe.Raise(quillon.Null), 1)
        self.assertEqual(self.probe.RaiseTicks(3), 3)
        self.assertEqual(handler.seen, [("OnValue", quillon.Null), ("OnTick", 1), ("OnTick", 2), ("OnTick", 3)])

    def test_unadvise_and_missing_handler_methods(self):
        class OnlyTicks:
            ticks = 0

            def OnTick(self, n):  # noqa: N802
                OnlyTicks.ticks += n

        obj = quillon.DispatchWithEvents("quillon.eventprobe", OnlyTicks)
        self.assertEqual(obj.Raise("nobody listens for this"), 1)
        obj.RaiseTicks(2)
        self.assertEqual(OnlyTicks.ticks, 3)

        handler = quillon.WithEvents(self.probe, Recorder())
        quillon.Unadvise(self.probe, handler)
        self.assertEqual(self.probe.Raise(1), 0)
        self.assertEqual(handler.seen, [])
        with self.assertRaises(quillon.com_error) as caught:
            quillon.Unadvise(self.probe, handler)
        self.assertEqual(caught.exception.hresult, quillon.CONNECT_E_NOCONNECTION)

    def test_only_events_the_handler_has_methods_for_are_sent(self):
        class OnlyTicks:
            def OnTick(self, n):  # noqa: N802
                pass

        obj = quillon.DispatchWithEvents("quillon.eventprobe", OnlyTicks)
        conn = quillon._client.current_connection()
        received = []
        serve = conn._serve
        conn._serve = lambda message: (received.append(message["params"]["name"]), serve(message))
        try:
            self.assertEqual(obj.Raise(1), 1)  # the sink is there, its OnValue never travels
            obj.RaiseTicks(2)
        finally:
            del conn._serve
        self.assertEqual(received, ["OnTick", "OnTick"])

        # The list is the client's to give: without one every event comes, and a
        # malformed one is refused.
        raw = RawClient(self.server.socket)
        try:
            raw.initialize()
            handle = raw.call("create", progid="Quillon.EventProbe")["result"]["handle"]
            self.assertEqual(raw.call("advise", object=handle, events="OnTick")["error"]["code"], -32602)
            self.assertEqual(raw.call("advise", object=handle, events=[1])["error"]["code"], -32602)
            raw.call("advise", object=handle, events=["ontick", "OnSomethingNew"])
            raw.send({"jsonrpc": "2.0", "id": 100, "method": "invoke",
                      "params": {"object": handle, "member": "RaiseTicks", "args": [1]}})
            event = raw.receive()
            self.assertEqual(event["params"]["name"], "OnTick")
            raw.send({"jsonrpc": "2.0", "id": event["id"], "result": None})
            self.assertEqual(raw.receive()["id"], 100)
        finally:
            raw.close()

    def test_handlers_call_the_server_and_raise_nested_events(self):
        probe = self.probe

        class Caller(Recorder):
            def OnValue(self, value):  # noqa: N802
                super().OnValue(value)
                self.echoed = probe.Echo(value * 2)
                fo = quillon.Dispatch("Quillon.FileOps")
                self.stored = fo.StoreString("k", "v"), fo.GetStoreSize("k")
                probe.RaiseTicks(2)

        handler = quillon.WithEvents(probe, Caller)
        probe.Raise(21)
        self.assertEqual(handler.echoed, 42)
        self.assertEqual(handler.stored, (0, 1))
        self.assertEqual(handler.seen, [("OnValue", 21), ("OnTick", 1), ("OnTick", 2)])

    def test_objects_in_event_arguments_are_held_by_the_client(self):
        class Keeper:
            def OnChild(self, child):  # noqa: N802
                self.child = child
                self.answer = child.Echo("from the handler")

        handler = quillon.WithEvents(self.probe, Keeper)
        before = self.live()
        self.probe.RaiseChild()
        self.assertEqual(handler.answer, "from the handler")
        self.assertEqual(handler.child.Echo(7), 7)  # still alive after the event
        self.assertEqual(self.live(), before + 1)
        del handler.child
        self.assertTrue(wait_for(lambda: self.live() == before))  # collected, then released

    def test_a_handler_that_raises_is_reported_and_the_connection_goes_on(self):
        class Broken:
            def OnValue(self, value):  # noqa: N802
                raise ValueError("handler trouble %s" % value)

        quillon.WithEvents(self.probe, Broken)
        stderr = io.StringIO()
        with contextlib.redirect_stderr(stderr):
            self.assertEqual(self.probe.Raise(5), 1)
        self.assertIn("OnValue", stderr.getvalue())
        self.assertIn("ValueError: handler trouble 5", stderr.getvalue())
        self.assertEqual(self.probe.Echo("still here"), "still here")

    def test_a_release_inside_an_event_takes_effect_after_the_call(self):
        doomed = quillon.Dispatch("Quillon.EventProbe")

        class Releaser:
            def OnValue(self, value):  # noqa: N802
                quillon.release(doomed)

        quillon.WithEvents(doomed, Releaser)
        before = self.live()
        self.assertEqual(doomed.Raise(1), 1)  # the object lived until its own call ended
        self.assertEqual(self.live(), before - 1)
        with self.assertRaises(quillon.com_error) as caught:
            doomed.Raise(2)
        self.assertEqual(caught.exception.hresult, quillon.RPC_E_DISCONNECTED)

    def test_a_handler_slower_than_the_timeout_loses_its_sink(self):
        class Slow(Recorder):
            def OnValue(self, value):  # noqa: N802
                super().OnValue(value)
                time.sleep(1.5)

        handler = quillon.WithEvents(self.probe, Slow)
        self.assertEqual(self.probe.Raise("first"), 0)  # dropped while it slept
        self.assertEqual(self.probe.Raise("second"), 0)
        self.assertEqual(handler.seen, [("OnValue", "first")])
        self.assertTrue(wait_for(lambda: "dropped sink" in self.server.log_text()))

    def test_a_client_that_never_answers_holds_nobody_else_and_loses_every_sink(self):
        baseline = self.live()
        silent = RawClient(self.server.socket)
        try:
            silent.initialize()
            handles = [silent.call("create", progid="Quillon.EventProbe")["result"]["handle"] for _ in range(3)]
            for handle in handles:
                silent.call("advise", object=handle)
            silent.send({"jsonrpc": "2.0", "id": 100, "method": "invoke",
                         "params": {"object": handles[0], "member": "Raise", "args": ["hello?"]}})
            event = silent.receive()
            self.assertEqual((event["method"], event["params"]["name"]), ("event", "OnValue"))
            self.assertEqual(event["params"]["args"], [{"vt": 8, "value": "hello?"}])

            started = time.monotonic()
            self.assertEqual(self.probe.Echo(1), 1)  # served on its own, not behind the wait
            self.assertLess(time.monotonic() - started, 0.5)

            answer = silent.receive()
            self.assertEqual((answer["id"], answer["result"]["value"]), (100, {"vt": 3, "value": 0}))
            silent.send({"jsonrpc": "2.0", "id": event["id"], "result": None})  # too late: ignored
            # One time-out cost the client every sink: the other probes raise to nobody, at once.
            started = time.monotonic()
            answer = silent.call("invoke", object=handles[1], member="Raise", args=["again?"])
            self.assertEqual(answer["result"]["value"], {"vt": 3, "value": 0})
            self.assertLess(time.monotonic() - started, 0.5)
            self.assertTrue(wait_for(lambda: "the client is unresponsive" in self.server.log_text()))
            self.assertIn("result", silent.call("typelib"))
        finally:
            silent.close()
        # Its connection ends on its own thread; its probes are gone before the next test counts.
        self.assertTrue(wait_for(lambda: self.live() == baseline))

    def test_events_raised_outside_any_call_arrive_while_pumping(self):
        probe = self.probe

        class Handler(Recorder):
            def OnValue(self, value):  # noqa: N802
                super().OnValue(value)
                self.echoed = probe.Echo(value)  # a call with no call of ours around it

        handler = quillon.WithEvents(probe, Handler)
        probe.RaiseLater(20, "from a timer")
        self.assertTrue(quillon.PumpWaitingMessages(WAIT, until=lambda: handler.seen))
        self.assertEqual((handler.seen, handler.echoed), ([("OnValue", "from a timer")], "from a timer"))

    def test_an_object_released_in_its_own_timer_event_ends_after_it(self):
        doomed = quillon.Dispatch("Quillon.EventProbe")
        done = []

        class Releaser:
            def OnValue(self, value):  # noqa: N802
                quillon.release(doomed)
                done.append(value)

        quillon.WithEvents(doomed, Releaser)
        before = self.live()
        doomed.RaiseLater(10, 1)
        self.assertTrue(quillon.PumpWaitingMessages(WAIT, until=lambda: done))
        self.assertTrue(wait_for(lambda: self.live() == before - 1))

    def test_a_request_right_behind_an_event_answer_is_served(self):
        client = RawClient(self.server.socket)
        try:
            client.initialize()
            handle = client.call("create", progid="Quillon.EventProbe")["result"]["handle"]
            client.call("advise", object=handle)
            client.call("invoke", object=handle, member="RaiseLater", args=[10, "x"])
            event = client.receive()
            self.assertEqual(event["method"], "event")
            answer = b'{"jsonrpc": "2.0", "id": %d, "result": null}' % event["id"]
            request = b'{"jsonrpc": "2.0", "id": 50, "method": "getDispId", "params": {"object": %d, "name": "Echo"}}' \
                % handle
            client.send_bytes(b"Content-Length: %d\r\n\r\n%s" % (len(answer), answer) +
                              b"Content-Length: %d\r\n\r\n%s" % (len(request), request))  # one write
            self.assertEqual(client.receive(), {"jsonrpc": "2.0", "id": 50, "result": {"dispid": 0x60030003}})
        finally:
            client.close()

    def test_nested_events_may_be_answered_out_of_order(self):
        client = RawClient(self.server.socket)
        try:
            client.initialize()
            handle = client.call("create", progid="Quillon.EventProbe")["result"]["handle"]
            client.call("advise", object=handle)
            client.send({"jsonrpc": "2.0", "id": 100, "method": "invoke",
                         "params": {"object": handle, "member": "Raise", "args": [1]}})
            outer = client.receive()
            client.send({"jsonrpc": "2.0", "id": 101, "method": "invoke",
                         "params": {"object": handle, "member": "RaiseTicks", "args": [1]}})
            inner = client.receive()
            self.assertEqual((outer["params"]["name"], inner["params"]["name"]), ("OnValue", "OnTick"))
            for event in (outer, inner):  # the outer one first
                client.send({"jsonrpc": "2.0", "id": event["id"], "result": None})
            answers = {answer["id"]: answer["result"]["value"] for answer in (client.receive(), client.receive())}
            # Both answered in time: the sink is still there to be counted.
            self.assertEqual(answers, {101: {"vt": 3, "value": 1}, 100: {"vt": 3, "value": 1}})
        finally:
            client.close()

    def test_pump_returns_when_until_holds_or_time_runs_out(self):
        self.assertTrue(quillon.PumpWaitingMessages(WAIT, until=lambda: True))
        started = time.monotonic()
        self.assertFalse(quillon.PumpWaitingMessages(0.2))
        self.assertGreaterEqual(time.monotonic() - started, 0.2)
        flag = threading.Event()
        threading.Timer(0.1, flag.set).start()
        self.assertTrue(quillon.PumpWaitingMessages(WAIT, until=flag.is_set))


if __name__ == "__main__":
    unittest.main()

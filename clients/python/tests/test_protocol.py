"""What a client in another language may send, badly: the server answers and stays up."""

import base64
import json
import socket
import struct
import unittest

from support import SERVER, RawClient, Server, rss_kib

E_OUTOFMEMORY = -2147024882
E_NOTIMPL = -2147467263
DISP_E_TYPEMISMATCH = -2147352571
DISP_E_BADVARTYPE = -2147352568
RPC_E_DISCONNECTED = -2147417848


class ProtocolTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(SERVER, "--max-frame", "4096")

    @classmethod
    def tearDownClass(cls):
        cls.server.remove()

    def setUp(self):
        self.client = RawClient(self.server.socket)
        self.addCleanup(self.client.close)

    def assertError(self, answer, code, hresult=None):
        self.assertIn("error", answer, answer)
        self.assertEqual(answer["error"]["code"], code, answer)
        if hresult is not None:
            self.assertEqual(answer["error"]["data"]["hresult"], hresult, answer)

    def assertStillServing(self):
        other = RawClient(self.server.socket)
        try:
            self.assertEqual(other.initialize()["protocolVersion"], 1)
        finally:
            other.close()

    def test_initialize_comes_first_and_once(self):
        self.assertError(self.client.call("typelib"), -32002)
        info = self.client.initialize()
        self.assertEqual(info["serverVersion"], "1.1.0")
        self.assertEqual(info["maxFrame"], 4096)
        self.assertRegex(info["buildId"], r"^[0-9a-f]{8}-\d+$")
        self.assertError(self.client.call("initialize"), -32600)
        self.assertError(self.client.call("typelib"), -32000, E_OUTOFMEMORY)  # 8 kB: over this server's limit

    def test_malformed_messages_are_answered_and_the_connection_stays(self):
        self.client.initialize()
        for body, code in [(b"{not json", -32700), (b"\xff\xfe", -32700), (b"[]", -32600), (b"42", -32600),
                           (b'{"id": 1, "method": "typelib"}', -32600),
                           (b'{"jsonrpc": "2.0", "id": 1.5, "method": "typelib"}', -32600),
                           (b'{"jsonrpc": "2.0", "id": 2, "method": "typelib", "params": [1]}', -32602),
                           (b'{"jsonrpc": "2.0", "id": 3}', -32600)]:
            with self.subTest(body=body):
                self.client.send_bytes(b"Content-Length: %d\r\n\r\n" % len(body) + body)
                self.assertError(self.client.receive(), code)
        self.assertIn("result", self.client.call("create", progid="Quillon.FileOps"))

    def test_unknown_methods_handles_and_params(self):
        self.client.initialize()
        self.assertError(self.client.call("frobnicate"), -32601, E_NOTIMPL)
        self.assertError(self.client.call("invoke", object=999, member="X"), -32000, RPC_E_DISCONNECTED)
        self.assertError(self.client.call("release", object=999), -32000, RPC_E_DISCONNECTED)
        self.assertError(self.client.call("create"), -32602)
        handle = self.client.call("create", progid="Quillon.FileOps")["result"]["handle"]
        self.assertError(self.client.call("invoke", object=handle, member=[1]), -32602)
        self.assertError(self.client.call("invoke", object=handle, member="StoreString", kind="call"), -32602)
        self.assertError(self.client.call("invoke", object=handle, member="StoreString", args=["a", "b"], refs=[2]),
                         -32602)
        self.assertError(self.client.call("advise", object=handle), -32000, -2147467262)  # no events: E_NOINTERFACE
        # Notifications get no answer; a release by notification takes effect all the same.
        self.client.send({"jsonrpc": "2.0", "method": "release", "params": {"object": handle}})
        self.client.send({"jsonrpc": "2.0", "method": "no such notification"})
        self.assertError(self.client.call("invoke", object=handle, member="ClearError"), -32000, RPC_E_DISCONNECTED)

    def test_byte_variants_travel_as_base64(self):
        self.client.initialize()
        handle = self.client.call("create", progid="Quillon.FileOps")["result"]["handle"]
        self.client.call("invoke", object=handle, member="StoreBytes", args=["b", {"vt": 8204, "bytes": "AAH/"}])
        answer = self.client.call("invoke", object=handle, member="GetBytes", args=["b", 1, 3, None], refs=[3])
        self.assertEqual(answer["result"]["refs"], [{"vt": 8204, "bytes": "AAH/"}])

    def test_byte_data_may_travel_raw_after_the_json(self):
        self.client.initialize()  # without asking for attachments
        handle = self.client.call("create", progid="Quillon.FileOps")["result"]["handle"]
        data = bytes(range(256)) * 3

        def store(args, attachment):
            body = json.dumps({"jsonrpc": "2.0", "id": self.client.next_id, "method": "invoke",
                               "params": {"object": handle, "member": "StoreBytes", "args": args}}).encode()
            self.client.next_id += 1
            self.client.send_bytes(b"Content-Length: %d\r\nQuillon-Json-Length: %d\r\n\r\n"
                                   % (len(body) + len(attachment), len(body)) + body + attachment)
            return self.client.receive()

        self.assertEqual(store(["a", {"vt": 8209, "attached": [2, len(data)]}], b"--" + data)["result"]["value"],
                         {"vt": 2, "value": 0})
        # A client that did not ask gets its bytes back as base64.
        answer = self.client.call("invoke", object=handle, member="GetBytes", args=["a", 1, len(data), None], refs=[3])
        self.assertEqual(answer["result"]["refs"], [{"vt": 8204, "bytes": base64.b64encode(data).decode()}])
        # A reference past the attachment is the argument's fault, and the connection goes on.
        answer = store(["a", {"vt": 8209, "attached": [2, len(data)]}], data)
        self.assertError(answer, -32000, DISP_E_TYPEMISMATCH)
        self.assertEqual(answer["error"]["data"]["argerr"], 1)
        self.assertEqual(self.client.call("invoke", object=handle, member="GetStoreSize", args=["a"])
                         ["result"]["value"], {"vt": 3, "value": len(data)})

    def test_arrays_of_one_type_travel_packed_only_to_a_client_that_asks(self):
        for asks in (False, True):
            with self.subTest(asks=asks):
                client = RawClient(self.server.socket)
                self.addCleanup(client.close)
                info = client.call("initialize", packedArrays=True)["result"] if asks else client.initialize()
                self.assertIs(info["packedArrays"], True)
                handle = client.call("create", progid="Quillon.FileOps")["result"]["handle"]
                answer = client.call("invoke", object=handle, member="LongToBytes", args=[0x01FF02])
                self.assertEqual(answer["result"]["value"],
                                 {"vt": 8204, "of": 3, "bytes": base64.b64encode(struct.pack("<4i", 2, 255, 1, 0))
                                  .decode()} if asks else
                                 {"vt": 8204, "items": [{"vt": 3, "value": n} for n in (2, 255, 1, 0)]})
                # Any client may send them; byte data comes back as bytes either way.
                packed = {"vt": 8204, "of": 2, "bytes": base64.b64encode(struct.pack("<3h", 1, 2, 255)).decode()}
                answer = client.call("invoke", object=handle, member="StoreBytes", args=["p", packed], refs=[1])
                self.assertEqual(answer["result"]["value"], {"vt": 2, "value": 0}, answer)
                self.assertEqual(answer["result"]["refs"], [packed if asks else {"vt": 8204, "items": [
                    {"vt": 2, "value": n} for n in (1, 2, 255)]}])
                answer = client.call("invoke", object=handle, member="GetBytes", args=["p", 1, 3, None], refs=[3])
                self.assertEqual(answer["result"]["refs"], [{"vt": 8204, "bytes": "AQL/"}])
        for bad, hresult in [({"vt": 8204, "of": 3, "bytes": "AQID"}, DISP_E_TYPEMISMATCH),
                             ({"vt": 8204, "of": 9, "bytes": ""}, DISP_E_BADVARTYPE)]:
            answer = client.call("invoke", object=handle, member="StoreBytes", args=["p", bad])
            self.assertError(answer, -32000, hresult)
            self.assertEqual(answer["error"]["data"]["argerr"], 1)

    def test_array_bounds_that_name_gigabytes_are_checked_before_memory_is_taken(self):
        # StoreBytes reads from index 0 to the upper bound: 2,147,483,647 here, so 2 GiB
        # of elements named by a few bytes of JSON. Index 0 is missing: error 9, no store.
        self.client.initialize()
        handle = self.client.call("create", progid="Quillon.FileOps")["result"]["handle"]
        for array in ({"vt": 8204, "lbound": 2147483645, "items": [1, 2, 3]},
                      {"vt": 8204, "lbound": 2147483647, "items": [1]},
                      {"vt": 8204, "lbound": 2147483645, "bytes": "AQID"}):
            with self.subTest(array=array):
                answer = self.client.call("invoke", object=handle, member="StoreBytes", args=["big", array])
                self.assertEqual(answer["result"]["value"], {"vt": 3, "value": 9}, answer)
        answer = self.client.call("invoke", object=handle, member="StoreExists", args=["big"])
        self.assertEqual(answer["result"]["value"], {"vt": 11, "value": False})
        peak = rss_kib(self.server.process.pid, "VmHWM")
        self.assertLess(peak, 1 << 20, "the server's resident memory peaked at %d KiB" % peak)

    def test_a_frame_over_the_limit_is_skipped_unread(self):
        self.client.initialize()
        body = b'{"jsonrpc": "2.0", "id": 7, "method": "typelib", "params": {"pad": "' + b"x" * 5000 + b'"}}'
        self.client.send_bytes(b"Content-Length: %d\r\n\r\n" % len(body) + body)
        answer = self.client.receive()
        self.assertError(answer, -32600, E_OUTOFMEMORY)
        self.assertIsNone(answer["id"])
        self.assertIn("result", self.client.call("create", progid="Quillon.FileOps"))

    def test_a_huge_declared_length_costs_nothing(self):
        self.client.initialize()
        self.client.send_bytes(b"Content-Length: 1099511627776\r\n\r\n{")
        self.assertError(self.client.receive(), -32600, E_OUTOFMEMORY)
        self.client.close()
        self.assertStillServing()

    def test_a_broken_header_closes_the_connection_after_saying_why(self):
        self.client.send_bytes(b"Content-Lenght 12\r\n\r\n{}")
        self.assertError(self.client.receive(), -32600)
        self.assertIsNone(self.client.receive())
        self.assertStillServing()

    def test_deep_nesting_and_abrupt_ends_do_not_bring_the_server_down(self):
        self.client.initialize()
        deep = b"[" * 4000
        self.client.send_bytes(b"Content-Length: %d\r\n\r\n" % len(deep) + deep)
        self.assertError(self.client.receive(), -32700)
        nested = b'{"jsonrpc":"2.0","id":1,"method":"invoke","params":{"object":1,"member":"X","args":[' + \
            b"[" * 1000 + b"]" * 1000 + b"]}}"
        self.assertLessEqual(len(nested), 4096)
        self.client.send_bytes(b"Content-Length: %d\r\n\r\n" % len(nested) + nested)
        self.assertIn("error", self.client.receive())
        with socket.socket(socket.AF_UNIX) as rude:
            rude.connect(self.server.socket)
            rude.sendall(b"Content-Length: 100\r\n\r\n{\"jsonrpc\"")
        self.assertStillServing()


if __name__ == "__main__":
    unittest.main()

"""Calls by name and by DISPID, every kind of failure, by-reference results and VARTYPEs."""

import datetime
import math
import os
import unittest

import quillon
from quillon import Null, Ref, Variant
from support import TEST_SERVER, ServerTestCase

VT_BYTE_VARIANTS = quillon.VT_ARRAY | quillon.VT_VARIANT
RUNTIME = 0x800A0000


def signed(value):
    return value - (1 << 32) if value & 0x80000000 else value


class CallsTest(ServerTestCase):
    def setUp(self):
        self.fo = quillon.Dispatch("Quillon.FileOps")

    def assertFails(self, hresult, call, *args, **kwargs):
        with self.assertRaises(quillon.com_error) as caught:
            call(*args, **kwargs)
        self.assertEqual(caught.exception.hresult, hresult, caught.exception)
        return caught.exception

    def test_name_and_dispid_reach_the_same_member(self):
        self.assertEqual(self.fo.StoreString("a", "hello"), 0)
        self.assertEqual(quillon.invoke(self.fo, 0x6003000B, "a"), 5)          # GetStoreSize
        self.assertEqual(quillon.invoke(self.fo, "getstoresize", "A"), 5)
        self.assertEqual(quillon.invoke(self.fo, 0x68030000, kind="get"), 0)   # ErrorNumber
        self.assertEqual(self.fo.ErrorString, "")
        self.assertIsNone(self.fo.clearerror())

    def test_a_get_property_may_be_called_as_a_method(self):
        self.assertEqual(quillon.invoke(self.fo, "ErrorString"), "")
        self.assertEqual(quillon.invoke(self.fo, "FileSize", kind="method"), 0)

    def test_by_reference_arguments_come_back(self):
        self.fo.StoreString("a", "hello")
        out, untouched = Ref("ignored"), "a"
        self.assertEqual(self.fo.GetBytes(untouched, 1, 3, out), 0)
        self.assertEqual(out.value, (104, 101, 108))
        raw = Ref()
        quillon.invoke(self.fo, "GetBytes", "a", 4, 2, raw, raw=True)
        self.assertEqual(raw.value, Variant(VT_BYTE_VARIANTS, (Variant(quillon.VT_UI1, 108), Variant(quillon.VT_UI1, 111))))

    def test_results_keep_their_vartype_through_raw(self):
        self.assertEqual(quillon.invoke(self.fo, "StoreString", "b", "xy", raw=True), Variant(quillon.VT_I2, 0))
        self.assertEqual(quillon.invoke(self.fo, "GetStoreSize", "b", raw=True).vt, quillon.VT_I4)
        self.assertEqual(quillon.invoke(self.fo, "StoreExists", "b", raw=True), Variant(quillon.VT_BOOL, True))
        self.assertEqual(quillon.invoke(self.fo, "ErrorString", kind="get", raw=True), Variant(quillon.VT_BSTR, ""))

    def test_creation_failures(self):
        self.assertFails(quillon.CO_E_CLASSSTRING, quillon.Dispatch, "Quillon.NoSuchClass")
        self.assertFails(quillon.CO_E_CLASSSTRING, quillon.Dispatch, "Quillon.Location")  # not creatable
        self.assertEqual(quillon.Dispatch("QUILLON.FILEOPS").StoreExists("x"), False)

    def test_dispatch_failures_carry_their_hresult(self):
        error = self.assertFails(quillon.DISP_E_UNKNOWNNAME, getattr, self.fo, "NoSuchMember")
        self.assertIsInstance(error, AttributeError)
        self.assertFalse(hasattr(self.fo, "NoSuchMember"))
        self.assertFails(quillon.DISP_E_MEMBERNOTFOUND, quillon.invoke, self.fo, 0x60031234)
        self.assertFails(quillon.DISP_E_MEMBERNOTFOUND, setattr, self.fo, "FileSize", 1)  # read-only
        self.assertFails(quillon.DISP_E_BADPARAMCOUNT, self.fo.StoreString, "a")
        missing = Variant(quillon.VT_ERROR, quillon.DISP_E_PARAMNOTFOUND)
        self.assertFails(quillon.DISP_E_PARAMNOTOPTIONAL, self.fo.StoreString, "a", missing)

    def test_a_member_failure_carries_its_exception_info(self):
        error = self.assertFails(quillon.DISP_E_EXCEPTION, self.fo.OpenFile, Null)
        self.assertEqual(error.excepinfo, (0, "Quillon", "Invalid use of Null", None, 0, signed(RUNTIME + 94)))
        self.assertEqual(error.number, 94)
        self.assertIsNone(error.argerror)

    def test_argument_failures_name_the_argument(self):
        error = self.assertFails(quillon.DISP_E_BADVARTYPE, self.fo.StoreString, "a", Variant(16, 1))
        self.assertEqual(error.argerror, 1)
        error = self.assertFails(quillon.DISP_E_OVERFLOW, self.fo.StoreString, Variant(quillon.VT_I2, 70000), "x")
        self.assertEqual(error.argerror, 0)
        with self.assertRaises(TypeError):
            self.fo.StoreString("a", object())

    def test_a_released_object_is_disconnected(self):
        quillon.release(self.fo)
        self.assertFails(quillon.RPC_E_DISCONNECTED, lambda: self.fo.ClearError())
        self.assertFails(quillon.RPC_E_DISCONNECTED, getattr, self.fo, "ErrorString")
        quillon.release(self.fo)  # again: nothing more to do


class FrameLimitTest(ServerTestCase):
    server_args = ("--max-frame", "65536")

    def test_a_result_over_the_limit_fails_alone(self):
        fo = quillon.Dispatch("Quillon.FileOps")
        path = os.path.join(self.server.folder, "large")
        with open(path, "wb") as large:
            large.write(b"x" * 70000)
        self.assertEqual(fo.OpenFile(path), 0)
        self.assertEqual(fo.FileRead(1, 70000, "s"), 0)  # a small call, a large store
        out = Ref()
        with self.assertRaises(quillon.com_error) as caught:
            fo.GetBytes("s", 1, 70000, out)
        self.assertEqual(caught.exception.hresult, quillon.E_OUTOFMEMORY)
        self.assertEqual(fo.GetStoreSize("s"), 70000)  # the connection goes on

    def test_a_call_over_the_limit_is_refused_before_it_is_sent(self):
        fo = quillon.Dispatch("Quillon.FileOps")
        with self.assertRaises(quillon.com_error) as caught:
            fo.StoreString("t", "x" * 70000)
        self.assertEqual(caught.exception.hresult, quillon.E_OUTOFMEMORY)
        self.assertFalse(fo.StoreExists("t"))


class FrameReaderTest(unittest.TestCase):
    """Answers the client parses on its fast path: what json.loads takes still reads,
    what it refuses still breaks the stream."""

    def read(self, body):
        reader = quillon._wire.FrameReader()
        reader.feed(b"Content-Length: %d\r\n\r\n" % len(body) + body)
        return reader.next()

    def test_only_a_whole_json_text_is_an_answer(self):
        self.assertEqual(self.read(b'{"id":1,"result":{"value":2}}'), {"id": 1, "result": {"value": 2}})
        self.assertEqual(self.read(b' {"id": 1} \n'), {"id": 1})
        for broken in (b'{"id":1}x', b'{"id":1}{"id":2}', b'{"id":', b"", b'"\xff"'):
            with self.assertRaises(ValueError, msg=broken):
                self.read(broken)


class VariantRoundTripTest(ServerTestCase):
    """The test build's EventProbe hands back what it was given, as the server saw it."""

    binary = TEST_SERVER

    def setUp(self):
        self.probe = quillon.Dispatch("Quillon.EventProbe")

    def echo(self, value):
        return quillon.invoke(self.probe, "Echo", value, raw=True)

    def test_python_values_take_their_natural_vartype(self):
        cases = [
            (None, Variant(quillon.VT_EMPTY, None)),
            (Null, Variant(quillon.VT_NULL, Null)),
            (True, Variant(quillon.VT_BOOL, True)),
            (5, Variant(quillon.VT_I4, 5)),
            (-(2 ** 31), Variant(quillon.VT_I4, -(2 ** 31))),
            (2 ** 31, Variant(quillon.VT_R8, 2.0 ** 31)),
            (0.1, Variant(quillon.VT_R8, 0.1)),
            ("h\u00e9 \U0001F600 \0", Variant(quillon.VT_BSTR, "h\u00e9 \U0001F600 \0")),
            ("\ud800 lone", Variant(quillon.VT_BSTR, "\ud800 lone")),
        ]
        for value, expected in cases:
            with self.subTest(value=value):
                self.assertEqual(self.echo(value), expected)

    def test_explicit_vartypes_survive(self):
        for vt, value in [(quillon.VT_I2, -7), (quillon.VT_UI1, 255), (quillon.VT_R4, 1.5),
                          (quillon.VT_ERROR, signed(RUNTIME + 53)), (quillon.VT_BSTR, "5"),
                          (quillon.VT_DATE, 45000.5), (quillon.VT_ARRAY | quillon.VT_UI1, b"\x00\xff")]:
            with self.subTest(vt=vt):
                self.assertEqual(self.echo(Variant(vt, value)), Variant(vt, value))
        self.assertTrue(math.isnan(self.echo(math.nan).value))
        self.assertEqual(self.probe.Echo(Variant(quillon.VT_I2, 3)), 3)
        self.assertEqual(self.probe.Echo(datetime.datetime(2024, 2, 29, 12)), datetime.datetime(2024, 2, 29, 12))

    def test_arrays_are_zero_based_variants_and_bytes_travel_compactly(self):
        self.assertEqual(self.probe.Echo([1, "a", [None, Null]]), (1, "a", (None, Null)))
        self.assertEqual(self.probe.Echo(b"\x01\x02"), (1, 2))
        self.assertEqual(self.echo(bytearray(b"\x07")),
                         Variant(VT_BYTE_VARIANTS, (Variant(quillon.VT_UI1, 7),)))
        self.assertEqual(self.probe.Echo(()), ())

    def test_lists_of_one_type_travel_packed_and_keep_every_vartype(self):
        wide = list(range(-(2 ** 31), 2 ** 31, 2 ** 23))  # 512 ints: 2 KiB packed, sent in the attachment
        cases = [([0, 255, 7], quillon.VT_I4), (wide, quillon.VT_I4), ([0.5, -math.inf, 1e300], quillon.VT_R8),
                 (["a", "h\u00e9 \U0001F600", ""], quillon.VT_BSTR), ([True, False], quillon.VT_BOOL)]
        for values, vt in cases:
            with self.subTest(vt=vt, count=len(values)):
                self.assertEqual(self.probe.Echo(values), tuple(values))
                self.assertEqual(self.echo(tuple(values)),
                                 Variant(VT_BYTE_VARIANTS, tuple(Variant(vt, value) for value in values)))
        # Arrays the server keeps of other types come back packed too, and decode alike.
        for vt, values in [(quillon.VT_I2, (-7, 300)), (quillon.VT_R4, (1.5, -0.25)), (quillon.VT_DATE, (45000.5,))]:
            with self.subTest(vt=vt):
                typed = tuple(Variant(vt, value) for value in values)
                self.assertEqual(self.echo(list(typed)), Variant(VT_BYTE_VARIANTS, typed))
        self.assertEqual(self.probe.Echo([datetime.datetime(2024, 2, 29, 12)]), (datetime.datetime(2024, 2, 29, 12),))
        # What cannot go packed goes a variant per element, each keeping its type.
        self.assertEqual(self.echo([1, 2 ** 31, True]), Variant(VT_BYTE_VARIANTS, (
            Variant(quillon.VT_I4, 1), Variant(quillon.VT_R8, 2.0 ** 31), Variant(quillon.VT_BOOL, True))))
        # Byte values with a bool among them: bytearray() would take True for 1.
        self.assertEqual(self.echo([7, 0, 1, False]), Variant(VT_BYTE_VARIANTS, (
            Variant(quillon.VT_I4, 7), Variant(quillon.VT_I4, 0), Variant(quillon.VT_I4, 1),
            Variant(quillon.VT_BOOL, False))))
        self.assertEqual(self.probe.Echo(["ok", "\ud800 lone"]), ("ok", "\ud800 lone"))
        a, b = Ref([1, 2, 3]), Ref(["x", "y"])
        self.probe.Swap(a, b)
        self.assertEqual((a.value, b.value), (("x", "y"), (1, 2, 3)))

    def test_large_byte_data_travels_in_calls_results_refs_and_events(self):
        big = bytes(range(256)) * 40  # large enough to travel raw after the JSON
        self.assertEqual(self.probe.Echo([big, b"\x01", Variant(quillon.VT_ARRAY | quillon.VT_UI1, big)]),
                         (tuple(big), (1,), big))
        a, b = Ref(big), Ref(Variant(quillon.VT_ARRAY | quillon.VT_UI1, big[::-1]))
        self.probe.Swap(a, b)
        self.assertEqual((a.value, b.value), (big[::-1], tuple(big)))

        class Values:
            seen = []

            def OnValue(self, value):  # noqa: N802 - named like the event
                self.seen.append(value)

        handler = quillon.WithEvents(self.probe, Values)
        self.assertEqual(self.probe.Raise(big), 1)
        self.assertEqual(handler.seen, [tuple(big)])

    def test_objects_travel_as_proxies_of_one_handle(self):
        self.assertEqual(self.probe.Self(), self.probe)
        self.assertIs(self.probe.Echo(self.probe), self.probe)
        child = self.probe.Child()
        self.assertNotEqual(child, self.probe)
        self.assertEqual(len({child, self.probe.Echo(child), self.probe}), 2)
        self.assertIsNone(self.probe.Echo(Variant(quillon.VT_DISPATCH, None)))

    def test_put_get_and_write_only_properties(self):
        self.probe.Store = Variant(quillon.VT_I2, 9)
        self.assertEqual(quillon.invoke(self.probe, "Value", kind="get", raw=True), Variant(quillon.VT_I2, 9))
        with self.assertRaises(quillon.com_error) as caught:
            self.probe.Store
        self.assertEqual(caught.exception.hresult, quillon.DISP_E_MEMBERNOTFOUND)

    def test_by_reference_swaps_both_ways(self):
        a, b = Ref(Variant(quillon.VT_I2, 1)), Ref("two")
        self.probe.Swap(a, b)
        self.assertEqual((a.value, b.value), ("two", 1))

    def test_runtime_errors_reach_the_client_with_their_number(self):
        with self.assertRaises(quillon.com_error) as caught:
            self.probe.Fail(53)
        self.assertEqual(caught.exception.number, 53)
        self.assertEqual(caught.exception.excepinfo[2], "File not found")


if __name__ == "__main__":
    unittest.main()

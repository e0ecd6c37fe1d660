"""FileOps end to end from a script: files, stores, conversions and compression through the server."""

import gzip
import os
import shutil
import sys
import tempfile
import time
import tracemalloc
import unittest

import quillon
from quillon import Ref
from support import ServerTestCase, sanitized


class FileOpsScriptTest(ServerTestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-fileops-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.fo = quillon.Dispatch("Quillon.FileOps")

    def path(self, name):
        return os.path.join(self.folder, name)

    def test_a_store_goes_to_a_file_and_comes_back(self):
        fo = self.fo
        self.assertEqual(fo.StoreBytes("out", b"\x00\x01binary\xff"), 0)
        self.assertEqual(fo.OpenFile(self.path("data.bin")), 0)
        self.assertEqual(fo.FileWrite(0, "out"), 0)
        self.assertEqual(fo.FileSize, 9)
        self.assertEqual(fo.FileRead(3, 6, "in"), 0)
        bytes_out = Ref()
        self.assertEqual(fo.GetBytes("in", 1, 6, bytes_out), 0)
        self.assertEqual(bytes(bytes_out.value), b"binary")
        fo.CloseFile()
        with open(self.path("data.bin"), "rb") as written:
            self.assertEqual(written.read(), b"\x00\x01binary\xff")

    def test_failures_arrive_as_codes_and_texts(self):
        self.assertEqual(self.fo.FileRead(1, 1, "x"), -1)  # no file open
        self.assertNotEqual(self.fo.ErrorString, "")
        self.assertEqual(self.fo.ErrorNumber, 0)
        self.fo.ClearError()
        self.assertEqual(self.fo.ErrorString, "")
        self.assertIsNone(self.fo.GetStoreSize("no such store"))  # a value-style failure
        self.assertNotEqual(self.fo.ErrorNumber, 0)

    def test_little_endian_longs(self):
        self.assertEqual(self.fo.LongToBytes(0x01020304), (4, 3, 2, 1))
        self.assertEqual(self.fo.BytesToLong(b"\xfe\xff\xff\xff"), -2)
        self.assertEqual(self.fo.BytesToLong(self.fo.LongToBytes(-123456)), -123456)

    def test_a_scripts_lists_of_numbers_are_byte_data(self):
        # Scripts that cannot hold bytes pass a list of ints (or of floats).
        data = [i * 7 & 0xFF for i in range(3000)]
        self.assertEqual(self.fo.StoreBytes("ints", data), 0)
        out = Ref()
        self.assertEqual(self.fo.GetBytes("ints", 1, len(data), out), 0)
        self.assertEqual(out.value, tuple(data))
        self.assertEqual(self.fo.ReplaceBytes("ints", 2, [255, 0]), 0)
        self.assertEqual(self.fo.StoreBytes("halves", [0.5, 1.5, 2.5, 254.6]), 0)
        self.assertEqual(self.fo.GetBytes("halves", 1, 4, out), 0)
        self.assertEqual(out.value, (0, 2, 2, 255))
        self.assertEqual(self.fo.BytesToLong([0x78, 0x56, 0x34, 0x12]), 0x12345678)
        self.assertEqual(self.fo.BytesToLong([True, False, False, False]), 255)
        # An element out of the byte range fails the whole call, as it always has.
        self.assertEqual(self.fo.StoreBytes("bad", data + [256]), 6)
        self.assertEqual(self.fo.ErrorString, "Overflow")
        self.assertEqual(self.fo.ReplaceBytes("ints", 1, [1, -1]), 6)
        self.assertFalse(self.fo.StoreExists("bad"))
        self.assertEqual(self.fo.GetBytes("ints", 1, 3, out), 0)
        self.assertEqual(out.value, (0, 255, 0))

    def test_a_64_mib_list_of_ints_stores_in_seconds_at_its_own_size(self):
        # Packed, four bytes an element, with no object per element on the way.
        if sanitized():
            self.skipTest("a sanitized server takes minutes over 256 MiB")
        data = list(range(256)) * (1 << 18)
        own = sys.getsizeof(data)  # the ints themselves are the interpreter's shared small ints
        tracemalloc.start()
        try:
            started = time.monotonic()
            self.assertEqual(self.fo.StoreBytes("big", data), 0)
            took = time.monotonic() - started
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        del data
        self.assertLess(peak, own, "the client took %d MiB more for a list of %d MiB" % (peak >> 20, own >> 20))
        self.assertLess(took, 60)
        self.assertEqual(self.fo.GetStoreSize("big"), 64 << 20)
        out = Ref()
        self.assertEqual(self.fo.GetBytes("big", (64 << 20) - 511, 512, out), 0)
        self.assertEqual(out.value, tuple(range(256)) * 2)
        self.fo.DeleteStore("big")

    def test_compression_of_stores_and_files(self):
        text = "compress me " * 100
        self.fo.StoreString("z", text)
        self.assertEqual(self.fo.Zip("z"), 0)
        self.assertLess(self.fo.GetStoreSize("z"), len(text))
        self.assertEqual(self.fo.Unzip("z", len(text)), 0)
        self.assertEqual(self.fo.GetStoreSize("z"), len(text))

        with open(self.path("plain.txt"), "wb") as plain:
            plain.write(text.encode())
        self.assertEqual(self.fo.GZipFile(self.path("plain.txt"), self.path("plain.txt.gz")), 0)
        with gzip.open(self.path("plain.txt.gz")) as packed:
            self.assertEqual(packed.read(), text.encode())


if __name__ == "__main__":
    unittest.main()

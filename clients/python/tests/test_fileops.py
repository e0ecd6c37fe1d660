"""FileOps end to end from a script: files, stores, conversions and compression through the server."""

import gzip
import os
import shutil
import tempfile
import unittest

import quillon
from quillon import Ref
from support import ServerTestCase


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

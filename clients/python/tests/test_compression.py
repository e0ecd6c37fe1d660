"""Store compression and gzip files from a script, with the exact result widths a script sees."""

import gzip
import os
import shutil
import struct
import tempfile
import unittest
import zlib

import quillon
from quillon import Null, Ref, Variant
from support import ServerTestCase


def I2(value):  # noqa: N802 - VARTYPE names
    return Variant(quillon.VT_I2, value)


def I4(value):  # noqa: N802
    return Variant(quillon.VT_I4, value)


class CompressionScriptTest(ServerTestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-compression-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.fo = quillon.Dispatch("Quillon.FileOps")

    def path(self, name):
        return os.path.join(self.folder, name)

    def call(self, member, *args):
        return quillon.invoke(self.fo, member, *args, raw=True)

    def test_stores_compress_to_zlib_streams_and_back(self):
        data = bytes(range(256)) * 40
        self.fo.StoreBytes("s", data)
        self.assertEqual(self.call("Zip", "s"), I2(0))
        packed = Ref()
        self.fo.GetBytes("s", 1, self.fo.GetStoreSize("s"), packed)
        self.assertEqual(zlib.decompress(bytes(packed.value)), data)

        self.fo.StoreBytes("py", zlib.compress(data))
        self.assertEqual(self.call("Unzip", "py", len(data)), I2(0))
        self.assertEqual(self.fo.GetStoreSize("py"), len(data))

        self.fo.StoreBytes("bad", b"not zlib")
        self.assertEqual(self.call("Unzip", "bad", 100), I4(-3))
        self.assertEqual(self.fo.ErrorString, "Zip error: Input data corrupt")
        self.assertEqual(self.call("Zip", "missing"), I4(5))
        self.assertEqual(self.call("Unzip", "s", Null), I4(94))
        self.assertEqual(self.fo.ErrorNumber, 0)

    def test_gzip_files_carry_name_and_time_both_ways(self):
        source = self.path("notes.txt")
        with open(source, "wb") as f:
            f.write(b"line\n" * 500)
        os.utime(source, (1500000000, 1500000000))
        self.assertEqual(self.call("GZipFile", source, self.path("n.gz")), I2(0))
        with open(self.path("n.gz"), "rb") as f:
            written = f.read()
        self.assertEqual(written[:10], b"\x1f\x8b\x08\x08" + struct.pack("<i", 1500000000) + b"\x00\xff")
        self.assertEqual(written[10:20], b"notes.txt\x00")
        self.assertEqual(gzip.decompress(written), b"line\n" * 500)

        os.mkdir(self.path("out"))
        target = Ref(self.path("out/other.txt"))
        self.assertEqual(self.call("GUnZipFile", self.path("n.gz"), target, False), I2(0))
        self.assertEqual(target.value, Variant(quillon.VT_BSTR, self.path("out/notes.txt")))
        self.assertEqual(os.stat(self.path("out/notes.txt")).st_mtime, 1500000000)

        exact = Ref(self.path("out/exact.txt"))
        self.assertEqual(self.call("GUnZipFile", self.path("n.gz"), exact, True), I2(0))
        self.assertEqual(exact.value, Variant(quillon.VT_BSTR, self.path("out/exact.txt")))
        with open(self.path("out/exact.txt"), "rb") as f:
            self.assertEqual(f.read(), b"line\n" * 500)

    def test_failures_write_nothing(self):
        self.assertEqual(self.call("GZipFile", self.path("missing"), self.path("m.gz")), I4(53))
        with open(self.path("src"), "wb") as f:
            f.write(b"data")
        self.assertEqual(self.call("GZipFile", self.path("src"), self.path("no/folder.gz")), I2(1))
        self.assertEqual(self.fo.ErrorString, "zlib error: Unable to open destination file.")

        long_name = gzip.compress(b"x")
        long_name = long_name[:3] + b"\x08" + long_name[4:10] + b"n" * 121 + b"\x00" + long_name[10:]
        with open(self.path("long.gz"), "wb") as f:
            f.write(long_name)
        self.assertEqual(self.call("GUnZipFile", self.path("long.gz"), Ref(self.path("x")), False), I4(5))
        self.assertEqual(self.call("GUnZipFile", self.path("src"), Ref(self.path("x")), True), I4(9))
        self.assertEqual(sorted(os.listdir(self.folder)), ["long.gz", "src"])


if __name__ == "__main__":
    unittest.main()

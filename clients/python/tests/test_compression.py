"""Store compression and gzip files from a script, with the exact result widths a script sees."""

import collections
import gzip
import io
import os
import random
import shutil
import struct
import subprocess
import tempfile
import unittest
import zlib

import quillon
from quillon import Null, Ref, Variant
from support import WAIT, ServerTestCase


def I2(value):  # noqa: N802 - VARTYPE names
    return Variant(quillon.VT_I2, value)


def I4(value):  # noqa: N802
    return Variant(quillon.VT_I4, value)


# One gzip member: its bytes, and the name and time its header stores (None, 0: none).
Member = collections.namedtuple("Member", "data name mtime")


def python_member(content, name=None, mtime=0):
    """A member as Python's gzip module writes it."""
    packed = io.BytesIO()
    with gzip.GzipFile(filename=name or "", mode="wb", fileobj=packed, mtime=mtime) as member:
        member.write(content)
    return Member(packed.getvalue(), name, mtime)


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

    def gzip_command_member(self, name, content, mtime):
        """A member as the gzip command writes it, storing the file's name and time."""
        os.makedirs(self.path("members"), exist_ok=True)
        source = self.path(os.path.join("members", name))
        with open(source, "wb") as f:
            f.write(content)
        os.utime(source, (mtime, mtime))
        packed = subprocess.run(["gzip", "-9", "-c", source], capture_output=True, check=True, timeout=WAIT)
        return Member(packed.stdout, name, mtime)

    @unittest.skipUnless(shutil.which("gzip"), "needs the gzip command")
    def test_members_padding_and_damage_read_as_the_gzip_command_reads_them(self):
        # Larger than a piece the server reads or writes at once.
        first = self.gzip_command_member("first.txt", random.Random(14).randbytes(700000), 1400000000)
        second = python_member(b"second\n")
        third = python_member(b"third\n" * 1000, "third.txt", 1300000000)
        empty_named = python_member(b"", "empty.txt", 1200000000)
        empty = python_member(b"")
        bad_crc = second.data[:-8] + bytes([second.data[-8] ^ 1]) + second.data[-7:]
        bad_length = third.data[:-4] + struct.pack("<I", 6001)
        cases = [  # what, the file's pieces (the first a member), whether gzip -dc exits 0
            ("two members", [first, second], True),
            ("three members", [first, second, third], True),
            ("an empty member first", [empty_named, second, third], True),
            ("an empty member last", [first, second, empty], True),
            ("zero padding", [first, bytes(1000)], True),
            ("one zero byte", [first, third, b"\0"], True),
            ("zero padding longer than a piece", [second, bytes(600000)], True),
            ("garbage after a member", [first, b"\xf0\xff\xff\x7f"], False),
            ("garbage after zero padding", [first, bytes(10), b"x"], False),
            ("a member after zero padding", [first, bytes(2), second], False),
            ("a bad CRC in the middle member", [first, bad_crc, third], False),
            ("a bad length in the last member", [first, second, bad_length], False),
            ("a truncated last member", [first, second, third.data[:-5]], False),
            ("a second header cut short", [first, b"\x1f\x8b"], False),
        ]
        out = self.path("out")
        for what, pieces, valid in cases:
            with self.subTest(what):
                with open(self.path("in.gz"), "wb") as f:
                    f.write(b"".join(piece.data if isinstance(piece, Member) else piece for piece in pieces))
                peer = subprocess.run(["gzip", "-dc", self.path("in.gz")], capture_output=True, timeout=WAIT)
                self.assertEqual(peer.returncode == 0, valid, peer.stderr)
                # The stored name and time are the first member's; a file there is
                # replaced by a success and left alone by a failure.
                shutil.rmtree(out, True)
                os.mkdir(out)
                destination = os.path.join(out, pieces[0].name or "given")
                with open(destination, "wb") as f:
                    f.write(b"keep")
                target = Ref(os.path.join(out, "given"))
                result = self.call("GUnZipFile", self.path("in.gz"), target, False)
                if valid:
                    self.assertEqual(result, I2(0), self.fo.ErrorString)
                    self.assertEqual(target.value, Variant(quillon.VT_BSTR, destination))
                    with open(destination, "rb") as f:
                        self.assertTrue(f.read() == peer.stdout, "the content differs from gzip -dc's")
                    if pieces[0].mtime:
                        self.assertEqual(os.stat(destination).st_mtime, pieces[0].mtime)
                else:
                    self.assertEqual(result, I4(9))
                    self.assertEqual(self.fo.ErrorString, "Subscript out of range")
                    with open(destination, "rb") as f:
                        self.assertEqual(f.read(), b"keep")
                self.assertEqual(os.listdir(out), [os.path.basename(destination)])


if __name__ == "__main__":
    unittest.main()

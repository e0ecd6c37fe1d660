#!/usr/bin/env python3
"""FileOps: stores written to a file and read back, a 32-bit number as little-endian
bytes, a byte changed, and the file gzipped, all in a scratch folder.

    python3 examples/fileops.py
"""

import os
import sys
import tempfile

try:
    import quillon
except ImportError:  # run from a checkout, without the client installed
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "clients", "python"))
    import quillon


def main():
    fo = quillon.Dispatch("Quillon.FileOps")
    with tempfile.TemporaryDirectory(prefix="quillon-fileops-") as folder:
        path = os.path.join(folder, "record.bin")

        # Positions count from 1 in files and stores alike; FileWrite at 0 appends.
        fo.StoreString("text", "Hello, file")
        fo.StoreBytes("number", fo.LongToBytes(1000))  # 4 bytes, little-endian
        fo.OpenFile(path)  # created when missing
        fo.FileWrite(1, "text")
        fo.FileWrite(0, "number")
        print("wrote", fo.FileSize, "bytes to", path)

        # Read the number back from the file's last four bytes.
        fo.FileRead(fo.FileSize - 3, 4, "tail")
        tail = quillon.Ref()
        fo.GetBytes("tail", 1, 4, tail)
        print("number at the end:", fo.BytesToLong(tail.value))

        # Change a byte in a store and write the store over the file's start.
        fo.ReplaceBytes("text", 1, [ord("J")])
        fo.FileWrite(1, "text")
        fo.CloseFile()
        with open(path, "rb") as f:
            print("file now:", f.read())

        # Failures set ErrorNumber and ErrorString instead of raising. This one is on
        # purpose, to show them: the error printed next is what the example expects.
        fo.GetStoreSize("no such store")
        print("an expected error, %d: %s" % (fo.ErrorNumber, fo.ErrorString))
        fo.ClearError()

        if fo.GZipFile(path, path + ".gz") != 0:
            print("gzip failed:", fo.ErrorString, file=sys.stderr)
            return 1
        print("gzipped to", path + ".gz", os.path.getsize(path + ".gz"), "bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""FileOps from a script: stores, a file, little-endian longs and gzip, through the server."""

import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "clients", "python"))

import quillon  # noqa: E402


def main():
    with tempfile.TemporaryDirectory(prefix="quillon-tour-") as folder:
        tour(quillon.Dispatch("Quillon.FileOps"), os.path.join(folder, "hello.txt"))


def tour(fo, path):

    fo.StoreString("text", "Hello from a script.\n")
    fo.OpenFile(path)
    fo.FileWrite(0, "text")
    print("wrote %d bytes to %s" % (fo.FileSize, path))
    fo.CloseFile()

    first = quillon.Ref()
    fo.GetBytes("text", 1, 5, first)
    print("first bytes:", bytes(first.value))
    print("1000 as little-endian bytes:", fo.LongToBytes(1000))

    if fo.GZipFile(path, path + ".gz") == 0:
        print("compressed to", path + ".gz")
    try:
        fo.OpenFile(quillon.Null)
    except quillon.com_error as error:
        print("OpenFile(Null) failed as it should: error %d, %s" % (error.number, error.excepinfo[2]))
    quillon.release(fo)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (tests/fuzz/corpus/TARGET/).

The seeds are small, valid or nearly valid inputs of each kind, so the fuzzer
starts from inputs that reach deep into the parsers. Run it again after
changing it; it rewrites every seed it makes and removes none it does not.
    tests/fuzz/make_seeds.py [SAMPLE_CITY_DATABASE]
"""

import gzip
import json
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def gzip_member(content, name=None, mtime=1000000000, extra=None):
    flags = (8 if name is not None else 0) | (4 if extra is not None else 0)
    header = b"\x1f\x8b\x08" + bytes([flags]) + struct.pack("<I", mtime) + b"\x00\xff"
    if extra is not None:
        header += struct.pack("<H", len(extra)) + extra
    if name is not None:
        header += name + b"\x00"
    deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
    body = deflate.compress(content) + deflate.flush()
    return header + body + struct.pack("<II", zlib.crc32(content), len(content) & 0xFFFFFFFF)


def http_reply():
    cuts = bytes(8)
    ok = b"HTTP/1.0 200 OK\r\nServer: fixture\r\nContent-Type: text/plain\r\n\r\nline1\nline2\r\nline3\r"
    write("http_reply", "ok", cuts + ok)
    write("http_reply", "ok_cut_small", bytes([7, 50, 1, 200, 3, 0, 51, 9]) + ok)
    write("http_reply", "not_found", cuts + b"HTTP/1.1 404 Not Found\r\nServer: x\r\n\r\n<html>gone</html>")
    write("http_reply", "redirect", cuts + b"HTTP/1.0 302 Found\r\nContent-Location: /c.txt\r\n"
          b"Location: http://example.test/new\r\n\r\nmoved")
    write("http_reply", "no_reason", cuts + b"HTTP/1.0 200\r\nA: b\r\nPadding: to make it longer than fifty\r\n\r\nx")
    write("http_reply", "short_first_block", bytes([40, 0, 0, 0, 0, 0, 0, 0]) +
          b"HTTP/1.0 200 OK\r\nServer: fixture, this part comes later\r\n\r\nbody")
    write("http_reply", "no_header", cuts + b"just some bytes with no header at all\n" * 3)
    write("http_reply", "bare_lines", cuts + b"HTTP/1.0 200 OK\nServer: fixture\n\n\r\n\r\na\rb\n\rc")


def gzip_header():
    write("gzip_header", "named", gzip_member(b"hello", b"hello.txt")[:40])
    write("gzip_header", "extra", gzip_member(b"x", b"n", extra=b"AB\x02\x00hi")[:40])
    write("gzip_header", "plain", gzip_member(b"x")[:20])
    write("gzip_header", "name_119", gzip_member(b"", b"a" * 119)[:140])
    write("gzip_header", "name_120", gzip_member(b"", b"b" * 120)[:140])
    write("gzip_header", "name_121", gzip_member(b"", b"c" * 121)[:140])
    write("gzip_header", "path_names", b"../../etc/passwd\x00a\\b\\..\x00" + "dé/ü".encode("utf-8"))
    write("gzip_header", "not_gzip", b"PK\x03\x04 not gzip at all")


def gunzip_file():
    text = b"The quick brown fox jumps over the lazy dog.\n" * 4
    write("gunzip_file", "named", b"\x00" + gzip_member(text, b"fox.txt"))
    write("gunzip_file", "exact_path", b"\x01" + gzip_member(text, b"fox.txt"))
    write("gunzip_file", "python", b"\x00" + gzip.compress(text, mtime=0))
    write("gunzip_file", "extra_field", b"\x00" + gzip_member(text, b"e.txt", extra=b"XY\x03\x00abc"))
    write("gunzip_file", "two_members", b"\x00" + gzip_member(b"first ") + gzip_member(b"second", b"two"))
    write("gunzip_file", "escaping_name", b"\x00" + gzip_member(b"data", b"../../outside.txt"))
    write("gunzip_file", "backslash_name", b"\x00" + gzip_member(b"data", b"..\\..\\win.txt"))
    write("gunzip_file", "dot_dot_name", b"\x00" + gzip_member(b"data", b".."))
    write("gunzip_file", "empty_content", b"\x00" + gzip_member(b"", b"empty"))
    # Members after the first, zero padding, and what must fail after a good member.
    middle = gzip_member(b"middle ")
    write("gunzip_file", "three_members", b"\x00" + gzip_member(b"", b"empty") + middle + gzip.compress(text, mtime=0))
    write("gunzip_file", "zero_padding", b"\x00" + gzip_member(text, b"padded") + bytes(64))
    write("gunzip_file", "garbage_after", b"\x00" + gzip_member(text, b"g") + bytes(3) + b"\x1f\x8b\x08")
    write("gunzip_file", "bad_crc_middle", b"\x00" + gzip_member(b"one ") + middle[:-8] + bytes([middle[-8] ^ 1])
          + middle[-7:] + gzip_member(b"three"))
    write("gunzip_file", "forged_isize", b"\x00" + gzip_member(text, b"big")[:-4] + b"\xf0\xff\xff\x7f")
    write("gunzip_file", "truncated", b"\x00" + gzip_member(text, b"cut")[:30])
    write("gunzip_file", "store_unzip", b"\x80" + struct.pack("<H", len(text)) + zlib.compress(text, 9))
    write("gunzip_file", "store_unzip_small", b"\x80\x05\x00" + zlib.compress(text, 9))
    # 32-bit guesses: 2.1 billion for a few bytes, and one whose room passes 32 bits.
    write("gunzip_file", "store_unzip_huge_guess", b"\xc0" + struct.pack("<i", 2100000000) + zlib.compress(text, 9))
    write("gunzip_file", "store_unzip_guess_too_big", b"\xc0" + struct.pack("<i", 2147483000) + zlib.compress(text))


def frame(body):
    return b"Content-Length: %d\r\n\r\n" % len(body) + body


def frame_reader():
    settings = struct.pack("<H", 512) + bytes([5, 17, 1, 96])
    request = frame(b'{"jsonrpc":"2.0","id":1,"method":"initialize"}')
    write("frame_reader", "two_frames", settings + request + frame(b'{"jsonrpc":"2.0","id":2,"method":"typelib"}'))
    write("frame_reader", "other_headers", settings + b"Content-Type: application/vscode-jsonrpc; charset=utf-8\r\n"
          b"content-length: 2\r\n\r\n{}")
    write("frame_reader", "oversized", settings + b"Content-Length: 100000\r\n\r\n" + b"x" * 600 + request)
    write("frame_reader", "huge_claim", settings + b"Content-Length: 1073741824\r\n\r\n{")
    write("frame_reader", "longest_length", settings + b"Content-Length: 9999999999999999999\r\n\r\n{")
    write("frame_reader", "malformed", settings + b"Content-Lenght 12\r\n\r\n{}")
    write("frame_reader", "bare_lf", settings + b"Content-Length: 2\n\n{}")
    write("frame_reader", "attachment", settings + b"Content-Length: 6\r\nQuillon-Json-Length: 2\r\n\r\n{}\x00\x01\x02\x03"
          + request)
    write("frame_reader", "attachment_too_long", settings + b"Content-Length: 2\r\nQuillon-Json-Length: 3\r\n\r\n{}")


def rpc_message():
    def pieces(*messages):
        return b"\x00".join(json.dumps(m).encode() for m in messages)

    def call(id_, method, **params):
        return {"jsonrpc": "2.0", "id": id_, "method": method, "params": params}

    fileops = [
        call(1, "create", progid="Quillon.FileOps"),
        call(2, "invoke", object=1, member="StoreString", args=["a", "some text"]),
        call(3, "invoke", object=1, member="GetBytes", args=["a", 1, 4, None], refs=[3]),
        call(4, "invoke", object=1, member="StoreBytes", args=["b", {"vt": 8204, "bytes": "AAH/"}]),
        call(5, "invoke", object=1, member="Zip", args=["b"]),
        call(6, "invoke", object=1, member="Unzip", args=["b", 3]),
        call(7, "invoke", object=1, member="LongToBytes", args=[{"vt": 3, "value": -2}]),
        call(8, "getDispId", object=1, name="ErrorString"),
        call(9, "invoke", object=1, member=1745027072, kind="get"),
        call(10, "release", object=1),
    ]
    write("rpc_message", "fileops", b"\x01" + pieces(*fileops))
    write("rpc_message", "fileops_hang_up", b"\x05" + pieces(*fileops[:4]))
    variants = [{"vt": 0}, {"vt": 1}, {"vt": 2, "value": -5}, {"vt": 3, "value": 7}, {"vt": 4, "value": 1.5},
                {"vt": 5, "value": "NaN"}, {"vt": 7, "value": 45000.25}, {"vt": 8, "value": "text"},
                {"vt": 8, "utf16": "AND4AA=="}, {"vt": 9, "handle": None}, {"vt": 10, "value": -2147352572},
                {"vt": 11, "value": True}, {"vt": 17, "value": 255}, {"vt": 8209, "bytes": "AQID"},
                {"vt": 8204, "lbound": 1, "items": [1, "two", [3.5, None]]}, None, True, 12, 1.25, "bare", [1, [2]]]
    write("rpc_message", "variants", b"\x01" + pieces(
        call(1, "create", progid="quillon.fileops"),
        call(2, "invoke", object=1, member="BytesToLong", args=variants)))
    write("rpc_message", "downloader", b"\x01" + pieces(
        call(1, "create", progid="Quillon.Downloader"),
        call(2, "advise", object=1),
        call(3, "invoke", object=1, member="Port", kind="put", args=[8080]),
        call(4, "invoke", object=1, member="RequestFile", args=["http://files.test", "a.txt"]),
        call(5, "invoke", object=1, member="CurFileAsString", kind="get"),
        call(6, "unadvise", sink=1)))
    write("rpc_message", "ipinfo", b"\x01" + pieces(
        call(1, "create", progid="Quillon.IPInfo"),
        call(2, "advise", object=1),
        call(3, "invoke", object=1, member="EnableHostNameData"),
        call(4, "invoke", object=1, member="GetHostNameFromIP", args=["127.1"]),
        call(5, "invoke", object=1, member="GetRegionName", args=["FR", "A1"]),
        call(6, "invoke", object=1, member="GetLocationFromIP", args=["192.0.2.1"]),
        call(7, "typelib")))
    write("rpc_message", "envelopes", b"\x00" + b"{not json\x00[]\x0042\x00" + pieces(
        {"id": 1, "method": "typelib"}, call(1.5, "typelib"), {"jsonrpc": "2.0", "id": 3},
        {"jsonrpc": "2.0", "id": 4, "result": None}, {"jsonrpc": "2.0", "method": "release", "params": {"object": 9}},
        call(2, "initialize"), call(3, "frobnicate"), call(4, "exit")))
    write("rpc_message", "raw_stream", b"\x02" + frame(b'{"jsonrpc":"2.0","id":1,"method":"initialize"}') +
          b"Content-Length: 5\r\n\r\n{\"a\":" + b"Content-Length: 99999999\r\n\r\n")
    # Counts, bounds and lengths that name gigabytes in a few bytes of JSON.
    big = {"vt": 8204, "lbound": 2147483645, "items": [1, 2, 3]}
    top = {"vt": 8204, "lbound": 2147483647, "items": [1]}
    write("rpc_message", "huge_sizes", b"\x01" + pieces(
        call(1, "create", progid="Quillon.FileOps"),
        call(2, "invoke", object=1, member="StoreBytes", args=["a", big]),
        call(3, "invoke", object=1, member="StoreBytes", args=["a", top]),
        call(4, "invoke", object=1, member="StoreBytes", args=["a", {"vt": 8204, "lbound": 2147483645, "bytes": "AQID"}]),
        call(5, "invoke", object=1, member="StoreBytes", args=["a", {"vt": 8204, "lbound": 2147483647, "items": [1, 2]}]),
        call(6, "invoke", object=1, member="StoreString", args=["s", "some text"]),
        call(7, "invoke", object=1, member="ReplaceBytes", args=["s", 1, big]),
        call(8, "invoke", object=1, member="BytesToLong", args=[top]),
        call(9, "invoke", object=1, member="GetBytes", args=["s", 1, 2147483647, None], refs=[3]),
        call(10, "invoke", object=1, member="CopyBytes", args=["s", 2, 2147483647, "t", 2147483647]),
        call(11, "invoke", object=1, member="FileRead", args=[1, 2147483647, "f"]),
        call(12, "invoke", object=1, member="Zip", args=["s"]),
        call(13, "invoke", object=1, member="Unzip", args=["s", 2100000000]),
        call(14, "invoke", object=1, member="StoreBytes",
             args=["a", {"vt": 8209, "attached": [9223372036854775807, 9223372036854775807]}])))
    # Arrays of one type, packed: each element type, each place the elements may be,
    # and the ways a packed array can be malformed.
    packed = [{"vt": 8204, "of": 3, "bytes": "AQAAAP8AAAA="}, {"vt": 8204, "of": 2, "bytes": "BwD5/w=="},
              {"vt": 8204, "of": 5, "bytes": "AAAAAAAA8D8AAAAAAAD4fw=="}, {"vt": 8204, "of": 4, "bytes": "AADAPw=="},
              {"vt": 8204, "of": 7, "bytes": "AAAAAAD35UA="}, {"vt": 8204, "of": 11, "bytes": "AQAB"},
              {"vt": 8204, "of": 17, "bytes": "AQID"}, {"vt": 8204, "of": 8, "values": ["a", "\u00e9", ""]},
              {"vt": 8204, "of": 3, "lbound": 1, "bytes": "AQAAAAIAAAA="},
              {"vt": 8204, "of": 8, "lbound": -1, "values": ["x"]},
              {"vt": 8204, "of": 3, "bytes": "AQID"}, {"vt": 8204, "of": 9, "bytes": ""},
              {"vt": 8204, "of": 8, "values": [1]}, {"vt": 8204, "of": 11, "bytes": "Ag=="},
              {"vt": 8204, "of": 7, "bytes": "AAAAAAAA+H8="}, {"vt": 8204, "of": 3, "items": [1]},
              {"vt": 8204, "of": 3, "lbound": 2147483647, "bytes": "AQAAAAIAAAA="}]
    write("rpc_message", "packed_arrays", b"\x01" + pieces(
        call(1, "create", progid="Quillon.FileOps"),
        *[call(2 + i, "invoke", object=1, member="StoreBytes", args=["p", array], refs=[1])
          for i, array in enumerate(packed)],
        call(40, "invoke", object=1, member="ReplaceBytes", args=["p", 1, packed[0]]),
        call(41, "invoke", object=1, member="BytesToLong", args=[packed[0]]),
        call(42, "invoke", object=1, member="BytesToLong", args=[packed[7]])))
    # A client that reads packed arrays back, and one sent in the attachment.
    ints = json.dumps(call(3, "invoke", object=1, member="StoreBytes", args=["a", {"vt": 8204, "of": 3,
                      "attached": [0, 8]}], refs=[1])).encode()
    write("rpc_message", "packed_attachment", b"\x02" +
          frame(b'{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"packedArrays":true}}') +
          frame(json.dumps(call(2, "create", progid="Quillon.FileOps")).encode()) +
          b"Content-Length: %d\r\nQuillon-Json-Length: %d\r\n\r\n" % (len(ints) + 8, len(ints)) +
          ints + b"\x01\x00\x00\x00\xff\x00\x00\x00" +
          frame(json.dumps(call(4, "invoke", object=1, member="LongToBytes", args=[-2])).encode()))
    attached = json.dumps(call(3, "invoke", object=1, member="StoreBytes",
                               args=["a", {"vt": 8209, "attached": [0, 4]}])).encode()
    write("rpc_message", "attachment", b"\x02" + frame(b'{"jsonrpc":"2.0","id":1,"method":"initialize"}') +
          frame(json.dumps(call(2, "create", progid="Quillon.FileOps")).encode()) +
          b"Content-Length: %d\r\nQuillon-Json-Length: %d\r\n\r\n" % (len(attached) + 4, len(attached)) +
          attached + b"\x01\x02\x03\x04")


def text_convert():
    numbers = ["  12.5e3 ", "&H7FFF", "&hFFFFFFFF", "&O17", "-0", "1e400", "-1.5", "2.5", ".5", "1.",
               "1,000", "$5", "True", " false ", "yes", "", "1d3", "0x10"]
    for i, text in enumerate(numbers):
        write("text_convert", "number_%02d" % i, b"\x00" + text.encode("cp1252"))
    write("text_convert", "number_units", b"\x01" + "\uff11\u00a0\u0662 3".encode("utf-16-le"))
    write("text_convert", "encodings", b"\x02" + "déjà vu € \U0001f600".encode("utf-8") + b"\xff\xc0\x80\xed\xa0\x80")
    for i, text in enumerate(["127.1", "0x7f.1", "1.2.3.4 junk", "010.0.0.1", "255.255.255.255", "1.2.3.4.5",
                              "4294967295", "0xffffffff", "1.16777215", " 1.2.3.4", "1.2.3.4\tx", "abc"]):
        write("text_convert", "address_%02d" % i, b"\x03" + text.encode())


def region_name():
    def units(text):
        data = text.encode("utf-16-le")
        return bytes([len(data)]) + data

    write("region_name", "france", b"\x00" + units("FR") + units("A1"))
    write("region_name", "us", b"\x00" + units("US") + units("NY"))
    write("region_name", "inside_a_record", b"\x00" + units("R,") + units("A"))
    table = "FR,A1,Bourgogne*FR,A2,Bretagne, Region*GB,H9,London, City of  *\x00\x00"
    write("region_name", "own_table", b"\x01" + units("FR") + units("A2") + table.encode("utf-16-le"))


def city_database(sample):
    def node(left, right):
        return struct.pack("<I", left)[:3] + struct.pack("<I", right)[:3]

    def coordinate(value):
        return struct.pack("<I", round((value + 180) * 10000))[:3]

    # The two-network example of the format note: 128.0.0.0/1 US, 64.0.0.0/2 FR.
    us = b"\xe1NY\x00NYC\x0010001\x00" + coordinate(40.7128) + coordinate(-74.006) + struct.pack("<I", 501212)[:3]
    fr = b"\x4aA1\x00Dijon\x00\x00" + coordinate(47.322) + coordinate(5.0415)
    segments = 2
    data = b"\x00" + us + fr
    tree = node(1, segments + 1) + node(segments, segments + 1 + len(us))
    for rev, name in ((2, "rev1"), (6, "rev0")):
        db = tree + data + b"\x00\x00\x00T" + b"\xff\xff\xff" + bytes([rev]) + struct.pack("<I", segments)[:3]
        addresses = struct.pack(">IIII", 0xC8010101, 0x40000001, 0x3FFFFFFF, 0x80000000)
        write("city_database", "two_networks_" + name, addresses + db)
    looped = node(1, segments + 1) + node(0, segments)
    write("city_database", "loop", bytes(16) + looped + data + b"\xff\xff\xff\x02" + struct.pack("<I", 2)[:3])
    # A search tree of 16 million nodes claimed by a file of a few dozen bytes.
    write("city_database", "segments_beyond_file", bytes(16) + tree + data + b"\xff\xff\xff\x02\xff\xff\xff")
    if sample:
        with open(sample, "rb") as db:
            write("city_database", "sample", struct.pack(">IIII", 0xC0000201, 0xC6336405, 0xCB0071C8, 0xCB007101)
                  + db.read())


def rpc_envelope():
    bodies = {
        "request": b'{"jsonrpc":"2.0","id":1,"method":"invoke","params":{"object":1,"member":"FileSize","args":[]}}',
        "notification": b'{"jsonrpc":"2.0","method":"release","params":{"object":3,"count":1}}',
        "answer": b'{"jsonrpc":"2.0","id":7,"result":null}',
        "answer_error": b'{"jsonrpc":"2.0","id":8,"error":{"code":-32000,"message":"x"}}',
        "string_id": b'{"jsonrpc":"2.0","id":"a","method":"typelib"}',
        "batch": b'[{"jsonrpc":"2.0","id":1,"method":"typelib"}]',
        "bad_params": b'{"jsonrpc":"2.0","id":2,"method":"create","params":[1]}',
        "old_version": b'{"jsonrpc":"1.0","id":3,"method":"typelib"}',
        "neither": b'{"jsonrpc":"2.0","id":4}',
        "deep": b'{"jsonrpc":"2.0","id":' + b"[" * 600 + b"]" * 600 + b"}",
        "not_utf8": b'{"jsonrpc":"2.0","id":5,"method":"\xff"}',
    }
    for name, body in bodies.items():
        write("rpc_envelope", name, body)


def dns_message():
    def name(dotted):
        return b"".join(bytes([len(label)]) + label for label in dotted.encode().split(b".") if label) + b"\x00"

    def pointer(offset):
        return struct.pack(">H", 0xC000 | offset)

    def record(owner, rtype, data):
        return owner + struct.pack(">HHIH", rtype, 1, 60, len(data)) + data

    def reply(qname, qtype, answers=(), flags=0x8180, qid=0x1234):
        return (struct.pack(">HHHHHH", qid, flags, 1, len(answers), 0, 0) + name(qname) +
                struct.pack(">HH", qtype, 1) + b"".join(answers))

    def forward(host, message):
        # Not reversed, the id (little-endian, as the target reads it), the name.
        return b"\x00" + struct.pack("<H", 0x1234) + bytes([len(host)]) + host.encode() + message

    def reverse(address, message):
        return b"\x01" + struct.pack("<H", 0x1234) + bytes(address) + message

    files = "files.test"
    at_question = pointer(12)
    write("dns_message", "a_answer", forward(files, reply(files, 1, [record(at_question, 1, bytes([10, 1, 2, 3]))])))
    chain = reply(files, 1, [record(at_question, 5, name("a.test")), record(name("a.test"), 5, name("b.test")),
                             record(name("b.test"), 1, bytes([10, 0, 0, 2])),
                             record(name("other.test"), 1, bytes([10, 9, 9, 9]))])
    write("dns_message", "a_cname_chain", forward(files, chain))
    write("dns_message", "a_nxdomain", forward(files, reply(files, 1, flags=0x8183)))
    write("dns_message", "a_servfail", forward(files, reply(files, 1, flags=0x8182)))
    write("dns_message", "a_truncated", forward(files, reply(files, 1, [record(at_question, 1, bytes(4))],
                                                              flags=0x8380)))
    write("dns_message", "a_other_id", forward(files, reply(files, 1, qid=0x4321)))
    looped = reply(files, 1)
    write("dns_message", "a_pointer_loop", forward(files, reply(files, 1, [record(pointer(len(looped)), 1,
                                                                                  bytes(4))])))
    write("dns_message", "a_cname_loop", forward(files, reply(files, 1, [
        record(at_question, 5, name("a.test")), record(name("a.test"), 5, pointer(12))])))
    ptr = "5.2.0.192.in-addr.arpa"
    write("dns_message", "ptr_answer", reverse([192, 0, 2, 5], reply(ptr, 12, [
        record(at_question, 12, name("host-5.example.test"))])))
    # The name's tail taken from the question ("in-addr.arpa" starts 10 bytes in).
    write("dns_message", "ptr_compressed", reverse([192, 0, 2, 5], reply(ptr, 12, [
        record(at_question, 12, b"\x04mail" + pointer(22))])))
    write("dns_message", "ptr_bad_name", reverse([192, 0, 2, 5], reply(ptr, 12, [
        record(at_question, 12, b"\x03a.b\x00")])))


def main():
    rpc_envelope()
    http_reply()
    gzip_header()
    gunzip_file()
    frame_reader()
    rpc_message()
    text_convert()
    region_name()
    city_database(sys.argv[1] if len(sys.argv) > 1 else None)
    dns_message()


if __name__ == "__main__":
    main()

"""What travels on the wire: frames, variants and errors."""

import array
import base64
import datetime
import itertools
import json
import math
import re
import sys

PROTOCOL_VERSION = 1
MAX_FRAME = 1 << 30
_MAX_HEADER = 4096
_SMALL_FRAME = 1 << 16  # a frame this small is copied out; a larger one is parsed where it lies

VT_EMPTY = 0
VT_NULL = 1
VT_I2 = 2
VT_I4 = 3
VT_R4 = 4
VT_R8 = 5
VT_DATE = 7
VT_BSTR = 8
VT_DISPATCH = 9
VT_ERROR = 10
VT_BOOL = 11
VT_VARIANT = 12
VT_UI1 = 17
VT_ARRAY = 0x2000

_VT_NAMES = {
    VT_EMPTY: "VT_EMPTY", VT_NULL: "VT_NULL", VT_I2: "VT_I2", VT_I4: "VT_I4", VT_R4: "VT_R4",
    VT_R8: "VT_R8", VT_DATE: "VT_DATE", VT_BSTR: "VT_BSTR", VT_DISPATCH: "VT_DISPATCH",
    VT_ERROR: "VT_ERROR", VT_BOOL: "VT_BOOL", VT_UI1: "VT_UI1",
    VT_ARRAY | VT_VARIANT: "VT_ARRAY|VT_VARIANT", VT_ARRAY | VT_UI1: "VT_ARRAY|VT_UI1",
}

# HRESULTs a client meets, as signed 32-bit numbers like com_error.hresult.
def _signed(value):
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


S_OK = 0
E_NOTIMPL = _signed(0x80004001)
E_NOINTERFACE = _signed(0x80004002)
E_FAIL = _signed(0x80004005)
E_ACCESSDENIED = _signed(0x80070005)
E_OUTOFMEMORY = _signed(0x8007000E)
E_INVALIDARG = _signed(0x80070057)
DISP_E_MEMBERNOTFOUND = _signed(0x80020003)
DISP_E_PARAMNOTFOUND = _signed(0x80020004)
DISP_E_TYPEMISMATCH = _signed(0x80020005)
DISP_E_UNKNOWNNAME = _signed(0x80020006)
DISP_E_BADVARTYPE = _signed(0x80020008)
DISP_E_EXCEPTION = _signed(0x80020009)
DISP_E_OVERFLOW = _signed(0x8002000A)
DISP_E_BADPARAMCOUNT = _signed(0x8002000E)
DISP_E_PARAMNOTOPTIONAL = _signed(0x8002000F)
CO_E_CLASSSTRING = _signed(0x800401F3)
CO_E_SERVER_EXEC_FAILURE = _signed(0x80080005)
CONNECT_E_NOCONNECTION = _signed(0x80040200)
RPC_E_CALL_REJECTED = _signed(0x80010001)
RPC_E_DISCONNECTED = _signed(0x80010108)
RPC_S_SERVER_UNAVAILABLE = _signed(0x800706BA)

_RUNTIME_BASE = 0x800A0000


class com_error(Exception):  # noqa: N801 - the name scripting clients know
    """A failed call: the HRESULT and, for DISP_E_EXCEPTION, what the member raised."""

    def __init__(self, hresult, strerror=None, excepinfo=None, argerror=None):
        hresult = _signed(hresult)
        super().__init__(hresult, strerror, excepinfo, argerror)
        self.hresult = hresult
        self.strerror = strerror
        # (wcode, source, description, helpfile, helpcontext, scode) or None
        self.excepinfo = excepinfo
        self.argerror = argerror

    @property
    def number(self):
        """The run-time error number a member raised (scode - 0x800A0000), else None."""
        if self.hresult != DISP_E_EXCEPTION or not self.excepinfo or self.excepinfo[5] is None:
            return None
        scode = self.excepinfo[5] & 0xFFFFFFFF
        if scode & 0xFFFF0000 != _RUNTIME_BASE:
            return None
        return scode - _RUNTIME_BASE

    def __str__(self):
        text = "%s (0x%08X)" % (self.strerror or "automation error", self.hresult & 0xFFFFFFFF)
        if self.excepinfo:
            text += ": %s: %s" % (self.excepinfo[1], self.excepinfo[2])
        if self.argerror is not None:
            text += " [argument %d]" % self.argerror
        return text


class _UnknownNameError(com_error, AttributeError):
    """An unknown member name: a com_error, and an AttributeError so hasattr() works."""


def error_from_wire(error):
    data = error.get("data") if isinstance(error, dict) else None
    data = data if isinstance(data, dict) else {}
    hresult = data.get("hresult", E_FAIL)
    info = data.get("excepinfo")
    excepinfo = None
    if isinstance(info, dict):
        excepinfo = (0, info.get("source"), info.get("description"), None, 0,
                     None if info.get("scode") is None else _signed(info["scode"]))
    cls = _UnknownNameError if _signed(hresult) == DISP_E_UNKNOWNNAME else com_error
    return cls(hresult, error.get("message") if isinstance(error, dict) else None, excepinfo,
               data.get("argerr"))


class _NullType:
    """The automation Null (VT_NULL), distinct from None (VT_EMPTY)."""

    _instance = None

    def __new__(cls):
        if cls._instance is None:
            cls._instance = super().__new__(cls)
        return cls._instance

    def __repr__(self):
        return "quillon.Null"

    def __bool__(self):
        return False

    def __reduce__(self):
        return (_NullType, ())


Null = _NullType()


class Variant:
    """A value with an explicit VARTYPE, both ways: Variant(VT_I2, 5)."""

    __slots__ = ("vt", "value")

    def __init__(self, vt, value=None):
        self.vt = int(vt)
        self.value = value

    def __eq__(self, other):
        if not isinstance(other, Variant):
            return NotImplemented
        return self.vt == other.vt and self.value == other.value

    def __hash__(self):
        return hash((self.vt, self.value))

    def __repr__(self):
        return "quillon.Variant(%s, %r)" % (_VT_NAMES.get(self.vt, self.vt), self.value)


class Ref:
    """An argument passed by reference: after the call, .value holds what the member left."""

    __slots__ = ("value",)

    def __init__(self, value=None):
        self.value = value

    def __repr__(self):
        return "quillon.Ref(%r)" % (self.value,)


_EPOCH = datetime.datetime(1899, 12, 30)
_I4_MIN, _I4_MAX = -(1 << 31), (1 << 31) - 1


def _b64(data):
    return base64.b64encode(bytes(data)).decode("ascii")


def _double(value):
    value = float(value)
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "Infinity" if value > 0 else "-Infinity"
    return value


def _undouble(value):
    if isinstance(value, str):
        return {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}[value]
    return float(value)


def _text(value):
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        # A lone surrogate has no UTF-8 form; its code units travel as they are.
        return {"vt": VT_BSTR, "utf16": _b64(value.encode("utf-16-le", "surrogatepass"))}
    return {"vt": VT_BSTR, "value": value}


def _days(moment):
    delta = moment - _EPOCH
    return delta.days + (delta.seconds + delta.microseconds / 1e6) / 86400.0


# Byte data from this size up travels raw after the frame's JSON, when the server takes it.
ATTACH_FROM = 512

# An array of variants of one type may travel packed: numbers little-endian in
# "bytes" (or attached), with their VARTYPE in "of"; texts as "values". These
# are the array typecodes of the numeric element types.
_I4_CODE = "i" if array.array("i").itemsize == 4 else "l"
_PACKED_CODES = {VT_I2: "h", VT_I4: _I4_CODE, VT_R4: "f", VT_R8: "d", VT_DATE: "d"}
_SWAP = sys.byteorder != "little"


class Encoder:
    """Python values to wire variants; `objects` turns a proxy into its handle.

    While `attachments` is a list, byte data of ATTACH_FROM bytes or more is
    appended to it and the variant points there, instead of carrying base64."""

    def __init__(self, handle_of):
        self._handle_of = handle_of
        self.attachments = None
        self._attached = 0
        self._packed = False

    def begin_message(self, attach, packed=False):
        """`packed`: the server reads arrays of one type packed (its initialize said so)."""
        self.attachments = [] if attach else None
        self._attached = 0
        self._packed = packed

    def end_message(self):
        attachments, self.attachments = self.attachments, None
        return attachments or None

    def _byte_data(self, vt, data, wire=None, owned=False):
        """`owned`: data is a buffer nobody else holds, which goes as it is, uncopied."""
        wire = {"vt": vt} if wire is None else wire
        if self.attachments is not None and len(data) >= ATTACH_FROM:
            data = data if owned else bytes(data)
            self.attachments.append(data)
            self._attached += len(data)
            wire["attached"] = [self._attached - len(data), len(data)]
        else:
            wire["bytes"] = _b64(data)
        return wire

    def encode(self, value):
        if isinstance(value, Variant):
            return self.typed(value.vt, value.value)
        if value is None:
            return {"vt": VT_EMPTY}
        if value is Null:
            return {"vt": VT_NULL}
        if isinstance(value, bool):
            return {"vt": VT_BOOL, "value": value}
        if isinstance(value, int):
            if _I4_MIN <= value <= _I4_MAX:
                return {"vt": VT_I4, "value": value}
            return {"vt": VT_R8, "value": _double(self._float(value))}
        if isinstance(value, float):
            return {"vt": VT_R8, "value": _double(value)}
        if isinstance(value, str):
            return _text(value)
        if isinstance(value, (bytes, bytearray, memoryview)):
            return self._byte_variants(value)
        if isinstance(value, (list, tuple)):
            return self._array(value)
        if isinstance(value, datetime.datetime):
            return {"vt": VT_DATE, "value": _days(value)}
        handle = self._handle_of(value)
        if handle is not None:
            return {"vt": VT_DISPATCH, "handle": handle}
        raise TypeError("quillon cannot pass a %s as a variant" % type(value).__name__)

    @staticmethod
    def _float(value):
        try:
            return float(value)
        except OverflowError:
            raise com_error(DISP_E_OVERFLOW, "the integer is too large for a variant") from None

    def _byte_variants(self, value):
        if not len(value):
            return {"vt": VT_ARRAY | VT_VARIANT, "items": []}
        return self._byte_data(VT_ARRAY | VT_VARIANT, value)

    def _array(self, values):
        packed = self._packed_array(values) if self._packed and len(values) else None
        if packed is not None:
            return packed
        return {"vt": VT_ARRAY | VT_VARIANT, "items": [self.encode(item) for item in values]}

    def _packed_array(self, values):
        """A list of ints, floats, texts or Booleans, packed without a variant per
        element; None for anything else (which goes as items)."""
        small = _byte_values(values)
        if small is not None:  # the usual case: byte values, as byte data is
            return self._byte_data(VT_ARRAY | VT_VARIANT, _widened(small), {"vt": VT_ARRAY | VT_VARIANT, "of": VT_I4},
                                   owned=True)
        kinds = set(map(type, values))  # exact types: a bool is no int here
        if len(kinds) != 1:
            return None
        kind = kinds.pop()
        if kind is str:
            text = "".join(values)
            if not text.isascii():
                try:
                    text.encode("utf-8")
                except UnicodeEncodeError:  # a lone surrogate: each text goes in its utf16 form
                    return None
            return {"vt": VT_ARRAY | VT_VARIANT, "of": VT_BSTR, "values": values}
        if kind is bool:
            vt, data = VT_BOOL, bytes(values)
        elif kind is int:
            vt, data = VT_I4, _i4_data(values)
            if data is None:  # beyond I4: such an element goes as R8
                return None
        elif kind is float:
            vt, data = VT_R8, _little_endian(array.array("d", values))
        else:
            return None
        return self._byte_data(VT_ARRAY | VT_VARIANT, data, {"vt": VT_ARRAY | VT_VARIANT, "of": vt}, owned=True)

    def typed(self, vt, value):
        if vt in (VT_EMPTY, VT_NULL):
            return {"vt": vt}
        if vt in (VT_I2, VT_I4, VT_UI1, VT_ERROR):
            return {"vt": vt, "value": int(value)}
        if vt in (VT_R4, VT_R8):
            return {"vt": vt, "value": _double(value)}
        if vt == VT_DATE:
            days = _days(value) if isinstance(value, datetime.datetime) else value
            return {"vt": vt, "value": _double(days)}
        if vt == VT_BSTR:
            return _text(str(value))
        if vt == VT_BOOL:
            return {"vt": vt, "value": bool(value)}
        if vt == VT_DISPATCH:
            return {"vt": vt, "handle": None if value is None else self._handle_of(value)}
        if vt == VT_ARRAY | VT_VARIANT:
            if isinstance(value, (bytes, bytearray, memoryview)):
                return self._byte_variants(value)
            return self._array(value if isinstance(value, (list, tuple)) else list(value))
        if vt == VT_ARRAY | VT_UI1:
            return self._byte_data(vt, value)
        # Anything else goes as given, so the server can say what it thinks of it.
        return {"vt": vt, "value": value}


def _little_endian(data):
    """An array's elements as little-endian bytes, without a copy where the machine is."""
    if _SWAP:
        data.byteswap()
    return memoryview(data).cast("B")


# 1 for the bytes a bool can become (0 and 1), 0 for the rest.
_ZERO_OR_ONE = bytes([1, 1] + [0] * 254)


def _byte_values(values):
    """The list as a bytearray when each element is an int from 0 to 255, else None.
    Checked at C speed: bytearray() takes any such number, bools included, and only
    the elements that became 0 or 1 can be bools, so only their types are looked at."""
    try:
        small = bytearray(values)
    except (TypeError, ValueError):
        return None
    maybe_bools = small.translate(_ZERO_OR_ONE)
    candidates = maybe_bools.count(1)
    if candidates == 0:
        return small
    if candidates > len(small) >> 6:
        # Many zeros and ones: one pass at C speed over every element.
        return None if bool in set(map(type, itertools.compress(values, maybe_bools))) else small
    # A few (random bytes have one in 128): found by bytearray.find, each at C speed,
    # instead of a pass over every element.
    at = maybe_bools.find(1)
    while at >= 0:
        if type(values[at]) is bool:
            return None
        at = maybe_bools.find(1, at + 1)
    return small


def _widened(small):
    """Byte values as little-endian I4s, in one pass at C speed: each byte, then three
    zero bytes."""
    data = bytearray(4 * len(small))
    data[0::4] = small
    return data


def _i4_data(ints):
    """A list of ints as little-endian I4s; None when one is beyond I4."""
    try:
        return _little_endian(array.array(_I4_CODE, ints))
    except OverflowError:
        return None


class Decoder:
    """Wire variants to Python values; `proxy_for(handle, class)` makes object proxies."""

    def __init__(self, proxy_for):
        self._proxy_for = proxy_for

    def decode(self, wire, raw=False):
        vt = wire.get("vt", VT_EMPTY)
        if vt == VT_ARRAY | VT_VARIANT:
            return self._array(wire, raw)
        value = self._scalar(vt, wire, raw)
        return Variant(vt, value) if raw else value

    def _array(self, wire, raw):
        if "of" in wire:
            return self._packed(wire["of"], wire, raw)
        if "bytes" in wire:
            data = _byte_data(wire)
            items = tuple(Variant(VT_UI1, b) for b in data) if raw else tuple(data)
        else:
            items = tuple(self.decode(item, raw) for item in wire.get("items", ()))
        return Variant(VT_ARRAY | VT_VARIANT, items) if raw else items

    @staticmethod
    def _packed(vt, wire, raw):
        if vt == VT_BSTR:
            values = tuple(wire.get("values", ()))
        elif vt == VT_BOOL:
            values = tuple(map(bool, _byte_data(wire)))
        else:
            data = array.array(_PACKED_CODES.get(vt, "B"))
            data.frombytes(_byte_data(wire))
            if _SWAP:
                data.byteswap()
            values = tuple(data.tolist())
            if vt == VT_DATE and not raw:
                values = tuple(_EPOCH + datetime.timedelta(days=days) for days in values)
        if raw:
            return Variant(VT_ARRAY | VT_VARIANT, tuple(Variant(vt, value) for value in values))
        return values

    def _scalar(self, vt, wire, raw):
        value = wire.get("value")
        if vt == VT_EMPTY:
            return None
        if vt == VT_NULL:
            return Null
        if vt in (VT_I2, VT_I4, VT_UI1):
            return int(value)
        if vt in (VT_R4, VT_R8):
            return _undouble(value)
        if vt == VT_DATE:
            days = _undouble(value)
            return days if raw else _EPOCH + datetime.timedelta(days=days)
        if vt == VT_BSTR:
            if "utf16" in wire:
                return base64.b64decode(wire["utf16"]).decode("utf-16-le", "surrogatepass")
            return value
        if vt == VT_BOOL:
            return bool(value)
        if vt == VT_DISPATCH:
            handle = wire.get("handle")
            return None if handle is None else self._proxy_for(handle, wire.get("class"))
        if vt == VT_ERROR:
            return _signed(value) if raw else Variant(VT_ERROR, _signed(value))
        if vt == VT_ARRAY | VT_UI1:
            return _byte_data(wire)
        return value


def _byte_data(wire):
    """A variant's bytes: base64 text, or already bytes when they came attached."""
    data = wire.get("bytes", "")
    return data if isinstance(data, bytes) else base64.b64decode(data)


# One encoder for every message: json.dumps with options builds a new one per call.
_JSON = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), allow_nan=False)
# The header the server writes when a frame has no attachment.
_PLAIN_HEADER = re.compile(rb"Content-Length: (\d{1,10})\r\n\r\n")
# json.loads without its wrappers (encoding detection, the whitespace scan): a
# small answer is parsed once per call, so they are a good part of its cost.
_SCAN_JSON = json.JSONDecoder().scan_once


def _loads_small(body):
    """The value of a small UTF-8 JSON text the server wrote (compact, one value)."""
    text = body.decode("utf-8")
    try:
        value, end = _SCAN_JSON(text, 0)
    except StopIteration:
        end = -1
    if end != len(text):
        return json.loads(text)  # not the server's compact form: the full parser says what is wrong
    return value


def request_frame(request_id, method, params_json):
    """The frame of a request whose params are JSON already (a call repeated with the
    same params encodes them once)."""
    body = b'{"jsonrpc":"2.0","id":%d,"method":"%s","params":%s}' % (request_id, method, params_json)
    return b"Content-Length: %d\r\n\r\n%s" % (len(body), body)


def answer_frame(request_id):
    """The frame of a null result, the answer to an event a handler took."""
    body = b'{"jsonrpc":"2.0","id":%d,"result":null}' % request_id
    return b"Content-Length: %d\r\n\r\n%s" % (len(body), body)


def encode_json(value):
    return _JSON.encode(value).encode("utf-8")


def frame(message, limit=MAX_FRAME, attachments=None):
    """The frame of a message, as a list of byte strings to send one after the other;
    `attachments` go raw after the JSON."""
    body = _JSON.encode(message).encode("utf-8")
    attached = sum(len(piece) for piece in attachments) if attachments else 0
    if len(body) + attached > limit:
        raise com_error(E_OUTOFMEMORY, "the call (%d bytes) is over the frame limit" % (len(body) + attached))
    if not attached:
        return [b"Content-Length: %d\r\n\r\n" % len(body) + body]
    return [b"Content-Length: %d\r\nQuillon-Json-Length: %d\r\n\r\n" % (len(body) + attached, len(body)) + body,
            *attachments]


class FrameReader:
    """Splits the server's byte stream into messages."""

    def __init__(self):
        self._buffer = bytearray()

    def feed(self, data):
        self._buffer += data

    def within_frame(self):
        """Whether part of a frame is here and the rest still to come."""
        return bool(self._buffer)

    def next(self):
        """The next complete message, or None. Raises ValueError on a broken stream."""
        if not self._buffer:
            return None
        plain = _PLAIN_HEADER.match(self._buffer)
        if plain is not None:
            # The usual small answer: one header, no attachment.
            start, length = plain.end(), int(plain.group(1))
            if length <= _SMALL_FRAME and len(self._buffer) == start + length:
                body = bytes(memoryview(self._buffer)[start:])
                self._buffer.clear()
                return _loads_small(body)
        end = self._buffer.find(b"\r\n\r\n", 0, _MAX_HEADER)
        if end < 0:
            if len(self._buffer) >= _MAX_HEADER:
                raise ValueError("malformed frame header from the server")
            return None
        length = json_length = None
        for line in bytes(self._buffer[:end]).split(b"\r\n"):
            name, _, value = line.partition(b":")
            name = name.strip().lower()
            if name == b"content-length":
                length = int(value.strip())
            elif name == b"quillon-json-length":
                json_length = int(value.strip())
        if json_length is None:
            json_length = length
        if length is None or not 0 <= json_length <= length <= MAX_FRAME:
            raise ValueError("malformed frame header from the server")
        start = end + 4
        if len(self._buffer) < start + length:
            return None
        if len(self._buffer) == start + length and json_length == length:
            # The buffer holds this frame and nothing more (the usual case for a
            # large one): its body is parsed where it lies, not copied first.
            del self._buffer[:start]
            body, self._buffer = self._buffer, bytearray()
            return json.loads(body)
        # One copy of the body, not two (a slice of a bytearray is a copy already):
        # a frame can carry a whole downloaded file.
        with memoryview(self._buffer) as view:
            body = bytes(view[start:start + json_length])
            attachment = bytes(view[start + json_length:start + length]) if json_length < length else None
        del self._buffer[:start + length]
        if attachment is None:
            return json.loads(body)
        return json.loads(body, object_hook=lambda wire: _resolve_attached(wire, attachment))


def _resolve_attached(wire, attachment):
    """Turns {"attached": [offset, length]} into {"bytes": the attachment's bytes there}."""
    if "attached" not in wire:
        return wire
    place = wire.pop("attached")
    if (not isinstance(place, list) or len(place) != 2 or not all(type(n) is int and n >= 0 for n in place)
            or place[0] + place[1] > len(attachment)):
        raise ValueError("an attached value reaches past its frame")
    wire["bytes"] = attachment[place[0]:place[0] + place[1]]
    return wire

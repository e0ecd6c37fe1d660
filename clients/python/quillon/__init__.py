"""Quillon automation client: create the server's objects by ProgID and call them late-bound.

    import quillon
    fo = quillon.Dispatch("Quillon.FileOps")
    fo.StoreString("a", "hello")
    data = quillon.Ref()
    fo.GetBytes("a", 1, 5, data)      # data.value == (104, 101, 108, 108, 111)

The first call starts a server when none listens on the socket (see docs/protocol.md).
Standard library only.
"""

import time as _time

from . import _client
from ._client import DispatchProxy, invoke, server_path, socket_path
from ._wire import (  # noqa: F401 - the public names
    CO_E_CLASSSTRING, CO_E_SERVER_EXEC_FAILURE, CONNECT_E_NOCONNECTION, DISP_E_BADPARAMCOUNT,
    DISP_E_BADVARTYPE, DISP_E_EXCEPTION, DISP_E_MEMBERNOTFOUND, DISP_E_OVERFLOW, DISP_E_PARAMNOTFOUND,
    DISP_E_PARAMNOTOPTIONAL, DISP_E_TYPEMISMATCH, DISP_E_UNKNOWNNAME, E_ACCESSDENIED, E_FAIL, E_INVALIDARG,
    E_NOINTERFACE, E_NOTIMPL, E_OUTOFMEMORY, PROTOCOL_VERSION, RPC_E_CALL_REJECTED, RPC_E_DISCONNECTED,
    RPC_S_SERVER_UNAVAILABLE, S_OK, VT_ARRAY, VT_BOOL, VT_BSTR, VT_DATE, VT_DISPATCH, VT_EMPTY, VT_ERROR,
    VT_I2, VT_I4, VT_NULL, VT_R4, VT_R8, VT_UI1, VT_VARIANT, Null, Ref, Variant, com_error)

__version__ = _client.__version__

__all__ = [
    "Dispatch", "DispatchWithEvents", "WithEvents", "Unadvise", "PumpWaitingMessages", "invoke",
    "release", "shutdown", "typelib", "get_dispid", "values", "Ref", "Variant", "Null", "com_error",
    "DispatchProxy", "socket_path", "server_path",
]


def Dispatch(progid):  # noqa: N802 - the name scripting clients know
    """Creates an object by ProgID (case-insensitive) and returns its proxy."""
    if isinstance(progid, DispatchProxy):
        return progid
    if not isinstance(progid, str):
        raise TypeError("a ProgID is a str")
    with _client._lock:
        return _client.connection().create(progid)


def WithEvents(obj, handler):  # noqa: N802
    """Connects an event handler (an instance, or a class made without arguments) to the
    object's events and returns the handler. Methods are named like the events."""
    if not isinstance(obj, DispatchProxy):
        raise TypeError("WithEvents needs a quillon object")
    if isinstance(handler, type):
        handler = handler()
    with _client._lock:
        obj._check()
        obj._conn.advise(obj._handle, handler, obj._class)
    return handler


def DispatchWithEvents(progid, handler_class):  # noqa: N802
    """Creates an object and connects a new `handler_class()` to its events; returns the object."""
    obj = Dispatch(progid)
    WithEvents(obj, handler_class)
    return obj


def Unadvise(obj, handler):  # noqa: N802
    """Disconnects a handler that WithEvents connected."""
    with _client._lock:
        obj._check()
        obj._conn.unadvise(obj._handle, handler)


def PumpWaitingMessages(timeout, until=None):  # noqa: N802
    """Handles events for up to `timeout` seconds; returns True as soon as `until()` is true
    (checked after each event), False when the time ran out."""
    deadline = _time.monotonic() + timeout
    while True:
        if until is not None and until():
            return True
        now = _time.monotonic()
        if now >= deadline:
            return False
        # The lock is held a slice at a time, so other threads' calls get through.
        with _client._lock:
            conn = _client.current_connection()
            if conn is not None and conn.usable():
                conn.flush_releases()
                conn.pump(min(deadline, now + _client._PUMP_SLICE))
                continue
        _time.sleep(min(_client._PUMP_SLICE, deadline - now))


def release(obj):
    """Releases the object at once; later calls through any of its proxies fail with
    RPC_E_DISCONNECTED."""
    if not isinstance(obj, DispatchProxy):
        raise TypeError("release needs a quillon object")
    with _client._lock:
        if obj._released:
            return
        object.__setattr__(obj, "_released", True)
        if obj._conn.lost is None:
            obj._conn.release(obj._handle)


def values(obj):
    """Every property of `obj` that reads without arguments, as a dict in the order the
    type library lists them: a copy that stays as it is when the object changes (an
    IPInfo refills its one Location at every GetLocationFromIP)."""
    if not isinstance(obj, DispatchProxy):
        raise TypeError("values needs a quillon object")
    with _client._lock:
        obj._check()
        names = obj._conn.readable_properties(obj._class)
    return {name: invoke(obj, name, kind="get") for name in names}


def get_dispid(obj, name):
    """The DISPID of a member name."""
    with _client._lock:
        obj._check()
        return obj._conn.request("getDispId", {"object": obj._handle, "name": name})["dispid"]


def typelib():
    """The server's whole type library as a dict (see docs/protocol.md)."""
    with _client._lock:
        return _client.connection().request("typelib", {})


def shutdown():
    """Closes this process's connection; the server releases everything it held."""
    _client.close_connection()

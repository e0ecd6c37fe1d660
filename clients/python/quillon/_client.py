"""The connection to the server, object proxies and event sinks."""

import collections
import os
import select
import shutil
import socket
import stat
import struct
import subprocess
import sys
import threading
import time
import traceback
import weakref
import zlib

from . import _wire
from ._wire import Decoder, Encoder, FrameReader, Ref, com_error

__version__ = "1.1.0"

_START_TIMEOUT = 10.0       # seconds for a started server to answer
_EXIT_TIMEOUT = 10.0        # seconds for a replaced server to go
_POLL_INTERVAL = 0.02
_PUMP_SLICE = 0.05          # how long Pump holds the lock at a time
_DEFAULT_IDLE_EXIT = "30"
_DEFAULT_SPIN_WAIT = "200"  # microseconds; see _SpinWait
_RECEIVE_SIZE = 1 << 20     # bytes asked of the socket at a time

# One connection per process; every exchange with the server holds this lock.
# Re-entrant: an event handler runs inside a call and may call the server again.
_lock = threading.RLock()
_current = None
# Counts the forks this process came through: a connection made before the
# last one belongs to the parent. Asking for the pid on every call would cost a
# system call a call.
_forks = 0


def _after_fork_in_child():
    global _forks
    _forks += 1


os.register_at_fork(after_in_child=_after_fork_in_child)
# Encoded params of argument-less calls, by (object, member, kind): a script
# reading a property in a loop sends the same params each time.
_PARAMS_CACHE_LIMIT = 256


def socket_path():
    """The socket a new connection uses: $QUILLON_SOCKET, $XDG_RUNTIME_DIR/quillon/quillon.sock,
    else /tmp/quillon-UID/quillon.sock."""
    path = os.environ.get("QUILLON_SOCKET")
    if path:
        return path
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime:
        return os.path.join(runtime, "quillon", "quillon.sock")
    return "/tmp/quillon-%d/quillon.sock" % os.geteuid()


def server_path():
    """The server this client starts: $QUILLON_SERVER, else build/bin/quillon-server of the
    checkout this package lives in, else PREFIX/bin/quillon-server when the package is installed
    as PREFIX/lib/pythonX/{dist,site}-packages/quillon, else quillon-server on PATH (None when
    there is none)."""
    path = os.environ.get("QUILLON_SERVER")
    if path:
        return path
    package = os.path.dirname(os.path.abspath(__file__))
    checkout = os.path.dirname(os.path.dirname(os.path.dirname(package)))  # from clients/python/quillon
    candidates = [os.path.join(checkout, "build", "bin", "quillon-server")]
    if os.path.basename(os.path.dirname(package)) in ("dist-packages", "site-packages"):
        # Installed beside the server (cmake --install, a package): the server of the same
        # install, which is also the one its systemd unit runs.
        prefix = os.path.dirname(checkout)  # from PREFIX/lib/pythonX/dist-packages/quillon
        candidates.append(os.path.join(prefix, "bin", "quillon-server"))
    for candidate in candidates:
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return shutil.which("quillon-server")


_build_ids = {}


def build_id(path):
    """What the server at `path` reports as its build: CRC-32 and size of the binary."""
    try:
        info = os.stat(path)
        key = (path, info.st_mtime_ns, info.st_size)
        if key not in _build_ids:
            crc = 0
            with open(path, "rb") as binary:
                for chunk in iter(lambda: binary.read(1 << 20), b""):
                    crc = zlib.crc32(chunk, crc)
            _build_ids[key] = "%08x-%d" % (crc, info.st_size)
        return _build_ids[key]
    except OSError:
        return None


def _refuse(message):
    return com_error(_wire.E_ACCESSDENIED, message)


def _check_folder(folder):
    """Nobody but this user may reach the socket: the folder must be ours with mode 0700."""
    try:
        info = os.lstat(folder)
    except FileNotFoundError:
        return False
    if not stat.S_ISDIR(info.st_mode):
        raise _refuse("refusing the socket folder %s: it is not a folder" % folder)
    if info.st_uid != os.geteuid() or stat.S_IMODE(info.st_mode) != 0o700:
        raise _refuse("refusing the socket folder %s: it must belong to uid %d with mode 0700 "
                      "(it belongs to uid %d with mode %04o)"
                      % (folder, os.geteuid(), info.st_uid, stat.S_IMODE(info.st_mode)))
    return True


def _connect(path):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.connect(path)
        creds = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
        _, uid, _ = struct.unpack("3i", creds)
        if uid != os.geteuid():
            raise _refuse("the server on %s runs as uid %d, not as this user" % (path, uid))
    except BaseException:
        sock.close()
        raise
    return sock


# The settings a script means are its own, not those of whichever script
# started the server: its variables and its working folder go with every
# connection.
SETTINGS_VARIABLES = ("QUILLON_DNS_SERVERS", "QUILLON_NETWORK_STATE", "http_proxy", "HTTP_PROXY",
                      "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY")


def _initialize_params():
    params = {"protocolVersion": _wire.PROTOCOL_VERSION,
              "client": "quillon-python " + __version__,
              "attachments": True,
              "packedArrays": True,
              "environment": {name: os.environ[name] for name in SETTINGS_VARIABLES if name in os.environ}}
    try:
        params["workingFolder"] = os.getcwd()
    except OSError:  # the folder was removed under the script: the server's own it is
        pass
    return params


def _try_connect(path):
    try:
        return _connect(path)
    except (FileNotFoundError, ConnectionRefusedError):
        return None


def _start_server(path, server):
    folder = os.path.dirname(path) or "."
    if not _check_folder(folder):
        os.makedirs(folder, mode=0o700, exist_ok=True)
        os.chmod(folder, 0o700)
        _check_folder(folder)
    log_path = path + ".log"
    idle = os.environ.get("QUILLON_IDLE_EXIT", _DEFAULT_IDLE_EXIT)
    with os.fdopen(os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o600), "ab") as log:
        # A session and streams of its own: the server outlives this process, and a
        # test runner waiting for our streams to close must not wait for it.
        try:
            process = subprocess.Popen([server, "--socket", path, "--idle-exit", idle],
                                       stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                       start_new_session=True, close_fds=True)
        except OSError as error:
            raise com_error(_wire.RPC_S_SERVER_UNAVAILABLE, "cannot start %s: %s" % (server, error)) from None
    threading.Thread(target=process.wait, name="quillon-server-reaper", daemon=True).start()
    started = time.monotonic()
    while time.monotonic() - started < _START_TIMEOUT:
        sock = _try_connect(path)
        if sock is not None:
            return sock
        # A server that lost the race for the socket exits at once and the winner
        # answers soon after; one that failed by itself gets a second to be proven wrong.
        if process.poll() not in (None, 0) and time.monotonic() - started > 1.0:
            break
        time.sleep(_POLL_INTERVAL)
    raise com_error(_wire.RPC_S_SERVER_UNAVAILABLE,
                    "the server started for %s did not answer (see %s): %s" % (path, log_path, _tail(log_path)))


def _tail(path):
    try:
        with open(path, "rb") as log:
            lines = log.read()[-2000:].decode("utf-8", "replace").strip().splitlines()
            return lines[-1] if lines else ""
    except OSError:
        return ""


def _wait_until_gone(path):
    deadline = time.monotonic() + _EXIT_TIMEOUT
    while time.monotonic() < deadline:
        sock = _try_connect(path)
        if sock is None:
            return
        sock.close()
        time.sleep(_POLL_INTERVAL)
    # A systemd socket unit keeps the socket and starts its own server again at once.
    raise com_error(_wire.CO_E_SERVER_EXEC_FAILURE,
                    "the server on %s did not exit when asked (where a systemd socket unit serves that path, "
                    "set QUILLON_SERVER to the unit's server or QUILLON_SOCKET to another path)" % path)


class _SpinWait:
    """How the client waits for the server. An answer or event usually comes within
    tens of microseconds, but if the process sleeps, waking it again costs more than
    that on a virtual machine whose processors halt when idle. So the client looks
    for data a short while before it sleeps; the window adapts as the server's does:
    it doubles while waits end a little too late for it (from a quarter of the limit
    when closed) and halves, then closes, while they outlast the limit, so a script
    whose waits are long pays one window at most. QUILLON_SPIN_WAIT sets the limit in
    microseconds (0: never)."""

    def __init__(self, limit):
        self.limit = limit
        self.window = limit
        self.idle_since = 0.0

    def receive(self, sock, deadline=None):
        """What the socket has or gets within the window (and before `deadline`, in
        time.monotonic), or None: then the caller sleeps until there is data and
        calls blocked()."""
        self.idle_since = now = time.monotonic()
        if not self.window:
            return None
        end = now + self.window if deadline is None else min(now + self.window, deadline)
        while True:
            try:
                return sock.recv(_RECEIVE_SIZE, socket.MSG_DONTWAIT)
            except BlockingIOError:
                if time.monotonic() >= end:
                    return None

    def blocked(self):
        if not self.limit:
            return
        idle = time.monotonic() - self.idle_since
        start = self.limit / 4
        if idle <= self.limit:
            self.window = min(max(self.window * 2, start), self.limit)
        else:
            self.window /= 2
            if self.window < start:
                self.window = 0.0


def _spin_limit():
    text = os.environ.get("QUILLON_SPIN_WAIT", _DEFAULT_SPIN_WAIT)
    try:
        microseconds = float(text)
    except ValueError:
        raise com_error(_wire.E_INVALIDARG, "QUILLON_SPIN_WAIT is not a number of microseconds: %r" % text) from None
    if not 0 <= microseconds <= 100_000:
        raise com_error(_wire.E_INVALIDARG, "QUILLON_SPIN_WAIT must be 0 to 100000 microseconds, not %r" % text)
    return microseconds * 1e-6


class _Handle:
    __slots__ = ("count", "proxy")

    def __init__(self):
        self.count = 0
        self.proxy = None  # weak reference to the one proxy of the handle


class _Sink:
    __slots__ = ("handle", "handler")

    def __init__(self, handle, handler):
        self.handle = handle
        self.handler = handler


class Connection:
    """One connection to a server. Use the module functions; they hold the lock."""

    def __init__(self, sock, path, spin_limit=0.0):
        self.path = path
        self.forks = _forks
        self._sock = sock
        self._reader = FrameReader()
        self._spin = _SpinWait(spin_limit)
        self._next_id = 1
        self._answers = {}  # answers that arrived while a nested call was waiting
        self._waiting = []  # ids of the calls in progress, innermost last
        self._max_frame = _wire.MAX_FRAME
        self._handles = {}
        self._dead = collections.deque()  # handles whose proxy was collected
        self._sinks = {}
        self._members = None
        self._method_names = {}
        self._bare_params = {}
        self._events = None
        self.lost = None  # None while open, else the HRESULT calls now fail with
        self.info = {}
        self._encoder = Encoder(self._handle_of)
        self._decoder = Decoder(self._proxy_for)

    # -- opening --------------------------------------------------------------

    @classmethod
    def open(cls):
        path = socket_path()
        folder = os.path.dirname(path) or "."
        server = server_path()
        expected = build_id(server) if server else None
        spin_limit = _spin_limit()
        for _ in range(2):
            _check_folder(folder)
            sock = _try_connect(path)
            if sock is None:
                if not server:
                    raise com_error(_wire.RPC_S_SERVER_UNAVAILABLE,
                                    "no Quillon server listens on %s and none was found to start "
                                    "(set QUILLON_SERVER)" % path)
                sock = _start_server(path, server)
            conn = cls(sock, path, spin_limit)
            conn.info = conn.request("initialize", _initialize_params())
            conn._max_frame = min(_wire.MAX_FRAME, int(conn.info.get("maxFrame", _wire.MAX_FRAME)))
            same = (conn.info.get("protocolVersion") == _wire.PROTOCOL_VERSION
                    and (expected is None or conn.info.get("buildId") == expected))
            if same:
                return conn
            if conn.info.get("connections", 1) > 1:
                conn.close()
                raise com_error(_wire.CO_E_SERVER_EXEC_FAILURE,
                                "the server on %s is another build (%s, protocol %s) and other clients use it; "
                                "this client starts %s (build %s). Stop that server or set QUILLON_SOCKET."
                                % (path, conn.info.get("buildId"), conn.info.get("protocolVersion"),
                                   server, expected))
            conn.request("exit", {})
            conn.close()
            _wait_until_gone(path)
        raise com_error(_wire.CO_E_SERVER_EXEC_FAILURE, "could not replace the server on %s" % path)

    def close(self):
        if self.lost is None:
            self.lost = _wire.RPC_E_DISCONNECTED
        try:
            self._sock.close()
        except OSError:
            pass

    def abandon(self):
        """Lets go of a connection inherited across fork without a word to the server."""
        self.lost = _wire.RPC_E_DISCONNECTED
        try:
            self._sock.detach()
        except OSError:
            pass

    def usable(self):
        return self.lost is None and self.forks == _forks

    def check(self):
        if self.forks != _forks:
            # Inherited across fork: the stream is the parent's, and one byte from
            # here would corrupt it.
            raise com_error(_wire.RPC_E_DISCONNECTED, "the connection belongs to the parent process")
        if self.lost is not None:
            raise com_error(self.lost, "the connection to the Quillon server is closed"
                            if self.lost == _wire.RPC_E_DISCONNECTED else "the Quillon server went away")

    # -- exchanging frames ----------------------------------------------------

    def _fail(self, why):
        self.lost = _wire.RPC_S_SERVER_UNAVAILABLE
        try:
            self._sock.close()
        except OSError:
            pass
        return com_error(_wire.RPC_S_SERVER_UNAVAILABLE, "the Quillon server went away (%s)" % why)

    def _send(self, message, attachments=None):
        pieces = _wire.frame(message, self._max_frame, attachments)
        try:
            for piece in pieces:
                self._sock.sendall(piece)
        except OSError as error:
            raise self._fail(error.strerror or str(error)) from None

    def _receive(self, deadline=None):
        """The next message, or None once `deadline` (time.monotonic) has passed."""
        while True:
            try:
                message = self._reader.next()
            except ValueError as error:
                raise self._fail(str(error)) from None
            if message is not None:
                return message
            # The rest of a frame under way comes as fast as the server can write it;
            # looking for it meanwhile only slows the copying on both sides.
            try:
                data = None if self._reader.within_frame() else self._spin.receive(self._sock, deadline)
            except OSError as error:
                raise self._fail(error.strerror or str(error)) from None
            if data is None:
                data = self._wait_and_receive(deadline)
                self._spin.blocked()
                if data is None:
                    return None
            if not data:
                raise self._fail("connection closed")
            self._reader.feed(data)

    def _wait_and_receive(self, deadline):
        """What the socket gets next, or None once `deadline` has passed."""
        if deadline is not None:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return None
            try:
                ready, _, _ = select.select([self._sock], [], [], remaining)
            except (OSError, ValueError) as error:
                raise self._fail(str(error)) from None
            if not ready:
                return None
        try:
            return self._sock.recv(_RECEIVE_SIZE)
        except OSError as error:
            raise self._fail(error.strerror or str(error)) from None

    def request(self, method, params, attachments=None):
        self.check()
        if self._dead:
            self.flush_releases()
        request_id = self._next_id
        self._next_id += 1
        self._send({"jsonrpc": "2.0", "id": request_id, "method": method, "params": params}, attachments)
        return self._await(request_id)

    def _request_encoded(self, method, params_json):
        """request() with params that are JSON already."""
        self.check()
        if self._dead:
            self.flush_releases()
        request_id = self._next_id
        self._next_id += 1
        try:
            self._sock.sendall(_wire.request_frame(request_id, method, params_json))
        except OSError as error:
            raise self._fail(error.strerror or str(error)) from None
        return self._await(request_id)

    def _await(self, request_id):
        """The result of the request `request_id`, serving events until its answer comes."""
        self._waiting.append(request_id)
        try:
            while request_id not in self._answers:
                message = self._receive()
                if message.get("id") == request_id and "method" not in message:
                    answer = message  # the usual case: the answer, next in line
                    break
                self._handle(message)
            else:
                answer = self._answers.pop(request_id)
        finally:
            self._waiting.pop()
        if "error" in answer:
            raise _wire.error_from_wire(answer["error"])
        return answer.get("result")

    def notify(self, method, params):
        self._send({"jsonrpc": "2.0", "method": method, "params": params})

    def _handle(self, message):
        if "method" in message:
            self._serve(message)
        elif message.get("id") is not None:
            self._answers[message["id"]] = message
        elif "error" in message and self._waiting:
            # The server could not read the frame's id (a frame over its limit): the
            # frame was the last one sent, which is the innermost call's.
            self._answers[self._waiting[-1]] = message

    def pump(self, deadline):
        """Serves events until `deadline`; False when nothing came."""
        message = self._receive(deadline)
        if message is None:
            return False
        self._handle(message)
        return True

    # -- events ---------------------------------------------------------------

    def _serve(self, message):
        request_id = message.get("id")
        params = message.get("params") or {}
        if message.get("method") != "event":
            if request_id is not None:
                self._send({"jsonrpc": "2.0", "id": request_id,
                            "error": {"code": -32601, "message": "unknown method",
                                      "data": {"hresult": _wire.E_NOTIMPL}}})
            return
        # Decode whatever the handler does: objects in the arguments are references we now hold.
        args = [self._decoder.decode(arg) for arg in params.get("args", ())]
        sink = self._sinks.get(params.get("sink"))
        answer = {"jsonrpc": "2.0", "id": request_id, "result": None}
        method = getattr(sink.handler, str(params.get("name")), None) if sink else None
        if callable(method):
            try:
                method(*args)
            except Exception as error:  # the handler's failure is the script's, not the connection's
                sys.stderr.write("quillon: exception in event handler %s:\n" % params.get("name"))
                traceback.print_exc(file=sys.stderr)
                answer = {"jsonrpc": "2.0", "id": request_id,
                          "error": {"code": -32000, "message": "%s: %s" % (type(error).__name__, error),
                                    "data": {"hresult": _wire.DISP_E_EXCEPTION}}}
        if request_id is None or self.lost is not None:
            return
        if "result" in answer and type(request_id) is int:
            # The usual answer, written without the encoder: a download is an exchange
            # or more of these.
            try:
                self._sock.sendall(_wire.answer_frame(request_id))
            except OSError as error:
                raise self._fail(error.strerror or str(error)) from None
        else:
            self._send(answer)

    def advise(self, handle, handler, class_name=None):
        params = {"object": handle}
        names = self.event_names(class_name)
        if names is not None:
            # Only the events the handler has a method for are sent: the server waits
            # for the answer to each event, and one nobody handles would cost a round
            # trip for nothing.
            params["events"] = [name for name in names if callable(getattr(handler, name, None))]
        sink = self.request("advise", params)["sink"]
        self._sinks[sink] = _Sink(handle, handler)

    def unadvise(self, handle, handler):
        sinks = [number for number, sink in self._sinks.items()
                 if sink.handle == handle and sink.handler is handler]
        if not sinks:
            raise com_error(_wire.CONNECT_E_NOCONNECTION, "the handler is not connected to this object")
        for number in sinks:
            del self._sinks[number]
            self.request("unadvise", {"sink": number})

    # -- objects --------------------------------------------------------------

    def _handle_of(self, value):
        if not isinstance(value, DispatchProxy):
            return None
        if value._conn is not self:
            raise com_error(_wire.RPC_E_DISCONNECTED, "the object belongs to a closed connection")
        value._check()
        return value._handle

    def _proxy_for(self, handle, class_name):
        entry = self._handles.get(handle)
        if entry is None:
            entry = self._handles[handle] = _Handle()
        entry.count += 1
        proxy = entry.proxy() if entry.proxy is not None else None
        if proxy is None:
            proxy = DispatchProxy._make(self, handle, class_name)
            entry.proxy = weakref.ref(proxy)
            finalizer = weakref.finalize(proxy, self._dead.append, handle)
            finalizer.atexit = False
        return proxy

    def flush_releases(self):
        """Gives back the handles whose last proxy was collected. Runs only between frames:
        the collector may run anywhere, so its finalizer only queues the handle."""
        while self._dead:
            handle = self._dead.popleft()
            entry = self._handles.get(handle)
            if entry is None or (entry.proxy is not None and entry.proxy() is not None):
                continue
            del self._handles[handle]
            self._forget_sinks(handle)
            if self.lost is None:
                self.notify("release", {"object": handle, "count": entry.count})

    def release(self, handle):
        entry = self._handles.pop(handle, None)
        self._forget_sinks(handle)
        if entry is not None and self.lost is None:
            self.request("release", {"object": handle, "count": entry.count})

    def _forget_sinks(self, handle):
        for number in [n for n, sink in self._sinks.items() if sink.handle == handle]:
            del self._sinks[number]

    def _load_library(self):
        if self._members is None:
            library = self.request("typelib", {})
            self._members, self._events, self._readable = {}, {}, {}
            for info in library.get("classes", ()):
                table = self._members[info["name"]] = {}
                for member in info["interface"]["members"]:
                    table.setdefault(member["name"].lower(), set()).add(member["kind"])
                self._readable[info["name"]] = [member["name"] for member in info["interface"]["members"]
                                                if member["kind"] == "get" and not member.get("params")]
                events = info.get("events") or {}
                self._events[info["name"]] = [member["name"] for member in events.get("members", ())]

    def calls_as_method(self, class_name, name):
        """True when reading `name` is to give a callable rather than call the server: a
        method without a get, or any name of a class the type library does not describe
        (a get also answers a method call without arguments). Asked on every attribute
        read, so the answer is kept."""
        key = (class_name, name)
        answer = self._method_names.get(key)
        if answer is None:
            kinds = self.members(class_name)
            if kinds is None:
                answer = True
            else:
                kinds = kinds.get(name.lower(), ())
                answer = "get" not in kinds and "method" in kinds
            self._method_names[key] = answer
        return answer

    def members(self, class_name):
        """{lower-case name: set of kinds} of a class, from the type library."""
        self._load_library()
        return self._members.get(class_name)

    def readable_properties(self, class_name):
        """The names of a class's properties that read without arguments, in interface order."""
        self._load_library()
        return self._readable.get(class_name, [])

    def event_names(self, class_name):
        """The names of a class's events, from the type library; None when it does not say."""
        if class_name is None:
            return None
        self._load_library()
        return self._events.get(class_name)

    def invoke(self, handle, member, args, kind, raw):
        if not args:
            key = (handle, member, kind)
            params_json = self._bare_params.get(key)
            if params_json is None:
                if len(self._bare_params) >= _PARAMS_CACHE_LIMIT:
                    self._bare_params.clear()
                params_json = self._bare_params[key] = _wire.encode_json(
                    {"object": handle, "member": member, "kind": kind, "args": []})
            return self._decoder.decode(self._request_encoded(b"invoke", params_json)["value"], raw)
        wire_args, refs, attachments = [], [], None
        if args:
            # Byte data goes raw after the JSON when the server takes it (older ones do not),
            # and arrays of one type go packed to a server that reads them.
            self._encoder.begin_message(self.info.get("attachments") is True,
                                        self.info.get("packedArrays") is True)
            try:
                for index, arg in enumerate(args):
                    if isinstance(arg, Ref):
                        refs.append(index)
                        arg = arg.value
                    wire_args.append(self._encoder.encode(arg))
            finally:
                attachments = self._encoder.end_message()
        params = {"object": handle, "member": member, "kind": kind, "args": wire_args}
        if refs:
            params["refs"] = refs
        result = self.request("invoke", params, attachments)
        value = self._decoder.decode(result["value"], raw)
        for index, wire in zip(refs, result.get("refs", ())):
            args[index].value = self._decoder.decode(wire, raw)
        return value

    def create(self, progid):
        return self._decoder.decode(self.request("create", {"progid": progid}))


def connection():
    """The process's connection, opened (and the server started) when needed."""
    global _current
    with _lock:
        if _current is None or not _current.usable():
            if _current is not None and _current.forks != _forks:
                _current.abandon()
            _current = Connection.open()
        return _current


def current_connection():
    return _current


def close_connection():
    global _current
    with _lock:
        if _current is not None:
            _current.close()
            _current = None


class DispatchProxy:
    """A late-bound object: attribute read = property get, assignment = property put,
    call = method."""

    __slots__ = ("_conn", "_handle", "_class", "_released", "__weakref__")

    @classmethod
    def _make(cls, conn, handle, class_name):
        proxy = object.__new__(cls)
        object.__setattr__(proxy, "_conn", conn)
        object.__setattr__(proxy, "_handle", handle)
        object.__setattr__(proxy, "_class", class_name)
        object.__setattr__(proxy, "_released", False)
        return proxy

    def _check(self):
        if self._released:
            raise com_error(_wire.RPC_E_DISCONNECTED, "the object was released")
        self._conn.check()

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        with _lock:
            self._check()
            if self._conn.calls_as_method(self._class, name):
                return _BoundMember(self, name)
            # A get, or a name that is write-only or unknown: the server says which.
            return self._conn.invoke(self._handle, name, (), "get", False)

    def __setattr__(self, name, value):
        if name.startswith("_"):
            raise AttributeError("quillon proxies keep no attributes of their own")
        invoke(self, name, value, kind="put")

    def __eq__(self, other):
        if not isinstance(other, DispatchProxy):
            return NotImplemented
        return self._conn is other._conn and self._handle == other._handle

    def __hash__(self):
        return hash((id(self._conn), self._handle))

    def __bool__(self):
        return True

    def __repr__(self):
        state = " (released)" if self._released else ""
        return "<quillon %s object, handle %s%s>" % (self._class or "?", self._handle, state)


class _BoundMember:
    __slots__ = ("_proxy", "_name")

    def __init__(self, proxy, name):
        self._proxy = proxy
        self._name = name

    def __call__(self, *args):
        return invoke(self._proxy, self._name, *args)

    def __repr__(self):
        return "<quillon method %s of %r>" % (self._name, self._proxy)


_KINDS = ("method", "get", "put")


def invoke(obj, member, *args, kind="method", raw=False):
    """Calls a member by name or DISPID. kind: "method", "get" or "put". With raw=True the
    result (and every Ref) comes back as a quillon.Variant."""
    if not isinstance(obj, DispatchProxy):
        raise TypeError("quillon.invoke needs a quillon object, not %s" % type(obj).__name__)
    if kind not in _KINDS:
        raise ValueError("kind must be one of %s" % ", ".join(_KINDS))
    if not isinstance(member, (str, int)) or isinstance(member, bool):
        raise TypeError("member is a name or a DISPID")
    with _lock:
        obj._check()
        return obj._conn.invoke(obj._handle, member, list(args), kind, raw)

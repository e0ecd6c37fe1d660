"""Quillon side by side with the tools users compare it with, in one run, as ratios.

Started by bench/run.sh, which installs the peers and builds the server first. Prints one
table and writes bench/results.json. Everything talks over loopback only: nginx serves
the files on 127.0.0.1, a stub on 127.0.0.1 answers the DNS queries, and the Quillon
server and the echo peer listen on Unix sockets in private folders."""

import argparse
import datetime
import hashlib
import json
import os
import platform
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CLIENT = os.path.join(ROOT, "clients", "python")
JOBS = os.path.join(HERE, "jobs")
MIB = 1 << 20
START_WAIT = 15.0  # seconds a started peer or server may take to answer

# Whatever the caller's shell says about proxies and name servers stays out of the run.
CLEARED = ("http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY",
           "FTP_PROXY", "ALL_PROXY", "NO_PROXY", "QUILLON_DNS_SERVERS", "QUILLON_NETWORK_STATE",
           "RES_OPTIONS", "LOCALDOMAIN", "HOSTALIASES", "QUILLON_SOCKET", "XDG_RUNTIME_DIR",
           "QUILLON_IDLE_EXIT")


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in CLEARED}
    env.update(extra)
    return env


def wait_until(predicate, limit=START_WAIT, interval=0.05):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


def can_connect(family, address):
    with socket.socket(family, socket.SOCK_STREAM) as probe:
        try:
            probe.connect(address)
            return True
        except OSError:
            return False


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# ---------------------------------------------------------------------------
# Test data: deterministic, generated once per run folder

def word_pool(rnd, count=4096):
    letters = "etaoinshrdlucmfwypvbgkjqxz"
    weights = [13, 9, 8, 8, 7, 7, 6, 6, 4, 4, 3, 3, 3, 2, 2, 2, 2, 2, 1.5, 1.5, 1, 0.8, 0.2, 0.2, 0.2, 0.1]
    return ["".join(rnd.choices(letters, weights, k=rnd.randint(2, 10))) for _ in range(count)]


def text_segment(rnd, words, size, line_end=b"\n"):
    lines, total = [], 0
    while total < size:
        line = " ".join(rnd.choices(words, k=rnd.randint(4, 16))).encode("latin-1") + line_end
        lines.append(line)
        total += len(line)
    return b"".join(lines)[:size]


def log_segment(rnd, size):
    lines, total, clock = [], 0, 1_700_000_000
    levels = (b"INFO", b"INFO", b"INFO", b"DEBUG", b"WARN", b"ERROR")
    while total < size:
        clock += rnd.randint(0, 3)
        line = b"%d %s worker-%d request=%08x bytes=%d ms=%d path=/api/v%d/items/%d\n" % (
            clock, rnd.choice(levels), rnd.randint(1, 32), rnd.getrandbits(32), rnd.randint(0, 1 << 20),
            rnd.randint(0, 2000), rnd.randint(1, 3), rnd.randint(0, 100000))
        lines.append(line)
        total += len(line)
    return b"".join(lines)[:size]


def record_segment(rnd, size):
    records = bytearray()
    index = 0
    while len(records) < size:
        records += index.to_bytes(4, "little") + rnd.randint(0, 1000).to_bytes(4, "little") + bytes(24)
        index += 1
    return bytes(records[:size])


def write_mixed(path, size, seed=8):
    """Text, logs, records and random bytes in 1 MiB segments drawn from a pool, so the
    file compresses like real mixed data (deflate looks back 32 KiB only)."""
    rnd = random.Random(seed)
    words = word_pool(rnd)
    pool = ([text_segment(rnd, words, MIB) for _ in range(6)] + [log_segment(rnd, MIB) for _ in range(4)]
            + [rnd.randbytes(MIB) for _ in range(2)] + [record_segment(rnd, MIB)])
    with open(path, "wb") as out:
        for _ in range(size // MIB):
            out.write(rnd.choice(pool))


def write_text(path, size, seed=9):
    """Text with every line end a download meets (LF, CR LF, CR, LF CR) and Windows-1252
    letters above 0x7F, so the text conversion does all of its work."""
    rnd = random.Random(seed)
    # Latin-1 text: bytes 0x80 to 0xFF, which Windows-1252 reads as letters and signs.
    words = word_pool(rnd) + ["caf\xe9", "na\xefve", "\x80uro", "\xc5ngstr\xf6m", "\x93quoted\x94"]
    ends = [b"\n"] * 6 + [b"\r\n"] * 3 + [b"\r", b"\n\r"]
    pool = [text_segment(rnd, words, MIB // 4, rnd.choice(ends)) for _ in range(8)]
    with open(path, "wb") as out:
        for _ in range(size // (MIB // 4)):
            out.write(rnd.choice(pool))


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        for chunk in iter(lambda: source.read(MIB), b""):
            digest.update(chunk)
    return digest.hexdigest()


# ---------------------------------------------------------------------------
# The processes of the run

class Processes:
    def __init__(self):
        self.started = []

    def start(self, args, **kwargs):
        process = subprocess.Popen(args, **kwargs)
        self.started.append(process)
        return process

    def stop(self, process, sig=signal.SIGTERM):
        if process.poll() is None:
            process.send_signal(sig)
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(10)
        for stream in (process.stdin, process.stdout, process.stderr):
            if stream:
                stream.close()

    def stop_all(self):
        for process in reversed(self.started):
            self.stop(process)


def start_nginx(procs, work, www):
    prefix = os.path.join(work, "nginx")
    for sub in ("logs", "tmp"):
        os.makedirs(os.path.join(prefix, sub), exist_ok=True)
    port = free_port()
    temp = os.path.join(prefix, "tmp")
    conf = os.path.join(prefix, "nginx.conf")
    with open(conf, "w") as out:
        out.write("""daemon off;
master_process off;
worker_processes 1;
pid %(prefix)s/nginx.pid;
error_log %(prefix)s/logs/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 0;
  default_type application/octet-stream;
  client_body_temp_path %(temp)s/body;
  proxy_temp_path %(temp)s/proxy;
  fastcgi_temp_path %(temp)s/fastcgi;
  uwsgi_temp_path %(temp)s/uwsgi;
  scgi_temp_path %(temp)s/scgi;
  server {
    listen 127.0.0.1:%(port)d;
    root %(www)s;
  }
}
""" % {"prefix": prefix, "temp": temp, "port": port, "www": www})
    process = procs.start(["nginx", "-p", prefix + "/", "-c", conf, "-e", os.path.join(prefix, "logs", "error.log")],
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          env=clean_env())
    if not wait_until(lambda: can_connect(socket.AF_INET, ("127.0.0.1", port)) or process.poll() is not None) \
            or process.poll() is not None:
        raise SystemExit("nginx did not start; see %s/logs/error.log" % prefix)
    return port


def start_stub(procs, kind):
    process = procs.start([sys.executable, os.path.join(HERE, "stubs.py"), kind], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, env=clean_env(), text=True)
    address = process.stdout.readline().strip()
    if not address:
        raise SystemExit("the %s stub did not start" % kind)
    return address


def start_echo(procs, work, build):
    """The C echo server of the build: the bare peer of the call rows."""
    folder = tempfile.mkdtemp(prefix="quillon-echo-", dir=work)  # 0700, as the server's
    path = os.path.join(folder, "echo.sock")
    process = procs.start([os.path.join(build, "bin", "quillon-bench-echo"), path], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, env=clean_env(), text=True)
    if process.stdout.readline().strip() != "ready":
        raise SystemExit("the echo server did not start")
    return path


class QuillonServer:
    def __init__(self, procs, binary, work, name, dns):
        self.folder = tempfile.mkdtemp(prefix="quillon-bench-%s-" % name, dir=work)
        self.socket = os.path.join(self.folder, "q.sock")
        self.log = os.path.join(self.folder, "server.log")
        self.binary = binary
        self.procs = procs
        self.settings = {"QUILLON_DNS_SERVERS": dns, "QUILLON_NETWORK_STATE": "online"}
        spin = ["--spin-wait", os.environ["QUILLON_SPIN_WAIT"]] if "QUILLON_SPIN_WAIT" in os.environ else []
        self.process = procs.start([binary, "--socket", self.socket, "--log", self.log, *spin],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   env=clean_env(**self.settings))
        if not wait_until(lambda: can_connect(socket.AF_UNIX, self.socket) or self.process.poll() is not None) \
                or self.process.poll() is not None:
            raise SystemExit("the Quillon server did not start; see %s" % self.log)

    def client_env(self):
        # Clients send their own settings: the jobs mean the server's.
        return clean_env(PYTHONPATH=CLIENT, QUILLON_SOCKET=self.socket, QUILLON_SERVER=self.binary, **self.settings)

    def memory(self):
        """(peak RSS, current RSS) in bytes, from the kernel's own accounting."""
        values = {}
        with open("/proc/%d/status" % self.process.pid) as status:
            for line in status:
                name, _, rest = line.partition(":")
                if name in ("VmHWM", "VmRSS"):
                    values[name] = int(rest.split()[0]) * 1024
        return values["VmHWM"], values["VmRSS"]

    def stop(self):
        self.procs.stop(self.process)


# ---------------------------------------------------------------------------
# Measuring

def hyperfine(commands, runs, work, env, prepare=None):
    """Median and samples (seconds) of each named command, timed by hyperfine."""
    export = os.path.join(work, "hyperfine.json")
    args = ["hyperfine", "--runs", str(runs), "--warmup", "1", "--style", "basic", "--export-json", export]
    if prepare:
        args += ["--prepare", prepare]
    for name, command in commands:
        args += ["-n", name, command]
    subprocess.run(args, check=True, env=env, stdout=sys.stderr)
    with open(export) as results:
        data = json.load(results)["results"]
    return {entry["command"]: entry["times"] for entry in data}


class CaseFailed(Exception):
    pass


def in_script(server, case, *args):
    completed = subprocess.run([sys.executable, os.path.join(JOBS, "inscript.py"), case, *map(str, args)],
                               env=server.client_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if completed.returncode != 0:
        raise CaseFailed(completed.stderr.strip().splitlines()[-1] if completed.stderr.strip() else "failed")
    return json.loads(completed.stdout)


def median(samples):
    return statistics.median(samples)


class Table:
    def __init__(self):
        self.rows = []
        self.failed = []

    def add(self, case, peer, quillon, peer_value, unit, goal=None, better="lower", ratio=None, samples=None,
            extra=None):
        """`better` says which way the ratio quillon/peer should go: "lower" for times,
        "higher" for rates. Rows without a goal are shown for context."""
        if ratio is None:
            ratio = quillon / peer_value
        passed = None if goal is None else (ratio <= goal if better == "lower" else ratio >= goal)
        row = {"case": case, "peer": peer, "unit": unit, "quillon": quillon, "peer_value": peer_value,
               "ratio": ratio, "goal": goal, "better": better, "pass": passed, "samples": samples or {},
               "extra": extra or {}}
        self.rows.append(row)
        print("  %s: %s" % (case, verdict(row)), file=sys.stderr, flush=True)
        return row


def show(value, unit):
    if unit == "s":
        return "%.3f s" % value if value >= 1 else "%.2f ms" % (value * 1000)
    if unit == "/s":
        return "%.0f /s" % value
    if unit == "MiB":
        return "%.1f MiB" % (value / MIB)
    return "%g %s" % (value, unit)


def verdict(row):
    if row["goal"] is None:
        return "context"
    return "pass" if row["pass"] else "falls short"


def goal_text(row):
    if row["goal"] is None:
        return "-"
    return ("<= %.2fx" if row["better"] == "lower" else ">= %.2fx") % row["goal"]


def print_table(rows, out=sys.stdout):
    header = ("case", "Quillon", "peer", "ratio", "goal", "result")
    lines = [(r["case"] + " | " + r["peer"], show(r["quillon"], r["unit"]), show(r["peer_value"], r["unit"]),
              "%.2fx" % r["ratio"], goal_text(r), verdict(r)) for r in rows]
    widths = [max(len(str(line[i])) for line in lines + [header]) for i in range(len(header))]
    fmt = "  ".join("%%-%ds" % w for w in widths)
    print(fmt % header, file=out)
    print("  ".join("-" * w for w in widths), file=out)
    for line in lines:
        print(fmt % line, file=out)


def markdown_table(rows):
    out = ["| case | peer | Quillon median | peer median | ratio | goal | result |",
           "|---|---|---|---|---|---|---|"]
    for r in rows:
        out.append("| %s | %s | %s | %s | %.2fx | %s | %s |" % (
            r["case"], r["peer"], show(r["quillon"], r["unit"]), show(r["peer_value"], r["unit"]), r["ratio"],
            goal_text(r).replace("<=", "≤").replace(">=", "≥"), verdict(r)))
    return "\n".join(out)


# ---------------------------------------------------------------------------
# The cases

class Run:
    """What every case needs: the sizes, the data, the peers and the servers."""

    def __init__(self, args, table, procs, work, binary):
        self.args, self.table, self.procs, self.work, self.binary = args, table, procs, work, binary
        self.reps = args.reps
        self.sizes = ({"big": 64 * MIB, "store": 16 * MIB, "text_large": 16 * MIB, "text_small": 2 * MIB}
                      if args.quick else
                      {"big": 256 * MIB, "store": 64 * MIB, "text_large": 64 * MIB, "text_small": 8 * MIB})
        self.www = os.path.join(work, "www")
        self.big = os.path.join(self.www, "big.bin")

    def prepare(self):
        os.makedirs(self.www, exist_ok=True)
        print("generating test data in %s" % self.work, file=sys.stderr, flush=True)
        write_mixed(self.big, self.sizes["big"])
        with open(os.path.join(self.www, "small.bin"), "wb") as out:
            out.write(random.Random(4).randbytes(4096))
        write_text(os.path.join(self.www, "text-large.txt"), self.sizes["text_large"])
        write_text(os.path.join(self.www, "text-small.txt"), self.sizes["text_small"])
        self.port = start_nginx(self.procs, self.work, self.www)
        self.dns = start_stub(self.procs, "dns")
        self.echo = start_echo(self.procs, self.work, self.args.build)
        self.server = QuillonServer(self.procs, self.binary, self.work, "main", self.dns)

    def mib(self, name):
        return "%d MiB" % (self.sizes[name] // MIB)

    def in_script(self, case, *args):
        return in_script(self.server, case, "--reps", self.reps, *args)

    def hyperfine(self, commands, runs=None, server=None):
        return hyperfine(commands, runs or self.reps, self.work, (server or self.server).client_env())

    # -- the cases, in the order of the table --------------------------------

    def download(self):
        # A server of its own, so its peak memory is this download's.
        server = QuillonServer(self.procs, self.binary, self.work, "download", self.dns)
        try:
            idle = server.memory()[1]
            out_q, out_c = os.path.join(self.work, "download-quillon.bin"), os.path.join(self.work, "download-curl.bin")
            url = "http://127.0.0.1:%d/big.bin" % self.port
            times = self.hyperfine([("quillon", "%s %s/download.py %d /big.bin %s" % (sys.executable, JOBS, self.port,
                                                                                       out_q)),
                                    ("curl", "curl -s -o %s %s" % (out_c, url))], server=server)
            peak = server.memory()[0]
        finally:
            server.stop()
        if sha256(out_q) != sha256(self.big) or sha256(out_c) != sha256(self.big):
            raise CaseFailed("a download did not save the file as served")
        for path in (out_q, out_c):
            os.unlink(path)
        case = "download %s, RequestFile + WriteBinaryFile" % self.mib("big")
        self.table.add(case, "curl -o", median(times["quillon"]), median(times["curl"]), "s", goal=1.0, samples=times)
        self.table.add("server peak memory during that download", "file size", peak, self.sizes["big"], "MiB",
                       goal=1.1, extra={"idle_rss": idle})

    def downloads(self):
        count = 1000
        result = self.in_script("downloads", "--count", count, "--port", self.port, "--path", "/small.bin")
        rate_q, rate_p = count / median(result["quillon"]), count / median(result["peer"])
        case = "%d downloads of 4 KiB, one script" % count
        self.table.add(case, "Python urllib loop", rate_q, rate_p, "/s", goal=1.5, better="higher", samples=result)
        events = self.in_script("downloads", "--count", count, "--port", self.port, "--path", "/small.bin",
                                "--all-events")
        self.table.add("%d downloads of 4 KiB, the script handling all three events" % count, "Python urllib loop",
                       count / median(events["quillon"]), count / median(events["peer"]), "/s", goal=0.6,
                       better="higher", samples=events)
        loop = "for i in $(seq %d); do curl -s -o /dev/null http://127.0.0.1:%d/small.bin; done" % (count, self.port)
        times = self.hyperfine([("curl-loop", "bash -c '%s'" % loop)], runs=max(2, self.reps // 2))
        self.table.add(case, "shell loop of curl", rate_q, count / median(times["curl-loop"]), "/s", better="higher",
                       samples=times)

    def gzip(self):
        source, gz = os.path.join(self.work, "mixed.bin"), os.path.join(self.work, "big.bin.gz")
        peer_gz, pigz_gz = os.path.join(self.work, "peer.gz"), os.path.join(self.work, "pigz.gz")
        shutil.copyfile(self.big, source)
        py = "%s %s/gzip_job.py" % (sys.executable, JOBS)
        times = self.hyperfine([("quillon", "%s gzip %s %s" % (py, source, gz)),
                                ("gzip", "gzip -9 -c %s > %s" % (source, peer_gz)),
                                ("pigz", "pigz -9 -c %s > %s" % (source, pigz_gz))])
        case = "GZipFile of a %s mixed file" % self.mib("big")
        self.table.add(case, "gzip -9", median(times["quillon"]), median(times["gzip"]), "s", goal=1.05,
                       samples={k: times[k] for k in ("quillon", "gzip")},
                       extra={"quillon_bytes": os.path.getsize(gz), "gzip_bytes": os.path.getsize(peer_gz)})
        self.table.add(case, "pigz -9 (%d threads)" % os.cpu_count(), median(times["quillon"]),
                       median(times["pigz"]), "s", samples={"pigz": times["pigz"]})

        out_q, out_g = os.path.join(self.work, "gunzip-quillon.bin"), os.path.join(self.work, "gunzip-gzip.bin")
        times = self.hyperfine([("quillon", "%s gunzip %s %s" % (py, gz, out_q)),
                                ("gzip", "gzip -d -c %s > %s" % (gz, out_g))])
        if sha256(out_q) != sha256(self.big) or sha256(out_g) != sha256(self.big):
            raise CaseFailed("a gunzip did not give the original back")
        self.table.add("GUnZipFile of the same", "gzip -d", median(times["quillon"]), median(times["gzip"]), "s",
                       goal=1.1, samples=times)
        for path in (source, gz, peer_gz, pigz_gz, out_q, out_g):
            os.unlink(path)

    def zip(self):
        result = self.in_script("zip", "--data", self.big, "--size", self.sizes["store"])
        self.table.add("Zip + Unzip of a %s store, with StoreBytes and GetBytes" % self.mib("store"),
                       "Python zlib level 9, in process", median(result["quillon"]), median(result["peer"]), "s",
                       goal=1.2, samples=result, extra=result.get("extra"))

    def calls(self):
        count = 2000
        result = self.in_script("calls", "--count", count, "--echo", self.echo)
        rate_q, rate_p = count / median(result["quillon"]), count / median(result["peer"])
        self.table.add("trivial calls (FileOps.FileSize)", "C echo server, the same request bytes", rate_q, rate_p,
                       "/s", goal=0.8, better="higher", samples=result)

    def bytes(self):
        count = 10
        result = self.in_script("bytes", "--count", count, "--size", MIB, "--echo", self.echo)
        self.table.add("StoreBytes + GetBytes of 1 MiB", "1 MiB as base64 JSON through the echo, both ways",
                       median(result["quillon"]) / count, median(result["peer"]) / count, "s", goal=2.0,
                       samples=result)
        ints = self.in_script("bytes", "--count", count, "--size", MIB, "--echo", self.echo, "--as-ints")
        self.table.add("StoreBytes + GetBytes of a 1 MiB list of ints", "1 MiB as base64 JSON through the echo, "
                       "both ways", median(ints["quillon"]) / count, median(ints["peer"]) / count, "s", goal=2.0,
                       samples=ints)
        big = in_script(self.server, "biglist", "--size", 64 * MIB)
        self.table.add("StoreBytes of a 64 MiB list of ints: client peak memory", "the list's own size",
                       big["peak"], big["list"], "MiB", goal=2.0, extra={"seconds": big["seconds"]})

    def text(self):
        large = self.in_script("text", "--port", self.port, "--path", "/text-large.txt")
        small = self.in_script("text", "--port", self.port, "--path", "/text-small.txt")
        factor = self.sizes["text_large"] / self.sizes["text_small"]
        self.table.add("CurFileAsString of a %s download" % self.mib("text_large"),
                       "the same on %s (%.0fx less)" % (self.mib("text_small"), factor),
                       median(large["quillon"]), median(small["quillon"]), "s", goal=factor * 8.5 / 8,
                       samples={"quillon": large["quillon"], "peer": small["quillon"]},
                       extra={"large": large["extra"], "small": small["extra"]})

    def lookups(self):
        count = 1000
        result = self.in_script("lookups", "--count", count, "--dns", self.dns)
        rate_q, rate_p = count / median(result["quillon"]), count / median(result["peer"])
        self.table.add("%d reverse lookups answered by the DNS stub" % count, "minimal Python PTR resolver over UDP",
                       rate_q, rate_p, "/s", goal=0.8, better="higher", samples=result)


    def job(self, server, *args):
        return subprocess.Popen([sys.executable, os.path.join(JOBS, "isolation_job.py"), *map(str, args)],
                                env=server.client_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    @staticmethod
    def job_result(process, limit=600):
        out, err = process.communicate(timeout=limit)
        if process.returncode != 0:
            raise CaseFailed(err.strip().splitlines()[-1] if err.strip() else "a job failed")
        return json.loads(out.splitlines()[-1])

    def isolation(self):
        # A DNS server that never answers: a bound socket nobody reads.
        silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        silent.bind(("127.0.0.1", 0))
        server = QuillonServer(self.procs, self.binary, self.work, "isolation", "127.0.0.1:%d" % silent.getsockname()[1])
        try:
            waiting = self.job(server, "wait", "quiet.test")
            if waiting.stdout.readline().strip() != "calling":
                raise CaseFailed("client A did not start")
            time.sleep(0.2)
            calls = self.job_result(self.job(server, "calls", 8))["times"]
            waited = self.job_result(waiting)["seconds"]
            worst = max(calls)
            self.table.add("B's slowest of %d calls while A waits %.0f s on a silent DNS server" % (len(calls), waited),
                           "the 50 ms goal", worst, 0.050, "s", goal=1.0,
                           extra={"median": median(calls), "a_seconds": waited})

            source = os.path.join(self.work, "isolation.bin")
            with open(self.big, "rb") as big, open(source, "wb") as out:
                data = big.read(64 * MIB)
                while out.tell() < 64 * MIB:
                    out.write(data[:64 * MIB - out.tell()])
            target = os.path.join(self.work, "isolation.gz")
            serial, side = [], []
            for _ in range(self.reps):
                serial.append(self.job_result(self.job(server, "gzip", source, target + "s", 2))["seconds"])
                started = time.monotonic()
                pair = [self.job(server, "gzip", source, target + name) for name in ("a", "b")]
                for job in pair:
                    self.job_result(job)
                side.append(time.monotonic() - started)
            self.table.add("two clients' GZipFile of 64 MiB side by side", "the same two calls from one client",
                           median(side), median(serial), "s", goal=0.6, samples={"quillon": side, "peer": serial})
            for name in os.listdir(self.work):
                if name.startswith("isolation"):
                    os.unlink(os.path.join(self.work, name))
        finally:
            server.stop()
            silent.close()


CASES = ("download", "downloads", "gzip", "zip", "calls", "bytes", "text", "lookups", "isolation")


def run_cases(args, table, procs, work, binary):
    run = Run(args, table, procs, work, binary)
    run.prepare()
    for name in CASES:
        if args.only and name not in args.only:
            continue
        try:
            getattr(run, name)()
        except (CaseFailed, subprocess.CalledProcessError) as failure:
            # One broken case must not cost the others' figures.
            print("  %s: failed: %s" % (name, failure), file=sys.stderr, flush=True)
            table.failed.append({"case": name, "why": str(failure)})
    run.server.stop()


def machine_facts():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass

    def version(args):
        try:
            out = subprocess.run(args, capture_output=True, text=True, timeout=10)
            return (out.stdout or out.stderr).strip().splitlines()[0]
        except (OSError, IndexError, subprocess.SubprocessError):
            return "unknown"

    with open("/proc/meminfo") as info:
        memory = int(info.readline().split()[1]) * 1024
    return {"cores": os.cpu_count(), "cpu": cpu, "memory_gib": round(memory / (1 << 30), 1),
            "kernel": platform.release(), "python": platform.python_version(),
            "nginx": version(["nginx", "-v"]), "curl": version(["curl", "--version"]),
            "gzip": version(["gzip", "--version"]), "pigz": version(["pigz", "--version"]),
            "hyperfine": version(["hyperfine", "--version"]),
            "load_average_at_start": os.getloadavg()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the build folder holding bin/quillon-server")
    parser.add_argument("--quick", action="store_true", help="smaller files and fewer repetitions")
    parser.add_argument("--reps", type=int, help="repetitions of each measurement (5, or 3 with --quick)")
    parser.add_argument("--only", nargs="*", help="run only these cases",
                        choices=CASES)
    parser.add_argument("--out", default=os.path.join(HERE, "results.json"))
    parser.add_argument("--work", help="folder for the data and the servers (a new temporary one by default)")
    parser.add_argument("--spin-wait", metavar="MICROSECONDS",
                        help="how long servers and clients look for the next message before they sleep "
                             "(--spin-wait of the servers, QUILLON_SPIN_WAIT of the clients; 0: never; default: theirs)")
    args = parser.parse_args()
    if args.spin_wait is not None:
        os.environ["QUILLON_SPIN_WAIT"] = args.spin_wait
    args.reps = args.reps or (3 if args.quick else 5)
    binary = os.path.join(os.path.abspath(args.build), "bin", "quillon-server")
    if not os.access(binary, os.X_OK):
        raise SystemExit("no server at %s: build first" % binary)

    facts = machine_facts()
    work = args.work or tempfile.mkdtemp(prefix="quillon-bench-")
    procs = Processes()
    table = Table()
    started = time.monotonic()
    try:
        run_cases(args, table, procs, work, binary)
    finally:
        procs.stop_all()
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    print()
    print_table(table.rows)
    for failure in table.failed:
        print("FAILED %s: %s" % (failure["case"], failure["why"]))
    results = {"date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
               "quick": args.quick, "reps": args.reps, "spin_wait": os.environ.get("QUILLON_SPIN_WAIT"), "seconds": round(time.monotonic() - started, 1),
               "machine": facts, "rows": table.rows, "failed": table.failed, "markdown": markdown_table(table.rows)}
    with open(args.out, "w") as out:
        json.dump(results, out, indent=1)
        out.write("\n")
    print("\nwritten to %s" % args.out)
    return 1 if table.failed else 0


if __name__ == "__main__":
    sys.exit(main())

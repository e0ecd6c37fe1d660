"""Two clients of one server, for the isolation rows of bench/compare.py:
python3 isolation_job.py wait HOST           one RequestFile that waits on the name lookup
python3 isolation_job.py calls SECONDS       FileOps.FileSize every 5 ms; prints each call's time
python3 isolation_job.py gzip SRC DST [N]    N GZipFile calls one after the other (1)
Each prints "calling" when its work starts and a JSON line when it is done."""

import json
import sys
import time

import quillon


def main():
    verb = sys.argv[1]
    if verb == "wait":
        d = quillon.Dispatch("Quillon.Downloader")
        print("calling", flush=True)
        started = time.monotonic()
        result = d.RequestFile(sys.argv[2], "/a")
        print(json.dumps({"seconds": time.monotonic() - started, "result": result}), flush=True)
    elif verb == "calls":
        fo = quillon.Dispatch("Quillon.FileOps")
        fo.FileSize  # noqa: B018 - the first call connects
        print("calling", flush=True)
        times, until = [], time.monotonic() + float(sys.argv[2])
        while time.monotonic() < until:
            started = time.monotonic()
            fo.FileSize  # noqa: B018
            times.append(time.monotonic() - started)
            time.sleep(0.005)
        print(json.dumps({"times": times}), flush=True)
    elif verb == "gzip":
        fo = quillon.Dispatch("Quillon.FileOps")
        count = int(sys.argv[4]) if len(sys.argv) > 4 else 1
        print("calling", flush=True)
        started = time.monotonic()
        for n in range(count):
            if fo.GZipFile(sys.argv[2], "%s.%d" % (sys.argv[3], n)) != 0:
                sys.exit("GZipFile failed: %s" % fo.ErrorString)
        print(json.dumps({"seconds": time.monotonic() - started}), flush=True)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Downloader: fetch one file over HTTP and save it, driven by events.

    python3 examples/downloader.py http://127.0.0.1:8000/notes.txt [notes.txt]
"""

import os
import sys
import urllib.parse

try:
    import quillon
except ImportError:  # run from a checkout, without the client installed
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "clients", "python"))
    import quillon


class Events:
    def __init__(self):
        self.finished = None

    def OnConnect(self, url):  # noqa: N802 - named like the event
        print("connected to", url)

    def OnDisconnect(self):  # noqa: N802
        print("disconnected")

    def OnDownloadFinish(self, code, text):  # noqa: N802
        self.finished = (code, text)


def main(url, output=None):
    parts = urllib.parse.urlsplit(url)
    # The server saves the file, so a relative path would be taken from its folder, not ours.
    output = output or os.path.basename(parts.path) or "index.html"

    d = quillon.Dispatch("Quillon.Downloader")
    events = quillon.WithEvents(d, Events)
    d.Port = parts.port or 80
    if d.RequestFile(parts.hostname, parts.path or "/") != 0:
        print("request failed:", d.ErrorString, file=sys.stderr)
        return 1
    # The download runs in the server; its events arrive while we pump.
    if not quillon.PumpWaitingMessages(60, until=lambda: events.finished is not None):
        d.DisconnectNetwork()
        print("no answer within 60 seconds", file=sys.stderr)
        return 1
    code, reason = events.finished
    print(code, reason, "-", d.CurSize, "bytes")
    if code < 200 or code >= 400:
        return 1
    if d.WriteBinaryFile(output, True) != 0:  # True: replace an existing file
        print("cannot save:", d.ErrorString, file=sys.stderr)
        return 1
    print("saved", output)
    return 0


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))

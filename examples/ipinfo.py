#!/usr/bin/env python3
"""IPInfo: the host names of IPv4 addresses, one reverse lookup at a time.

    python3 examples/ipinfo.py 127.0.0.1 192.0.2.1

The lookups go to the DNS servers this script names: those in $QUILLON_DNS_SERVERS
("ADDR:PORT[,ADDR:PORT...]") when it is set, else the system's own (/etc/resolv.conf),
whichever server process serves it.
"""

import os
import sys
import time

try:
    import quillon
except ImportError:  # run from a checkout, without the client installed
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "clients", "python"))
    import quillon

REASONS = {1: "lookups not enabled", 2: "not an IPv4 address", 3: "lookup could not start",
           4: "no name found", 5: "timed out"}


class Events:
    def __init__(self):
        self.result = None

    def OnHostNameResult(self, ip, host, err):  # noqa: N802 - named like the event
        self.result = (host, err)


def main(addresses):
    info = quillon.Dispatch("Quillon.IPInfo")
    events = quillon.WithEvents(info, Events)
    if info.EnableHostNameData() != 0:
        print("cannot look up names:", info.ErrorString, file=sys.stderr)
        return 1
    info.TimeOut = 3000  # milliseconds per lookup
    for address in addresses:
        events.result = None
        info.GetHostNameFromIP(address)
        # Busy stays True until the result has been reported; pumping delivers the event.
        deadline = time.monotonic() + 10
        while info.Busy and time.monotonic() < deadline:
            quillon.PumpWaitingMessages(0.1)
        host, err = events.result or ("", 5)
        print(address, host if err == 0 else "(%s)" % REASONS.get(err, err))
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""Location: where IPv4 addresses are, from a city database (a file named GEOIPCITY.DAT).

    python3 examples/location.py [--db path/to/GEOIPCITY.DAT] ADDRESS [ADDRESS...]

Without --db it uses the sample database the build writes (build/share/quillon/).
"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
try:
    import quillon
except ImportError:  # run from a checkout, without the client installed
    sys.path.insert(0, os.path.join(HERE, "..", "clients", "python"))
    import quillon

SAMPLE = os.path.join(HERE, "..", "build", "share", "quillon", "GEOIPCITY.DAT")
FIELDS = ("Country", "CountryCode", "Region", "City", "ZipCode", "AreaCode")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--db", default=SAMPLE, help="the city database")
    parser.add_argument("addresses", nargs="+", metavar="ADDRESS")
    args = parser.parse_args()

    info = quillon.Dispatch("Quillon.IPInfo")
    if info.EnableLocationData(args.db) != 0:
        print("cannot open %s: %s" % (args.db, info.ErrorString), file=sys.stderr)
        return 1
    # A Location cannot be created: IPInfo hands out its own, refilled by every lookup,
    # so each answer is copied (quillon.values) before the next lookup changes it.
    places = {}
    for address in args.addresses:
        places[address] = quillon.values(info.GetLocationFromIP(address))
    missing = 0
    for address, place in places.items():
        if not place["Valid"]:
            print("%s is not in the database" % address)
            missing += 1
            continue
        print(address)
        for field in FIELDS:
            print("  %-12s %s" % (field, place[field]))
    return 1 if missing == len(places) else 0


if __name__ == "__main__":
    sys.exit(main())

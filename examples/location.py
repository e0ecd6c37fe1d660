#!/usr/bin/env python3
"""Location: where an IPv4 address is, from a city database (a file named GEOIPCITY.DAT).

    python3 examples/location.py 192.0.2.70 [path/to/GEOIPCITY.DAT]

Without a path it uses the sample database the build writes (build/share/quillon/).
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
try:
    import quillon
except ImportError:  # run from a checkout, without the client installed
    sys.path.insert(0, os.path.join(HERE, "..", "clients", "python"))
    import quillon

SAMPLE = os.path.join(HERE, "..", "build", "share", "quillon", "GEOIPCITY.DAT")


def main(address, database=SAMPLE):
    info = quillon.Dispatch("Quillon.IPInfo")
    if info.EnableLocationData(os.path.abspath(database)) != 0:
        print("cannot open %s: %s" % (database, info.ErrorString), file=sys.stderr)
        return 1
    # A Location cannot be created; IPInfo hands out its own, refilled by every lookup.
    place = info.GetLocationFromIP(address)
    if not place.Valid:
        print(address, "is not in the database")
        return 1
    for field in ("Country", "CountryCode", "Region", "City", "ZipCode", "AreaCode"):
        print("%-12s %s" % (field, getattr(place, field)))
    return 0


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))

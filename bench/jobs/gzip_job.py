"""One FileOps gzip call through the Python client, as a user's script does it:
python3 gzip_job.py gzip SOURCE DESTINATION.gz
python3 gzip_job.py gunzip SOURCE.gz DESTINATION"""

import sys

import quillon


def main():
    verb, source, destination = sys.argv[1:4]
    fo = quillon.Dispatch("Quillon.FileOps")
    if verb == "gzip":
        result = fo.GZipFile(source, destination)
    else:
        result = fo.GUnZipFile(source, destination, True)
    if result != 0:
        sys.exit("%s failed with %r: %s" % (verb, result, fo.ErrorString))


if __name__ == "__main__":
    main()

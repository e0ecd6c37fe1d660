"""One download saved to disk through the Python client, as a user's script does it:
python3 download.py PORT PATH OUTPUT"""

import sys

import quillon

WAIT = 120.0  # seconds the download may take before the script gives up


class Finished:
    done = False
    code = None

    def OnDownloadFinish(self, code, text):  # noqa: N802 - named like the event
        self.done = True
        self.code = code


def main():
    port, path, output = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    dl = quillon.Dispatch("Quillon.Downloader")
    handler = quillon.WithEvents(dl, Finished)
    dl.Port = port
    if dl.RequestFile("127.0.0.1", path) != 0:
        sys.exit("RequestFile failed: %s" % dl.ErrorString)
    if not quillon.PumpWaitingMessages(WAIT, until=lambda: handler.done) or handler.code != 200:
        sys.exit("the download did not finish with 200 (%r)" % handler.code)
    if dl.WriteBinaryFile(output, True) != 0:
        sys.exit("WriteBinaryFile failed: %s" % dl.ErrorString)


if __name__ == "__main__":
    main()

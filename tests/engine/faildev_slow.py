#!/usr/bin/python3
# A failing disk that is also slow: faildev.py's device, where every read
# that fails first sleeps for the file's "fail_sleep" seconds (a dying disk
# retries a bad sector for a long time before it gives up).
#
#   /usr/bin/python3 faildev_slow.py CONFIG MOUNTPOINT
#
# CONFIG as for faildev.py, each file with an optional "fail_sleep".
import json
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import faildev  # noqa: E402
import fusepy  # noqa: E402


class SlowFailingDevice(faildev.FailingDevice):
    def __init__(self, config):
        super().__init__(config)
        self.sleep = {"/" + n: float(c.get("fail_sleep", 0)) for n, c in config.items()}
        self.failed = 0

    def read(self, path, size, offset, fh):
        try:
            return super().read(path, size, offset, fh)
        except fusepy.FuseOSError:
            self.failed += 1
            time.sleep(self.sleep.get(path, 0))
            raise


def main():
    if len(sys.argv) != 3:
        sys.stderr.write("usage: faildev_slow.py CONFIG MOUNTPOINT\n")
        return 2
    with open(sys.argv[1]) as c:
        ops = SlowFailingDevice(json.load(c))
    signal.signal(signal.SIGUSR1, ops.pull_all)
    fusepy.FUSE(ops, sys.argv[2], foreground=True, ro=True, direct_io=True, nothreads=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
# A failing disk for the recovery tests: a read-only FUSE folder whose files
# are volume images that fail as real devices do.
#
#   /usr/bin/python3 faildev.py CONFIG MOUNTPOINT      (foreground; needs /dev/fuse)
#
# CONFIG is a JSON object: file name -> {"image": path, "bad": [[offset,
# length], ...], "gone_at": offset or null}. A read that touches a bad range
# fails with EIO, as a sector that will not read does. The first read that
# touches "gone_at" or anything after it pulls the device: from then on every
# read of that file fails with ENODEV, the sectors read before included.
# "later": {"at": offset, "bad": [[offset, length], ...]} adds bad ranges
# from the first read that touches "at" on (a disk that gets worse while it
# is read: a boot sector that turns unreadable during a recovery). "slow":
# seconds every failing read takes before it fails, as a disk that retries.
# SIGUSR1 pulls every file at once. Reads go straight to this process
# (direct_io), never to the kernel's page cache, so a pulled device cannot
# answer from a cache either.
#
# Debian's python3-fusepy (module "fusepy", over libfuse 2); run it with
# /usr/bin/python3, which has it.
import errno
import json
import os
import signal
import stat
import sys
import threading
import time

import fusepy


class FailingDevice(fusepy.Operations):
    def __init__(self, config):
        self.files = {}
        for name, conf in config.items():
            self.files["/" + name] = {
                "fd": os.open(conf["image"], os.O_RDONLY),
                "size": os.path.getsize(conf["image"]),
                "bad": [(int(a), int(a) + int(n)) for a, n in conf.get("bad", [])],
                "gone_at": conf.get("gone_at"),
                "gone": False,
                "later": conf.get("later"),
                "slow": float(conf.get("slow", 0)),
            }
        self.mutex = threading.Lock()

    def pull_all(self, *_):
        with self.mutex:
            for f in self.files.values():
                f["gone"] = True

    def getattr(self, path, fh=None):
        if path == "/":
            return {"st_mode": stat.S_IFDIR | 0o555, "st_nlink": 2}
        f = self.files.get(path)
        if not f:
            raise fusepy.FuseOSError(errno.ENOENT)
        return {"st_mode": stat.S_IFREG | 0o444, "st_nlink": 1, "st_size": f["size"]}

    def readdir(self, path, fh):
        return [".", ".."] + [p[1:] for p in self.files]

    def open(self, path, flags):
        if path not in self.files:
            raise fusepy.FuseOSError(errno.ENOENT)
        if flags & (os.O_WRONLY | os.O_RDWR):
            raise fusepy.FuseOSError(errno.EROFS)
        return 0

    def read(self, path, size, offset, fh):
        f = self.files.get(path)
        if not f:
            raise fusepy.FuseOSError(errno.ENOENT)
        end = offset + size
        with self.mutex:
            if f["gone_at"] is not None and end > int(f["gone_at"]):
                f["gone"] = True
            if f["gone"]:
                raise fusepy.FuseOSError(errno.ENODEV)
            later = f["later"]
            if later and offset <= int(later["at"]) < end:
                f["bad"] += [(int(a), int(a) + int(n)) for a, n in later["bad"]]
                f["later"] = None
        for a, b in f["bad"]:
            if offset < b and a < end:
                if f["slow"]:
                    time.sleep(f["slow"])
                raise fusepy.FuseOSError(errno.EIO)
        return os.pread(f["fd"], size, offset)


def main():
    if len(sys.argv) != 3:
        sys.stderr.write("usage: faildev.py CONFIG MOUNTPOINT\n")
        return 2
    with open(sys.argv[1]) as c:
        ops = FailingDevice(json.load(c))
    signal.signal(signal.SIGUSR1, ops.pull_all)
    fusepy.FUSE(ops, sys.argv[2], foreground=True, ro=True, direct_io=True, nothreads=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

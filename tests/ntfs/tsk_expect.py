#!/usr/bin/env python3
"""What The Sleuth Kit reads from an NTFS image, one line per listed name:
inode, deleted, type, size, sha256 (of icat's output, "-" for folders and
unreadable data), path. Named streams ("file:stream") appear as type s/s under
the file's own path, so that files with only named streams still show.
Usage: tsk_expect.py IMAGE [OFFSET_SECTORS]"""
import hashlib
import subprocess
import sys

img = sys.argv[1]
o = ["-o", sys.argv[2]] if len(sys.argv) > 2 and sys.argv[2] else []
out = subprocess.run(["fls", "-r", "-p", "-l", "-f", "ntfs"] + o + [img],
                     capture_output=True).stdout.decode("utf-8", "replace")
print("#inode\tdeleted\ttype\tsize\tsha256\tpath")
for ln in out.splitlines():
    head, _, rest = ln.partition(":\t")
    parts = head.split()
    if not parts:
        continue
    typ, addr = parts[0], parts[-1]
    deleted = "*" in parts
    if typ.startswith("V") or "(realloc)" in addr:
        continue
    cols = rest.split("\t")
    path = cols[0]
    try:
        size = int(cols[5]) if len(cols) > 5 else 0
    except ValueError:
        size = 0
    inode = addr.split("-")[0]
    if not inode.isdigit():
        continue
    name = path.rsplit("/", 1)[-1]
    sha = "-"
    if ":" in name:
        path = path[: len(path) - len(name)] + name.split(":", 1)[0]
        typ = "s/s"
    elif typ.endswith("/r"):
        r = subprocess.run(["icat", "-f", "ntfs"] + o + [img, addr], capture_output=True)
        if r.returncode == 0:
            sha = hashlib.sha256(r.stdout).hexdigest()
    print("%s\t%d\t%s\t%d\t%s\t/%s" % (inode, deleted, typ, size, sha, path))

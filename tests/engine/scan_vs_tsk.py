#!/usr/bin/env python3
"""Compares the scan tool's rows with the deleted entries The Sleuth Kit lists.

usage: scan_vs_tsk.py SCAN_ROWS IMAGE LOST_DIR_TEXT [--absent PREFIX]... [--unreadable PREFIX]...
                      [--tsk-depth N]

Every file fls -r -d lists with a name must be among the scan's rows with the
same path and size, and the scan must list nothing else (no live file).
On NTFS, TSK's $OrphanFiles are the scan's lost-folder text below the root;
on FAT and exFAT, where TSK finds an orphan by its entry alone (and often by
its short name), it matches a row of the same size and extension in any
folder (or one whose name starts with TSK's, which cuts a name whose entries
cross a cluster end): the scan placed it in the deleted folder it came
from. Rows TSK does not list are allowed only inside a folder TSK lists as
deleted (entry sets TSK's orphan search misses). A file TSK lists twice (its
folder's cluster named by two deleted folder entries, one of which now
holds the other's folder) is listed once. Named
streams are not files of their own. On FAT16 and FAT32 a deleted file of size
0 has nothing to recover and is not listed. Files under an --absent prefix
(the live files of a folder moved away, which TSK lists again under the old,
deleted entry) must not be listed; nor files under an --unreadable prefix
(the scan read a failing copy of IMAGE, where their entries did not read). With --tsk-depth N, rows more than N
folders deep are left out of the comparison (fls stops descending at 128
folders; what it finds below as orphans is matched by its folders); they
are counted and must be checked otherwise.
"""
import subprocess
import sys
from collections import Counter


def ext_of(path):
    name = path.rsplit("/", 1)[-1]
    return name.rsplit(".", 1)[-1].lower() if "." in name else ""


def tsk_rows(image):
    fstype = subprocess.run(["fsstat", "-t", image], capture_output=True, text=True).stdout.strip()
    out = subprocess.run(["fls", "-r", "-d", "-p", "-l", image], capture_output=True, check=True)
    rows, folders = [], []
    for line in out.stdout.decode("utf-8", "replace").splitlines():
        head, _, rest = line.partition("\t")
        parts = head.split()
        if parts and parts[0] == "d/d" and not rest.startswith("$OrphanFiles"):
            folders.append("/" + rest.split("\t")[0] + "/")
        if not parts or not parts[0].endswith("/r"):
            continue
        cols = rest.split("\t")
        path, size = cols[0], int(cols[5])
        name = path.rsplit("/", 1)[-1]
        if ":" in name or path.startswith("$OrphanFiles/OrphanFile-"):
            continue
        if fstype in ("fat12", "fat16", "fat32") and size == 0:
            continue
        inode = parts[-1].rstrip(":")
        rows.append(("/" + path, size, inode))
    return rows, fstype, folders


def main():
    args = sys.argv[1:]
    absent = []
    while "--absent" in args:
        i = args.index("--absent")
        absent.append(args[i + 1])
        del args[i:i + 2]
    unreadable = []
    while "--unreadable" in args:
        i = args.index("--unreadable")
        unreadable.append(args[i + 1])
        del args[i:i + 2]
    tsk_depth = None
    if "--tsk-depth" in args:
        i = args.index("--tsk-depth")
        tsk_depth = int(args[i + 1])
        del args[i:i + 2]
    scan_file, image, lost = args
    ours = Counter()
    beyond = 0
    with open(scan_file, encoding="utf-8") as f:
        for line in f:
            cols = line.rstrip("\n").split("\t")
            if len(cols) != 6:
                continue
            path = cols[0][2:].replace("\\", "/")  # drop "X:"
            ours[(path, int(cols[1]))] += 1
    rows, fstype, deleted_folders = tsk_rows(image)
    errors = []
    matched = set()
    # Orphans last: a row TSK places in its folder is taken by that row first.
    for path, size, inode in sorted(rows, key=lambda r: (r[0].startswith("/$OrphanFiles/"), r[0].count("/"))):
        if any(path.startswith(p) for p in absent):
            if ours[(path, size)]:
                errors.append("listed, but lives on elsewhere: %s" % path)
                ours[(path, size)] -= 1
            continue
        if any(path.startswith(p) for p in unreadable):
            if ours[(path, size)]:
                errors.append("listed, but its entry could not be read: %s" % path)
                ours[(path, size)] -= 1
            continue
        if path.startswith("/$OrphanFiles/") and fstype != "ntfs":
            name = path.rsplit("/", 1)[-1].lower()
            # The row whose folders end as the orphan's do, else any row
            # that fits.
            tail = path[len("/$OrphanFiles"):].lower()
            hit = next((k for k, n in ours.items() if n and k[1] == size and "/" in tail[1:] and
                        k[0].lower().endswith(tail)), None)
            hit = hit or next((k for k, n in ours.items() if n and k[1] == size and
                               (ext_of(k[0]) == ext_of(path) or
                                k[0].rsplit("/", 1)[-1].lower().startswith(name))), None)
            if hit:
                ours[hit] -= 1
            else:
                errors.append("missing orphan: %s (%d bytes)" % (path, size))
            continue
        mapped = path.replace("/$OrphanFiles/", "/%s/" % lost, 1)
        if ours[(mapped, size)]:
            ours[(mapped, size)] -= 1
            matched.add(inode)
        elif inode not in matched:
            errors.append("missing: %s (%d bytes)" % (mapped, size))
    for (path, size), n in ours.items():
        if n and tsk_depth is not None and path.count("/") - 1 > tsk_depth:
            beyond += n
            continue
        if n and not any(path.startswith(f) for f in deleted_folders):
            errors.extend(["not deleted (TSK): %s (%d bytes)" % (path, size)] * n)
    for e in errors:
        print(e)
    print("%s (%s): %d deleted files, %d problems%s" % (image, fstype, len(rows), len(errors),
          "" if tsk_depth is None else ", %d rows deeper than fls goes" % beyond))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())

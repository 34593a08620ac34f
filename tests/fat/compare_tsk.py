#!/usr/bin/env python3
"""Compares fsdump's listing of a volume with The Sleuth Kit's (fls, icat).

usage: compare_tsk.py FSDUMP_TSV IMAGE SECTOR_OFFSET

Checked for every entry TSK lists (metadata files and orphans aside):
the path, the deleted flag, the size of files, and the SHA-256 of the bytes
read back for live files and for deleted files whose clusters were one run
(deleted files named frag* were fragmented and are not compared by content).
Entries fsdump lists that TSK does not are errors too.
"""
import hashlib
import subprocess
import sys
from collections import defaultdict


def tsk_rows(image, offset):
    out = subprocess.run(["fls", "-r", "-p", "-l", "-o", offset, image], check=True,
                         capture_output=True).stdout.decode("utf-8", "replace")
    rows = []
    for line in out.splitlines():
        head, _, rest = line.partition("\t")
        parts = head.split()
        kind = parts[0]
        deleted = "*" in parts[1:]
        inode = parts[-1].rstrip(":")
        cols = rest.split("\t")
        path = cols[0]
        if kind not in ("r/r", "d/d") or "(Volume Label Entry)" in path:
            continue
        if path.startswith("$") or "$OrphanFiles" in path:
            continue
        size = int(cols[5])
        rows.append((path, kind, deleted, inode, size))
    return rows


def icat_sha(image, offset, inode):
    data = subprocess.run(["icat", "-r", "-o", offset, image, inode], capture_output=True).stdout
    return hashlib.sha256(data).hexdigest()


def main():
    tsv, image, offset = sys.argv[1], sys.argv[2], sys.argv[3]
    ours = defaultdict(list)
    with open(tsv, encoding="utf-8") as f:
        header = f.readline().rstrip("\n").split("\t")
        assert header == ["path", "size", "deleted", "first_cluster", "sha256"], header
        for line in f:
            path, size, deleted, first, sha = line.rstrip("\n").split("\t")
            # An 8.3 name without extension keeps its dot here ("NOEXT."); TSK drops it.
            if path.endswith(".") and not path.endswith("/."):
                path = path[:-1]
            ours[path.lstrip("/")].append({"size": int(size), "deleted": deleted == "1",
                                           "sha": sha, "used": False})
    errors = []
    compared = 0
    for path, kind, deleted, inode, size in tsk_rows(image, offset):
        cands = [r for r in ours.get(path, []) if not r["used"] and r["deleted"] == deleted]
        if kind == "r/r":
            sized = [r for r in cands if r["size"] == size]
            cands = sized or cands
        if not cands:
            errors.append("missing: %s (deleted=%s size=%d)" % (path, deleted, size))
            continue
        if kind == "d/d":
            cands[0]["used"] = True
            continue
        name = path.rsplit("/", 1)[-1]
        want_hash = not deleted or not name.lower().startswith("frag")
        expect = icat_sha(image, offset, inode) if want_hash else None
        match = None
        for r in cands:
            if r["size"] != size:
                continue
            if expect is None or r["sha"] == expect:
                match = r
                break
        if match is None:
            r = cands[0]
            errors.append("differs: %s tsk(size=%d sha=%s) ours(size=%d sha=%s)" % (
                path, size, expect, r["size"], r["sha"]))
            r["used"] = True
            continue
        match["used"] = True
        compared += 1
    for path, rs in ours.items():
        for r in rs:
            if not r["used"]:
                errors.append("extra: %s %s" % (path, r))
    for e in errors:
        print(e)
    print("%s: %d entries listed, %d files compared by content, %d problems" % (
        image, sum(len(v) for v in ours.values()), compared, len(errors)))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Compares fsdump's listing of a volume with The Sleuth Kit's (fls, icat).

usage: compare_tsk.py FSDUMP_TSV IMAGE SECTOR_OFFSET

Every entry fls lists (metadata files and orphans aside) must be in fsdump's
listing with the same deleted flag and size, and for live files and deleted
files whose clusters were one run (not named frag*), the SHA-256 of icat's
bytes. Entries only fsdump lists are errors too.
"""
import hashlib
import subprocess
import sys
from collections import defaultdict


def run(*args, check=False):
    return subprocess.run(args, capture_output=True, check=check).stdout


def main():
    tsv, image, offset = sys.argv[1:4]
    ours = defaultdict(list)
    with open(tsv, encoding="utf-8") as f:
        header = f.readline().rstrip("\n").split("\t")
        assert header == ["path", "size", "deleted", "first_cluster", "sha256"], header
        for line in f:
            path, size, deleted, _, sha = line.rstrip("\n").split("\t")
            # An 8.3 name without extension keeps its dot here ("NOEXT."); TSK drops it.
            if path.endswith(".") and not path.endswith("/."):
                path = path[:-1]
            ours[path.lstrip("/")].append({"size": int(size), "deleted": deleted == "1", "sha": sha})
    errors, compared = [], 0
    for line in run("fls", "-r", "-p", "-l", "-o", offset, image, check=True).decode("utf-8", "replace").splitlines():
        head, _, rest = line.partition("\t")
        parts, cols = head.split(), rest.split("\t")
        kind, deleted, inode, path = parts[0], "*" in parts[1:], parts[-1].rstrip(":"), cols[0]
        if kind not in ("r/r", "d/d") or "(Volume Label Entry)" in path or path.startswith("$") \
                or "$OrphanFiles" in path:
            continue
        size = int(cols[5])
        cands = [r for r in ours.get(path, []) if r["deleted"] == deleted]
        if kind == "r/r":
            cands = [r for r in cands if r["size"] == size] or cands
        if not cands:
            errors.append("missing: %s (deleted=%s size=%d)" % (path, deleted, size))
            continue
        match = cands[0]
        if kind == "r/r":
            expect = None
            if not deleted or not path.rsplit("/", 1)[-1].lower().startswith("frag"):
                expect = hashlib.sha256(run("icat", "-r", "-o", offset, image, inode)).hexdigest()
            match = next((r for r in cands if r["size"] == size and expect in (None, r["sha"])), None)
            if match is None:
                match = cands[0]
                errors.append("differs: %s tsk(size=%d sha=%s) ours(size=%d sha=%s)" % (
                    path, size, expect, match["size"], match["sha"]))
            else:
                compared += 1
        ours[path].remove(match)
    errors += ["extra: %s %s" % (p, r) for p, rs in ours.items() for r in rs]
    for e in errors:
        print(e)
    print("%s: %d files compared by content, %d problems" % (image, compared, len(errors)))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())

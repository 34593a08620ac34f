#!/usr/bin/env python3
"""Compares fsdump's rows for an NTFS volume with tsk_expect.py's lines.
Every named MFT record TSK lists must be there with one of TSK's paths for it,
the same deleted flag, and for files the same size and content hash. Records
TSK lists without a name (OrphanFile-N) are not ours to list.
Usage: compare_dump.py EXPECT.tsv FSDUMP.out"""
import sys

exp, got = sys.argv[1], sys.argv[2]
E = {}
for ln in open(exp, encoding="utf-8"):
    if ln.startswith("#") or not ln.strip():
        continue
    ino, dele, typ, size, sha, path = ln.rstrip("\n").split("\t")
    E.setdefault(int(ino), []).append((int(dele), typ, int(size), sha, path))
G = {}
for ln in open(got, encoding="utf-8"):
    if ln.startswith("path\t") or not ln.strip():
        continue
    path, size, dele, ino, sha = ln.rstrip("\n").split("\t")
    G[int(ino)] = (path, int(size), int(dele), sha)
bad = 0
checked_hashes = 0
for ino, rows in sorted(E.items()):
    if ino not in G:
        if all(r[4] == "/$OrphanFiles/OrphanFile-%d" % ino for r in rows):
            continue
        print("MISSING", ino, rows)
        bad += 1
        continue
    path, size, dele, sha = G[ino]
    if path not in [r[4] for r in rows]:
        print("PATH", ino, repr(path), [r[4] for r in rows])
        bad += 1
    if dele != rows[0][0]:
        print("DELETED", ino, path, dele, rows[0][0])
        bad += 1
    files = [r for r in rows if r[1].endswith("/r")]
    if files:
        d, typ, esize, esha, _ = files[0]
        if size != esize:
            print("SIZE", ino, path, size, esize)
            bad += 1
        if esha != "-":
            checked_hashes += 1
            if sha != esha:
                print("SHA", ino, path, sha, esha)
                bad += 1
for ino in G:
    if ino not in E:
        print("EXTRA", ino, G[ino])
        bad += 1
print("%s: %d rows, %d listed by TSK, %d hashes compared, %d problems" % (got, len(G), len(E), checked_hashes, bad))
sys.exit(1 if bad else 0)

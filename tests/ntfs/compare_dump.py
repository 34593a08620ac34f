#!/usr/bin/env python3
"""Compares fsdump's rows for an NTFS volume with tsk_expect.py's lines.
Every named MFT record TSK lists must be there with one of TSK's paths for it,
the same deleted flag, and for files the same size and content hash. Records
TSK lists without a name (OrphanFile-N) are not ours to list.
Usage: compare_dump.py EXPECT.tsv FSDUMP.out"""
import sys

E, G, bad, hashes = {}, {}, [], 0
for ln in open(sys.argv[1], encoding="utf-8"):
    if not ln.startswith("#") and ln.strip():
        ino, dele, typ, size, sha, path = ln.rstrip("\n").split("\t")
        E.setdefault(int(ino), []).append((int(dele), typ, int(size), sha, path))
for ln in open(sys.argv[2], encoding="utf-8"):
    if not ln.startswith("path\t") and ln.strip():
        path, size, dele, ino, sha = ln.rstrip("\n").split("\t")
        G[int(ino)] = (path, int(size), int(dele), sha)
for ino, rows in sorted(E.items()):
    if ino not in G:
        if any(r[4] != "/$OrphanFiles/OrphanFile-%d" % ino for r in rows):
            bad.append(("MISSING", ino, rows))
        continue
    path, size, dele, sha = G[ino]
    if path not in [r[4] for r in rows] or dele != rows[0][0]:
        bad.append(("PATH/DELETED", ino, path, dele, rows))
    files = [r for r in rows if r[1].endswith("/r")]
    if files and (size != files[0][2] or files[0][3] not in ("-", sha)):
        bad.append(("SIZE/SHA", ino, path, size, sha, files[0]))
    hashes += bool(files) and files[0][3] != "-"
bad += [("EXTRA", ino, G[ino]) for ino in G if ino not in E]
for b in bad:
    print(*b)
print("%s: %d rows, %d listed by TSK, %d hashes compared, %d problems" % (sys.argv[2], len(G), len(E), hashes, len(bad)))
sys.exit(1 if bad else 0)

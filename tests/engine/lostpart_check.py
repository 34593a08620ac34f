#!/usr/bin/env python3
"""Checks of the lost-partition tests.

  lostpart_check.py key ROWS KEY [--only S,S...] [--past-end S]
      every partition of the key (only those starting at the given sectors)
      is found: same first sector and file system, a length the file system
      may claim (the partition's, or up to one track less), the label; and
      nothing else is found
  lostpart_check.py subset ROWS KEY
      everything found is a partition of the key (no false finds); prints
      how many of the key were found
  lostpart_check.py testdisk LOG ROWS [--require]
      the partitions TestDisk's search found (from its log); with --require
      each of them must be among ours
  lostpart_check.py files ROWS FLS
      the files of a found partition against `fls -r -p -l` of the volume
  lostpart_check.py bytes ROWS OUTDIR DISKIMAGE FIRST [SECTORSIZE]
      what the recovery wrote (its rows in ROWS) for the files of the
      partition at FIRST (in sectors of SECTORSIZE, default 512), byte for
      byte against The Sleuth Kit's icat: every live file, and every deleted
      one recovered without a note
  lostpart_check.py same A B
      two scan listings hold the same entries (the deleted flag aside,
      which is not stored); same-names compares file names without folders
"""
import re
import sys


def found_rows(path):
    rows = []
    for line in open(path, encoding="utf-8"):
        parts = line.rstrip("\n").split("\t")
        if len(parts) >= 6:
            rows.append({"first": int(parts[0]), "length": int(parts[1]), "fs": parts[2], "label": parts[3],
                         "past_end": "past-end" in parts[6:]})
    return rows


def key_rows(path):
    rows = []
    for line in open(path, encoding="utf-8"):
        parts = line.rstrip("\n").split("\t")
        if len(parts) >= 3:
            rows.append({"first": int(parts[0]), "length": int(parts[1]), "fs": parts[2],
                         "label": parts[3] if len(parts) > 3 else ""})
    return rows


def matches(f, k):
    return (f["first"] == k["first"] and f["fs"] == k["fs"] and k["length"] - 63 <= f["length"] <= k["length"]
            and (not k["label"] or f["label"] == k["label"]))


def cmd_key(args):
    rows, key = found_rows(args[0]), key_rows(args[1])
    only = None
    past_end = set()
    i = 2
    while i < len(args):
        if args[i] == "--only":
            only = {int(x) for x in args[i + 1].split(",")}
            i += 2
        elif args[i] == "--past-end":
            past_end = {int(x) for x in args[i + 1].split(",")}
            i += 2
        else:
            raise SystemExit("bad option " + args[i])
    want = [k for k in key if only is None or k["first"] in only]
    bad = []
    for k in want:
        hit = [f for f in rows if f["first"] == k["first"]]
        if not hit:
            bad.append("missing %d %s" % (k["first"], k["fs"]))
        elif k["first"] not in past_end and not matches(hit[0], k):
            bad.append("wrong %s for %s" % (hit[0], k))
        elif (k["first"] in past_end) != hit[0]["past_end"]:
            bad.append("past-end mark wrong for %d" % k["first"])
    for f in rows:
        if not any(f["first"] == k["first"] for k in want):
            bad.append("unexpected find %s" % f)
    print("%s: %d of %d partitions found%s" % (args[0].rsplit("/", 1)[-1], len(want) - sum(1 for b in bad if b.startswith("missing")),
                                             len(want), "" if not bad else ": " + "; ".join(bad)))
    return 1 if bad else 0


def cmd_subset(args):
    rows, key = found_rows(args[0]), key_rows(args[1])
    bad = [f for f in rows if not any(f["first"] == k["first"] and f["fs"] == k["fs"] for k in key)]
    print("%s: %d of %d partitions found, %d false finds" % (args[0].rsplit("/", 1)[-1], len(rows), len(key), len(bad)))
    for f in bad:
        print("  false find %s" % f)
    return 1 if bad else 0


def testdisk_finds(log):
    text = open(log, encoding="utf-8", errors="replace").read()
    geo = re.search(r"CHS (\d+) (\d+) (\d+)", text)
    heads, sectors = int(geo.group(2)), int(geo.group(3))
    section = text.split("search_part()", 1)[-1].split("interface_write()", 1)[0]
    lines = section.splitlines()
    finds = []
    pat = re.compile(r"^\s{5}(\S.*?)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)(?:\s+\[(.*)\])?\s*$")
    for n, line in enumerate(lines):
        m = pat.match(line)
        if not m:
            continue
        c, h, s = int(m.group(2)), int(m.group(3)), int(m.group(4))
        fs = lines[n + 1].strip().split(",")[0] if n + 1 < len(lines) else ""
        finds.append({"first": (c * heads + h) * sectors + s - 1, "length": int(m.group(8)), "fs": fs,
                      "label": m.group(9) or ""})
    return finds


def cmd_testdisk(args):
    finds = testdisk_finds(args[0])
    ours = found_rows(args[1])
    require = "--require" in args
    missing = [t for t in finds if not any(o["first"] == t["first"] for o in ours)]
    extra = [o for o in ours if not any(o["first"] == t["first"] for t in finds)]
    print("TestDisk found %d, we found %d; TestDisk's not ours: %s; ours not TestDisk's: %s" % (
        len(finds), len(ours), [t["first"] for t in missing] or "none", [o["first"] for o in extra] or "none"))
    return 1 if require and missing else 0


def cmd_files(args):
    ours = {}
    for line in open(args[0], encoding="utf-8"):
        p = line.rstrip("\n").split("\t")
        if len(p) == 6:
            ours.setdefault(p[0], []).append((int(p[1]), p[2]))
    bad, live, gone = [], 0, 0
    for line in open(args[1], encoding="utf-8", errors="replace"):
        p = line.rstrip("\n").split("\t")
        if len(p) < 7 or not p[0].startswith("r/r"):
            continue
        deleted = "*" in p[0]
        path, size = p[1], int(p[6])
        if path.startswith("$") or "$OrphanFiles" in path or ":" in path or size == 0:
            continue
        ours_path = "\\" + path.replace("/", "\\")
        if not deleted:
            live += 1
            if (size, "0") not in ours.get(ours_path, []) and (size, "1") not in ours.get(ours_path, []):
                bad.append("live %s (%d) not listed" % (path, size))
        else:
            gone += 1
            folder = ours_path.rsplit("\\", 1)[0] + "\\"
            if not any(k.rsplit("\\", 1)[0] + "\\" == folder and (size, "1") in v for k, v in ours.items()):
                bad.append("deleted %s (%d) not listed" % (path, size))
    print("%s: %d live and %d deleted files of The Sleuth Kit's listing%s" % (
        args[0].rsplit("/", 1)[-1], live, gone, " all listed" if not bad else ": " + "; ".join(bad)))
    return 1 if bad or live == 0 else 0


def cmd_bytes(args):
    import hashlib
    import os
    import subprocess
    rows_file, outdir, image, first = args[:4]
    sector = ["-b", args[4]] if len(args) > 4 else []
    outdir_win = "Z:" + outdir.rstrip("/").replace("/", "\\")
    written = {}
    for line in open(rows_file, encoding="utf-8"):
        p = line.rstrip("\r\n").split("\t")
        if len(p) == 3 and p[0].lower().startswith(outdir_win.lower() + "\\"):
            rel = p[0][len(outdir_win) + 1:]
            written[rel.lower()] = (os.path.join(outdir, *rel.split("\\")), p[2])
    fls = subprocess.run(["fls", "-r", "-p"] + sector + ["-o", first, image], capture_output=True).stdout
    bad, same = [], 0
    for line in fls.decode("utf-8", "replace").splitlines():
        head, _, path = line.partition("\t")
        parts = head.split()
        if not parts or parts[0] != "r/r" or path.startswith("$") or "$OrphanFiles" in path or ":" in path or \
                path.endswith("(Volume Label Entry)"):
            continue
        deleted = "*" in parts
        inode = parts[-1].rstrip(":")
        got = written.get(path.replace("/", "\\").lower())
        if not got:
            if not deleted:
                bad.append("live %s not recovered" % path)
            continue
        if got[1] != "recovered":
            if not deleted:
                bad.append("live %s: %s" % (path, got[1]))
            continue
        r = subprocess.run(["icat"] + sector + ["-o", first, image, inode], capture_output=True)
        if r.returncode != 0 or r.stderr:
            continue
        with open(got[0], "rb") as f:
            ours = f.read()
        if hashlib.sha256(ours).digest() != hashlib.sha256(r.stdout).digest():
            bad.append("%s differs from icat (%d and %d bytes)" % (path, len(ours), len(r.stdout)))
        else:
            same += 1
    print("partition at %s: %d files recovered as icat reads them%s" % (first, same, "" if not bad else ": " + "; ".join(bad)))
    return 1 if bad or same == 0 else 0


def listing(path, names_only=False):
    rows = []
    for line in open(path, encoding="utf-8"):
        p = line.rstrip("\n").split("\t")
        if len(p) == 6:
            del p[2]
            if names_only:
                p[0] = p[0].rsplit("\\", 1)[-1]
            rows.append(tuple(p))
    return sorted(rows)


def cmd_same_names(args):
    return cmd_same(args, True)


def cmd_same(args, names_only=False):
    a, b = listing(args[0], names_only), listing(args[1], names_only)
    same = a == b and len(a) > 0
    print("%s and %s: %d and %d entries, %s" % (args[0].rsplit("/", 1)[-1], args[1].rsplit("/", 1)[-1], len(a), len(b),
                                             "the same" if same else "DIFFERENT"))
    if not same:
        for row in sorted(set(a) ^ set(b))[:10]:
            print("  differs: %s" % (row,))
    return 0 if same else 1


if __name__ == "__main__":
    cmds = {"key": cmd_key, "subset": cmd_subset, "testdisk": cmd_testdisk, "files": cmd_files, "bytes": cmd_bytes, "same": cmd_same, "same-names": cmd_same_names}
    if len(sys.argv) < 2 or sys.argv[1] not in cmds:
        raise SystemExit(__doc__)
    sys.exit(cmds[sys.argv[1]](sys.argv[2:]))

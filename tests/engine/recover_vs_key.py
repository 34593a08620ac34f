#!/usr/bin/env python3
"""Checks what the recover tool wrote (deleted-files scan, folder paths kept).

usage: recover_vs_key.py ROWS OUTDIR IMAGE [--key KEY.tsv]

ROWS is the tool's output (output path, bytes, result per entry), OUTDIR the
Unix folder it wrote to. Checks:
  - every row's file exists with the bytes the row gives, no row is an empty
    file left by a failure, nothing else lies in OUTDIR;
  - with an answer key (path, size, sha256, kind; see make-recover.sh):
    deleted files come back byte for byte; fragmented ones are recovered with
    the note that contiguous clusters were assumed; compressed ones leave no
    file; live files are not recovered;
  - against The Sleuth Kit: every deleted file that icat reads back and that
    we recovered without a note is byte for byte what icat reads; with a key,
    every deleted file icat recovers byte-exact (its bytes are the key's) is
    recovered byte-exact by us as well.
"""
import hashlib
import os
import re
import subprocess
import sys

RESERVED = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"} | \
    {"COM%d" % i for i in range(10)} | {"LPT%d" % i for i in range(10)}


def safe_name(name):
    """The name the program gives a file or folder from disk."""
    name = name.rstrip(". ")
    if not name:
        return "_"
    out = "".join("_" if ord(c) < 0x20 or c in '\\/:*?"<>|' else c for c in name)
    stem = out.split(".", 1)[0].rstrip(" ").upper()
    if stem in RESERVED:
        out = "_" + out
    return out


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def out_path(outdir, volume_path):
    parts = [p for p in volume_path.split("/") if p]
    parts = ["Recycle Bin" if p.upper() == "$RECYCLE.BIN" else p for p in parts]
    return os.path.join(outdir, *[safe_name(p) for p in parts])


def same_name(a, b):
    """Names of one entry: equal, or a deleted FAT short name ("_MALL.TXT"
    for "small.txt": the first letter is gone) equal from the second letter."""
    a, b = safe_name(a), safe_name(b)
    return a == b or (len(a) == len(b) and len(a) > 1 and a[1:].lower() == b[1:].lower())


def find_output(outputs, volume_path, size=None):
    """Our output file for an entry of the volume, found by folder and name."""
    parts = [p for p in volume_path.split("/") if p]
    parts = ["Recycle Bin" if p.upper() == "$RECYCLE.BIN" else p for p in parts]
    for p, (osize, result, rel) in outputs.items():
        if len(rel) == len(parts) and all(same_name(x, y) for x, y in zip(rel, parts)) and \
                (size is None or osize == size):
            return p
    return None


def tsk_deleted(image):
    fstype = subprocess.run(["fsstat", "-t", image], capture_output=True, text=True).stdout.strip()
    opt = []
    if not fstype:  # FAT32 of few clusters: TSK goes by the cluster count
        opt = ["-f", "fat32"]
    out = subprocess.run(["fls", "-r", "-d", "-p"] + opt + [image], capture_output=True).stdout
    rows = []
    for line in out.decode("utf-8", "replace").splitlines():
        head, _, path = line.partition("\t")
        parts = head.split()
        if not parts or not parts[0].endswith("/r") or path.startswith("$OrphanFiles"):
            continue
        inode = parts[-1].rstrip(":")
        rows.append((path, inode))
    return rows, opt


def icat(image, opt, inode):
    r = subprocess.run(["icat"] + opt + [image, inode], capture_output=True)
    return r.stdout if r.returncode == 0 and not r.stderr else None


def main():
    args = sys.argv[1:]
    key = None
    if "--key" in args:
        i = args.index("--key")
        key = args[i + 1]
        del args[i:i + 2]
    rows_file, outdir, image = args
    errors = []
    rows = []
    for line in open(rows_file, encoding="utf-8"):
        cols = line.rstrip("\r\n").split("\t")
        if len(cols) == 3:
            rows.append(cols)
    outdir_win = "Z:" + outdir.rstrip("/").replace("/", "\\")
    unix = {}
    for path, size, result in rows:
        if path == "-":
            continue
        if result.startswith("failed"):
            errors.append("a failed entry names a file: %s" % path)
            continue
        if not path.lower().startswith(outdir_win.lower() + "\\"):
            errors.append("written outside the target: %s" % path)
            continue
        rel = path[len(outdir_win) + 1:].split("\\")
        p = os.path.join(outdir, *rel)
        unix[p] = (int(size), result, rel)
        if not os.path.isfile(p):
            errors.append("missing output: %s" % p)
        elif os.path.getsize(p) != int(size):
            errors.append("%s: %d bytes, the row says %s" % (p, os.path.getsize(p), size))
    for root, _, files in os.walk(outdir):
        for f in files:
            p = os.path.join(root, f)
            if p not in unix:
                errors.append("a file no row names: %s (%d bytes)" % (p, os.path.getsize(p)))

    checked = 0
    keyed = {}
    if key:
        for line in open(key, encoding="utf-8"):
            path, size, digest, kind = line.rstrip("\n").split("\t")
            keyed[path] = (int(size), digest, kind)
            p = find_output(unix, path, int(size)) or out_path(outdir, path)
            got = unix.get(p)
            if kind == "deleted":
                if not got or not os.path.isfile(p) or sha(p) != digest:
                    errors.append("not byte-exact: %s" % path)
                checked += 1
            elif kind == "fragmented":
                if not got or "assumes contiguous clusters" not in got[1]:
                    errors.append("fragmented but not said to assume contiguous clusters: %s" % path)
                else:
                    print("fragmented %s: %s" % (path, "its own bytes" if sha(p) == digest else
                                                 "not its bytes, as the note says"))
                checked += 1
            elif kind == "compressed":
                # Listed or not, never written (it cannot be read back).
                if got or os.path.exists(p):
                    errors.append("compressed, yet written: %s" % path)
                checked += 1
            elif kind == "live":
                if got:
                    errors.append("live, yet recovered: %s" % path)

    tsk_rows, opt = tsk_deleted(image)
    agree = 0
    for path, inode in tsk_rows:
        name = path.rsplit("/", 1)[-1]
        if ":" in name and "$" in name:
            continue  # a named stream
        data = icat(image, opt, inode)
        if data is None or not data:
            continue
        digest = hashlib.sha256(data).hexdigest()
        # TSK names a deleted FAT file by its short entry ("_EL1.BIN"): match
        # a key row of the same folder, size and name from the second letter on.
        match = None
        if keyed:
            folder = "/" + path.rsplit("/", 1)[0] if "/" in path else ""
            for kpath, (ksize, kdigest, kind) in keyed.items():
                kfolder, kname = kpath.rsplit("/", 1)
                if ksize == len(data) and kfolder.lower() == folder.lower() and \
                        (kname == name or kname[1:].lower() == name[1:].lower()):
                    match = (kpath, kdigest, kind)
                    break
            if match and match[1] == digest and match[2] in ("deleted", "fragmented"):
                p = find_output(unix, match[0], len(data)) or out_path(outdir, match[0])
                if not os.path.isfile(p) or sha(p) != digest:
                    errors.append("TSK recovers %s byte-exact, we do not" % match[0])
                else:
                    agree += 1
            continue
        # No key: compare with what we wrote for the same entry.
        p = find_output(unix, "/" + path, len(data))
        got = unix.get(p) if p else None
        if not got or got[1] != "recovered":
            continue
        if sha(p) != digest:
            errors.append("differs from icat: /%s" % path)
        else:
            agree += 1

    for e in errors:
        print(e)
    print("%s: %d rows, %d key checks, %d agree with TSK, %d problems" %
          (os.path.basename(image), len(rows), checked, agree, len(errors)))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())

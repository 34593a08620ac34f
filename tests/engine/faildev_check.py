#!/usr/bin/env python3
# Checks what a recovery from a failing device (faildev.py) wrote, against a
# recovery of the same entries from the healthy image or against the source.
#
#   faildev_check.py partial ROWS OUT REF [--file SUFFIX --zero FROM LENGTH...]
#       Every file the healthy run (REF: rows file; its folder is the row
#       paths' own) recovered comes back here byte for byte, except the one
#       whose path ends in SUFFIX: that one is said partial and holds the
#       healthy bytes with zeros exactly in each [FROM, FROM + LENGTH) of the
#       file (--zero may come more than once). Without --file no file may be
#       said partial. A REF rows file NAME.rows has its files in the folder
#       NAME. With --source, REF is the file itself: only the SUFFIX file is
#       checked. With --not-read the SUFFIX file must also say that some of
#       it was not read (the time for bad areas ran out): outside the --zero
#       ranges each of its bytes is the healthy one or a zero.
#   faildev_check.py truth ROWS OUT --ref SUFFIX=FILE... --expect SUFFIX=STATE...
#       No file is said whole (recovered, neither partial nor uncertain) with
#       bytes other than its reference (the oracle's, for the file whose path
#       ends in SUFFIX); each --expect file came back, said whole or said
#       uncertain as STATE (whole, uncertain) says.
#   In every mode a failed row shows no bytes written: no file is left.
#   faildev_check.py gone ROWS OUT REF ERR
#       The run ended at the pulled device with its message: one row failed
#       as "the device stopped answering", the last one; every file kept is
#       byte for byte the healthy one; nothing else is left in OUT; the count
#       of recovered files is the kept files.
import os
import sys


def rows_of(path):
    rows = [l.rstrip("\n").split("\t") for l in open(path, encoding="utf-8")]
    return [r for r in rows if len(r) == 3], (rows[-1][0] if rows and rows[-1] else "")


def unix(win):
    return "/" + win[3:].replace("\\", "/")


def relative(rows, out):
    got = {}
    for path, size, result in rows:
        if result.startswith("recovered"):
            got[os.path.relpath(unix(path), out)] = (unix(path), result)
    return got


def files_under(out):
    found = set()
    for root, _, files in os.walk(out):
        for f in files:
            found.add(os.path.relpath(os.path.join(root, f), out))
    return found


def main():
    mode, rows_path, out = sys.argv[1], sys.argv[2], os.path.realpath(sys.argv[3])
    rows, last = rows_of(rows_path)
    got = relative(rows, out)
    errors = []
    for path, size, result in rows:
        if not result.startswith("recovered") and size != "0":
            errors.append("a failed row shows %s bytes written: %s (%s)" % (size, path, result))
    if mode == "partial":
        args = sys.argv[4:]
        source = "--source" in args
        if source:
            args.remove("--source")
        not_read = "--not-read" in args
        if not_read:
            args.remove("--not-read")
        ref = args[0]
        suffix = args[args.index("--file") + 1] if "--file" in args else None
        zeros = [(int(args[i + 1]), int(args[i + 2])) for i, a in enumerate(args) if a == "--zero"]
        if source:
            want = {k: (ref, "") for k in got if k.endswith(suffix)}
        else:
            ref_rows, _ = rows_of(ref)
            want = relative(ref_rows, os.path.realpath(ref)[:-5])
            for k in sorted(set(want) - set(got)):
                errors.append("not recovered from the failing device: %s" % k)
        hits = 0
        for k in sorted(set(want) & set(got)):
            data = open(got[k][0], "rb").read()
            expect = open(want[k][0], "rb").read()
            if suffix is not None and k.endswith(suffix):
                hits += 1
                expect = bytearray(expect)
                if not_read:
                    if "not read" not in got[k][1]:
                        errors.append("not said what was not read: %s (%s)" % (k, got[k][1]))
                    if len(data) == len(expect):
                        # Bytes given up unread are zeros; every other byte is the healthy one.
                        expect = bytearray(d if d == 0 else e for d, e in zip(data, expect))
                for zero_from, zero_len in zeros:
                    end = min(len(expect), zero_from + zero_len)
                    expect[zero_from:end] = bytes(end - zero_from)
                if "partial" not in got[k][1]:
                    errors.append("not said partial: %s (%s)" % (k, got[k][1]))
            elif "partial" in got[k][1]:
                errors.append("said partial without a bad sector: %s" % k)
            if data != bytes(expect):
                diff = next((i for i in range(min(len(data), len(expect))) if data[i] != expect[i]),
                            min(len(data), len(expect)))
                errors.append("%s: %d bytes, %d expected, first difference at %d" % (k, len(data), len(expect), diff))
        if hits != (0 if suffix is None else 1):
            errors.append("the file with the bad range was not recovered (%d)" % hits)
        print("%s: %d files checked, %s" % (rows_path, len(got), "none partial" if suffix is None else
                                            "the one with the bad range partial with zeros only there"))
    elif mode == "truth":
        args = sys.argv[4:]
        refs = [a.split("=", 1) for i, a in enumerate(args) if i and args[i - 1] == "--ref"]
        expects = [a.split("=", 1) for i, a in enumerate(args) if i and args[i - 1] == "--expect"]
        said = {}
        for k, (path, result) in got.items():
            whole = "partial" not in result and "uncertain" not in result
            for suffix, ref in refs:
                if k.endswith(suffix):
                    said[suffix] = "whole" if whole else "uncertain" if "uncertain" in result else "partial"
                    if whole and open(path, "rb").read() != open(ref, "rb").read():
                        errors.append("said whole with other bytes than the oracle's: %s (%s)" % (k, result))
        for suffix, state in expects:
            if said.get(suffix) != state:
                errors.append("%s: %s, %s expected" % (suffix, said.get(suffix, "not recovered"), state))
        print("%s: %d files checked against the oracle, %s" % (rows_path, len(got),
                                                             ", ".join("%s %s" % kv for kv in sorted(said.items()))))
    elif mode == "gone":
        ref_rows, _ = rows_of(sys.argv[4])
        want = relative(ref_rows, os.path.realpath(sys.argv[4])[:-5])
        err = open(sys.argv[5], encoding="utf-8", errors="replace").read()
        if "stopped answering" not in err:
            errors.append("no message that the device stopped answering")
        gone = [i for i, r in enumerate(rows) if "device stopped answering" in r[2]]
        if len(gone) != 1 or gone[0] != len(rows) - 1:
            errors.append("the run did not end at the pulled device (rows %s of %d)" % (gone, len(rows)))
        if len(rows) >= len(ref_rows):
            errors.append("the run went on to the end (%d rows)" % len(rows))
        for k, (path, _) in got.items():
            data = open(path, "rb").read()
            if k not in want or data != open(want[k][0], "rb").read():
                errors.append("kept but not the healthy bytes: %s" % k)
            elif data and data.count(0) == len(data):
                errors.append("a file of zeros kept: %s" % k)
        left = files_under(out) - set(got)
        for k in sorted(left):
            errors.append("left behind: %s" % k)
        if not last.startswith("%d entries: %d recovered" % (len(rows), len(got))):
            errors.append("the count says otherwise: %s" % last)
        print("%s: %d files kept before the device was pulled, then the run ended" % (rows_path, len(got)))
    for e in errors:
        print("  " + e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())

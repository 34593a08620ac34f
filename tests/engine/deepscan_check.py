#!/usr/bin/env python3
# Checks the carved files a deep scan listed (scan tool rows: name, length,
# 1, start, -1, 1) against the files a disk image was made of (spaced.tsv:
# offset, length, extension).
#
#   deepscan_check.py ROWS TRUTH [--bad OFFSET LENGTH]... [--before OFFSET]
#
# Every listed file must be one of the image's files, at its offset, with its
# length. Every file of the image that touches no bad range (and, with
# --before, ends before OFFSET) must be listed. Prints the counts.
import sys


def main(argv):
    rows, truth = argv[1], argv[2]
    bad, before = [], None
    i = 3
    while i < len(argv):
        if argv[i] == "--bad":
            bad.append((int(argv[i + 1]), int(argv[i + 1]) + int(argv[i + 2])))
            i += 3
        elif argv[i] == "--before":
            before = int(argv[i + 1])
            i += 2
        else:
            sys.stderr.write("unknown argument %s\n" % argv[i])
            return 2
    files = {}
    for line in open(truth):
        off, length, ext = line.split()
        files[int(off)] = (int(length), ext)
    found = {}
    for line in open(rows):
        f = line.rstrip("\n").split("\t")
        if len(f) == 6 and f[2] == "1" and f[4] == "-1":
            found[int(f[3])] = (int(f[1]), f[0])
    ok = True
    for off, (length, name) in sorted(found.items()):
        if off not in files:
            print("listed %s at %d is none of the image's files" % (name, off))
            ok = False
        elif files[off][0] != length:
            print("listed %s at %d is %d bytes, the file is %d" % (name, off, length, files[off][0]))
            ok = False
    want = [off for off, (length, _) in files.items()
            if not any(off < b and a < off + length for a, b in bad)
            and (before is None or off + length <= before)]
    missing = [off for off in sorted(want) if off not in found]
    for off in missing:
        print("not listed: the %s at %d (%d bytes)" % (files[off][1], off, files[off][0]))
    print("listed %d of the %d files it could read (%d in the image)" % (
        len([o for o in want if o in found]), len(want), len(files)))
    return 0 if ok and not missing else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))

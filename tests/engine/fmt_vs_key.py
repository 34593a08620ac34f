#!/usr/bin/env python3
"""Compares a formatted-volume scan with the listing taken before the format.

usage: fmt_vs_key.py SCAN_ROWS KEY_TSV MIN_FOUND

KEY_TSV holds "/path<TAB>size" of every file before the format. A file is
found when a row has its name and size, and the row's folder (below the
volume root, and below a "LostDir<n>" or "Dir<n>" folder of an old tree
whose top the format took) is the tail of the file's old folder. At least
MIN_FOUND files must be found, and every row must be one of them.
"""
import re
import sys


def main():
    rows_file, key_file, min_found = sys.argv[1], sys.argv[2], int(sys.argv[3])
    key = []
    with open(key_file, encoding="utf-8") as f:
        for line in f:
            path, size = line.rstrip("\n").split("\t")
            parts = path.strip("/").split("/")
            key.append((parts[:-1], parts[-1], int(size)))
    rows = []
    with open(rows_file, encoding="utf-8") as f:
        for line in f:
            cols = line.rstrip("\n").split("\t")
            if len(cols) != 6:
                continue
            parts = cols[0][3:].split("\\")
            folder = parts[:-1]
            if folder and re.fullmatch(r"(LostDir|Dir)\d+", folder[0]):
                folder = folder[1:]
            rows.append((folder, parts[-1], int(cols[1])))
    found, missing = 0, []
    for folder, name, size in key:
        hit = next((r for r in rows if r[1] == name and r[2] == size and
                    (not r[0] or folder[-len(r[0]):] == r[0])), None)
        if hit:
            rows.remove(hit)
            found += 1
        else:
            missing.append("/".join(folder + [name]))
    problems = ["not before the format: %s" % "/".join(r[0] + [r[1]]) for r in rows]
    if found < min_found:
        problems.append("found %d of %d files, expected at least %d; missing: %s" %
                        (found, len(key), min_found, ", ".join(missing)))
    for p in problems:
        print(p)
    print("%s: %d of %d files found, %d problems" % (rows_file, found, len(key), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Carve images whose bytes are made to cost the plug-ins more than the image.

  hostile_carve_images.py zip SIZE_MIB HEADERS REAL_ZIP OUT.img OUT.truth
      HEADERS streamed ZIP local headers (flag 8, sizes 0, well formed) 512
      bytes apart from the start, then about 13 MiB of 12-byte groups that
      each end in a local header signature behind a zero size (each one a
      place that could close an entry), 1 MiB of random bytes, the archive
      REAL_ZIP, and random bytes up to SIZE_MIB. The truth file holds the
      archive's offset, length and SHA-256.
  hostile_carve_images.py many SIZE_MIB ENTRIES OUT.img OUT.truth
      One archive of ENTRIES empty stored entries (more than the ZIP plug-in
      keeps of one walk), random bytes behind it. The truth file holds 0, the
      archive's length and its SHA-256.
  hostile_carve_images.py pdf SIZE_MIB HEADERS OUT.img OUT.truth
      HEADERS "%PDF-" headers 512 bytes apart, random bytes, one cross-reference
      table and trailer ending 1 MiB before the end, zeros behind it. The truth
      file holds 0 and the document's length from its first header.
  hostile_carve_images.py pdfmarks SIZE_MIB HEADERS OUT.img OUT.truth
      The same, the first document holding 5,000 Illustrator markers (more
      than the PDF plug-in keeps).
"""
import hashlib
import random
import struct
import sys

MiB = 1 << 20


def streamed_local(name=b"a.txt"):
    # version 2.0, flag 8 (sizes in a descriptor), deflate, 2024-05-06 07:08:10
    return b"PK\3\4" + struct.pack("<HHHHHIIIHH", 20, 8, 8, 0x3885, 0x58A6, 0, 0, 0, len(name), 0) + name


def fill_random(out, rng, count):
    while count > 0:
        n = min(count, 4 * MiB)
        out.write(rng.randbytes(n))
        count -= n


def zip_image(size_mib, headers, real_path, img_path, truth_path):
    rng = random.Random(41)
    size = size_mib * MiB
    real = open(real_path, "rb").read()
    with open(img_path, "wb") as out:
        pos = 0
        for _ in range(headers):
            h = streamed_local()
            out.write(h + rng.randbytes(512 - len(h)))
            pos += 512
        groups = (13 * MiB) // 12
        out.write((b"\0\0\0\0" + b"\xff\xff\xff\xff" + b"PK\3\4") * groups)
        pos += 12 * groups
        pad = (-pos) % 512
        out.write(b"\0" * pad + rng.randbytes(MiB))
        pos += pad + MiB
        real_at = pos
        out.write(real)
        pos += len(real)
        pad = (-pos) % 512
        out.write(b"\0" * pad)
        pos += pad
        if pos > size:
            sys.exit("image too small for %d headers" % headers)
        fill_random(out, rng, size - pos)
    with open(truth_path, "w") as t:
        t.write("%d\t%d\t%s\n" % (real_at, len(real), hashlib.sha256(real).hexdigest()))


def pdf_image(size_mib, headers, img_path, truth_path, markers=0):
    rng = random.Random(42)
    size = size_mib * MiB
    head = b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n"
    tail = b"xref\n0 1\n0000000000 65535 f \ntrailer\n<< /Size 1 >>\nstartxref\n102400\n%%EOF\n"
    with open(img_path, "wb") as out:
        if markers:
            first = head + b"<</PieceInfo<</Illustrator 7 0 R>>>>\n" * markers
            first += b" " * ((-len(first)) % 512)
            out.write(first)
            headers -= 1
        for _ in range(headers):
            out.write(head + b"1 0 obj\n<< >>\nendobj\n".ljust(512 - len(head), b" "))
        pos = out.tell()
        end = size - MiB
        if pos + len(tail) > end:
            sys.exit("image too small for %d headers" % headers)
        fill_random(out, rng, end - len(tail) - pos)
        out.write(tail)
        out.write(b"\0" * (size - end))
    with open(truth_path, "w") as t:
        t.write("0\t%d\n" % end)


def many_image(size_mib, entries, img_path, truth_path):
    """One archive of ENTRIES empty stored entries named "a" (a local header
    and a central header each), random bytes behind it."""
    rng = random.Random(43)
    size = size_mib * MiB
    local = b"PK\3\4" + struct.pack("<HHHHHIIIHH", 10, 0, 0, 0x3885, 0x58A6, 0, 0, 0, 1, 0) + b"a"
    with open(img_path, "wb") as out:
        h = hashlib.sha256()
        def put(b):
            out.write(b)
            h.update(b)
        for start in range(0, entries, 65536):
            put(local * min(65536, entries - start))
        for start in range(0, entries, 65536):
            chunk = bytearray()
            for i in range(start, min(start + 65536, entries)):
                chunk += b"PK\1\2" + struct.pack("<HHHHHHIIIHHHHHII", 20, 10, 0, 0, 0x3885, 0x58A6, 0, 0, 0,
                                                   1, 0, 0, 0, 0, 0, len(local) * i) + b"a"
            put(bytes(chunk))
        count = min(entries, 0xFFFF)
        put(b"PK\5\6" + struct.pack("<HHHHIIH", 0, 0, count, count, 47 * entries, len(local) * entries, 0))
        length = len(local) * entries + 47 * entries + 22
        pad = (-length) % 512
        out.write(b"\0" * pad)
        if length + pad > size:
            sys.exit("image too small for %d entries" % entries)
        fill_random(out, rng, size - length - pad)
    with open(truth_path, "w") as t:
        t.write("0\t%d\t%s\n" % (length, h.hexdigest()))


if __name__ == "__main__":
    kind = sys.argv[1]
    if kind == "zip" and len(sys.argv) == 7:
        zip_image(int(sys.argv[2]), int(sys.argv[3]), *sys.argv[4:7])
    elif kind == "many" and len(sys.argv) == 6:
        many_image(int(sys.argv[2]), int(sys.argv[3]), *sys.argv[4:6])
    elif kind == "pdf" and len(sys.argv) == 6:
        pdf_image(int(sys.argv[2]), int(sys.argv[3]), *sys.argv[4:6])
    elif kind == "pdfmarks" and len(sys.argv) == 6:
        pdf_image(int(sys.argv[2]), int(sys.argv[3]), *sys.argv[4:6], markers=5000)
    else:
        sys.exit(__doc__)

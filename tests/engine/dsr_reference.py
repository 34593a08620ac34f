#!/usr/bin/env python3
"""Reference reader and writer of scan-result files (*.dsr), written apart
from the program: the LZSS record codec (ring of 4,096 bytes filled with
spaces, matches of 3 to 18 bytes, binary trees per first byte), the
scrambling by the program folder's path, and the three layouts.

  dsr_reference.py check FILE KEY      parse FILE, write it again from its
                                       records with this codec, compare byte
                                       for byte; print a summary
  dsr_reference.py dump FILE KEY       one line per record
  dsr_reference.py volume OUT KEY PATH LENGTH KIND ROWS.json
                                       write a volume-layout file from rows
KEY is the program folder as the program keeps it (no trailing backslash).
"""
import json
import struct
import sys

N, F, THRESHOLD, NIL = 4096, 18, 2, 4096


class Lzss:
    def __init__(self):
        self.text = bytearray(N + F - 1)

    # -- trees --
    def _init_tree(self):
        self.lson = [NIL] * (N + 1)
        self.rson = [NIL] * (N + 257)
        self.dad = [NIL] * (N + 1)

    def _insert(self, r):
        text, lson, rson, dad = self.text, self.lson, self.rson, self.dad
        cmp = 1
        p = N + 1 + text[r]
        rson[r] = lson[r] = NIL
        self.match_length = 0
        while True:
            if cmp >= 0:
                if rson[p] != NIL:
                    p = rson[p]
                else:
                    rson[p] = r
                    dad[r] = p
                    return
            else:
                if lson[p] != NIL:
                    p = lson[p]
                else:
                    lson[p] = r
                    dad[r] = p
                    return
            i = 1
            while i < F:
                cmp = text[r + i] - text[p + i]
                if cmp != 0:
                    break
                i += 1
            if i > self.match_length:
                self.match_position = p
                self.match_length = i
                if i >= F:
                    break
        dad[r] = dad[p]
        lson[r] = lson[p]
        rson[r] = rson[p]
        dad[lson[p]] = r
        dad[rson[p]] = r
        if rson[dad[p]] == p:
            rson[dad[p]] = r
        else:
            lson[dad[p]] = r
        dad[p] = NIL

    def _delete(self, p):
        lson, rson, dad = self.lson, self.rson, self.dad
        if dad[p] == NIL:
            return
        if rson[p] == NIL:
            q = lson[p]
        elif lson[p] == NIL:
            q = rson[p]
        else:
            q = lson[p]
            if rson[q] != NIL:
                while rson[q] != NIL:
                    q = rson[q]
                rson[dad[q]] = lson[q]
                dad[lson[q]] = dad[q]
                lson[q] = lson[p]
                dad[lson[p]] = q
            rson[q] = rson[p]
            dad[rson[p]] = q
        dad[q] = dad[p]
        if rson[dad[p]] == p:
            rson[dad[p]] = q
        else:
            lson[dad[p]] = q
        dad[p] = NIL

    def encode(self, data):
        self._init_tree()
        text = self.text
        text[0:N - F] = b" " * (N - F)
        text[N - F:N + F - 1] = bytes(2 * F - 1)
        text[N:N + F - 1] = b" " * (F - 1)
        out = bytearray()
        code = bytearray([0])
        mask = 1
        s, r = 0, N - F
        pos = 0
        length = 0
        while length < F and pos < len(data):
            text[r + length] = data[pos]
            pos += 1
            length += 1
        if length == 0:
            return bytes(out)
        for i in range(1, F + 1):
            self._insert(r - i)
        self._insert(r)
        while True:
            if self.match_length > length:
                self.match_length = length
            if self.match_length <= THRESHOLD:
                self.match_length = 1
                code[0] |= mask
                code.append(text[r])
            else:
                mp = self.match_position
                code.append(mp & 0xFF)
                code.append(((mp >> 4) & 0xF0) | (self.match_length - (THRESHOLD + 1)))
            mask = (mask << 1) & 0xFF
            if mask == 0:
                out += code
                code = bytearray([0])
                mask = 1
            last = self.match_length
            i = 0
            while i < last and pos < len(data):
                c = data[pos]
                pos += 1
                self._delete(s)
                text[s] = c
                if s < F - 1:
                    text[s + N] = c
                s = (s + 1) & (N - 1)
                r = (r + 1) & (N - 1)
                self._insert(r)
                i += 1
            while i < last:
                i += 1
                self._delete(s)
                s = (s + 1) & (N - 1)
                r = (r + 1) & (N - 1)
                length -= 1
                if length:
                    self._insert(r)
            if length <= 0:
                break
        if len(code) > 1:
            out += code
        return bytes(out)

    def decode(self, data, capacity):
        ring = bytearray(N + F - 1)
        ring[0:N - F] = b" " * (N - F)
        r = N - F
        flags = 0
        out = bytearray()
        it = iter(data)
        while True:
            flags >>= 1
            if (flags & 256) == 0:
                c = next(it, None)
                if c is None:
                    break
                flags = c | 0xFF00
            if flags & 1:
                c = next(it, None)
                if c is None:
                    break
                if len(out) >= capacity:
                    break
                out.append(c)
                ring[r] = c
                r = (r + 1) & (N - 1)
            else:
                lo, hi = next(it, None), next(it, None)
                if lo is None or hi is None:
                    break
                position = lo | ((hi & 0xF0) << 4)
                for k in range((hi & 0x0F) + THRESHOLD + 1):
                    if len(out) >= capacity:
                        return bytes(out)
                    b = ring[(position + k) & (N - 1)]
                    out.append(b)
                    ring[r] = b
                    r = (r + 1) & (N - 1)
        return bytes(out)


def scramble(data, index, key):
    k = ord(key[index % len(key)]) & 0xFF
    return bytes(b ^ k for b in data)


RECORD = {0: 1588, 2: 1588, 3: 1588, 4: 1588, 1: 89}


def parse(blob, key):
    """The file as (header bytes, [records], descriptor or None)."""
    kind = blob[8] - 0x30
    at = 9
    descriptor = None
    if kind in (0, 2, 3):
        at += 14 + 8
    elif kind == 1:
        target = struct.unpack_from("<I", blob, at)[0]
        at += 4 + (38 if target == 2 else 14) + 8
    elif kind == 4:
        at += 36 + 8
        p = struct.unpack_from("<I", blob, at)[0]
        at += 4
        descriptor = Lzss().decode(scramble(blob[at:at + p], 0, key), 1085)
        at += p
    else:
        raise ValueError("kind %d" % kind)
    header = blob[:at]
    count = struct.unpack_from("<I", blob, at)[0]
    at += 4
    records = []
    codec = Lzss()
    for n in range(count):
        size = struct.unpack_from("<I", blob, at)[0]
        at += 4
        records.append(codec.decode(scramble(blob[at:at + size], n, key), RECORD[kind] + 1))
        at += size
    if at != len(blob):
        raise ValueError("%d bytes after the last record" % (len(blob) - at))
    return kind, header, records, descriptor


def write(kind, header_before_descriptor, records, descriptor, key):
    codec = Lzss()
    out = bytearray(header_before_descriptor)
    if kind == 4:
        packed = scramble(codec.encode(descriptor), 0, key)
        out += struct.pack("<I", len(packed)) + packed
    out += struct.pack("<I", len(records))
    for n, rec in enumerate(records):
        packed = scramble(codec.encode(rec), n, key)
        out += struct.pack("<I", len(packed)) + packed
    return bytes(out)


def text(field):
    units = list(struct.unpack("<260H", field))
    if 0 in units:
        units = units[:units.index(0)]
    return "".join(chr(u) for u in units)


def found_record(name, path, time, size, ref, first, contiguous, percent):
    def field(t):
        b = t.encode("utf-16-le")[:518]
        return b + bytes(520 - len(b))
    return (field(name) + field(path) + field(time) +
            struct.pack("<QQIIi", size, ref, first, contiguous, percent))


def main():
    cmd = sys.argv[1]
    if cmd in ("check", "dump"):
        blob = open(sys.argv[2], "rb").read()
        key = sys.argv[3]
        kind, header, records, descriptor = parse(blob, key)
        if cmd == "dump":
            for rec in records:
                if kind == 1:
                    idx, base, posn, length = struct.unpack_from("<IQQQ", rec)
                    print("%s\t%d\t%d" % (rec[28:60].split(b"\0")[0].decode(), length, base + posn))
                else:
                    size, ref, first, cont, pct = struct.unpack_from("<QQIIi", rec, 1560)
                    print("%s%s\t%d\t%d\t%d" % (text(rec[520:1040]), text(rec[0:520]), size, first or ref, pct))
            return 0
        head = header[:len(header) - (4 + struct.unpack_from("<I", header, 53)[0])] if kind == 4 else header
        again = write(kind, head, records, descriptor, key)
        same = again == blob
        print("%s: kind %d, %d records, reference %s" % (sys.argv[2], kind, len(records),
                                                        "agrees byte for byte" if same else "DIFFERS"))
        if not same:
            first = next(i for i in range(min(len(again), len(blob))) if again[i] != blob[i]) \
                if any(a != b for a, b in zip(again, blob)) else min(len(again), len(blob))
            print("first difference at byte %d (sizes %d, %d)" % (first, len(blob), len(again)))
        return 0 if same else 1
    if cmd == "volume":
        out, key, path, length, kind, rows = sys.argv[2:8]
        header = b"dsr00000" + bytes([0x30 + int(kind)]) + (path + "\0").encode("utf-16-le") + \
            struct.pack("<Q", int(length))
        records = [found_record(*r) for r in json.load(open(rows))]
        open(out, "wb").write(write(int(kind), header, records, None, key))
        return 0
    raise SystemExit(__doc__)


if __name__ == "__main__":
    sys.exit(main())

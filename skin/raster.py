# Small raster library for the skin images: anti-aliased polygon filling
# (even-odd rule, several contours per path), compositing, and PNG, GIF and
# ICO writers. Pure Python, so the images come out the same on every machine.
import math
import struct
import zlib

SS = 4  # sub-samples per pixel and axis


def rgba(value):
    """'#RRGGBB' or '#AARRGGBB' -> (r, g, b, a) with 0-255 channels."""
    v = value.lstrip('#')
    if len(v) == 6:
        return (int(v[0:2], 16), int(v[2:4], 16), int(v[4:6], 16), 255)
    return (int(v[2:4], 16), int(v[4:6], 16), int(v[6:8], 16), int(v[0:2], 16))


class Canvas:
    def __init__(self, w, h, fill=None):
        self.w, self.h = w, h
        base = rgba(fill) if fill else (0, 0, 0, 0)
        # straight (not premultiplied) colour, floats 0-1
        self.px = [[base[0] / 255.0, base[1] / 255.0, base[2] / 255.0, base[3] / 255.0] for _ in range(w * h)]

    # ---- coverage of a path ----
    def _coverage(self, contours):
        w, h = self.w, self.h
        cov = {}
        edges = []
        for pts in contours:
            n = len(pts)
            for i in range(n):
                x0, y0 = pts[i]
                x1, y1 = pts[(i + 1) % n]
                if y0 != y1:
                    edges.append((x0 * SS, y0 * SS, x1 * SS, y1 * SS))
        if not edges:
            return cov
        ymin = max(0, int(math.floor(min(min(e[1], e[3]) for e in edges))))
        ymax = min(h * SS, int(math.ceil(max(max(e[1], e[3]) for e in edges))))
        unit = 1.0 / (SS * SS)
        for ys in range(ymin, ymax):
            yc = ys + 0.5
            xs = []
            for x0, y0, x1, y1 in edges:
                if (y0 <= yc < y1) or (y1 <= yc < y0):
                    xs.append(x0 + (yc - y0) * (x1 - x0) / (y1 - y0))
            xs.sort()
            row = (ys // SS) * w
            for k in range(0, len(xs) - 1, 2):
                a = max(0.0, xs[k])
                b = min(float(w * SS), xs[k + 1])
                if b <= a:
                    continue
                pa, pb = int(a // SS), int((b - 1e-9) // SS)
                for p in range(pa, pb + 1):
                    lo = max(a, p * SS)
                    hi = min(b, (p + 1) * SS)
                    if hi > lo:
                        cov[row + p] = cov.get(row + p, 0.0) + (hi - lo) * unit
        return cov

    def fill(self, contours, color, opacity=1.0):
        if contours and isinstance(contours[0][0], (int, float)):
            contours = [contours]
        r, g, b, a = rgba(color) if isinstance(color, str) else color
        sa = a / 255.0 * opacity
        src = (r / 255.0, g / 255.0, b / 255.0)
        for idx, c in self._coverage(contours).items():
            c = min(1.0, c) * sa
            if c <= 0:
                continue
            d = self.px[idx]
            out_a = c + d[3] * (1 - c)
            if out_a <= 0:
                continue
            for ch in range(3):
                d[ch] = (src[ch] * c + d[ch] * d[3] * (1 - c)) / out_a
            d[3] = out_a

    def clear_rect(self, x0, y0, x1, y1):
        for y in range(max(0, y0), min(self.h, y1)):
            for x in range(max(0, x0), min(self.w, x1)):
                self.px[y * self.w + x] = [0.0, 0.0, 0.0, 0.0]

    def blit(self, other, dx, dy):
        for y in range(other.h):
            for x in range(other.w):
                tx, ty = x + dx, y + dy
                if 0 <= tx < self.w and 0 <= ty < self.h:
                    s = other.px[y * other.w + x]
                    if s[3] <= 0:
                        continue
                    d = self.px[ty * self.w + tx]
                    out_a = s[3] + d[3] * (1 - s[3])
                    for ch in range(3):
                        d[ch] = (s[ch] * s[3] + d[ch] * d[3] * (1 - s[3])) / out_a
                    d[3] = out_a

    def bytes_rgba(self):
        out = bytearray()
        for p in self.px:
            out += bytes((int(p[0] * 255 + 0.5), int(p[1] * 255 + 0.5), int(p[2] * 255 + 0.5),
                          int(p[3] * 255 + 0.5)))
        return out

    def png(self):
        raw = bytearray()
        data = self.bytes_rgba()
        stride = self.w * 4
        for y in range(self.h):
            raw.append(0)
            raw += data[y * stride:(y + 1) * stride]

        def chunk(tag, body):
            return struct.pack('>I', len(body)) + tag + body + struct.pack('>I', zlib.crc32(tag + body) & 0xffffffff)
        return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', self.w, self.h, 8, 6, 0, 0, 0)) +
                chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b''))


# ---- path helpers (all return lists of (x, y) points) ----
def rect(x0, y0, x1, y1):
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def rrect(x0, y0, x1, y1, r, seg=8):
    r = min(r, (x1 - x0) / 2.0, (y1 - y0) / 2.0)
    if r <= 0:
        return rect(x0, y0, x1, y1)
    pts = []
    for cx, cy, start in ((x1 - r, y0 + r, -90), (x1 - r, y1 - r, 0), (x0 + r, y1 - r, 90), (x0 + r, y0 + r, 180)):
        for i in range(seg + 1):
            t = math.radians(start + 90.0 * i / seg)
            pts.append((cx + r * math.cos(t), cy + r * math.sin(t)))
    return pts


def ellipse(cx, cy, rx, ry, seg=48):
    return [(cx + rx * math.cos(2 * math.pi * i / seg), cy + ry * math.sin(2 * math.pi * i / seg)) for i in range(seg)]


def circle(cx, cy, r, seg=48):
    return ellipse(cx, cy, r, r, seg)


def line(x0, y0, x1, y1, width):
    dx, dy = x1 - x0, y1 - y0
    n = math.hypot(dx, dy) or 1.0
    ox, oy = -dy / n * width / 2.0, dx / n * width / 2.0
    return [(x0 + ox, y0 + oy), (x1 + ox, y1 + oy), (x1 - ox, y1 - oy), (x0 - ox, y0 - oy)]


def polyline(points, width):
    return [line(points[i][0], points[i][1], points[i + 1][0], points[i + 1][1], width)
            for i in range(len(points) - 1)]


def arc_ring(cx, cy, r_out, r_in, a0, a1, seg=32):
    """Ring segment from angle a0 to a1 in degrees (clockwise on screen)."""
    outer = [(cx + r_out * math.cos(math.radians(a0 + (a1 - a0) * i / seg)),
              cy + r_out * math.sin(math.radians(a0 + (a1 - a0) * i / seg))) for i in range(seg + 1)]
    inner = [(cx + r_in * math.cos(math.radians(a1 - (a1 - a0) * i / seg)),
              cy + r_in * math.sin(math.radians(a1 - (a1 - a0) * i / seg))) for i in range(seg + 1)]
    return outer + inner


# ---- GIF (LZW) ----
def _lzw(indices, min_code):
    clear, end = 1 << min_code, (1 << min_code) + 1
    out = bytearray()
    bitbuf = bitcnt = 0

    def emit(code, size):
        nonlocal bitbuf, bitcnt
        bitbuf |= code << bitcnt
        bitcnt += size
        while bitcnt >= 8:
            out.append(bitbuf & 0xFF)
            bitbuf >>= 8
            bitcnt -= 8
    size = min_code + 1
    table = {(i,): i for i in range(clear)}
    nxt = end + 1
    emit(clear, size)
    cur = ()
    for v in indices:
        cand = cur + (v,)
        if cand in table:
            cur = cand
            continue
        emit(table[cur], size)
        if nxt < 4096:
            table[cand] = nxt
            nxt += 1
            if nxt > (1 << size) and size < 12:
                size += 1
        else:
            emit(clear, size)
            table = {(i,): i for i in range(clear)}
            nxt = end + 1
            size = min_code + 1
        cur = (v,)
    if cur:
        emit(table[cur], size)
    emit(end, size)
    if bitcnt:
        out.append(bitbuf & 0xFF)
    return bytes(out)


def gif(frames, palette, delay_cs):
    """frames: lists of palette indices (w*h), all the same size; palette: up to 256 (r,g,b)."""
    w, h = frames[0][0], frames[0][1]
    pal = list(palette) + [(0, 0, 0)] * (256 - len(palette))
    out = bytearray(b'GIF89a' + struct.pack('<HHBBB', w, h, 0xF7, 0, 0))
    for c in pal:
        out += bytes(c)
    out += b'\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00'
    for fw, fh, idx in frames:
        out += b'\x21\xF9\x04' + struct.pack('<BHBB', 0x04, delay_cs, 0, 0)
        out += b'\x2C' + struct.pack('<HHHHB', 0, 0, fw, fh, 0)
        out.append(8)
        data = _lzw(idx, 8)
        for i in range(0, len(data), 255):
            block = data[i:i + 255]
            out.append(len(block))
            out += block
        out.append(0)
    out.append(0x3B)
    return bytes(out)


# ---- ICO with 32-bit DIB images ----
def ico(canvases):
    header = struct.pack('<HHH', 0, 1, len(canvases))
    entries, blobs = b'', b''
    offset = 6 + 16 * len(canvases)
    for c in canvases:
        data = c.bytes_rgba()
        xor = bytearray()
        for y in range(c.h - 1, -1, -1):
            for x in range(c.w):
                r, g, b, a = data[(y * c.w + x) * 4:(y * c.w + x) * 4 + 4]
                xor += bytes((b, g, r, a))
        mask_stride = ((c.w + 31) // 32) * 4
        andmask = bytes(mask_stride * c.h)
        bih = struct.pack('<IiiHHIIiiII', 40, c.w, c.h * 2, 1, 32, 0, len(xor) + len(andmask), 0, 0, 0, 0)
        blob = bih + bytes(xor) + andmask
        entries += struct.pack('<BBBBHHII', c.w % 256, c.h % 256, 0, 0, 1, 32, len(blob), offset)
        blobs += blob
        offset += len(blob)
    return header + entries + blobs

# Pictures of the result page: the tiles' check boxes, recoverability marks,
# play sign and preview icon (into the skin archives), and the result trees'
# 16-pixel bitmaps (program resources, drawn over white, which the trees take
# as transparent).
import struct

import images
from raster import Canvas, rect, rrect, circle, line, polyline

BLUE = images.BLUE
GREY = images.GREY
WHITE = images.WHITE


def tile_check(checked):
    c = Canvas(14, 14)
    c.fill(rrect(0.5, 0.5, 13.5, 13.5, 2.5), BLUE if checked else '#FF98A6B6')
    if checked:
        c.fill(polyline([(3.2, 7.2), (6, 10), (10.8, 4.2)], 1.8), WHITE)
    else:
        c.fill(rrect(1.6, 1.6, 12.4, 12.4, 1.8), WHITE)
    return c


def mark(colour):
    c = Canvas(10, 10)
    c.fill(circle(5, 5, 4.6), colour)
    c.fill(circle(5, 5, 2.2), '#66FFFFFF')
    return c


def play_button():
    """Two 150 x 110 frames side by side: normal, then hot."""
    c = Canvas(300, 110)
    for i, (bg, fg) in enumerate((('#FFF1F4F8', '#FF7A8898'), ('#FFE3EEFA', BLUE))):
        x = i * 150
        c.fill(rect(x, 0, x + 150, 110), bg)
        c.fill(circle(x + 75, 55, 26), fg)
        c.fill([(x + 66, 40), (x + 90, 55), (x + 66, 70)], WHITE)
    return c


def preview_icon():
    c = Canvas(20, 20)
    c.fill([circle(8.5, 8.5, 6.2), circle(8.5, 8.5, 4.4)], BLUE)
    c.fill(line(12.8, 12.8, 18, 18, 2.4), BLUE)
    return c


def result_images():
    """name inside the archive -> Canvas"""
    return {
        'checkbox/check_normal.png': tile_check(False),
        'checkbox/checked_down.png': tile_check(True),
        'mask/green.png': mark('#FF2E9E5B'),
        'mask/yellow.png': mark('#FFF0A020'),
        'mask/red.png': mark('#FFE0463C'),
        'button/btnPlay.png': play_button(),
        'icon/preview.png': preview_icon(),
    }


# ---- tree bitmaps ----
def shrink(src, size):
    """Box-filter a square canvas down to size x size."""
    f = src.w // size
    out = Canvas(size, size)
    for y in range(size):
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for dy in range(f):
                for dx in range(f):
                    p = src.px[(y * f + dy) * src.w + x * f + dx]
                    for ch in range(3):
                        acc[ch] += p[ch] * p[3]
                    acc[3] += p[3]
            n = float(f * f)
            a = acc[3] / n
            out.px[y * size + x] = [acc[0] / acc[3] if acc[3] else 0, acc[1] / acc[3] if acc[3] else 0,
                                    acc[2] / acc[3] if acc[3] else 0, a]
    return out


def on_white(c):
    out = Canvas(c.w, c.h, '#FFFFFFFF')
    out.blit(c, 0, 0)
    return out


def drive16():
    c = Canvas(16, 16)
    c.fill(rrect(1, 5, 15, 12, 1.5), '#FF6C7A8A')
    c.fill(rrect(2, 6, 14, 11, 1), '#FFB7C2CE')
    c.fill(circle(12, 8.5, 1), '#FF37C15A')
    return c


def folder16():
    c = Canvas(16, 16)
    c.fill([(1, 3), (6, 3), (7.5, 4.5), (15, 4.5), (15, 13), (1, 13)], '#FFE0A030')
    c.fill(rect(1, 6, 15, 13), '#FFF5C04A')
    return c


def computer16():
    c = Canvas(16, 16)
    c.fill(rrect(1, 2, 15, 11, 1), '#FF4A5664')
    c.fill(rect(2.2, 3.2, 13.8, 9.8), '#FF5AA9F0')
    c.fill(rect(6.5, 11, 9.5, 13), '#FF6C7A8A')
    c.fill(rect(4, 13, 12, 14.5), '#FF6C7A8A')
    return c


def clock16():
    c = Canvas(16, 16)
    c.fill(circle(8, 8, 7), BLUE)
    c.fill(circle(8, 8, 5.6), WHITE)
    c.fill(line(8, 8, 8, 4, 1.3), '#FF22303E')
    c.fill(line(8, 8, 11, 9.5, 1.3), '#FF22303E')
    return c


def state_images():
    """48 x 16: blank, unchecked box, checked box."""
    c = Canvas(48, 16, '#FFFFFFFF')
    for i, checked in ((1, False), (2, True)):
        box = Canvas(16, 16)
        box.fill(rrect(2, 2, 14, 14, 2), BLUE if checked else '#FF7A8898')
        if checked:
            box.fill(polyline([(4.6, 8.2), (7, 10.6), (11.4, 5.4)], 1.8), '#FFFEFEFE')
        else:
            box.fill(rrect(3.2, 3.2, 12.8, 12.8, 1.4), '#FFFEFEFE')
        c.blit(box, i * 16, 0)
    return c


def tree_bitmaps():
    """resource file name -> Canvas (opaque, white background)"""
    out = {
        'tree202.bmp': on_white(folder16()),
        'tree203.bmp': on_white(drive16()),
        'tree204.bmp': on_white(computer16()),
        'tree214.bmp': state_images(),
        'tree215.bmp': on_white(clock16()),
    }
    for rid, kind in zip(range(205, 211), ('picture', 'music', 'document', 'video', 'email', 'other')):
        out['tree%d.bmp' % rid] = on_white(shrink(images.icon_type(kind), 16))
    return out


def bmp(c):
    """24-bit bottom-up BMP of an opaque canvas."""
    data = c.bytes_rgba()
    stride = (c.w * 3 + 3) & ~3
    pixels = bytearray()
    for y in range(c.h - 1, -1, -1):
        row = bytearray()
        for x in range(c.w):
            r, g, b, a = data[(y * c.w + x) * 4:(y * c.w + x) * 4 + 4]
            row += bytes((b, g, r))
        row += bytes(stride - len(row))
        pixels += row
    header = struct.pack('<IiiHHIIiiII', 40, c.w, c.h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return b'BM' + struct.pack('<IHHI', 14 + len(header) + len(pixels), 0, 0, 14 + len(header)) + header + bytes(pixels)

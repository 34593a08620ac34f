# The skin's pictures, drawn with raster.py. Every image a layout names is
# made here; make-skin.py packs them into the archives.
import math

from raster import Canvas, rect, rrect, circle, ellipse, line, polyline, arc_ring, rgba

BLUE = '#FF2B7CD3'
BLUE_HOT = '#FF3B8DE6'
BLUE_DOWN = '#FF1F66B3'
BLUE_DARK = '#FF1E5FA8'
GREY = '#FF6B7785'
LIGHT = '#FFDCE3EC'
WHITE = '#FFFFFFFF'
RED = '#FFE0463C'
GREEN = '#FF2E9E5B'
ORANGE = '#FFF0A020'


def strip(states, w, h, draw):
    """One image holding len(states) frames side by side."""
    c = Canvas(w * len(states), h)
    for i, st in enumerate(states):
        part = Canvas(w, h)
        draw(part, st)
        c.blit(part, i * w, 0)
    return c


# ---- title bar buttons (36x36, close 40x36; normal, hot, pushed) ----
def title_button(kind):
    w = 40 if kind == 'close' else 36

    def draw(c, st):
        if st == 1:
            c.fill(rect(0, 0, w, 36), '#FFD93B30' if kind == 'close' else '#33FFFFFF')
        elif st == 2:
            c.fill(rect(0, 0, w, 36), '#FFB02A22' if kind == 'close' else '#22000000')
        cx, cy = w / 2.0, 18
        col = WHITE
        if kind == 'menu':
            for dy in (-5, 0, 5):
                c.fill(rect(cx - 7, cy + dy - 0.75, cx + 7, cy + dy + 0.75), col)
        elif kind == 'min':
            c.fill(rect(cx - 6, cy + 3, cx + 6, cy + 4.5), col)
        elif kind == 'max':
            c.fill([rect(cx - 6, cy - 6, cx + 6, cy + 6), rect(cx - 4.6, cy - 4.6, cx + 4.6, cy + 4.6)], col)
        elif kind == 'restore':
            c.fill([rect(cx - 3, cy - 7, cx + 7, cy + 3), rect(cx - 1.6, cy - 5.6, cx + 5.6, cy + 1.6)], col)
            c.fill(rect(cx - 7, cy - 3, cx + 3, cy + 7), '#FF1E5FA8' if st == 0 else '#FF4A7DB7')
            c.fill([rect(cx - 7, cy - 3, cx + 3, cy + 7), rect(cx - 5.6, cy - 1.6, cx + 1.6, cy + 5.6)], col)
        elif kind == 'close':
            c.fill(line(cx - 6, cy - 6, cx + 6, cy + 6, 1.6), col)
            c.fill(line(cx - 6, cy + 6, cx + 6, cy - 6, 1.6), col)
    return strip([0, 1, 2], w, 36, draw)


def logo(size):
    c = Canvas(size, size)
    s = size / 24.0
    c.fill(rrect(0, 0, size, size, 5 * s), '#FF3B8DE6')
    c.fill(rrect(1 * s, 1 * s, size - 1 * s, size - 1 * s, 4.5 * s), '#FF2B7CD3')
    c.fill([circle(12 * s, 12 * s, 7.5 * s), circle(12 * s, 12 * s, 2.2 * s)], WHITE)
    c.fill(arc_ring(12 * s, 12 * s, 6 * s, 4.2 * s, 200, 320), '#FF2B7CD3')
    c.fill([(16.5 * s, 3.5 * s), (21 * s, 8 * s), (16.5 * s, 8 * s)], '#FFFFD54A')
    return c


# ---- buttons, check boxes, cards ----
def button(primary):
    def draw(c, st):
        if primary:
            col = [BLUE, BLUE_HOT, BLUE_DOWN, '#FFA9C4E4'][st]
            c.fill(rrect(0, 0, 80, 32, 5), col)
        else:
            border = ['#FFC3CEDA', BLUE, BLUE_DOWN, '#FFDCE3EC'][st]
            body = [WHITE, '#FFF2F7FD', '#FFE3EEFA', '#FFF7F9FB'][st]
            c.fill(rrect(0, 0, 80, 32, 5), border)
            c.fill(rrect(1, 1, 79, 31, 4.2), body)
    return strip([0, 1, 2, 3], 80, 32, draw)


def checkbox(radio):
    def draw(c, st):
        hot = st in (1, 3)
        on = st >= 2
        border = BLUE if (hot or on) else '#FF98A6B6'
        if radio:
            c.fill(circle(8, 8, 7.5), border)
            c.fill(circle(8, 8, 6.3), WHITE)
            if on:
                c.fill(circle(8, 8, 3.6), BLUE)
        else:
            c.fill(rrect(0.5, 0.5, 15.5, 15.5, 3), border)
            if on:
                c.fill(rrect(0.5, 0.5, 15.5, 15.5, 3), BLUE)
                c.fill(polyline([(4, 8.2), (7, 11.2), (12.2, 5)], 2.0), WHITE)
            else:
                c.fill(rrect(1.7, 1.7, 14.3, 14.3, 2.2), WHITE)
    return strip([0, 1, 2, 3], 16, 16, draw)


def expander():
    def draw(c, st):
        if st == 0:   # expanded: arrow down
            c.fill([(3, 5.5), (13, 5.5), (8, 11)], GREY)
        else:         # collapsed: arrow right
            c.fill([(5.5, 3), (11, 8), (5.5, 13)], GREY)
    return strip([0, 1], 16, 16, draw)


def card_frame(selected):
    c = Canvas(24, 24)
    if selected:
        c.fill([rrect(0, 0, 24, 24, 8), rrect(2, 2, 22, 22, 6.5)], BLUE_DOWN)
        c.fill(rrect(2, 2, 22, 22, 6.5), '#282B7CD3')
    else:
        c.fill([rrect(0, 0, 24, 24, 8), rrect(2, 2, 22, 22, 6.5)], BLUE)
        c.fill(rrect(2, 2, 22, 22, 6.5), '#142B7CD3')
    return c


def card_check():
    c = Canvas(24, 24)
    c.fill(circle(12, 12, 11.5), BLUE)
    c.fill(polyline([(6.5, 12.3), (10.3, 16), (17.5, 8.3)], 2.4), WHITE)
    return c


def scroll_thumb():
    def draw(c, st):
        col = ['#FFC3CCD6', '#FF98A6B6', '#FF7A8898'][st]
        c.fill(rrect(1, 0, 7, 32, 3), col)
    return strip([0, 1, 2], 8, 32, draw)


def progress(fg):
    c = Canvas(16, 16)
    if fg:
        c.fill(rrect(0, 0, 16, 16, 4), BLUE)
    else:
        c.fill(rrect(0, 0, 16, 16, 4), '#FFD5DEE8')
        c.fill(rrect(1, 1, 15, 15, 3.3), '#FFEEF2F7')
    return c


def scan_buttons():
    def draw(c, st):
        kind, hot = st
        if hot:
            c.fill(rrect(0, 0, 27, 27, 5), '#FFE3EEFA')
        col = BLUE if hot else GREY
        if kind == 'pause':
            c.fill(rect(9, 7.5, 12, 19.5), col)
            c.fill(rect(15, 7.5, 18, 19.5), col)
        elif kind == 'resume':
            c.fill([(10, 7), (20, 13.5), (10, 20)], col)
        else:
            c.fill(rrect(8, 8, 19, 19, 1.5), RED if hot else col)
    return strip([('pause', 0), ('pause', 1), ('resume', 0), ('resume', 1), ('stop', 0), ('stop', 1)], 27, 27, draw)


def view_buttons():
    def draw(c, st):
        kind, on = st
        if on:
            c.fill(rrect(0, 0, 26, 24, 4), '#FFD6E8FA')
        col = BLUE if on else GREY
        if kind == 'thumb':
            for x in (7, 14):
                for y in (6, 13):
                    c.fill(rect(x, y, x + 5, y + 5), col)
        else:
            for y in (7, 11.25, 15.5):
                c.fill(rect(6, y, 8, y + 2), col)
                c.fill(rect(10, y, 20, y + 2), col)
    return strip([('thumb', 0), ('thumb', 1), ('list', 0), ('list', 1)], 26, 24, draw)


def list_header():
    c = Canvas(4, 26)
    c.fill(rect(0, 0, 4, 26), '#FFF5F8FB')
    c.fill(rect(0, 25, 4, 26), LIGHT)
    return c


# ---- wizard step chevrons ----
def chevron(c, x0, w, col, notch=True, tip=True):
    h, t = 46.0, 20.0
    pts = [(x0, 0)]
    body_end = x0 + w - (t if tip else 0)
    pts.append((body_end, 0))
    if tip:
        pts.append((x0 + w, h / 2))
    pts.append((body_end, h))
    pts.append((x0, h))
    if notch:
        pts.append((x0 + t, h / 2))
    c.fill(pts, col)


STEP_COLOURS = {'todo': '#FFE4EAF1', 'current': '#FF2B7CD3', 'done': '#FFB9D4F0'}


def wiz_step(n):
    if n == 1:
        c = Canvas(816, 46)
        for i, st in enumerate(('todo', 'current', 'done')):
            chevron(c, i * 272, 272, STEP_COLOURS[st], notch=False)
        return c
    c = Canvas(882, 46)
    for i, st in enumerate(('todo', 'current', 'done')):
        # The last step ends flat, short of its frame, so it fits the window.
        if n == 3:
            chevron(c, i * 294, 274, STEP_COLOURS[st], tip=False)
        else:
            chevron(c, i * 294, 294, STEP_COLOURS[st])
    return c


# ---- icons ----
def _drive(c, s, x, y, w, h, body='#FF8A97A6', face='#FFB7C2CE'):
    c.fill(rrect(x, y, x + w, y + h, 3 * s), body)
    c.fill(rrect(x + 1.5 * s, y + 1.5 * s, x + w - 1.5 * s, y + h - 1.5 * s, 2 * s), face)
    c.fill(circle(x + w - 5 * s, y + h / 2.0, 1.6 * s), '#FF37C15A')
    for i in range(3):
        c.fill(rect(x + 4 * s + i * 3.2 * s, y + h / 2.0 - 2.5 * s, x + 5.6 * s + i * 3.2 * s, y + h / 2.0 + 2.5 * s),
               '#FF8A97A6')


def icon_drive(size, os=False, lost=False):
    c = Canvas(size, size)
    s = size / 32.0
    _drive(c, s, 2 * s, 11 * s, 28 * s, 12 * s)
    if os:
        for dx, dy, col in ((0, 0, '#FFF25022'), (4.2, 0, '#FF7FBA00'), (0, 4.2, '#FF00A4EF'), (4.2, 4.2, '#FFFFB900')):
            c.fill(rect((3 + dx) * s, (2 + dy) * s, (6.8 + dx) * s, (5.8 + dy) * s), col)
    if lost:
        c.fill(circle(25 * s, 25 * s, 6.5 * s), WHITE)
        c.fill(circle(25 * s, 25 * s, 5.5 * s), RED)
        c.fill(rect(24.1 * s, 21.5 * s, 25.9 * s, 26.3 * s), WHITE)
        c.fill(circle(25 * s, 28.2 * s, 1.1 * s), WHITE)
    return c


def icon_hd(size):
    c = Canvas(size, size)
    s = size / 32.0
    c.fill(rrect(4 * s, 2 * s, 28 * s, 30 * s, 3 * s), '#FF6C7A8A')
    c.fill(rrect(5.5 * s, 3.5 * s, 26.5 * s, 28.5 * s, 2.2 * s), '#FFC9D2DC')
    c.fill([circle(16 * s, 14 * s, 8.5 * s), circle(16 * s, 14 * s, 2 * s)], '#FF8A97A6')
    c.fill(line(21 * s, 25 * s, 14 * s, 16 * s, 1.6 * s), '#FF4A5664')
    c.fill(circle(22.5 * s, 26 * s, 1.2 * s), '#FF37C15A')
    return c


def icon_usb(size):
    c = Canvas(size, size)
    s = size / 32.0
    c.fill(rrect(7 * s, 12 * s, 30 * s, 24 * s, 3 * s), BLUE)
    c.fill(rect(2 * s, 14 * s, 8 * s, 22 * s), '#FFA7B3C0')
    c.fill(rect(3 * s, 16 * s, 5 * s, 17.5 * s), '#FF6C7A8A')
    c.fill(rect(3 * s, 18.5 * s, 5 * s, 20 * s), '#FF6C7A8A')
    c.fill(rrect(22 * s, 15.5 * s, 27 * s, 20.5 * s, 1 * s), '#FF9CC6F0')
    return c


def icon_desktop(size):
    c = Canvas(size, size)
    s = size / 32.0
    c.fill(rrect(2 * s, 4 * s, 30 * s, 23 * s, 2 * s), '#FF4A5664')
    c.fill(rect(4 * s, 6 * s, 28 * s, 21 * s), '#FF5AA9F0')
    c.fill([(4 * s, 21 * s), (14 * s, 12 * s), (20 * s, 17 * s), (28 * s, 10 * s), (28 * s, 21 * s)], '#FF2E9E5B')
    c.fill(rect(14 * s, 23 * s, 18 * s, 27 * s), '#FF6C7A8A')
    c.fill(rrect(9 * s, 27 * s, 23 * s, 29.5 * s, 1 * s), '#FF6C7A8A')
    return c


def icon_recycle(size):
    c = Canvas(size, size)
    s = size / 32.0
    c.fill([(7 * s, 9 * s), (25 * s, 9 * s), (23 * s, 30 * s), (9 * s, 30 * s)], '#FF7A8898')
    c.fill([(8.8 * s, 10.5 * s), (23.2 * s, 10.5 * s), (21.6 * s, 28.5 * s), (10.4 * s, 28.5 * s)], '#FFD2DAE3')
    c.fill(rrect(5 * s, 5 * s, 27 * s, 8.5 * s, 1.2 * s), '#FF7A8898')
    c.fill(rrect(12.5 * s, 2.5 * s, 19.5 * s, 5.5 * s, 1 * s), '#FF7A8898')
    for x in (12.5, 16, 19.5):
        c.fill(rect((x - 0.8) * s, 13 * s, (x + 0.8) * s, 26 * s), '#FF98A6B6')
    return c


def icon_home(kind):
    size = 64
    c = Canvas(size, size)
    s = size / 32.0
    bg = {'deleted': '#FFE7F0FB', 'format': '#FFEAF6EE', 'udisk': '#FFE7F0FB', 'recycle': '#FFF1F3F6',
          'partition': '#FFFDF3E3', 'deep': '#FFEDEBFA'}[kind]
    c.fill(circle(16 * s, 16 * s, 15.5 * s), bg)
    if kind == 'deleted':
        c.fill([(9 * s, 6 * s), (19 * s, 6 * s), (24 * s, 11 * s), (24 * s, 26 * s), (9 * s, 26 * s)], BLUE)
        c.fill([(19 * s, 6 * s), (24 * s, 11 * s), (19 * s, 11 * s)], '#FF9CC6F0')
        for y in (14, 17.5, 21):
            c.fill(rect(12 * s, y * s, 21 * s, (y + 1.3) * s), WHITE)
        c.fill(circle(23 * s, 23 * s, 5.2 * s), RED)
        c.fill(line(20.8 * s, 20.8 * s, 25.2 * s, 25.2 * s, 1.4 * s), WHITE)
        c.fill(line(20.8 * s, 25.2 * s, 25.2 * s, 20.8 * s, 1.4 * s), WHITE)
    elif kind == 'format':
        _drive(c, s, 5 * s, 13 * s, 22 * s, 10 * s, '#FF2E9E5B', '#FFA9DDBC')
        c.fill(arc_ring(16 * s, 12 * s, 7 * s, 5.4 * s, 180, 330), GREEN)
        c.fill([(21.5 * s, 4.5 * s), (24.5 * s, 9.5 * s), (19 * s, 9.8 * s)], GREEN)
    elif kind == 'udisk':
        c.fill(rrect(7 * s, 12 * s, 27 * s, 22 * s, 2.5 * s), BLUE)
        c.fill(rect(3 * s, 13.5 * s, 8 * s, 20.5 * s), '#FFA7B3C0')
        c.fill(rrect(20 * s, 14.5 * s, 24.5 * s, 19.5 * s, 1 * s), '#FF9CC6F0')
    elif kind == 'recycle':
        c.blit(icon_recycle(44), 10, 10)
    elif kind == 'partition':
        c.fill(circle(16 * s, 16 * s, 10 * s), '#FFF0A020')
        c.fill([(16 * s, 16 * s)] + [(16 * s + 10.5 * s * math.cos(math.radians(a)),
                                      16 * s + 10.5 * s * math.sin(math.radians(a))) for a in range(-90, 1, 5)],
               '#FFFBE0B0')
        c.fill(line(16 * s, 16 * s, 16 * s, 5.5 * s, 1.2 * s), WHITE)
        c.fill(line(16 * s, 16 * s, 26.5 * s, 16 * s, 1.2 * s), WHITE)
    elif kind == 'deep':
        _drive(c, s, 4 * s, 8 * s, 20 * s, 9 * s, '#FF6A5ACD', '#FFC9C2F0')
        c.fill([circle(19 * s, 19 * s, 6.5 * s), circle(19 * s, 19 * s, 4.6 * s)], '#FF4B3CA8')
        c.fill(circle(19 * s, 19 * s, 4.6 * s), '#55FFFFFF')
        c.fill(line(23.5 * s, 23.5 * s, 28 * s, 28 * s, 2.4 * s), '#FF4B3CA8')
    return c


def icon_mode(kind):
    c = Canvas(48, 48)
    s = 48 / 32.0
    c.fill(circle(16 * s, 16 * s, 15.5 * s), '#FFE7F0FB')
    if kind == 'quick':
        c.fill([(18 * s, 4 * s), (8 * s, 18 * s), (15 * s, 18 * s), (13 * s, 28 * s), (24 * s, 13 * s),
                (17 * s, 13 * s)], '#FFF0A020')
    elif kind == 'deep':
        c.fill([circle(14 * s, 14 * s, 8 * s), circle(14 * s, 14 * s, 5.8 * s)], BLUE)
        c.fill(line(20 * s, 20 * s, 27 * s, 27 * s, 3 * s), BLUE)
    else:
        _drive(c, s, 5 * s, 12 * s, 22 * s, 10 * s, '#FF2E9E5B', '#FFA9DDBC')
        c.fill(arc_ring(16 * s, 12 * s, 7 * s, 5.4 * s, 180, 330), GREEN)
        c.fill([(21.5 * s, 4.5 * s), (24.5 * s, 9.5 * s), (19 * s, 9.8 * s)], GREEN)
    return c


def icon_type(kind):
    c = Canvas(48, 48)
    s = 48 / 32.0
    col = {'picture': '#FF2E9E5B', 'music': '#FFE0463C', 'document': BLUE, 'video': '#FF6A5ACD',
           'email': '#FFF0A020', 'other': '#FF7A8898'}[kind]
    c.fill(rrect(1 * s, 1 * s, 31 * s, 31 * s, 7 * s), col)
    w = WHITE
    if kind == 'picture':
        c.fill(circle(11 * s, 11 * s, 3 * s), '#FFFFD54A')
        c.fill([(5 * s, 26 * s), (13 * s, 15 * s), (18 * s, 21 * s), (22 * s, 17 * s), (28 * s, 26 * s)], w)
    elif kind == 'music':
        c.fill(ellipse(11 * s, 23 * s, 4 * s, 3.2 * s), w)
        c.fill(ellipse(22 * s, 20 * s, 4 * s, 3.2 * s), w)
        c.fill(rect(13.4 * s, 8 * s, 15 * s, 23 * s), w)
        c.fill(rect(24.4 * s, 6 * s, 26 * s, 20 * s), w)
        c.fill([(13.4 * s, 8 * s), (26 * s, 5 * s), (26 * s, 9 * s), (13.4 * s, 12 * s)], w)
    elif kind == 'document':
        c.fill([(8 * s, 5 * s), (19 * s, 5 * s), (24 * s, 10 * s), (24 * s, 27 * s), (8 * s, 27 * s)], w)
        for y in (13, 17, 21):
            c.fill(rect(11 * s, y * s, 21 * s, (y + 1.4) * s), col)
    elif kind == 'video':
        c.fill(rrect(5 * s, 8 * s, 27 * s, 24 * s, 2 * s), w)
        c.fill([(13 * s, 11.5 * s), (21 * s, 16 * s), (13 * s, 20.5 * s)], col)
    elif kind == 'email':
        c.fill(rrect(5 * s, 9 * s, 27 * s, 24 * s, 1.5 * s), w)
        c.fill(polyline([(6 * s, 10 * s), (16 * s, 18 * s), (26 * s, 10 * s)], 1.6 * s), col)
    else:
        for x in (10, 16, 22):
            c.fill(circle(x * s, 16 * s, 2.4 * s), w)
    return c


def icon_dialog(kind):
    c = Canvas(32, 32)
    if kind == 'warn':
        c.fill([(16, 2), (31, 29), (1, 29)], '#FFF0A020')
        c.fill(rect(14.7, 11, 17.3, 21), WHITE)
        c.fill(circle(16, 24.8, 1.6), WHITE)
    elif kind == 'error':
        c.fill(circle(16, 16, 15), RED)
        c.fill(line(10.5, 10.5, 21.5, 21.5, 2.8), WHITE)
        c.fill(line(10.5, 21.5, 21.5, 10.5, 2.8), WHITE)
    else:
        c.fill(circle(16, 16, 15), BLUE)
        c.fill(circle(16, 9.5, 1.9), WHITE)
        c.fill(rect(14.6, 13.5, 17.4, 24), WHITE)
    return c



# ---- dialog controls ----
def combo():
    def draw(c, st):
        border = ['#FFC3CEDA', BLUE, BLUE_DOWN, '#FFDCE3EC'][st]
        body = [WHITE, '#FFF7FAFE', '#FFE3EEFA', '#FFF7F9FB'][st]
        c.fill(rrect(0, 0, 64, 28, 4), border)
        c.fill(rrect(1, 1, 63, 27, 3.2), body)
        arrow = GREY if st != 3 else '#FFC3CEDA'
        c.fill([(46, 11.5), (56, 11.5), (51, 17)], arrow)
    return strip([0, 1, 2, 3], 64, 28, draw)


def slider_bar(on):
    c = Canvas(16, 14)
    c.fill(rrect(0, 3, 16, 11, 4), BLUE if on else '#FFD5DEE8')
    return c


# ---- previews and the media player ----
def player_button(kind):
    """28x28: normal, hot, pushed, disabled."""
    def draw(c, st):
        if st == 1:
            c.fill(rrect(0, 0, 28, 28, 5), '#FFE3EEFA')
        elif st == 2:
            c.fill(rrect(0, 0, 28, 28, 5), '#FFC9DDF3')
        col = ['#FF3B4B5E', BLUE, BLUE_DOWN, '#FFB8C2CE'][st]
        if kind == 'play':
            c.fill([(10, 7), (21, 14), (10, 21)], col)
        elif kind == 'pause':
            c.fill(rect(9, 7.5, 12.5, 20.5), col)
            c.fill(rect(15.5, 7.5, 19, 20.5), col)
        elif kind in ('back', 'forward'):
            pts = [[(13, 8), (13, 20), (5, 14)], [(22, 8), (22, 20), (14, 14)]]
            if kind == 'forward':
                pts = [[(28 - x, y) for x, y in p] for p in pts]
            for p in pts:
                c.fill(p, col)
        else:
            c.fill([(6, 11), (10, 11), (15, 6.5), (15, 21.5), (10, 17), (6, 17)], col)
            if kind == 'volume':
                c.fill(arc_ring(15, 14, 5.5, 4.2, -50, 50), col)
                c.fill(arc_ring(15, 14, 9, 7.7, -50, 50), col)
            else:
                c.fill(line(17.5, 10.5, 23.5, 17.5, 1.5), RED if st < 3 else col)
                c.fill(line(17.5, 17.5, 23.5, 10.5, 1.5), RED if st < 3 else col)
    return strip([0, 1, 2, 3], 28, 28, draw)


def slider_track(fg):
    c = Canvas(16, 28)
    c.fill(rrect(0, 11, 16, 17, 3), BLUE if fg else '#FFD5DEE8')
    return c


def dlg_slider_thumb():
    def draw(c, st):
        border = [BLUE, BLUE_HOT, BLUE_DOWN][st]
        c.fill(rrect(0, 0, 12, 14, 3), border)
        c.fill(rrect(1.5, 1.5, 10.5, 12.5, 2), WHITE if st != 2 else '#FFE3EEFA')
        for x in (4.5, 7.5):
            c.fill(rect(x - 0.6, 4, x + 0.6, 10), border)
    return strip([0, 1, 2], 12, 14, draw)


def guide_bubble():
    """A hint bubble, its tail at the bottom left (inside the corner that is
    never stretched)."""
    c = Canvas(64, 64)
    c.fill(rrect(0, 0, 64, 52, 8), '#FFFFD54A')
    c.fill(rrect(2, 2, 62, 50, 6.5), '#FFFFFBEA')
    c.fill([(10, 50), (24, 50), (12, 64)], '#FFFFD54A')
    c.fill([(12.5, 49), (21.5, 49), (13.2, 60)], '#FFFFFBEA')
    return c



def slider_thumb():
    def draw(c, st):
        c.fill(circle(6, 6, 5.8), [BLUE, BLUE_HOT, BLUE_DOWN][st])
        c.fill(circle(6, 6, 2.6), WHITE)
    return strip([0, 1, 2], 12, 12, draw)


def preview_unknown():
    c = Canvas(48, 48)
    c.fill([(10, 3), (30, 3), (39, 12), (39, 45), (10, 45)], '#FF98A6B6')
    c.fill([(11.5, 4.5), (29.4, 4.5), (37.5, 12.6), (37.5, 43.5), (11.5, 43.5)], WHITE)
    c.fill([(30, 3), (30, 12), (39, 12)], '#FF98A6B6')
    c.fill(arc_ring(24.5, 21, 6, 3.8, 180, 405), BLUE)
    c.fill(rect(23.3, 25, 25.7, 31), BLUE)
    c.fill(circle(24.5, 35.5, 1.8), BLUE)
    return c


def preview_broken():
    c = Canvas(64, 64)
    c.fill(rrect(4, 10, 60, 54, 4), '#FF98A6B6')
    c.fill(rrect(6.5, 12.5, 57.5, 51.5, 2.5), '#FFEEF2F7')
    c.fill([(10, 46), (24, 28), (34, 40), (42, 32), (54, 46)], '#FF8FB8E6')
    c.fill(circle(45, 22, 4.5), '#FFF0C040')
    # the crack
    c.fill(polyline([(30, 8), (26, 22), (34, 30), (28, 44), (33, 58)], 3.2), WHITE)
    c.fill(polyline([(30, 8), (26, 22), (34, 30), (28, 44), (33, 58)], 1.2), RED)
    return c


def player_music():
    c = Canvas(96, 96)
    c.fill(circle(48, 48, 46), '#FF2B3B4E')
    c.fill(circle(48, 48, 43), '#FF344A63')
    c.fill(rect(54, 22, 59, 64), '#FF8FC1F0')
    c.fill([(59, 22), (72, 30), (72, 38), (59, 31)], '#FF8FC1F0')
    c.fill(ellipse(48, 66, 11, 8), '#FF8FC1F0')
    return c


def player_error():
    c = Canvas(48, 48)
    c.fill(circle(24, 24, 22), RED)
    c.fill(line(16, 16, 32, 32, 4), WHITE)
    c.fill(line(16, 32, 32, 16, 4), WHITE)
    return c


def player_wait():
    c = Canvas(48, 48)
    c.fill(circle(24, 24, 22), BLUE)
    c.fill(circle(24, 24, 18.5), WHITE)
    c.fill(rect(22.6, 11, 25.4, 25), BLUE)
    c.fill(line(24, 24, 32, 30, 2.8), BLUE)
    return c


def busy_frames(size=64, count=12, width=None, height=None):
    """Spinner frames as palette indices; palette: white then 16 blues fading in.
    The spinner is size across, in the middle of a width x height frame."""
    width = width or size
    height = height or size
    palette = [(255, 255, 255)]
    base = rgba(BLUE)
    for k in range(16):
        a = (k + 1) / 16.0
        palette.append(tuple(int(255 + (base[i] - 255) * a) for i in range(3)))
    frames = []
    for f in range(count):
        c = Canvas(width, height, '#FFFFFFFF')
        for d in range(count):
            ang = 2 * math.pi * d / count - math.pi / 2
            strength = ((d - f) % count) / float(count - 1)
            col = tuple(int(255 + (base[i] - 255) * (0.15 + 0.85 * strength)) for i in range(3))
            c.fill(circle(width / 2 + math.cos(ang) * size * 0.36, height / 2 + math.sin(ang) * size * 0.36,
                          size * 0.075, 16), (col[0], col[1], col[2], 255))
        idx = []
        for p in c.px:
            # nearest palette entry by the blue channel's distance from white
            t = (1.0 - p[2]) / (1.0 - base[2] / 255.0) if base[2] < 255 else 0
            k = int(round(t * 16))
            idx.append(max(0, min(16, k)))
        frames.append((width, height, idx))
    return frames, palette


def all_images():
    """name inside the archive -> Canvas"""
    imgs = {
        'sys/logo.png': logo(24),
        'common/btn_primary.png': button(True),
        'common/btn_secondary.png': button(False),
        'common/check.png': checkbox(False),
        'common/radio.png': checkbox(True),
        'common/expand.png': expander(),
        'common/card_hot.png': card_frame(False),
        'common/card_sel.png': card_frame(True),
        'common/card_check.png': card_check(),
        'common/scroll_thumb.png': scroll_thumb(),
        'common/progress_bg.png': progress(False),
        'common/progress_fg.png': progress(True),
        'common/scan_btns.png': scan_buttons(),
        'common/view_btns.png': view_buttons(),
        'listitem/list_header_bg.png': list_header(),
        'mask/wiz_step_1.png': wiz_step(1),
        'mask/wiz_step_2.png': wiz_step(2),
        'mask/wiz_step_3.png': wiz_step(3),
        'icon/icon_drive_os.png': icon_drive(32, os=True),
        'icon/icon_drive.png': icon_drive(32),
        'icon/icon_drive_lost.png': icon_drive(32, lost=True),
        'icon/icon_desktop.png': icon_desktop(32),
        'icon/icon_recycle.png': icon_recycle(32),
        'icon/icon_usb.png': icon_usb(32),
        'icon/icon_HD.png': icon_hd(32),
        'dlg/info.png': icon_dialog('info'),
        'dlg/error.png': icon_dialog('error'),
        'dlg/warn.png': icon_dialog('warn'),
        'common/combo.png': combo(),
        'common/slider_on.png': slider_bar(True),
        'common/slider_off.png': slider_bar(False),
        'common/slider_thumb.png': dlg_slider_thumb(),
        'guide/bubble.png': guide_bubble(),
        'about/logo.png': logo(64),
    }
    for k in ('menu', 'min', 'max', 'restore', 'close'):
        imgs['sys/btn_%s.png' % k] = title_button(k)
    for k in ('play', 'pause', 'back', 'forward', 'volume', 'mute'):
        imgs['player/%s.png' % k] = player_button(k)
    imgs['player/slider_bg.png'] = slider_track(False)
    imgs['player/slider_fg.png'] = slider_track(True)
    imgs['player/thumb.png'] = slider_thumb()
    imgs['player/music.png'] = player_music()
    imgs['player/error.png'] = player_error()
    imgs['player/wait.png'] = player_wait()
    imgs['preview/unknown.png'] = preview_unknown()
    imgs['preview/broken.png'] = preview_broken()
    for k in ('deleted', 'format', 'udisk', 'recycle', 'partition', 'deep'):
        imgs['home/%s.png' % k] = icon_home(k)
    for k in ('quick', 'deep', 'format'):
        imgs['mode/%s.png' % k] = icon_mode(k)
    for k in ('picture', 'music', 'document', 'video', 'email', 'other'):
        imgs['type/%s.png' % k] = icon_type(k)
    return imgs


def app_icon_canvases():
    out = []
    for size in (48, 32, 16):
        out.append(logo(size))
    return out


def skin_lost_icon_canvases():
    out = []
    for size in (32, 16):
        c = Canvas(size, size)
        s = size / 32.0
        c.fill([(16 * s, 2 * s), (31 * s, 29 * s), (1 * s, 29 * s)], '#FFF0A020')
        c.fill(rect(14.5 * s, 11 * s, 17.5 * s, 21 * s), WHITE)
        c.fill(circle(16 * s, 24.8 * s, 1.8 * s), WHITE)
        out.append(c)
    return out

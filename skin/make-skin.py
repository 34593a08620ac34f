#!/usr/bin/env python3
"""Builds the program's three skin archives from the layouts in layout/, the
pictures drawn by images.py and the texts of the language sources.

  make-skin.py --layouts DIR --lang DIR --work DIR --skin-dir DIR

Writes WORK/skin_cn.zip (simplified Chinese, embedded in the program),
SKIN-DIR/skin_tr.skin (traditional Chinese) and SKIN-DIR/skin_en.skin
(English), plus WORK/busy.gif, WORK/preview_busy.gif, WORK/app.ico and WORK/skinlost.ico for the
program's resources.

Layout templates: {{Key}} is the text of Key in section [Skin] of the
language source, {{UI:Key}} one of section [UI]; {{@fonts}} inserts
_fonts.inc, {{@name}} an attribute set of _buttons.inc; the upper-case
names (FONT, FS_*, W_*) are per-language font and width settings below.
"""
import argparse
import io
import os
import re
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import images  # noqa: E402
import raster  # noqa: E402

# Per-language fonts and the widths that depend on the length of the texts.
SETTINGS = {
    'en': dict(FONT='Tahoma', FS_BODY=12, FS_TITLE=14, FS_HEAD=18, FS_SMALL=11,
               W_MOBILE=100, W_HELP=50, W_HINT=170, W_MODELINK=190, W_BARBTN=160, W_LOADRES=150,
               W_SAVERES=140, W_DISKTITLE=320, W_SEARCHLOST=130, W_ROWTYPE=120, W_ROWTYPELBL=50,
               W_ROWSIZE=130, W_ROWSIZELBL=40, W_ALLTYPES=110, W_SELALL=90, W_MENU=170,
               W_SETLABEL=200, W_VERSION=60, W_BROWSE=100),
    'cn': dict(FONT='Microsoft YaHei', FS_BODY=12, FS_TITLE=15, FS_HEAD=19, FS_SMALL=12,
               W_MOBILE=80, W_HELP=50, W_HINT=150, W_MODELINK=140, W_BARBTN=150, W_LOADRES=130,
               W_SAVERES=130, W_DISKTITLE=300, W_SEARCHLOST=110, W_ROWTYPE=110, W_ROWTYPELBL=40,
               W_ROWSIZE=130, W_ROWSIZELBL=40, W_ALLTYPES=100, W_SELALL=70, W_MENU=140,
               W_SETLABEL=170, W_VERSION=50, W_BROWSE=90),
    'tr': dict(FONT='Microsoft JhengHei', FS_BODY=12, FS_TITLE=15, FS_HEAD=19, FS_SMALL=12,
               W_MOBILE=80, W_HELP=50, W_HINT=150, W_MODELINK=140, W_BARBTN=150, W_LOADRES=130,
               W_SAVERES=130, W_DISKTITLE=300, W_SEARCHLOST=110, W_ROWTYPE=110, W_ROWTYPELBL=40,
               W_ROWSIZE=130, W_ROWSIZELBL=40, W_ALLTYPES=100, W_SELALL=70, W_MENU=140,
               W_SETLABEL=170, W_VERSION=50, W_BROWSE=90),
}
ARCHIVES = (('cn', 'skin_cn.zip', 'work'), ('tr', 'skin_tr.skin', 'skin'), ('en', 'skin_en.skin', 'skin'))
FIXED_TIME = (2024, 1, 1, 0, 0, 0)


def read_language(path):
    """{section: {key: value}} of a language source (same rules as mklang)."""
    sections, cur = {}, None
    with open(path, encoding='utf-8') as f:
        for raw in f:
            line = raw.rstrip('\r\n')
            if not line or line.startswith('#'):
                continue
            m = re.match(r'^\[(.+)\]$', line)
            if m:
                cur = sections.setdefault(m.group(1), {})
                continue
            if cur is not None and '=' in line:
                k, v = line.split('=', 1)
                cur.setdefault(k, v.replace('\\n', '\n').replace('\\t', '\t').replace('\\\\', '\\'))
    return sections


def xml_escape(text):
    return (text.replace('&', '&amp;').replace('<', '&lt;').replace('>', '&gt;').replace('"', '&quot;')
            .replace('\n', '&#10;'))


def expand(template, lang, texts, incs, name):
    settings = SETTINGS[lang]

    def sub(m):
        key = m.group(1)
        if key.startswith('@'):
            inc = key[1:]
            if inc not in incs:
                raise SystemExit('%s: unknown include %s' % (name, key))
            return expand(incs[inc], lang, texts, incs, name)
        if key in settings:
            return str(settings[key])
        section, _, k = key.rpartition(':')
        value = texts.get(section or 'Skin', {}).get(k)
        if value is None:
            raise SystemExit('%s: no text for %s in the %s language source' % (name, key, lang))
        return xml_escape(value)
    return re.sub(r'\{\{([^}]+)\}\}', sub, template)


def load_includes(layout_dir):
    incs = {}
    with open(os.path.join(layout_dir, '_fonts.inc'), encoding='utf-8') as f:
        incs['fonts'] = f.read().rstrip('\n')
    with open(os.path.join(layout_dir, '_buttons.inc'), encoding='utf-8') as f:
        for line in f:
            line = line.strip()
            if line and '=' in line:
                k, v = line.split('=', 1)
                incs[k] = v
    return incs


def pack(entries):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w', zipfile.ZIP_DEFLATED) as z:
        for name in sorted(entries):
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            z.writestr(info, entries[name])
    return buf.getvalue()


def write_if_changed(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if os.path.exists(path):
        with open(path, 'rb') as f:
            if f.read() == data:
                os.utime(path)
                return
    tmp = path + '.tmp'
    with open(tmp, 'wb') as f:
        f.write(data)
    os.replace(tmp, path)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--layouts', required=True)
    ap.add_argument('--lang', required=True)
    ap.add_argument('--work', required=True)
    ap.add_argument('--skin-dir', required=True)
    a = ap.parse_args()

    incs = load_includes(a.layouts)
    layouts = {}
    for fn in sorted(os.listdir(a.layouts)):
        if fn.endswith('.xml'):
            with open(os.path.join(a.layouts, fn), encoding='utf-8') as f:
                layouts[fn] = f.read()
    pictures = {name: c.png() for name, c in images.all_images().items()}

    # Every image a layout names must be in the archive.
    for fn, text in layouts.items():
        for ref in re.findall(r"(?:file='|bkimage=\")([A-Za-z0-9_/]+\.png)", text):
            if ref not in pictures:
                raise SystemExit('%s names %s, which is not drawn' % (fn, ref))

    for lang, out_name, where in ARCHIVES:
        texts = read_language(os.path.join(a.lang, lang + '.txt'))
        entries = dict(pictures)
        for fn, text in layouts.items():
            entries[fn] = expand(text, lang, texts, incs, fn).encode('utf-8')
        folder = a.work if where == 'work' else a.skin_dir
        write_if_changed(os.path.join(folder, out_name), pack(entries))

    frames, palette = images.busy_frames()
    write_if_changed(os.path.join(a.work, 'busy.gif'), raster.gif(frames, palette, 8))
    frames, palette = images.busy_frames(48, 12, 156, 95)
    write_if_changed(os.path.join(a.work, 'preview_busy.gif'), raster.gif(frames, palette, 8))
    write_if_changed(os.path.join(a.work, 'app.ico'), raster.ico(images.app_icon_canvases()))
    write_if_changed(os.path.join(a.work, 'skinlost.ico'), raster.ico(images.skin_lost_icon_canvases()))


if __name__ == '__main__':
    main()

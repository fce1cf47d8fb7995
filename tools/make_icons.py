#!/usr/bin/python3
"""Draws the thirteen 16 x 16 listing icons as pixel art and writes them, as
base64 PNG, into server/response/ListingIcons.cpp. Only the standard library
(zlib, struct, base64) is used, and the output is byte-for-byte the same on
every run:

    /usr/bin/python3 tools/make_icons.py            # rewrite the source file
    /usr/bin/python3 tools/make_icons.py --png DIR  # also write DIR/<class>.png
    /usr/bin/python3 tools/make_icons.py --out FILE # write the source elsewhere
"""

import base64
import os
import struct
import sys
import zlib

# One letter per colour; "." is transparent.
PALETTE = {
    ".": (0, 0, 0, 0),
    "k": (40, 40, 40, 255),       # outline
    "g": (128, 128, 128, 255),    # grey
    "l": (200, 200, 200, 255),    # light grey
    "w": (255, 255, 255, 255),    # paper
    "y": (240, 196, 64, 255),     # folder
    "o": (200, 150, 30, 255),     # folder shade
    "b": (40, 100, 200, 255),     # blue
    "c": (120, 180, 240, 255),    # light blue
    "r": (210, 50, 50, 255),      # red
    "e": (60, 160, 70, 255),      # green
    "p": (120, 100, 180, 255),    # purple
    "n": (140, 90, 50, 255),      # brown
    "s": (250, 220, 80, 255),     # sun
    "m": (220, 80, 160, 255),     # magenta
}

# A sheet of paper with a folded corner; glyphs are drawn onto rows 5..13.
PAGE = [
    "..kkkkkkkkk.....",
    "..kwwwwwwwkk....",
    "..kwwwwwwwklk...",
    "..kwwwwwwwkllk..",
    "..kwwwwwwwkkkkk.",
    "..kwwwwwwwwwwwk.",
    "..kwwwwwwwwwwwk.",
    "..kwwwwwwwwwwwk.",
    "..kwwwwwwwwwwwk.",
    "..kwwwwwwwwwwwk.",
    "..kwwwwwwwwwwwk.",
    "..kwwwwwwwwwwwk.",
    "..kwwwwwwwwwwwk.",
    "..kwwwwwwwwwwwk.",
    "..kwwwwwwwwwwwk.",
    "..kkkkkkkkkkkkk.",
]


def on_page(glyph, top=5, left=4):
    """The page with a glyph (rows of palette letters, "." = keep) on it."""
    rows = [list(r) for r in PAGE]
    for y, line in enumerate(glyph):
        for x, ch in enumerate(line):
            if ch != ".":
                rows[top + y][left + x] = ch
    return ["".join(r) for r in rows]


ICONS = [
    ("bkrtn", [
        "................",
        "................",
        "....b...........",
        "...bb...........",
        "..bbbbbbbbbb....",
        ".bbbbbbbbbbbb...",
        "..bbbbbbbbbbbb..",
        "...bb.......bb..",
        "....b.......bb..",
        "............bb..",
        "............bb..",
        "............bb..",
        "......bbbbbbbb..",
        "......bbbbbbb...",
        "................",
        "................",
    ]),
    ("bkdir", [
        "................",
        "................",
        ".kkkkk..........",
        "kyyyyyk.........",
        "kyyyyyykkkkkkkk.",
        "kyyyyyyyyyyyyyk.",
        "koooooooooooooook"[:16],
        "kyyyyyyyyyyyyyyk",
        "kyyyyyyyyyyyyyyk",
        "kyyyyyyyyyyyyyyk",
        "kyyyyyyyyyyyyyyk",
        "kyyyyyyyyyyyyyyk",
        "kyyyyyyyyyyyyyyk",
        "kooooooooooooook",
        ".kkkkkkkkkkkkkk.",
        "................",
    ]),
    ("bkfile", on_page([
        "........",
        "gggggg..",
        "........",
        "ggggggg.",
        "........",
        "ggggg...",
        "........",
        "gggggg..",
    ])),
    ("bkmovie", [
        "................",
        "kkkkkkkkkkkkkkkk",
        "kwkwkwkwkwkwkwkk",
        "kkkkkkkkkkkkkkkk",
        "kcccccckcccccckk",
        "kcbbbbckcbbbbckk",
        "kcbccbckcbccbckk",
        "kcbccbckcbccbckk",
        "kcbbbbckcbbbbckk",
        "kcccccckcccccckk",
        "kkkkkkkkkkkkkkkk",
        "kwkwkwkwkwkwkwkk",
        "kkkkkkkkkkkkkkkk",
        "................",
        "................",
        "................",
    ]),
    ("bkhtml", on_page([
        "..bbb...",
        ".bcbcb..",
        "bbbbbbb.",
        "bcbcbcb.",
        "bbbbbbb.",
        ".bcbcb..",
        "..bbb...",
    ], top=6)),
    ("bkmusic", [
        "................",
        ".......kkkkkkk..",
        ".......kpppppk..",
        ".......kkkkkkk..",
        ".......k.....k..",
        ".......k.....k..",
        ".......k.....k..",
        ".......k.....k..",
        ".......k.....k..",
        ".......k.....k..",
        "....kkkk..kkkk..",
        "...kppppk.kpppk.",
        "...kppppk.kpppk.",
        "....kkkk...kkk..",
        "................",
        "................",
    ]),
    ("bkphp", on_page([
        ".ppppp..",
        "pwwppwp.",
        "pwpwpwp.",
        "pwwpppp.",
        "pwppppp.",
        ".ppppp..",
    ], top=6, left=4)),
    ("bkscript", on_page([
        "eeeeeee.",
        "ekkkkke.",
        "ekwkkke.",
        "ekkwkke.",
        "ekwkwwe.",
        "ekkkkke.",
        "eeeeeee.",
    ], top=6)),
    ("bkimage", [
        "................",
        "kkkkkkkkkkkkkkkk",
        "kccccccccccccssk",
        "kcccccccccccsssk",
        "kccccccccccccssk",
        "kcccccccccccccck",
        "kcccccceccccccck",
        "kccccceeeccccccK".replace("K", "k"),
        "kcccceeeeeccccck",
        "kccceeeeeeecceck",
        "kcceeeeeeeeeeeek",
        "keeeeeeeeeeeeeek",
        "keeeeeeeeeeeeeek",
        "kkkkkkkkkkkkkkkk",
        "................",
        "................",
    ]),
    ("bkbinary", [
        "................",
        "...kkkkkkkkkk...",
        "..knnnnnnnnnnk..",
        ".knnnnnnnnnnnnk.",
        ".kkkkkkkkkkkkkk.",
        ".knnnnnkknnnnnk.",
        ".knnnnnlknnnnnk.",
        ".knnnnnkknnnnnk.",
        ".knnnnnlknnnnnk.",
        ".knnnnkkkknnnnk.",
        ".knnnnkllknnnnk.",
        ".knnnnkkkknnnnk.",
        ".knnnnnnnnnnnnk.",
        ".kkkkkkkkkkkkkk.",
        "................",
        "................",
    ]),
    ("bkoffice", on_page([
        "bbbbbbb.",
        "bwbwbwb.",
        "bbbbbbb.",
        "bwbwbwb.",
        "bbbbbbb.",
        "bwbwbwb.",
        "bbbbbbb.",
    ], top=6)),
    ("bkjava", [
        "................",
        "......r..r......",
        ".....r..r.......",
        "......r..r......",
        ".....r..r.......",
        "................",
        "..kkkkkkkkkk....",
        "..kwwwwwwwwkkk..",
        "..kwwwwwwwwk.k..",
        "..kwwwwwwwwk.k..",
        "..kwwwwwwwwkkk..",
        "...kwwwwwwk.....",
        "....kkkkkk......",
        ".kkkkkkkkkkkk...",
        "................",
        "................",
    ]),
    ("bkcss", on_page([
        ".mm.mm..",
        "mmmmmmm.",
        ".mm.mm..",
        "mmmmmmm.",
        ".mm.mm..",
    ], top=7)),
]


def png(rows):
    assert len(rows) == 16 and all(len(r) == 16 for r in rows), rows
    raw = b"".join(b"\x00" + b"".join(bytes(PALETTE[ch]) for ch in row) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", 16, 16, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = os.path.join(root, "server", "response", "ListingIcons.cpp")
    if len(sys.argv) == 3 and sys.argv[1] == "--out":
        out = sys.argv[2]
    lines = [
        "// Generated by tools/make_icons.py from its pixel drawings; edit the",
        "// drawings there and run it again rather than changing this file.",
        '#include "server/response/DirectoryListing.h"',
        "",
        "namespace zevra {",
        "",
        "const ListingIcon kListingIcons[kListingIconCount] = {",
    ]
    for name, rows in ICONS:
        lines.append('    {"%s", "%s"},' % (name, base64.b64encode(png(rows)).decode("ascii")))
    lines += ["};", "", "}  // namespace zevra", ""]
    with open(out, "w", newline="\n") as f:
        f.write("\n".join(lines))
    if len(sys.argv) == 3 and sys.argv[1] == "--png":
        os.makedirs(sys.argv[2], exist_ok=True)
        for name, rows in ICONS:
            with open(os.path.join(sys.argv[2], name + ".png"), "wb") as f:
                f.write(png(rows))


if __name__ == "__main__":
    main()

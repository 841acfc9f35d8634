#!/usr/bin/python3
"""Checks what a lyrics window started at a position shows, against the song itself.

Usage: lyrics_line.py DUMP LOG [SHOT.ppm]
  DUMP: `cantorix-cli dump FILE` of the karaoke file;
  LOG: what the window wrote to $CANTORIX_LYRICSLOG (the program), or the terminal's lines
       (`term` first on the line: tests/integration/play_cli.sh);
  SHOT.ppm: the window's pixels as the X server shows them.

The lines are made here from the dump alone, as a karaoke line is: a Text or Lyric event that
begins with a carriage return, "/" or "\\" ends the line that holds text (the carriage return is
used up, the others start the next line). The start time is the last "start US" of LOG; the
line that holds it is the one with a syllable before it and one at or after it. The first drawing
of slot 2 after that start must be that whole line, the syllables before the start red and the
rest white (a long line may have scrolled some red pieces away). With SHOT, slot 2's rows must
show the log's last drawing of slot 2: red text from where the log says the text starts, white
text up to where it ends, the red all left of the white. Prints what it found; exits 1 on a
difference.
"""
import json
import re
import sys


def lines_of(dump):
    events = [json.loads(l) for l in open(dump, encoding="utf-8")]
    division = events[0]["division"]
    metas = [e for e in events[1:] if e.get("kind") == "meta"]
    metas.sort(key=lambda e: e["tick"])   # stable: equal ticks keep track and file order
    tempo, last, us = 1000000, 0, 0.0
    lines, pieces, chars = [], [], 0
    for e in metas:
        us += (e["tick"] - last) * tempo / division
        last = e["tick"]
        data = bytes.fromhex(e["data"])
        if e["type"] == 0x51 and len(data) == 3:
            tempo = int.from_bytes(data, "big") or tempo
            continue
        if e["type"] not in (1, 5) or not data:
            continue
        text = data[:259].decode("latin-1")
        if text[0] in "\r/\\":
            if chars:
                lines.append(pieces)
                pieces, chars = [], 0
                if text[0] == "\r":
                    continue
            text = text[1:]
        if text:
            pieces.append((us, text))
            chars += len(text)
    if pieces:
        lines.append(pieces)
    return lines


def main():
    dump, log = sys.argv[1], sys.argv[2]
    shot = sys.argv[3] if len(sys.argv) > 3 else None
    entries = open(log, encoding="latin-1").read().splitlines()
    starts = [i for i, l in enumerate(entries) if l.startswith("start ")]
    if not starts:
        print("no start in the log")
        return 1
    at = float(entries[starts[-1]].split()[1])
    slots = [l for l in entries[starts[-1]:] if l.startswith("slot 2 ")]
    if not slots:
        print("slot 2 was not drawn after the start at %.2f s" % (at / 1e6))
        return 1
    pattern = r'slot 2 x (-?\d+) (-?\d+) y (\d+) (\d+) red "(.*)" white "(.*)" line "(.*)"$'
    m = re.match(pattern, slots[0])
    red, white, whole = m.group(5), m.group(6), m.group(7)
    held = [p for p in lines_of(dump) if p[0][0] < at <= p[-1][0]]
    if not held:
        print("the start at %.2f s is not inside a line" % (at / 1e6))
        return 1
    line = held[0]
    want_red = "".join(t for us, t in line if us < at)
    want_white = "".join(t for us, t in line if us >= at)
    print("start %.2f s: the line %r, sung %r" % (at / 1e6, want_red + want_white, want_red))
    print("drawn: red %r, white %r" % (red, white))
    if whole != want_red + want_white or white != want_white or not red or not want_red.endswith(red):
        print("slot 2 does not show the whole line with the part before the start sung")
        return 1
    if not shot:
        return 0
    # The screen shows the last drawing, which later syllables may have turned red further.
    m = re.match(pattern, slots[-1])
    x0, x1, y0, y1 = (int(m.group(k)) for k in range(1, 5))
    red, white = m.group(5), m.group(6)
    with open(shot, "rb") as f:
        data = f.read()
    head = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    w, h = int(head.group(1)), int(head.group(2))
    px = data[head.end():]
    reds, whites = [], []
    for y in range(max(y0, 0), min(y1, h)):
        for x in range(w):
            r, g, b = px[3 * (y * w + x):3 * (y * w + x) + 3]
            if r > 180 and g < 90 and b < 90:
                reds.append(x)
            elif r > 200 and g > 200 and b > 200:
                whites.append(x)
    if bool(reds) != bool(red) or bool(whites) != bool(white):
        print("on screen slot 2 has %d red and %d white pixels; the log: red %r, white %r" %
              (len(reds), len(whites), red, white))
        return 1
    left, right = min(reds or whites), max(whites or reds)
    print("on screen: text x %d..%d, red to %d, white from %d; the log: %d..%d" %
          (left, right, max(reds or [-1]), min(whites or [-1]), x0, x1))
    # The log's right end is the last piece's advance, past its ink; a final "." or a thin letter
    # may also draw no pixel bright enough to count at a small font, so the right end may fall short
    # by a character or so.
    short = max(10, (x1 - x0) // 12)
    if abs(left - max(x0, 0)) > 4 or not -short <= right - min(x1, w - 1) <= 2 or (reds and whites and max(reds) > min(whites) + 3):
        print("the screen does not show what the log says")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

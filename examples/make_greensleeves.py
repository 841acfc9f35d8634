#!/usr/bin/env python3
"""Writes examples/greensleeves.kar: the traditional English song Greensleeves (public domain) as
a karaoke MIDI file, arranged for this project.

Format 1, 480 ticks per quarter note, 3/4 time in A minor, six tracks:
  0 conductor: title, copyright, GM reset (system exclusive), time and key signature, tempo
  1 words: "@" karaoke header tags, then one Text event (type 1) per sung syllable; a syllable
    that starts a new paragraph begins with "\\", one that starts a new line with "/"
  2 melody, channel 1: flute for the first verse, oboe for the second
  3 guitar arpeggios, channel 2
  4 bass, channel 3
  5 drums, channel 10

Two verses, each followed by the refrain, after a two-bar introduction; about two minutes.
Standard library only; the output is the same byte for byte on every run.

Usage: make_greensleeves.py [OUTPUT]   (default: greensleeves.kar beside this script)
"""
import os
import struct
import sys

DIVISION = 480
BAR = 3 * DIVISION

NOTES = {"C": 0, "D": 2, "E": 4, "F": 5, "G": 7, "A": 9, "B": 11}


def pitch(name):
    """'G#4' -> MIDI note number (C4 = 60)."""
    base = NOTES[name[0]]
    rest = name[1:]
    if rest.startswith("#"):
        base += 1
        rest = rest[1:]
    return 12 * (int(rest) + 1) + base


# Melody tunes: (note, beats, sings) -- sings is False for a note that continues the syllable
# before it. Each list starts with its pickup note.
VERSE = [
    ("A4", 1, True),
    ("C5", 2, True), ("D5", 1, True),
    ("E5", 1.5, True), ("F5", 0.5, False), ("E5", 1, True),
    ("D5", 2, True), ("B4", 1, True),
    ("G4", 1.5, True), ("A4", 0.5, False), ("B4", 1, True),
    ("C5", 2, True), ("A4", 1, True),
    ("A4", 1.5, True), ("G#4", 0.5, False), ("A4", 1, True),
    ("B4", 2, True), ("G#4", 1, True),
    ("E4", 2, True),
    ("A4", 1, True),
    ("C5", 2, True), ("D5", 1, True),
    ("E5", 1.5, True), ("F5", 0.5, False), ("E5", 1, True),
    ("D5", 2, True), ("B4", 1, True),
    ("G4", 1.5, True), ("A4", 0.5, False), ("B4", 1, True),
    ("C5", 1.5, True), ("B4", 0.5, True), ("A4", 1, True),
    ("G#4", 1.5, True), ("F#4", 0.5, True), ("G#4", 1, True),
    ("A4", 3, True),
    (None, 3, False),
]

REFRAIN = [
    ("G5", 3, True),
    ("G5", 1.5, True), ("F#5", 0.5, True), ("E5", 1, True),
    ("D5", 2, True), ("B4", 1, True),
    ("G4", 1.5, True), ("A4", 0.5, False), ("B4", 1, True),
    ("C5", 2, True), ("A4", 1, True),
    ("A4", 1.5, True), ("G#4", 0.5, False), ("A4", 1, True),
    ("B4", 2, False), ("G#4", 1, False),
    ("E4", 3, False),
    ("G5", 3, True),
    ("G5", 1.5, True), ("F#5", 0.5, True), ("E5", 1, True),
    ("D5", 2, True), ("B4", 1, True),
    ("G4", 1.5, True), ("A4", 0.5, True), ("B4", 1, True),
    ("C5", 1.5, True), ("B4", 0.5, True), ("A4", 1, True),
    ("G#4", 1.5, True), ("F#4", 0.5, True), ("G#4", 1, False),
    ("A4", 3, True),
]

# Lyrics: one text per line; "-" splits a word into syllables.
VERSE1 = [
    "A-las, my love, you do me wrong, to cast me off dis-cour-teous-ly.",
    "For I have loved you well and long, de-light-ing in your com-pa-ny.",
]
VERSE2 = [
    "I have been rea-dy at your hand, to grant what-ev-er you would crave,",
    "I have both wa-gered life and land, your love and good will for to have.",
]
REFRAIN_WORDS = [
    "Green-sleeves was all my joy, Green-sleeves was my de-light,",
    "Green-sleeves was my heart of gold, and who but my la-dy Green-sleeves.",
]

# Chords, one per bar from bar 1 of a verse: (root note, minor?).
VERSE_CHORDS = ["Am", "C", "G", "Em", "Am", "Am", "E", "E", "Am", "C", "G", "Em", "Am", "E", "Am", "Am"]
REFRAIN_CHORDS = ["C", "Em", "G", "Em", "Am", "Am", "E", "E", "C", "Em", "G", "Em", "Am", "E", "Am", "Am"]


def syllables(lines):
    """Karaoke texts of the lines: line marks first, a space before each new word."""
    out = []
    for n, line in enumerate(lines):
        for w, word in enumerate(line.split()):
            for s, syl in enumerate(word.split("-")):
                text = syl
                if w == 0 and s == 0:
                    text = ("\\" if n == 0 else "/") + text
                elif s == 0:
                    text = " " + text
                out.append(text)
    return out


def vlq(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.insert(0, 0x80 | (value & 0x7F))
        value >>= 7
    return bytes(out)


class Track:
    def __init__(self, name):
        self.events = []   # (tick, order, bytes); order puts note-offs before note-ons
        self.meta(0, 0x03, name.encode("ascii"))

    def meta(self, tick, kind, data):
        self.events.append((tick, 1, b"\xff" + bytes([kind]) + vlq(len(data)) + data))

    def text(self, tick, text):
        self.meta(tick, 0x01, text.encode("latin-1"))

    def sysex(self, tick, data):
        self.events.append((tick, 1, b"\xf0" + vlq(len(data)) + data))

    def channel(self, tick, status, *data, order=2):
        self.events.append((tick, order, bytes([status]) + bytes(data)))

    def note(self, tick, length, ch, key, velocity):
        self.channel(tick, 0x90 | ch, key, velocity)
        # Note off as a Note On with velocity 0, as most files write it (keeps running status).
        self.channel(tick + length, 0x90 | ch, key, 0, order=0)

    def chunk(self):
        events = sorted(self.events, key=lambda e: (e[0], e[1]))
        out = bytearray()
        last = events[-1][0] if events else 0
        prev = 0
        running = None
        for tick, _, data in events + [(last, 3, b"\xff\x2f\x00")]:
            out += vlq(tick - prev)
            prev = tick
            status = data[0]
            if status < 0xF0:
                if status == running:
                    data = data[1:]
                running = status
            elif status in (0xF0, 0xF7):
                running = None
            out += data
        return b"MTrk" + struct.pack(">I", len(out)) + bytes(out)


def chord_notes(name):
    root = pitch(name[0] + "3")
    minor = name.endswith("m")
    third = root + (3 if minor else 4)
    return root, third, root + 7


def build():
    conductor = Track("Greensleeves")
    words = Track("Words")
    melody = Track("Melody")
    guitar = Track("Guitar")
    bass = Track("Bass")
    drums = Track("Drums")

    conductor.meta(0, 0x02, b"Public domain song; arrangement free to copy")
    conductor.sysex(0, bytes([0x7E, 0x7F, 0x09, 0x01, 0xF7]))   # General MIDI on
    conductor.meta(0, 0x58, bytes([3, 2, 24, 8]))               # 3/4
    conductor.meta(0, 0x59, bytes([0, 1]))                      # A minor
    conductor.meta(0, 0x51, struct.pack(">I", 540000)[1:])      # about 111 quarter notes a minute

    for tag in ("@KMIDI KARAOKE FILE", "@V0100", "@IGreensleeves, a traditional English song",
                "@IPublic domain; sequenced as an example karaoke file", "@LENGL",
                "@TGreensleeves", "@TTraditional", "@TExample karaoke file"):
        words.text(0, tag)

    # Channel set-up: programs, volume, pan, reverb.
    for trk, ch, program, volume, pan in ((melody, 0, 73, 110, 64), (guitar, 1, 24, 90, 40),
                                          (bass, 2, 32, 100, 70), (drums, 9, 0, 80, 64)):
        trk.channel(0, 0xC0 | ch, program)
        trk.channel(0, 0xB0 | ch, 7, volume)
        trk.channel(0, 0xB0 | ch, 10, pan)
        trk.channel(0, 0xB0 | ch, 91, 40)

    # Form: intro (2 bars), verse 1, refrain, verse 2, refrain. The melody's pickup falls on
    # the last beat of the bar before each verse.
    sections = [(VERSE, VERSE1, VERSE_CHORDS), (REFRAIN, REFRAIN_WORDS, REFRAIN_CHORDS),
                (VERSE, VERSE2, VERSE_CHORDS), (REFRAIN, REFRAIN_WORDS, REFRAIN_CHORDS)]
    bar = 2                       # bar 0 and 1: introduction
    chords = ["Am", "Am"]
    tick = 2 * BAR - DIVISION     # the first pickup
    for n, (tune, lines, harmony) in enumerate(sections):
        if tune is VERSE and n > 0:
            melody.channel(tick, 0xC0, 68 if n == 2 else 73)   # oboe for the second verse
        texts = syllables(lines)
        sung = sum(1 for _, _, s in tune if s)
        assert sung == len(texts), (n, sung, len(texts))
        k = 0
        if tune is REFRAIN:
            tick = bar * BAR
        for note, beats, sings in tune:
            length = int(beats * DIVISION)
            if note:
                melody.note(tick, length * 9 // 10, 0, pitch(note), 96 if sings else 84)
            if sings:
                words.text(tick, texts[k])
                k += 1
            tick += length
        chords += harmony
        bar += len(harmony)
        if tune is REFRAIN and n + 1 < len(sections):
            tick = bar * BAR - DIVISION   # pickup of the next verse
        if tune is REFRAIN:
            drums.channel(bar * BAR - len(harmony) * BAR, 0x99, 49, 100)   # crash at the refrain
            drums.channel(bar * BAR - len(harmony) * BAR + DIVISION, 0x89, 49, 0)
    chords.append("Am")   # the final bar

    for b, name in enumerate(chords):
        start = b * BAR
        root, third, fifth = chord_notes(name)
        final = b == len(chords) - 1
        if final:
            for key in (root, third + 12, fifth + 12):
                guitar.note(start, 2 * BAR, 1, key, 70)
            bass.note(start, 2 * BAR, 2, root - 12, 90)
            drums.channel(start, 0x99, 49, 100)
            drums.channel(start + 2 * BAR, 0x89, 49, 0)
            drums.channel(start, 0x99, 36, 100)
            drums.channel(start + DIVISION, 0x89, 36, 0)
            continue
        for i, key in enumerate((root, fifth, root + 12, third + 12, fifth + 12, third + 12)):
            guitar.note(start + i * DIVISION // 2, DIVISION // 2 - 20, 1, key, 72 if i == 0 else 60)
        bass.note(start, 2 * DIVISION - 40, 2, root - 12, 92)
        bass.note(start + 2 * DIVISION, DIVISION - 40, 2, fifth - 12, 80)
        for beat in range(3):
            key, velocity = (36, 96) if beat == 0 else (42, 64)
            drums.channel(start + beat * DIVISION, 0x99, key, velocity)
            drums.channel(start + beat * DIVISION + DIVISION // 4, 0x89, key, 0, order=0)

    # Slow down over the last two bars.
    last = (len(chords) - 1) * BAR
    conductor.meta(last - BAR, 0x51, struct.pack(">I", 650000)[1:])
    conductor.meta(last, 0x51, struct.pack(">I", 800000)[1:])

    tracks = [conductor, words, melody, guitar, bass, drums]
    header = b"MThd" + struct.pack(">IHHH", 6, 1, len(tracks), DIVISION)
    return header + b"".join(t.chunk() for t in tracks)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "greensleeves.kar")
    data = build()
    with open(out + ".tmp", "wb") as f:
        f.write(data)
    os.replace(out + ".tmp", out)
    print("wrote %s (%d bytes)" % (out, len(data)))


if __name__ == "__main__":
    main()

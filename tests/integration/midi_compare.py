#!/usr/bin/python3
"""Compares `cantorix-cli dump FILE` with an independent reading of FILE by mido, event for
event, and checks the media length that `cantorix-cli info FILE` reports.

Usage: midi_compare.py CLI FILE...   Prints one line per file; exits 1 when any file differs.

What is compared, per track and with absolute ticks:
  channel messages: status and data bytes (mido's msg.bytes());
  system exclusive: the data without a leading 0xF0 and a trailing 0xF7 (mido strips both);
  meta events: type byte and the raw data bytes.
mido also turns system common and real-time bytes into messages; the program does not keep
them, so they are skipped here (their delta times still count).
"""
import json
import re
import subprocess
import sys

import mido
import mido.midifiles.midifiles as midifiles
from mido.midifiles.meta import UnknownMetaMessage

# Keep the raw bytes of every meta event in reading order: mido decodes them into fields that
# do not always encode back to the same bytes.
RAW_META = []
_build_meta = midifiles.build_meta_message


def _capture_meta(meta_type, data, delta=0):
    RAW_META.append((meta_type, bytes(data)))
    try:
        return _build_meta(meta_type, data, delta)
    except Exception:   # fields mido cannot decode (a bad key signature, for example)
        return UnknownMetaMessage(meta_type, data, time=delta)


midifiles.build_meta_message = _capture_meta


def reference(path):
    """(header, tracks) read by mido; each track a list of (tick, kind, fields)."""
    del RAW_META[:]
    mf = mido.MidiFile(path)
    raw = iter(RAW_META)
    tracks = []
    for track in mf.tracks:
        tick = 0
        events = []
        for msg in track:
            tick += msg.time
            if msg.is_meta:
                kind, data = next(raw)
                events.append((tick, "meta", (kind, data.hex())))
            elif msg.type == "sysex":
                events.append((tick, "sysex", bytes(msg.data).hex()))
            else:
                b = msg.bytes()
                if b[0] >= 0xF0:
                    continue
                events.append((tick, "channel", (b[0], b[1], b[2] if len(b) > 2 else 0)))
        tracks.append(events)
    return (mf.type, len(mf.tracks), mf.ticks_per_beat), tracks


def program(cli, path):
    out = subprocess.run([cli, "dump", path], capture_output=True, check=False)
    if out.returncode != 0:
        raise RuntimeError("dump failed: " + out.stderr.decode(errors="replace").strip())
    lines = out.stdout.decode().splitlines()
    head = json.loads(lines[0])
    if list(head) != ["format", "ntrks", "division"]:
        raise RuntimeError("header keys out of order: %s" % lines[0])
    tracks = [[] for _ in range(head["ntrks"])]
    for line in lines[1:]:
        ev = json.loads(line)
        keys = list(ev)
        kind = ev["kind"]
        if kind == "channel":
            want = ["track", "tick", "kind", "status", "data1", "data2"]
            fields = (ev["status"], ev["data1"], ev["data2"])
        elif kind == "sysex":
            want = ["track", "tick", "kind", "status", "length", "data"]
            data = bytes.fromhex(ev["data"])
            if len(data) != ev["length"] or ev["status"] not in (240, 247):
                raise RuntimeError("bad sysex line: " + line)
            if data and data[0] == 0xF0:
                data = data[1:]
            if data and data[-1] == 0xF7:
                data = data[:-1]
            fields = data.hex()
        else:
            want = ["track", "tick", "kind", "type", "length", "data"]
            if len(ev["data"]) != 2 * ev["length"] or ev["data"] != ev["data"].lower():
                raise RuntimeError("bad meta line: " + line)
            fields = (ev["type"], ev["data"])
        if keys != want:
            raise RuntimeError("keys out of order: " + line)
        tracks[ev["track"]].append((ev["tick"], kind, fields))
    return (head["format"], head["ntrks"], head["division"]), tracks


def medialength(division, tracks):
    """Seconds from tick 0 to the last event; 1,000,000 us per quarter until a Set Tempo."""
    last = max((ev[0] for t in tracks for ev in t), default=0)
    tempos = sorted(((ev[0], i, k, int(ev[2][1], 16)) for i, t in enumerate(tracks)
                     for k, ev in enumerate(t)
                     if ev[1] == "meta" and ev[2][0] == 0x51 and len(ev[2][1]) == 6))
    us, tempo, prev = 0.0, 1000000.0, 0
    for tick, _, _, value in tempos:
        t = min(tick, last)
        us += (t - prev) * tempo / division
        prev = t
        if value:
            tempo = value
        if t >= last:
            break
    us += (last - prev) * tempo / division
    return us * 1e-6


def check(cli, path):
    """The number of events compared, or what differs."""
    head, mine = program(cli, path)
    rhead, theirs = reference(path)
    if head != rhead:
        return "header %s, mido %s" % (head, rhead)
    for i, (a, b) in enumerate(zip(mine, theirs)):
        for k in range(max(len(a), len(b))):
            x = a[k] if k < len(a) else None
            y = b[k] if k < len(b) else None
            if x != y:
                return "track %d event %d: program %s, mido %s" % (i, k, x, y)
    out = subprocess.run([cli, "info", path], capture_output=True, check=False)
    m = re.search(r"^Media length: (\d+):(\d\d)$", out.stdout.decode(errors="replace"), re.M)
    if out.returncode != 0 or not m:
        return "info reports no media length"
    shown = int(m.group(1)) * 60 + int(m.group(2))
    expect = medialength(head[2], theirs)
    if abs(shown - int(expect)) > 1:
        return "media length %d s, expected %.3f s" % (shown, expect)
    return sum(len(t) for t in theirs)


def main():
    cli, files = sys.argv[1], sys.argv[2:]
    bad = 0
    events = 0
    for path in files:
        try:
            result = check(cli, path)
        except Exception as e:   # a reader failing is a finding, not a crash of the check
            result = "%s: %s" % (type(e).__name__, e)
        if isinstance(result, str):
            bad += 1
            print("DIFF %s: %s" % (path, result))
        else:
            events += result
            print("same %s" % path)
    print("%d files, %d differ, %d events compared" % (len(files), bad, events))
    return 1 if bad or not files else 0


if __name__ == "__main__":
    sys.exit(main())

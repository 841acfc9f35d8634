#!/usr/bin/env bash
# Packs real banks into the compressed format and back: the unpacked SoundFont must hold
# bit-identical sample data and the same sample records, `info` must list the same presets for
# all three files, and FluidSynth must load the unpacked file.
set -euo pipefail
cd "$(dirname "$0")/../.."
CLI=build/bin/cantorix-cli
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# Sample records (name, relative loop, rate, pitch, correction, link, type) and the points of
# every sample, from a SoundFont 2 file.
samples() {
  python3 - "$1" <<'PY'
import hashlib, struct, sys
d = open(sys.argv[1], 'rb').read()
found = {}
def walk(a, b):
    while a + 8 <= b:
        cid = d[a:a + 4]; size = struct.unpack('<I', d[a + 4:a + 8])[0]
        if cid == b'LIST': walk(a + 12, a + 8 + size)
        elif cid in (b'smpl', b'shdr'): found[cid] = (a + 8, size)
        a += 8 + size + (size & 1)
walk(12, len(d))
s0 = found[b'smpl'][0]; h0, hs = found[b'shdr']
for i in range(hs // 46):
    r = d[h0 + 46 * i:h0 + 46 * i + 46]
    start, end, ls, le, rate = struct.unpack('<5I', r[20:40])
    pts = d[s0 + 2 * start:s0 + 2 * end]
    print(r[:20].rstrip(b'\0').decode('latin-1'), end - start, ls - start, le - start, rate, r[40:46].hex(),
          hashlib.sha1(pts).hexdigest())
PY
}

roundtrip() {   # roundtrip NAME SF2 [CSF]: CSF is packed from SF2 unless given
  local name=$1 sf2=$2 csf=${3:-$WORK/$1.csf}
  [ -n "${3:-}" ] || "$CLI" pack "$sf2" "$csf"
  "$CLI" unpack "$csf" "$WORK/$name.sf2"
  cmp <(samples "$sf2") <(samples "$WORK/$name.sf2") || { echo "$name: samples differ"; return 1; }
  "$CLI" info "$sf2" > "$WORK/$name.info.sf2"
  "$CLI" info "$csf" > "$WORK/$name.info.csf"
  "$CLI" info "$WORK/$name.sf2" > "$WORK/$name.info.back"
  cmp "$WORK/$name.info.sf2" "$WORK/$name.info.csf" || { echo "$name: info of the .csf differs"; return 1; }
  cmp "$WORK/$name.info.sf2" "$WORK/$name.info.back" || { echo "$name: info of the unpacked file differs"; return 1; }
  if command -v fluidsynth > /dev/null; then
    local out
    out=$(echo quit | fluidsynth -ni -a file -o audio.file.name="$WORK/fs.raw" "$WORK/$name.sf2" 2>&1 || true)
    if grep -qiE "error|failed|not a soundfont" <<< "$out"; then echo "$name: FluidSynth: $out"; return 1; fi
  fi
  echo "$name: $(grep -c ':' "$WORK/$name.info.sf2") lines of info, samples identical, FluidSynth loads it"
}

roundtrip timgm /usr/share/sounds/sf2/TimGM6mb.sf2
if [ -f build/bin/VUZADada.csf ] && [ -f /usr/share/sounds/sf2/FluidR3_GM.sf2 ]; then
  roundtrip fluidr3 /usr/share/sounds/sf2/FluidR3_GM.sf2 build/bin/VUZADada.csf
fi

# An SF3 bank: its Ogg Vorbis samples are decoded into the .csf, and the SF3, the .csf and the
# SoundFont 2 unpacked from it list the same presets and convert to the same WAVE file.
SF3=/usr/share/sounds/sf3/FluidR3Mono_GM.sf3
if [ -f "$SF3" ]; then
  "$CLI" pack "$SF3" "$WORK/mono.csf"
  "$CLI" unpack "$WORK/mono.csf" "$WORK/mono.sf2"
  for b in "$SF3" "$WORK/mono.csf" "$WORK/mono.sf2"; do
    "$CLI" info "$b" > "$WORK/info.$(basename "$b")"
    cmp "$WORK/info.$(basename "$SF3")" "$WORK/info.$(basename "$b")" || { echo "sf3: info of $b differs"; exit 1; }
    "$CLI" convert --quiet --bank "$b" -o "$WORK/$(basename "$b").wav" examples/greensleeves.kar
    cmp "$WORK/$(basename "$SF3").wav" "$WORK/$(basename "$b").wav" || { echo "sf3: $b converts differently"; exit 1; }
  done
  echo "sf3: $(grep -c ':' "$WORK/info.$(basename "$SF3")") lines of info, the .csf and the unpacked file convert identically"
fi

# A damaged bank is refused with the reader's message and exit code 1.
head -c 3000 /usr/share/sounds/sf2/TimGM6mb.sf2 > "$WORK/cut.sf2"
if "$CLI" info "$WORK/cut.sf2" 2> "$WORK/err"; then echo "a cut bank was accepted"; exit 1; fi
grep -q "Invalid Sound Font file format" "$WORK/err"

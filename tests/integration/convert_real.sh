#!/usr/bin/env bash
# Converts real MIDI files that a Debian package installs (openttd-openmsx) with the small real
# bank TimGM6mb.sf2 through cantorix-cli convert, and checks every output: a canonical 16-bit
# stereo 44100 Hz WAVE file whose sizes agree with its length, with sound in it, and as long as
# the music (the media length that cantorix-cli info reports) plus at most the last block's
# rounding, the release tail and the effect tails.
set -uo pipefail
cd "$(dirname "$0")/../.."
CLI=build/bin/cantorix-cli
BANK=/usr/share/sounds/sf2/TimGM6mb.sf2
[ -x "$CLI" ] || { echo "convert_real: $CLI is not built"; exit 1; }
[ -f "$BANK" ] || { echo "convert_real: $BANK is missing; is timgm6mb-soundfont installed?"; exit 1; }

mapfile -t files < <(dpkg -L openttd-openmsx 2>/dev/null | grep -iE '\.mid$' | sort | head -n 5)
if [ ${#files[@]} -lt 3 ]; then
  echo "convert_real: only ${#files[@]} MIDI files found; is openttd-openmsx installed?"
  exit 1
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
if ! "$CLI" convert --quiet -j 2 --bank "$BANK" -d "$out" "${files[@]}"; then
  echo "convert_real: cantorix-cli convert failed"
  exit 1
fi

rc=0
for f in "${files[@]}"; do
  name=$(basename "$f")
  wav="$out/${name%.*}.wav"
  # "Media length: MM:SS" of the MIDI file, in seconds.
  media=$("$CLI" info "$f" | sed -n 's/^Media length: \([0-9]*\):\([0-9]*\).*/\1 \2/p' | awk '{print $1 * 60 + $2}')
  if ! /usr/bin/python3 - "$wav" "$media" <<'PY'
import struct, sys, os
path, media = sys.argv[1], float(sys.argv[2])
b = open(path, 'rb').read()
def fail(msg):
    print(f"convert_real: {os.path.basename(path)}: {msg}")
    sys.exit(1)
if len(b) < 44 or b[0:4] != b'RIFF' or b[8:16] != b'WAVEfmt ' or b[36:40] != b'data':
    fail("not a canonical WAVE file")
riff, fmtlen, tag, ch, rate, bps, align, bits, data = struct.unpack('<I4x4xIHHIIHH4xI', b[4:44])
if (tag, ch, rate, bps, align, bits, fmtlen) != (1, 2, 44100, 176400, 4, 16, 16):
    fail(f"format {tag} {ch} {rate} {bps} {align} {bits}")
if riff != len(b) - 8 or data != len(b) - 44:
    fail(f"sizes {riff}/{data} for a file of {len(b)} bytes")
n = data // 2
samples = struct.unpack(f'<{n}h', b[44:44 + 2 * n])
peak = max(abs(s) for s in samples)
seconds = data / 4 / 44100
# Normalized output reaches full scale; a silent file would have failed the conversion.
if peak < 30000:
    fail(f"peak {peak}")
# Whole seconds of media length; blocks of 5 s, a tail of release passes, then 1 s of delay and
# the reverberator's tail.
if not (media - 1 <= seconds <= media + 5 + 12 + 2):
    fail(f"{seconds:.1f} s of audio for {media:.0f} s of music")
print(f"convert_real: {os.path.basename(path)}: {seconds:.1f} s for {media:.0f} s of music, peak {peak}")
PY
  then
    rc=1
  fi
done
exit $rc

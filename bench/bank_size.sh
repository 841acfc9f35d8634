#!/usr/bin/env bash
# Size table of the compressed bank format: for each SoundFont, the raw sample data ("smpl"
# chunk), the .csf written by `cantorix-cli pack`, and `flac -8` on the same raw samples
# (16-bit mono little-endian), with the ratio .csf / flac. Also times the packing.
#   bench/bank_size.sh [SF2...]   default: TimGM6mb.sf2 and FluidR3_GM.sf2
set -euo pipefail
cd "$(dirname "$0")/.."
CLI=build/bin/cantorix-cli
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
[ $# -gt 0 ] || set -- /usr/share/sounds/sf2/TimGM6mb.sf2 /usr/share/sounds/sf2/FluidR3_GM.sf2

printf '%-16s %12s %12s %12s %8s %8s %8s\n' bank "smpl bytes" "csf bytes" "flac -8" "csf/smpl" "csf/flac" "pack s"
for sf2 in "$@"; do
  [ -f "$sf2" ] || continue
  name=$(basename "$sf2" .sf2)
  python3 - "$sf2" "$WORK/$name.raw" <<'PY'
import struct, sys
d = open(sys.argv[1], 'rb').read()
def walk(a, b):
    while a + 8 <= b:
        cid = d[a:a + 4]; size = struct.unpack('<I', d[a + 4:a + 8])[0]
        if cid == b'LIST': walk(a + 12, a + 8 + size)
        elif cid == b'smpl': open(sys.argv[2], 'wb').write(d[a + 8:a + 8 + size]); return
        a += 8 + size + (size & 1)
walk(12, len(d))
PY
  start=$(date +%s.%N)
  "$CLI" pack "$sf2" "$WORK/$name.csf"
  secs=$(python3 -c "print($(date +%s.%N) - $start)")
  flac -8 -s -f --force-raw-format --endian=little --sign=signed --channels=1 --bps=16 \
       --sample-rate=44100 -o "$WORK/$name.flac" "$WORK/$name.raw"
  raw=$(stat -c %s "$WORK/$name.raw"); csf=$(stat -c %s "$WORK/$name.csf"); fl=$(stat -c %s "$WORK/$name.flac")
  printf '%-16s %12d %12d %12d %8.3f %8.3f %8.1f\n' "$name" "$raw" "$csf" "$fl" \
         "$(python3 -c "print($csf / $raw)")" "$(python3 -c "print($csf / $fl)")" "$secs"
done

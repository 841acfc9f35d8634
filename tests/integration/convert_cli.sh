#!/usr/bin/env bash
# cantorix-cli convert as a user meets it: refused command lines exit 2 with a message, a missing
# input exits 1 naming the file and the system's reason, and the default bank and working folder are those of
# the program folder (signals and failed writes: nothing_lost.sh).
set -uo pipefail
cd "$(dirname "$0")/../.."
CLI=$(realpath build/bin/cantorix-cli)
BANK=/usr/share/sounds/sf2/TimGM6mb.sf2
MID=$(dpkg -L openttd-openmsx 2>/dev/null | grep -iE '\.mid$' | sort | head -n 1)
[ -x "$CLI" ] || { echo "convert_cli: $CLI is not built"; exit 1; }
[ -n "$MID" ] && [ -f "$BANK" ] || { echo "convert_cli: openttd-openmsx or timgm6mb-soundfont missing"; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
rc=0
check() {   # check NAME EXPECTED-EXIT EXPECTED-STDERR-PART COMMAND...
  local name=$1 want=$2 text=$3; shift 3
  "$@" > "$out/stdout" 2> "$out/stderr"
  local got=$?
  if [ "$got" != "$want" ] || ! grep -qF -- "$text" "$out/stderr"; then
    echo "convert_cli: $name: exit $got (want $want), stderr:"; cat "$out/stderr"; rc=1
  else
    echo "convert_cli: $name: ok"
  fi
}
check "effect out of range" 2 "delay-amount takes a value 0 .. 1, not '2'" "$CLI" convert --set delay-amount=2 "$MID"
check "unknown effect" 2 "unknown effect parameter 'loudness'" "$CLI" convert --set loudness=1 "$MID"
check "channel out of range" 2 "a MIDI channel must be a whole number from 1 to 16, not '0'" "$CLI" convert --mute 0 "$MID"
check "-o with two inputs" 2 "-o takes exactly one input" "$CLI" convert "$MID" "$MID" -o "$out/x.wav"
check "same output twice" 2 "two inputs would both write" "$CLI" convert -d "$out" "$MID" "$MID"
check "missing input" 1 "none.mid: No such file or directory" \
  "$CLI" convert --bank "$BANK" -d "$out" "$out/none.mid"
check "missing bank" 1 "Couldn't find sound bank: The required sound bank does not exist." \
  "$CLI" convert --bank "$out/none.sf2" -d "$out" "$MID"
# TimGM6mb with its first sample's type set to 0x20, a compression the reader does not know.
python3 - "$BANK" "$out/unknown.sf2" <<'PY'
import sys
d = bytearray(open(sys.argv[1], 'rb').read())
d[d.find(b'shdr') + 8 + 44] = 0x20
open(sys.argv[2], 'wb').write(d)
PY
check "unknown sample type" 1 "unknown.sf2: unknown sample type 0x20 in sample 'FluteG6'" \
  "$CLI" convert --bank "$out/unknown.sf2" -o "$out/unknown.wav" "$MID"
[ ! -e "$out/unknown.wav" ] || { echo "convert_cli: a refused bank still wrote a WAVE file"; rc=1; }

# Defaults: the bank beside the program and the working folder of the settings (a fresh program
# folder, so no Cantorix.ini of an earlier run takes part).
prog="$out/prog"
mkdir -p "$prog"
cp "$CLI" "$prog/"
if [ -f build/bin/VUZADada.csf ]; then
  ln -s "$(realpath build/bin/VUZADada.csf)" "$prog/VUZADada.csf"
  if "$prog/cantorix-cli" convert --quiet examples/greensleeves.kar && [ -s "$prog/WorkDir/greensleeves.wav" ]; then
    echo "convert_cli: defaults: ok"
  else
    echo "convert_cli: defaults: no $prog/WorkDir/greensleeves.wav"; rc=1
  fi
fi
exit $rc

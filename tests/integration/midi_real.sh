#!/usr/bin/env bash
# Reads the real MIDI files that Debian packages install (openttd-openmsx, mma's examples) and
# the repository's example karaoke file with cantorix-cli, and compares every event with an
# independent parser (python3-mido). The files are used where the packages put them.
set -uo pipefail
cd "$(dirname "$0")/../.."
CLI=build/bin/cantorix-cli
[ -x "$CLI" ] || { echo "midi_real: $CLI is not built"; exit 1; }

files=()
for pkg in openttd-openmsx mma; do
  while IFS= read -r f; do
    [ -f "$f" ] && files+=("$f")
  done < <(dpkg -L "$pkg" 2>/dev/null | grep -iE '\.(mid|midi|kar)$' | sort)
done
files+=(examples/greensleeves.kar)
if [ ${#files[@]} -lt 10 ]; then
  echo "midi_real: only ${#files[@]} MIDI files found; are openttd-openmsx and mma installed?"
  exit 1
fi
# The system interpreter: python3-mido is a Debian package.
/usr/bin/python3 tests/integration/midi_compare.py "$CLI" "${files[@]}"

#!/usr/bin/env bash
# The desktop program on a real X server (Xvfb), driven with xdotool as a person would:
# - "cantorix greensleeves.kar" makes the song the current MIDI file: the main window shows a
#   title where it showed "(None)", and the Properties dialog names the file;
# - a tool's Help button opens the help viewer (a window titled after the page),
#   and following a link from the keyboard shows the linked page;
# - after File/Open of another song, Convert asks before replacing the first song's WAVE file,
#   and Cancel leaves that file byte for byte.
# SHOTS=folder keeps screenshots of the MP3 converter and of the replace question there.
set -euo pipefail
cd "$(dirname "$0")/../.."
SRC=$(pwd)
BIN=build/bin
[ -x "$BIN/cantorix" ] || { echo "gui_x11: $BIN/cantorix is not built; skipped"; exit 0; }
for t in Xvfb xdotool import xclip compare; do
  command -v "$t" > /dev/null || { echo "gui_x11: $t missing (scripts/deps installs it); skipped"; exit 0; }
done

WORK=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2> /dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "gui_x11: $*"; exit 1; }

# A program folder of its own (a copy of the program, links to its files), so that the INI
# file and the working folder of this run stay out of build/bin.
PROG=$WORK/prog
mkdir -p "$PROG"
cp "$BIN/cantorix" "$PROG/"
for f in VUZADada.csf MP3Codec.exe Hlpmain.htm Tutorial.htm Hlpmidic.htm Hlplayer.htm Hlprecor.htm Hlpaumix.htm Hlpmp3cv.htm; do
  [ -e "$BIN/$f" ] && ln -s "$(readlink -f "$BIN/$f")" "$PROG/$f"
done

. "$SRC/tests/integration/lib/xvfb.sh"
startxvfb

# Focuses window $1 and types the keys that follow.
keys() {
  local w=$1; shift
  xdotool windowactivate --sync "$w" 2> /dev/null || xdotool windowfocus --sync "$w"
  sleep 0.3
  xdotool key --clearmodifiers "$@"
  sleep 0.5
}
start() {
  (cd "$WORK" && exec "$PROG/cantorix" "$@") >> "$WORK/log" 2>&1 &
  pids+=($!)
  echo $!
}
MAINNAME='^Cantorix-Midi/Karaoke to Wave converter$'
# A start whose main window did not come ($1 names it): the windows found and the program's log.
nomain() { fail "no main window $1; windows: $(windows); log: $(cat "$WORK/log")"; }

# --- The song named on the command line.
p=$(start)
main=$(waitwin "$MAINNAME") || nomain "on the first start"
sleep 0.5
import -window "$main" "$WORK/empty.png"
kill "$p"; wait "$p" 2> /dev/null || true

SONG=$SRC/examples/greensleeves.kar
p=$(start "$SONG")
main=$(waitwin "$MAINNAME") || nomain "for a file"
sleep 0.5
import -window "$main" "$WORK/song.png"
diff=$(compare -metric AE "$WORK/empty.png" "$WORK/song.png" null: 2>&1 || true)
[ "${diff%% *}" != "0" ] || fail "the main window looks the same with and without a file"
# File/Properties names the current MIDI file in its first field; copied to the clipboard.
keys "$main" alt+f p
props=$(waitwin '^Cantorix - File Properties$') || fail "no Properties dialog"
keys "$props" ctrl+a ctrl+c
got=$(xclip -o -selection clipboard 2> /dev/null || true)
[ "$got" = "$SONG" ] || fail "Properties names '$got', not $SONG"
keys "$props" Escape

# --- Help from a tool's Help button (the MP3 converter's: Alt+H is its only H), and a link.
keys "$main" ctrl+c
mp3=$(waitwin '^Cantorix - MP3 converter$') || fail "no MP3 converter"
keys "$mp3" alt+h
sleep 1
# The help page carries the tool's name too; the viewer is the other window of that name.
view=$(xdotool search --onlyvisible --name '^Cantorix - MP3 converter$' | grep -vx "$mp3" | tail -n 1 || true)
[ -n "$view" ] || fail "the Help button opened no viewer"
[ -n "${SHOTS:-}" ] && import -window "$view" "$SHOTS/help_viewer.png"
keys "$view" Tab Return
waitwin '^Cantorix help$' > /dev/null || fail "the link to the main page was not followed"
keys "$view" Escape
keys "$mp3" Escape
kill "$p"; wait "$p" 2> /dev/null || true

# --- The replace question. The first song's WAVE file is derived when the converter opens.
printf 'RIFF-not-made-from-the-second-song' > "$WORK/keep"
p=$(start "$SONG")
main=$(waitwin "$MAINNAME") || nomain "on the third start"
keys "$main" ctrl+m
conv=$(waitwin '^Cantorix - MIDI converter$') || fail "no MIDI converter"
keys "$conv" Escape
WAV=$PROG/WorkDir/greensleeves.wav
cp "$WORK/keep" "$WAV"
# File/Open of a second song, typed into the file dialog.
SECOND=$WORK/second.mid
python3 - "$SECOND" << 'PY'
import sys
ev = bytes([0, 0xC0, 0, 0, 0x90, 60, 100, 0x60, 0x80, 60, 0, 0, 0xFF, 0x2F, 0])
open(sys.argv[1], "wb").write(b"MThd\0\0\0\6\0\0\0\1\0\x60MTrk" + len(ev).to_bytes(4, "big") + ev)
PY
keys "$main" ctrl+o
open=$(waitwin '^Open$') || fail "no Open dialog"
sleep 0.5
xdotool type --delay 20 "$SECOND"
keys "$open" Return
sleep 1
keys "$main" ctrl+m
conv=$(waitwin '^Cantorix - MIDI converter$') || fail "no MIDI converter after the second song"
keys "$conv" alt+c
ask=$(waitwin '^Replace WAVE file$') || fail "Convert did not ask before replacing $WAV"
if [ -n "${SHOTS:-}" ]; then mkdir -p "$SHOTS"; import -window "$ask" "$SHOTS/replace_question.png"; fi
keys "$ask" Escape
sleep 1
cmp -s "$WORK/keep" "$WAV" || fail "Cancel changed $WAV"
xdotool search --onlyvisible --name '^Replace WAVE file$' > /dev/null 2>&1 && fail "the question stayed open"
keys "$conv" Escape

# --- The MP3 converter, for the record.
if [ -n "${SHOTS:-}" ]; then
  keys "$main" ctrl+c
  mp3=$(waitwin '^Cantorix - MP3 converter$') || fail "no MP3 converter"
  sleep 0.5
  import -window "$mp3" "$SHOTS/mp3_converter.png"
  keys "$mp3" Escape
fi
kill "$p"; wait "$p" 2> /dev/null || true
echo "gui_x11: passed"

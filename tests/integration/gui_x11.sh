#!/usr/bin/env bash
# The desktop program on a real X server (Xvfb), driven with xdotool as a person would:
# - "cantorix greensleeves.kar" makes the song the current MIDI file: the main window shows a
#   title where it showed "(None)", and the Properties dialog names the file;
# - a tool's Help button opens the help viewer (a window titled after the page),
#   and following a link from the keyboard shows the linked page;
# - after File/Open of another song, Convert asks before replacing the first song's WAVE file,
#   and Cancel leaves that file byte for byte;
# - with a window manager (openbox): after the converter's Browse picks ballad.mid, Convert asks
#   before replacing an older ballad.wav, in a modal box over the converter; Cancel leaves the
#   file byte for byte, and once Replace has converted it the next Convert does not ask;
# - the recorder's Start asks the same way before replacing a take1.wav of an earlier session
#   (recording ALSA's file plugin); takes recorded one after another are not asked about.
# SHOTS=folder keeps screenshots of the MP3 converter and of the replace questions there.
set -euo pipefail
cd "$(dirname "$0")/../.."
SRC=$(pwd)
BIN=build/bin
[ -x "$BIN/cantorix" ] || { echo "gui_x11: $BIN/cantorix is not built; skipped"; exit 0; }
for t in Xvfb xdotool import xclip compare openbox xprop; do
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
# A window manager, so that stacking, focus and placement are what a desktop gives.
openbox > "$WORK/openbox.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2> /dev/null | grep -q 'window id' && break; sleep 0.1; done
xprop -root _NET_SUPPORTING_WM_CHECK 2> /dev/null | grep -q 'window id' || fail "openbox did not start: $(cat "$WORK/openbox.log")"
# The recorder records ALSA's file plugin and plays to /dev/null. The plugin reads its input as
# fast as it comes, so the input is a pipe fed with silence at the pace of a sound card (a tenth
# of a second every tenth of a second), opened again for every stream.
export ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:$SRC/tests/platform/alsa-file.conf
export CANTORIX_RECFILE=$WORK/input.fifo
mkfifo "$CANTORIX_RECFILE"
python3 - "$CANTORIX_RECFILE" << 'PY' > /dev/null 2>&1 &
import sys, time
block = bytes(17640)
while True:
    try:
        with open(sys.argv[1], "wb", buffering=0) as f:
            while True:
                f.write(block)
                time.sleep(0.1)
    except BrokenPipeError:
        pass
PY
pids+=($!)

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

# "x y w h" of window $1 on the screen.
geom() {
  local X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  echo "$X $Y $WIDTH $HEIGHT"
}
# Position of window $1 in the window manager's stacking order (bottom first); -1 if not there.
stackpos() {
  local ids i=0 id want
  want=$(printf '0x%x' "$1")
  ids=$(xprop -root _NET_CLIENT_LIST_STACKING | sed 's/.*# //; s/,//g')
  for id in $ids; do
    [ "$((id))" = "$((want))" ] && { echo "$i"; return; }
    i=$((i + 1))
  done
  echo -1
}
# True when the window manager stacks window $2 above window $1.
above() {
  local lo hi
  lo=$(stackpos "$1") hi=$(stackpos "$2")
  ((lo >= 0 && hi > lo))
}
# Fails unless window $2 is a modal box of window $1 ($3 names the case): transient for it,
# marked modal, stacked above it and centred over it, and a click on the dialog's Close button
# neither closes the dialog nor brings it over the box.
modalover() {
  local owner=$1 box=$2 what=$3 ox oy ow oh bx by bw bh cx cy
  xprop -id "$box" WM_TRANSIENT_FOR | grep -qi "# $(printf '0x%x' "$owner")\$" ||
    fail "$what: the question is not transient for its dialog ($(xprop -id "$box" WM_TRANSIENT_FOR))"
  xprop -id "$box" _NET_WM_STATE | grep -q _NET_WM_STATE_MODAL ||
    fail "$what: the question is not modal ($(xprop -id "$box" _NET_WM_STATE))"
  read -r ox oy ow oh <<< "$(geom "$owner")"
  read -r bx by bw bh <<< "$(geom "$box")"
  cx=$((bx + bw / 2)) cy=$((by + bh / 2))
  ((cx > ox && cx < ox + ow && cy > oy && cy < oy + oh)) ||
    fail "$what: the question ($bw x $bh at $bx,$by) is not over its dialog ($ow x $oh at $ox,$oy)"
  above "$owner" "$box" || fail "$what: the question is not stacked above its dialog"
  xdotool mousemove $((ox + ow - 30)) $((oy + oh - 15)) click 1
  sleep 1
  xdotool search --onlyvisible --name '^Replace WAVE file$' | grep -qx "$box" || fail "$what: a click on the dialog closed the question"
  xdotool getwindowname "$owner" > /dev/null 2>&1 && xdotool search --onlyvisible --name . | grep -qx "$owner" ||
    fail "$what: a click on the dialog's Close button reached it"
  above "$owner" "$box" || fail "$what: a click brought the dialog over the question"
}
# Fails when a "Replace WAVE file" box shows up within 3 s ($1 names the case).
noquestion() {
  for _ in $(seq 30); do
    xdotool search --onlyvisible --name '^Replace WAVE file$' > /dev/null 2>&1 && fail "$1: asked"
    sleep 0.1
  done
}
# Waits until file $1 is a finished WAVE file whose inode is not $2.
newwave() {
  for _ in $(seq 300); do
    if [ -f "$1" ] && [ "$(stat -c %i "$1")" != "$2" ] && [ "$(head -c 4 "$1")" = RIFF ] &&
      [ "$(stat -c %s "$1")" -gt 44 ]; then return 0; fi
    sleep 0.1
  done
  return 1
}

# --- The name the converter proposes after its own Browse: an older ballad.wav of another song.
BALLAD=$WORK/ballad.mid
cp "$SECOND" "$BALLAD"
OLD=$PROG/WorkDir/ballad.wav
cp "$WORK/keep" "$OLD"
keys "$main" ctrl+m
conv=$(waitwin '^Cantorix - MIDI converter$') || fail "no MIDI converter for the ballad"
keys "$conv" alt+b
open=$(waitwin '^Open$') || fail "no Open dialog in the converter"
sleep 0.5
xdotool type --delay 20 "$BALLAD"
keys "$open" Return
sleep 1
keys "$conv" alt+c
ask=$(waitwin '^Replace WAVE file$') || fail "Convert did not ask before replacing $OLD"
sleep 0.5
[ -n "${SHOTS:-}" ] && import -window root "$SHOTS/replace_converter_screen.png"
modalover "$conv" "$ask" "the converter's question"
keys "$ask" Escape
sleep 1
cmp -s "$WORK/keep" "$OLD" || fail "Cancel changed $OLD"
xdotool search --onlyvisible --name '^Replace WAVE file$' > /dev/null 2>&1 && fail "the converter's question stayed open"
# Replace converts; the file this converter has just written is replaced without a question.
keys "$conv" alt+c
ask=$(waitwin '^Replace WAVE file$') || fail "the second Convert did not ask"
keys "$ask" alt+r
newwave "$OLD" none || fail "Replace did not convert into $OLD"
sleep 2
ino=$(stat -c %i "$OLD")
keys "$conv" alt+c
noquestion "Convert over the converter's own ballad.wav"
newwave "$OLD" "$ino" || fail "the third Convert did not write $OLD again"
sleep 1
keys "$conv" Escape
gone '^Cantorix - MIDI converter$' || fail "the converter did not close"

# --- The recorder: a take1.wav of an earlier session, then takes of this sitting.
TAKE=$PROG/WorkDir/take1.wav
cp "$WORK/keep" "$TAKE"
keys "$main" ctrl+r
rec=$(waitwin '^Cantorix - Recorder$') || fail "no recorder"
keys "$rec" alt+n
keys "$rec" alt+s
ask=$(waitwin '^Replace WAVE file$') || fail "Start did not ask before replacing $TAKE"
sleep 0.5
[ -n "${SHOTS:-}" ] && import -window root "$SHOTS/replace_recorder_screen.png"
modalover "$rec" "$ask" "the recorder's question"
keys "$ask" Escape
sleep 1
cmp -s "$WORK/keep" "$TAKE" || fail "Cancel changed $TAKE"
keys "$rec" alt+s
ask=$(waitwin '^Replace WAVE file$') || fail "the second Start did not ask"
keys "$ask" alt+r
keys "$rec" alt+p
newwave "$TAKE" none || fail "Replace did not record into $TAKE"
first=$(stat -c %s "$TAKE")
keys "$rec" alt+s
noquestion "Start over the recorder's own take"
sleep 1
keys "$rec" alt+p
sleep 0.5
[ "$(head -c 4 "$TAKE")" = RIFF ] || fail "the second take is not a WAVE file"
echo "gui_x11: takes of $first and $(stat -c %s "$TAKE") bytes"
keys "$rec" Escape
gone '^Cantorix - Recorder$' || fail "the recorder did not close"

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

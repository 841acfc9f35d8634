#!/usr/bin/env bash
# The karaoke lyrics window on a real X server (Xvfb), beside the modal file player, driven with
# xdotool as a person would. The player sends the MIDI of greensleeves.kar to a JACK server with
# the dummy backend, where jack_midi_dump takes it; the player's scheduler keeps time.
# - Play with lyrics Normal: the framed lyrics window opens beside the player, not over it, and
#   has the keyboard; a key in it stops playing and closes it while the player stays open;
# - Pause and Play again: the new lyrics window still leaves the player's controls free;
# - Full-screen: a click closes it;
# - the recorder's lyrics window, recording from ALSA's file plugin, takes the keyboard as well;
# - the window's own tests (gui_tests Clyrics.*) on this server: a line that scrolled looks on
#   screen exactly like a fresh window driven to the same syllable.
# SHOTS=folder keeps the screenshots there.
set -euo pipefail
cd "$(dirname "$0")/../.."
SRC=$(pwd)
BIN=build/bin
[ -x "$BIN/cantorix" ] || { echo "gui_lyrics: $BIN/cantorix is not built; skipped"; exit 0; }
for t in Xvfb xdotool import jackd jack_midi_dump jack_lsp; do
  command -v "$t" > /dev/null || { echo "gui_lyrics: $t missing (scripts/deps installs it); skipped"; exit 0; }
done

WORK=$(mktemp -d)
SHOTS=${SHOTS:-$WORK/shots}
mkdir -p "$SHOTS"
pids=()
# Stops what the run started, newest first, each one gone before the next is told: a JACK server
# stopped while its clients are still leaving can take two minutes to exit. What has not ended
# 5 s after SIGTERM is killed.
cleanup() {
  local i p
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    p=${pids[i]}
    kill "$p" 2> /dev/null || continue
    for _ in $(seq 50); do kill -0 "$p" 2> /dev/null || break; sleep 0.1; done
    kill -KILL "$p" 2> /dev/null || true
    wait "$p" 2> /dev/null || true
  done
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "gui_lyrics: $*"; echo "--- program log"; cat "$WORK/log" 2> /dev/null || true; exit 1; }

PROG=$WORK/prog
mkdir -p "$PROG"
cp "$BIN/cantorix" "$PROG/"
for f in VUZADada.csf Hlplayer.htm; do
  [ -e "$BIN/$f" ] && ln -s "$(readlink -f "$BIN/$f")" "$PROG/$f"
done

# A JACK server of this run's own, and a MIDI input on it: the default MIDI output's first port.
export JACK_DEFAULT_SERVER=cantorix-lyrics-$$ JACK_NO_AUDIO_RESERVATION=1
jackd -n "$JACK_DEFAULT_SERVER" -r -t 10000 -d dummy -r 44100 -p 256 > "$WORK/jackd.log" 2>&1 &
pids+=($!)
for _ in $(seq 150); do jack_lsp > /dev/null 2>&1 && break; sleep 0.1; done
jack_lsp > /dev/null 2>&1 || fail "jackd did not start: $(cat "$WORK/jackd.log")"
jack_midi_dump lyricsink > "$WORK/midi.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do jack_lsp 2> /dev/null | grep -q '^lyricsink:' && break; sleep 0.1; done
jack_lsp 2> /dev/null | grep -q '^lyricsink:' || fail "no JACK MIDI input"
# Wave output, should the player need it, goes to ALSA's file plugin.
export ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:$SRC/tests/platform/alsa-file.conf

. "$SRC/tests/integration/lib/xvfb.sh"
startxvfb

# Waits until no visible window's name matches $1.
gone() {
  for _ in $(seq 100); do
    xdotool search --onlyvisible --name "$1" > /dev/null 2>&1 || return 0
    sleep 0.1
  done
  return 1
}
keys() {
  local w=$1; shift
  xdotool windowactivate --sync "$w" 2> /dev/null || xdotool windowfocus --sync "$w"
  sleep 0.3
  xdotool key --clearmodifiers "$@"
  sleep 0.5
}
# "x y w h" of window $1 on the screen.
geom() {
  local X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  echo "$X $Y $WIDTH $HEIGHT"
}
# Fails when the windows $1 and $2 overlap on the screen.
apart() {
  read -r ax ay aw ah <<< "$(geom "$1")"
  read -r bx by bw bh <<< "$(geom "$2")"
  if ((ax < bx + bw && bx < ax + aw && ay < by + bh && by < ay + ah)); then
    fail "$3: the lyrics window ($aw x $ah at $ax,$ay) covers the player ($bw x $bh at $bx,$by)"
  fi
}
# The window that has the keyboard focus is $1 or inside it.
focused() {
  local f
  f=$(xdotool getwindowfocus 2> /dev/null || true)
  [ "$f" = "$1" ] && return 0
  xdotool search --onlyvisible --name "$2" 2> /dev/null | grep -qx "$f"
}

(cd "$WORK" && exec "$PROG/cantorix" "$SRC/examples/greensleeves.kar") >> "$WORK/log" 2>&1 &
pids+=($!)
main=$(waitwin '^Cantorix-Midi/Karaoke to Wave converter$') || fail "no main window"
keys "$main" ctrl+p
player=$(waitwin '^Cantorix - File player$') || fail "no file player"
LYR='^Cantorix - Lyrics for greensleeves.kar$'

# --- Normal: beside the player, with the keyboard; a key closes it and stops playing.
keys "$player" alt+p
lyr=$(waitwin "$LYR") || fail "Play opened no lyrics window"
sleep 3
import -window root "$SHOTS/normal_screen.png"
import -window "$lyr" "$SHOTS/normal.png"
apart "$lyr" "$player" "Play"
focused "$lyr" "$LYR" || fail "the lyrics window does not have the keyboard"
xdotool key --clearmodifiers a
gone "$LYR" || fail "a key in the lyrics window did not close it while the player is modal"
waitwin '^Cantorix - File player$' > /dev/null || fail "the player closed with the lyrics window"
sleep 0.3
focused "$player" '^Cantorix - File player$' || fail "the keyboard did not go back to the player"
import -window "$player" "$SHOTS/player_stopped.png"

# --- Pause, then Play again: the new window keeps off the player's controls too.
keys "$player" alt+p
lyr=$(waitwin "$LYR") || fail "Play opened no lyrics window the second time"
sleep 1
keys "$player" alt+u
gone "$LYR" || fail "Pause left the lyrics window open"
keys "$player" alt+p
lyr=$(waitwin "$LYR") || fail "resuming opened no lyrics window"
sleep 1
import -window root "$SHOTS/resumed_screen.png"
apart "$lyr" "$player" "resume"
keys "$lyr" Escape
gone "$LYR" || fail "Escape in the lyrics window did not close it"

# --- Full-screen: a click closes it.
keys "$player" alt+f
keys "$player" alt+p
full=$(waitwin '^Cantorix - Lyrics$') || fail "Play opened no full-screen lyrics window"
sleep 2
import -window root "$SHOTS/fullscreen.png"
read -r fx fy fw fh <<< "$(geom "$full")"
[ "$fw x $fh" = "1280 x 1024" ] || fail "the full-screen window is $fw x $fh"
xdotool mousemove 640 400 click 1
gone '^Cantorix - Lyrics$' || fail "a click did not close the full-screen lyrics window"
waitwin '^Cantorix - File player$' > /dev/null || fail "the player closed with the lyrics window"
keys "$player" Escape
gone '^Cantorix - File player$' || fail "the player did not close"

# --- The recorder (recording ALSA's file plugin, playing the song): the same window and keys.
keys "$main" ctrl+r
rec=$(waitwin '^Cantorix - Recorder$') || fail "no recorder"
keys "$rec" alt+s
lyr=$(waitwin "$LYR") || fail "Start opened no lyrics window"
sleep 1
import -window root "$SHOTS/recorder_screen.png"
apart "$lyr" "$rec" "the recorder's Start"
focused "$lyr" "$LYR" || fail "the recorder's lyrics window does not have the keyboard"
xdotool key --clearmodifiers space
gone "$LYR" || fail "a key in the lyrics window did not close it while the recorder is modal"
waitwin '^Cantorix - Recorder$' > /dev/null || fail "the recorder closed with the lyrics window"
keys "$rec" Escape
gone '^Cantorix - Recorder$' || fail "the recorder did not close"

# --- The window's own tests on this X server: scrolling, repainting, close requests.
if [ -x "$BIN/gui_tests" ]; then
  QT_QPA_PLATFORM=xcb "$BIN/gui_tests" --gtest_filter='Clyrics.*' > "$WORK/gtest.log" 2>&1 ||
    { cat "$WORK/gtest.log"; fail "the lyrics window's tests failed on the X server"; }
  cp build/screenshots/lyrics-scrolled.png build/screenshots/lyrics-fresh.png "$SHOTS/" 2> /dev/null || true
fi
echo "gui_lyrics: passed"

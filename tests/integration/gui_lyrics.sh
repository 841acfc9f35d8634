#!/usr/bin/env bash
# The karaoke lyrics window on a real X server (Xvfb) with a window manager (openbox), beside the
# modal file player, driven with xdotool as a person would, on screens of 1280x800 and 1366x768.
# The player sends the MIDI of greensleeves.kar to a JACK server with the dummy backend, where
# jack_midi_dump takes it; the player's scheduler keeps time.
# - Play with lyrics Normal: the framed lyrics window opens beside the player, frames included,
#   and has the keyboard; a key in it stops playing and closes it while the player stays open;
# - Pause inside a line and Play again, and a seek with the slider to inside a line: the new
#   window shows that whole line, the part before the position red. The window writes what it
#   draws to $CANTORIX_LYRICSLOG; lyrics_line.py makes the song's lines from `cantorix-cli dump`
#   and compares, and compares the window's pixels on the X server with the log (red text from
#   the line's left end, white text to its right end);
# - the player moved onto the lyrics window: the window makes room again;
# - Full-screen covers the screen; a click closes it;
# - the recorder's lyrics window, recording from ALSA's file plugin, keeps off the recorder (its
#   Stop button stays free), also when the recorder is moved, and takes the keyboard as well;
# - the window's own tests (gui_tests Clyrics.*) on a plain X server: a line that scrolled looks
#   on screen exactly like a fresh window driven to the same syllable.
# SHOTS=folder keeps the screenshots there.
set -euo pipefail
cd "$(dirname "$0")/../.."
SRC=$(pwd)
BIN=build/bin
[ -x "$BIN/cantorix" ] || { echo "gui_lyrics: $BIN/cantorix is not built; skipped"; exit 0; }
for t in Xvfb openbox xdotool xprop xwininfo import convert python3 jackd jack_midi_dump jack_lsp; do
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
"$BIN/cantorix-cli" dump examples/greensleeves.kar > "$WORK/song.json" || fail "cantorix-cli dump failed"
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

# Stops one process that this run started, as cleanup does.
stop() {
  kill "$1" 2> /dev/null || return 0
  for _ in $(seq 50); do kill -0 "$1" 2> /dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2> /dev/null || true
  wait "$1" 2> /dev/null || true
}
keys() {
  local w=$1; shift
  xdotool windowactivate --sync "$w" 2> /dev/null || xdotool windowfocus --sync "$w"
  sleep 0.3
  xdotool key --clearmodifiers "$@"
  sleep 0.5
}
# "x y w h" of window $1 on the screen, the frame the window manager put around it included.
geom() {
  local x y w h l=0 r=0 t=0 b=0 ext
  read -r x y w h <<< "$(xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
    /^ *Width:/ {w=$NF} /^ *Height:/ {h=$NF} END {print x, y, w, h}')"
  ext=$(xprop -id "$1" _NET_FRAME_EXTENTS 2> /dev/null | sed -n 's/.*= *//p' | tr -d ' ')
  [ -n "$ext" ] && IFS=, read -r l r t b <<< "$ext"
  echo "$((x - l)) $((y - t)) $((w + l + r)) $((h + t + b))"
}
# Fails when the windows $1 and $2 overlap on the screen, frames included, or $1 leaves the screen.
apart() {
  read -r ax ay aw ah <<< "$(geom "$1")"
  read -r bx by bw bh <<< "$(geom "$2")"
  echo "gui_lyrics: $SIZE $3: lyrics $aw x $ah at $ax,$ay; dialog $bw x $bh at $bx,$by"
  if ((ax < bx + bw && bx < ax + aw && ay < by + bh && by < ay + ah)); then
    fail "$SIZE $3: the lyrics window ($aw x $ah at $ax,$ay) covers the dialog ($bw x $bh at $bx,$by);" \
      "the window's log: $(grep '^place' "$LOG" | tail -n 2 | tr '\n' ';')"
  fi
  ((ax >= 0 && ay >= 0 && ax + aw <= SW && ay + ah <= SH)) ||
    fail "$SIZE $3: the lyrics window ($aw x $ah at $ax,$ay) leaves the screen"
}
# The window that has the keyboard focus is $1 or inside it.
focused() {
  local f
  f=$(xdotool getwindowfocus 2> /dev/null || true)
  [ "$f" = "$1" ] && return 0
  xdotool search --onlyvisible --name "$2" 2> /dev/null | grep -qx "$f"
}
# The lyrics window $1, just opened at a position: its first drawing is the whole line that holds
# the position, and its pixels on the X server are what it says it drew. A syllable may come
# between the screenshot and reading the log; then both are taken again.
wholeline() {
  local shot=$SHOTS/$SIZE-$2
  for _ in 1 2 3 4 5; do
    cp "$LOG" "$WORK/log.before"
    import -window "$1" "$shot.png"
    cp "$LOG" "$WORK/log.after"
    cmp -s "$WORK/log.before" "$WORK/log.after" && break
  done
  convert "$shot.png" "$WORK/shot.ppm"
  python3 "$SRC/tests/integration/lyrics_line.py" "$WORK/song.json" "$WORK/log.after" "$WORK/shot.ppm" > "$WORK/check" ||
    fail "$SIZE $2: $(cat "$WORK/check")"
  sed "s/^/gui_lyrics: $SIZE $2: /" "$WORK/check"
}

LYR='^Cantorix - Lyrics for greensleeves.kar$'
PLAYER='^Cantorix - File player$'
REC='^Cantorix - Recorder$'

# One screen: the player's and the recorder's lyrics windows under openbox.
screen() {
  SIZE=$1 SW=${1%x*} SH=${1#*x}
  LOG=$WORK/lyrics-$SIZE.log
  : > "$LOG"
  startxvfb "$SIZE"
  startwm
  (cd "$WORK" && CANTORIX_LYRICSLOG=$LOG exec "$PROG/cantorix" "$SRC/examples/greensleeves.kar") >> "$WORK/log" 2>&1 &
  local prog=$!
  pids+=($prog)
  local main player lyr full rec fx fy fw fh lx ly
  main=$(waitwin '^Cantorix-Midi/Karaoke to Wave converter$') || fail "$SIZE: no main window"
  keys "$main" ctrl+p
  player=$(waitwin "$PLAYER") || fail "$SIZE: no file player"

  # --- Normal: beside the player, with the keyboard; a key closes it and stops playing.
  keys "$player" alt+p
  lyr=$(waitwin "$LYR") || fail "$SIZE: Play opened no lyrics window"
  sleep 3
  import -window root "$SHOTS/$SIZE-normal_screen.png"
  apart "$lyr" "$player" "Play"
  focused "$lyr" "$LYR" || fail "$SIZE: the lyrics window does not have the keyboard"
  xdotool key --clearmodifiers a
  gone "$LYR" || fail "$SIZE: a key in the lyrics window did not close it while the player is modal"
  waitwin "$PLAYER" > /dev/null || fail "$SIZE: the player closed with the lyrics window"
  sleep 0.3
  focused "$player" "$PLAYER" || fail "$SIZE: the keyboard did not go back to the player"

  # --- Pause 19 s in, inside "For I have loved you well and long, delighting in your company."
  # (15.7 s to 25.9 s), then Play: the new window shows that whole line.
  keys "$player" alt+p
  lyr=$(waitwin "$LYR") || fail "$SIZE: Play opened no lyrics window the second time"
  sleep 18
  keys "$player" alt+u
  gone "$LYR" || fail "$SIZE: Pause left the lyrics window open"
  keys "$player" alt+p
  lyr=$(waitwin "$LYR") || fail "$SIZE: resuming opened no lyrics window"
  sleep 0.3
  wholeline "$lyr" resumed
  import -window root "$SHOTS/$SIZE-resumed_screen.png"
  apart "$lyr" "$player" "resume"
  keys "$lyr" Escape
  gone "$LYR" || fail "$SIZE: Escape in the lyrics window did not close it"

  # --- The slider at 75 % (84 s), inside "Greensleeves was all my joy, Greensleeves was my
  # delight," (81.0 s to 90.2 s), then Play.
  keys "$player" shift+Tab End   # from Play, which has the focus when stopped, to the slider
  for _ in 1 2 3 4 5; do xdotool key --clearmodifiers Next; sleep 0.2; done
  keys "$player" alt+p
  lyr=$(waitwin "$LYR") || fail "$SIZE: Play after the seek opened no lyrics window"
  sleep 0.3
  wholeline "$lyr" seek
  # The player dragged onto the lyrics window: the window makes room again.
  read -r lx ly _ <<< "$(geom "$lyr")"
  xdotool windowmove "$player" $((lx + 20)) $((ly + 20))
  sleep 1.5
  import -window root "$SHOTS/$SIZE-moved_screen.png"
  apart "$lyr" "$player" "the player moved onto it"
  keys "$lyr" Escape
  gone "$LYR" || fail "$SIZE: Escape in the lyrics window did not close it"

  # --- Full-screen: the whole screen; a click closes it.
  keys "$player" alt+f
  keys "$player" alt+p
  full=$(waitwin '^Cantorix - Lyrics$') || fail "$SIZE: Play opened no full-screen lyrics window"
  sleep 2
  import -window root "$SHOTS/$SIZE-fullscreen.png"
  read -r fx fy fw fh <<< "$(geom "$full")"
  [ "$fx,$fy $fw x $fh" = "0,0 $SW x $SH" ] || fail "$SIZE: the full-screen window is $fw x $fh at $fx,$fy"
  xdotool mousemove $((SW / 2)) $((SH / 2)) click 1
  gone '^Cantorix - Lyrics$' || fail "$SIZE: a click did not close the full-screen lyrics window"
  waitwin "$PLAYER" > /dev/null || fail "$SIZE: the player closed with the lyrics window"
  keys "$player" Escape
  gone "$PLAYER" || fail "$SIZE: the player did not close"

  # --- The recorder (recording ALSA's file plugin, playing the song): the window keeps off the
  # recorder and its Stop button, also when the recorder is moved; a key closes it. The take of the
  # screen before goes first, or Start would ask before replacing it.
  rm -f "$PROG/WorkDir/take1.wav"
  keys "$main" ctrl+r
  rec=$(waitwin "$REC") || fail "$SIZE: no recorder"
  keys "$rec" alt+s
  lyr=$(waitwin "$LYR") || fail "$SIZE: Start opened no lyrics window"
  sleep 1
  import -window root "$SHOTS/$SIZE-recorder_screen.png"
  apart "$lyr" "$rec" "the recorder's Start"
  focused "$lyr" "$LYR" || fail "$SIZE: the recorder's lyrics window does not have the keyboard"
  read -r lx ly _ <<< "$(geom "$lyr")"
  xdotool windowmove "$rec" $((lx + 20)) $((ly + 20))
  sleep 1.5
  import -window root "$SHOTS/$SIZE-recorder_moved.png"
  apart "$lyr" "$rec" "the recorder moved onto it"
  keys "$lyr" space
  gone "$LYR" || fail "$SIZE: a key in the lyrics window did not close it while the recorder is modal"
  waitwin "$REC" > /dev/null || fail "$SIZE: the recorder closed with the lyrics window"
  keys "$rec" Escape
  gone "$REC" || fail "$SIZE: the recorder did not close"

  stop "$prog"
  stop "$WMPID"
  stop "$XVFBPID"
}

screen 1280x800
screen 1366x768

# --- The window's own tests on a plain X server: scrolling, repainting, close requests.
if [ -x "$BIN/gui_tests" ]; then
  startxvfb
  QT_QPA_PLATFORM=xcb "$BIN/gui_tests" --gtest_filter='Clyrics.*' > "$WORK/gtest.log" 2>&1 ||
    { cat "$WORK/gtest.log"; fail "the lyrics window's tests failed on the X server"; }
  cp build/screenshots/lyrics-scrolled.png build/screenshots/lyrics-fresh.png "$SHOTS/" 2> /dev/null || true
fi
echo "gui_lyrics: passed"

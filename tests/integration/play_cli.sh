#!/usr/bin/env bash
# cantorix-cli play on a real wave device without sound hardware: ALSA's file plugin over the null
# plugin (tests/platform/alsa-file.conf) writes what is played to a file. A karaoke file plays to
# its end through the built-in synthesizer and the sound written is not silent; without a terminal
# nothing is printed; on a terminal (script(1) gives one) the lyrics and the time show, q quits and
# the terminal gets its cursor back; after a seek into a line (in tmux) that whole line shows, its
# first words red; SIGTERM ends with 128 + 15; a bad file gets convert's message. What cannot
# play says why, with the terminal left as it was: a missing or empty ALSA configuration, no
# wave output device, a --device past the last one, a bank that is missing, a FIFO, a folder or
# /dev/zero; an abort while playing and a play in a terminal's background end with the terminal
# intact, and after Ctrl+Z, bg and fg the keys work again.
set -uo pipefail
cd "$(dirname "$0")/../.."
CLI=$(realpath build/bin/cantorix-cli)
BANK=/usr/share/sounds/sf2/TimGM6mb.sf2
[ -x "$CLI" ] || { echo "play_cli: $CLI is not built"; exit 1; }
[ -f "$BANK" ] || { echo "play_cli: timgm6mb-soundfont missing"; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$PWD/tests/platform/alsa-file.conf"
rc=0
pass() { echo "play_cli: $1: ok"; }
failed() { echo "play_cli: $1"; rc=1; }
# On a terminal, shell() runs a bash script under script(1) and leaves what showed in $screen.
shell() {
  printf '%s\n' "$1" > "$out/shell.sh"
  timeout 60 script -qec "bash '$out/shell.sh'" "$out/typescript" < /dev/null > /dev/null 2>&1
  screen=$(tr -d '\r' < "$out/typescript")
}
# termok NAME: the terminal after the player has echo, line editing and its cursor shown.
termok() {
  if ! grep -qE '(^| )echo( |$)' <<< "$screen" || ! grep -qE '(^| )icanon( |$)' <<< "$screen"; then
    failed "$1: the terminal was left without echo or line editing"
  elif grep -qF $'\033[?25l' <<< "$screen" && [[ ${screen##*$'\033[?25l'} != *$'\033[?25h'* ]]; then
    failed "$1: the cursor was left hidden"
  else
    return 0
  fi
  return 1
}

"$CLI" play --help | grep -q "space pauses" && pass "help" || failed "help: no keys described"
"$CLI" play --device x examples/greensleeves.kar 2> "$out/err"
[ $? = 2 ] && grep -qF -- "--device must be a whole number" "$out/err" && pass "wrong device" ||
  failed "wrong device: $(cat "$out/err")"
for d in -1 99; do
  "$CLI" play --bank "$BANK" --device $d examples/greensleeves.kar < /dev/null 2> "$out/err"
  got=$?
  [ $got = 2 ] && grep -q -- "--device" "$out/err" && pass "--device $d (exit 2)" ||
    failed "--device $d: exit $got: $(cat "$out/err")"
done
mkfifo "$out/fifo.sf2"
mkdir "$out/folder.sf2"
for bank in "$out/none.sf2:No such file or directory" "$out/fifo.sf2:not a regular file" \
  "$out/folder.sf2:Is a directory" "/dev/zero:not a regular file"; do
  "$CLI" play --bank "${bank%%:*}" examples/greensleeves.kar < /dev/null 2> "$out/err"
  got=$?
  # The bank box itself (the last line) ends with the bank and the system's reason.
  last=$(tail -1 "$out/err")
  [ $got = 1 ] && [[ $last == *"sound bank: "*": ${bank%%:*}: ${bank#*:}" ]] && pass "bank ${bank%%:*}" ||
    failed "bank ${bank%%:*}: exit $got: $(cat "$out/err")"
done
printf 'MThd\0\0\0\6\0' > "$out/bad.mid"
"$CLI" play --bank "$BANK" "$out/bad.mid" < /dev/null > /dev/null 2> "$out/err"
[ $? = 1 ] && grep -qF "bad.mid: Couldn't load MIDI/KAR file: The MIDI/KAR file selected could not be loaded" "$out/err" &&
  pass "bad file" || failed "bad file: $(cat "$out/err")"

# A missing or empty ALSA configuration, on a terminal: a message and exit 1, the terminal with
# echo and line editing and no hidden cursor left behind (the audio library may abort while it
# starts; it does so before the terminal changes). No wave output device at all: its own message.
: > "$out/empty.conf"
for conf in /nonexistent "$out/empty.conf"; do
  shell "export ALSA_CONFIG_PATH='$conf'
'$CLI' play --bank '$BANK' examples/greensleeves.kar
echo rc=\$?
stty -a"
  if ! grep -q "^rc=1$" <<< "$screen"; then
    failed "ALSA config $conf: $(tail -c 300 <<< "$screen")"
  elif ! grep -q "the audio system could not start" <<< "$screen"; then
    failed "ALSA config $conf: no message: $(tail -c 300 <<< "$screen")"
  else
    termok "ALSA config $conf" && pass "ALSA config $conf ($(grep -m1 -o 'could not start.*' <<< "$screen" | cut -c1-90))"
  fi
done
printf 'pcm.!default { type hw card 99 }\n' > "$out/nodevice.conf"
ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$out/nodevice.conf" "$CLI" play --bank "$BANK" examples/greensleeves.kar \
  < /dev/null 2> "$out/err"
got=$?
[ $got = 1 ] && grep -q "wave output device" "$out/err" && ! grep -q "MIDI" "$out/err" &&
  pass "no device ($(head -1 "$out/err"))" || failed "no device: exit $got: $(cat "$out/err")"

# The whole song (1:52), no terminal: exit 0, nothing on standard output, sound on the device.
# The null device takes sound as fast as it comes, so the file plugin writes into a FIFO whose
# reader counts the bytes that are not zero (every opening of the device gets a new reader).
mkfifo "$out/played.raw"
( echo $BASHPID > "$out/readerpid"; while cat "$out/played.raw"; do :; done ) | tr -d '\000' | wc -c > "$out/loud" &
counter=$!
export CANTORIX_PLAYFILE="$out/played.raw"
start=$(date +%s)
timeout 300 "$CLI" play --bank "$BANK" examples/greensleeves.kar < /dev/null > "$out/stdout" 2> "$out/err"
got=$?
took=$(( $(date +%s) - start ))
kill "$(cat "$out/readerpid")"
timeout 2 sh -c ": > '$out/played.raw'"   # lets a reader waiting for the next opening go
wait $counter
loud=$(cat "$out/loud")
if [ $got != 0 ]; then
  failed "to the end: exit $got after $took s: $(cat "$out/err")"
elif [ -s "$out/stdout" ]; then
  failed "to the end: printed without a terminal: $(head -c 200 "$out/stdout")"
elif [ $took -lt 100 ]; then
  failed "to the end: over after $took s, the song lasts 112 s"
elif [ "$loud" -lt 100000 ]; then
  failed "to the end: the device got silence ($loud bytes not zero)"
else
  pass "to the end ($took s, $loud bytes not zero)"
fi

# SIGTERM: every note off, exit 143.
export CANTORIX_PLAYFILE=/dev/null
"$CLI" play --bank "$BANK" examples/greensleeves.kar < /dev/null > /dev/null 2>&1 &
pid=$!
sleep 2
kill -TERM $pid
wait $pid
got=$?
[ $got = 143 ] && pass "SIGTERM" || failed "SIGTERM: exit $got"

# Started in the background of a job-control shell: no SIGTTOU stop, SIGTERM ends it with 143.
shell "set -m
'$CLI' play --bank '$BANK' examples/greensleeves.kar &
sleep 3
kill -TERM \$!
wait \$!
echo rc=\$?
stty -a"
if ! grep -q "^rc=143$" <<< "$screen"; then
  failed "background: $(tail -c 300 <<< "$screen")"
else
  termok background && pass "background (SIGTERM: 143)"
fi
# An abort while playing (a library's assertion) ends with 128 + 6, the terminal restored.
shell "ulimit -c 0
(sleep 3; kill -ABRT \$(cat '$out/pid')) &
sh -c 'echo \$\$ > \"\$1\"; exec \"\$2\" play --bank \"\$3\" examples/greensleeves.kar' - '$out/pid' '$CLI' '$BANK'
echo rc=\$?
stty -a"
if ! grep -q "^rc=134$" <<< "$screen"; then
  failed "abort: $(tail -c 300 <<< "$screen")"
elif ! grep -qF $'\033[?25l' <<< "$screen"; then
  failed "abort: the player never took the terminal"
else
  termok abort && pass "abort (134)"
fi

# On a terminal: the first lines and the clock show, q quits with exit 0, the cursor comes back.
(sleep 6; printf 'q') | timeout 60 script -qec "stty cols 80; '$CLI' play --bank '$BANK' examples/greensleeves.kar" \
  "$out/typescript" > /dev/null 2>&1
got=$?
screen=$(tr -d '\r' < "$out/typescript")
if [ $got != 0 ]; then
  failed "terminal: exit $got: $(tail -c 300 "$out/typescript")"
elif ! grep -q "Playing   00:0[3-9] / 01:52  key +0  tempo 100%  greensleeves.kar" <<< "$screen"; then
  failed "terminal: no clock: $(tail -c 300 "$out/typescript")"
elif ! grep -qi "alas" <<< "$screen"; then
  failed "terminal: no lyrics: $(tail -c 300 "$out/typescript")"
elif ! grep -qF $'\033[?25h' <<< "$screen"; then
  failed "terminal: the cursor was left hidden"
else
  pass "terminal"
fi
# A seek on a terminal: 4 s in, the right arrow eight times goes to about 84 s, inside
# "Greensleeves was all my joy, Greensleeves was my delight," (81.0 s to 90.2 s). The lyrics show
# that whole line, not only what is still to come, with the part before the position red.
if command -v tmux > /dev/null; then
  sock="$out/tmux"
  tmux -S "$sock" new-session -d -x 80 -y 24 "'$CLI' play --bank '$BANK' examples/greensleeves.kar; sleep 30"
  sleep 4
  tmux -S "$sock" send-keys Right Right Right Right Right Right Right Right
  sleep 1
  tmux -S "$sock" capture-pane -p -e > "$out/pane"
  tmux -S "$sock" send-keys q
  sleep 0.5
  tmux -S "$sock" kill-server 2> /dev/null
  plain=$(sed 's/\x1b\[[0-9;]*m//g' "$out/pane")
  at=$(grep -n -m1 "all my joy" <<< "$plain" | cut -d: -f1)
  line=$(sed -n "${at:-1}p" <<< "$plain" | sed 's/^ *//; s/ *$//')
  raw=$(sed -n "${at:-1}p" "$out/pane")
  if ! grep -q "Playing   01:2[2-9] / 01:52" <<< "$plain"; then
    failed "seek: not inside the line: $(grep Playing <<< "$plain")"
  elif [ "$line" != "Greensleeves was all my joy, Greensleeves was my delight," ]; then
    failed "seek: the line shows as '$line'"
  elif [[ ${raw%%Green*} != *31m ]]; then   # red (tmux writes it as ESC [31m) up to the first word
    failed "seek: the line's first word is not red: $(cat -v <<< "$raw")"
  else
    pass "seek ($(grep -o 'Playing   [0-9:]*' <<< "$plain"))"
  fi
else
  failed "seek: tmux missing"
fi

# Three files in tmux: + raises the key, > the tempo, n and p move through the list, each shown
# in the status line at once; q ends with exit 0 and the terminal as it was (echo, line editing).
if command -v tmux > /dev/null; then
  second=$(dpkg -L mma 2> /dev/null | grep -m1 '/after\.mid$')
  [ -n "$second" ] || second=examples/greensleeves.kar
  cp examples/greensleeves.kar "$out/third.kar"
  sock="$out/tmux3"
  tmux -S "$sock" new-session -d -x 100 -y 24 \
    "'$CLI' play --bank '$BANK' examples/greensleeves.kar '$second' '$out/third.kar'; echo \$? > '$out/exit3'; stty -a > '$out/stty3'; sleep 30"
  status() {   # waits up to 5 s for the status line to match $1
    local k
    for k in $(seq 50); do
      tmux -S "$sock" capture-pane -p | grep -q "$1" && return 0
      sleep 0.1
    done
    failed "three files: after $2, no '$1' in: $(tmux -S "$sock" capture-pane -p | grep -E 'Playing|Paused' | tail -1)"
    return 1
  }
  status "key +0  tempo 100%  greensleeves.kar  1/3" "the start" &&
    { tmux -S "$sock" send-keys +; status "key +1  tempo 100%  greensleeves.kar  1/3" "+"; } &&
    { tmux -S "$sock" send-keys '>'; status "key +1  tempo 105%  greensleeves.kar  1/3" ">"; } &&
    { tmux -S "$sock" send-keys n; status "key +1  tempo 105%  $(basename "$second")  2/3" "n"; } &&
    { tmux -S "$sock" send-keys p; status "key +1  tempo 105%  greensleeves.kar  1/3" "p"; } &&
    { tmux -S "$sock" send-keys q; for k in $(seq 50); do [ -s "$out/stty3" ] && break; sleep 0.1; done
      if [ "$(cat "$out/exit3" 2> /dev/null)" != 0 ]; then
        failed "three files: q: exit $(cat "$out/exit3" 2> /dev/null)"
      elif ! grep -qE '(^| )echo( |$)' "$out/stty3" || ! grep -qE '(^| )icanon( |$)' "$out/stty3"; then
        failed "three files: the terminal was left without echo or line editing"
      else
        pass "three files (+, >, n, p, q)"
      fi; }
  tmux -S "$sock" kill-server 2> /dev/null
fi
# Ctrl+Z, bg and fg in an interactive shell: in the background the player runs on without taking
# the terminal (no stop on SIGTTOU); back in the foreground its keys work again; q leaves the
# terminal as it was.
if command -v tmux > /dev/null; then
  sock="$out/tmuxbg"
  tmux -S "$sock" new-session -d -x 100 -y 24 "bash --norc --noprofile -i"
  sleep 1
  # A list after the player would run on when Ctrl+Z stops it: the exit is asked for after fg.
  tmux -S "$sock" send-keys "'$CLI' play --bank '$BANK' examples/greensleeves.kar" Enter
  sleep 3
  tmux -S "$sock" send-keys C-z
  sleep 1
  tmux -S "$sock" send-keys "bg" Enter
  sleep 2
  tmux -S "$sock" send-keys "jobs > '$out/jobs'" Enter
  sleep 0.5
  tmux -S "$sock" send-keys "fg" Enter
  sleep 1
  tmux -S "$sock" send-keys +
  for k in $(seq 50); do tmux -S "$sock" capture-pane -p | grep -q "key +1" && break; sleep 0.1; done
  keyed=$(tmux -S "$sock" capture-pane -p | grep -c "key +1")
  tmux -S "$sock" send-keys q
  sleep 1
  tmux -S "$sock" send-keys "echo \$? > '$out/exitbg'; stty -a > '$out/sttybg'" Enter
  for k in $(seq 50); do [ -s "$out/sttybg" ] && break; sleep 0.1; done
  if ! grep -q Running "$out/jobs"; then
    failed "Ctrl+Z, bg, fg: after bg: $(cat "$out/jobs")"
  elif [ "$keyed" = 0 ]; then
    failed "Ctrl+Z, bg, fg: + did nothing after fg"
  elif [ "$(cat "$out/exitbg" 2> /dev/null)" != 0 ]; then
    failed "Ctrl+Z, bg, fg: q: exit $(cat "$out/exitbg" 2> /dev/null)"
  elif ! grep -qE '(^| )echo( |$)' "$out/sttybg" || ! grep -qE '(^| )icanon( |$)' "$out/sttybg"; then
    failed "Ctrl+Z, bg, fg: the terminal was left without echo or line editing"
  else
    pass "Ctrl+Z, bg, fg"
  fi
  tmux -S "$sock" kill-server 2> /dev/null
fi
exit $rc

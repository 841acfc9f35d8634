#!/usr/bin/env bash
# Nothing is lost when writing fails or the program is stopped: an earlier output file stays byte
# for byte and no temporary file is left behind, whether the conversion is killed (SIGTERM,
# SIGINT, SIGHUP, SIGKILL at several points, normalization included), runs into a file size limit
# or a full disk, or would write over one of its inputs through a link. Pipes as inputs are
# refused at once, a file longer than the length cap is refused up front, and a bank whose sample
# headers all claim its whole sample data converts (and fails to pack) within a memory limit.
set -uo pipefail
cd "$(dirname "$0")/../.."
CLI=$(realpath build/bin/cantorix-cli)
BANK=/usr/share/sounds/sf2/TimGM6mb.sf2
MID=$(dpkg -L openttd-openmsx 2>/dev/null | grep -iE '\.mid$' | sort | head -n 1)
# The largest file of the package: at eleven times slower it renders for several seconds even on
# a fast machine, so the signals below reach a conversion that is still running.
LONG=$(ls -S $(dpkg -L openttd-openmsx 2>/dev/null | grep -iE '\.mid$') 2>/dev/null | head -n 1)
KAR=examples/greensleeves.kar
[ -x "$CLI" ] || { echo "nothing_lost: $CLI is not built"; exit 1; }
[ -n "$MID" ] && [ -n "$LONG" ] && [ -f "$BANK" ] || { echo "nothing_lost: openttd-openmsx or timgm6mb-soundfont missing"; exit 1; }
out=$(mktemp -d)
mnt=""
trap '[ -n "$mnt" ] && umount "$mnt" 2>/dev/null; rm -rf "$out"' EXIT
rc=0
bad() { echo "nothing_lost: $*"; rc=1; }
ok() { echo "nothing_lost: $*: ok"; }

# An earlier output: any bytes will do, they must come back unchanged.
head -c 3000 /dev/urandom > "$out/old.bytes"
fresh() { mkdir -p "$1"; rm -rf "${1:?}"/*; cp "$out/old.bytes" "$1/song.wav"; }
# The folder holds exactly the earlier output, unchanged.
intact() {   # intact DIR WHAT
  local left
  left=$(ls -A "$1" | grep -vx song.wav)
  cmp -s "$out/old.bytes" "$1/song.wav" || bad "$2: the earlier song.wav changed"
  [ -z "$left" ] || bad "$2: left behind: $left"
}

# Signals while converting (the longest file, eleven times slower, so it is still running), and
# again during a short conversion at points spread over rendering and normalization.
d="$out/sig"
for sig in TERM INT HUP; do
  for delay in 0.02 0.5 1.5; do
    fresh "$d"
    "$CLI" convert --quiet -j 1 --bank "$BANK" --tempo 1000 -o "$d/song.wav" "$LONG" 2> "$out/stderr" &
    pid=$!
    sleep "$delay"
    kill -"$sig" "$pid"
    wait "$pid"
    got=$?
    want=$((128 + $(kill -l "$sig")))
    [ "$got" = "$want" ] || bad "SIG$sig after ${delay}s: exit $got (want $want)"
    intact "$d" "SIG$sig after ${delay}s"
  done
done
ok "SIGTERM, SIGINT, SIGHUP while rendering"

# A second signal while the first is handled ends the program at once, still without leftovers.
fresh "$d"
"$CLI" convert --quiet -j 1 --bank "$BANK" --tempo 1000 -o "$d/song.wav" "$LONG" 2> /dev/null &
pid=$!
sleep 0.5
kill -TERM "$pid"; kill -TERM "$pid"
wait "$pid"
got=$?
[ "$got" = 143 ] || bad "second SIGTERM: exit $got"
intact "$d" "second SIGTERM"
ok "second SIGTERM"

# SIGKILL and SIGTERM at increasing times of a short conversion with normalization: the earlier
# file stays until the finished one replaces it; even SIGKILL leaves no temporary file, since it
# has no name until it is finished.
# A signal that comes after the finished file took its name (between the rename and the exit)
# leaves that finished file, byte for byte the same as an undisturbed conversion makes.
# The points are shares of how long the undisturbed conversion took here, so they fall within it
# on a fast machine as on a slow one.
start=$(date +%s.%N)
"$CLI" convert --quiet --bank "$BANK" -o "$out/new.wav" "$KAR" 2> /dev/null || bad "undisturbed conversion failed"
took=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')
killed=0 finished=0
for sig in KILL TERM; do
  for share in 0.03 0.07 0.1 0.15 0.2 0.3 0.4 0.5 0.6 0.7 0.8 0.9 1.0 1.2 1.5; do
    delay=$(awk -v t="$took" -v s="$share" 'BEGIN { printf "%.3f", t * s }')
    fresh "$d"
    "$CLI" convert --quiet --bank "$BANK" -o "$d/song.wav" "$KAR" 2> /dev/null &
    pid=$!
    sleep "$delay"
    kill -"$sig" "$pid" 2> /dev/null
    wait "$pid"
    got=$?
    if [ "$got" = 0 ]; then
      finished=$((finished + 1))
      size=$(stat -c %s "$d/song.wav")
      data=$(od -An -tu4 -j40 -N4 "$d/song.wav" | tr -d ' ')
      [ "$data" = $((size - 44)) ] || bad "finished before SIG$sig: data size $data of $size bytes"
      [ -z "$(ls -A "$d" | grep -vx song.wav)" ] || bad "finished before SIG$sig: leftovers"
      continue
    fi
    if cmp -s "$out/new.wav" "$d/song.wav"; then
      finished=$((finished + 1))
      [ -z "$(ls -A "$d" | grep -vx song.wav)" ] || bad "finished before SIG$sig: leftovers"
      continue
    fi
    killed=$((killed + 1))
    intact "$d" "SIG$sig after ${delay}s"
  done
done
[ "$killed" -gt 4 ] || bad "only $killed runs were stopped before they finished"
ok "SIGKILL and SIGTERM at 30 points of ${took}s ($killed stopped, $finished finished)"

# Late SIGTERMs: at random moments around the end of a short conversion (fixed seed), the exit
# code says what is on disk every time: 0 with the finished file in place, 143 with the earlier
# file byte for byte, and never a temporary file.
python3 - "$out/short.mid" << 'EOF'
import struct, sys
ev = bytearray([0, 0xC0, 0])
for k in range(4):
    ev += bytes([0, 0x90, 60 + k, 100, 0x60, 0x80, 60 + k, 0])
ev += bytes([0, 0xFF, 0x2F, 0])
open(sys.argv[1], 'wb').write(b'MThd' + struct.pack('>IHHH', 6, 0, 1, 96) + b'MTrk' + struct.pack('>I', len(ev)) + ev)
EOF
start=$(date +%s.%N)
"$CLI" convert --quiet --bank "$BANK" -o "$out/short.wav" "$out/short.mid" 2> /dev/null || bad "short conversion failed"
took=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')
runs=80 matching=0 converted=0 stopped=0
for delay in $(awk -v t="$took" -v n="$runs" 'BEGIN { srand(7); for (i = 0; i < n; i++) printf "%.3f ", t * (0.4 + rand()) }'); do
  fresh "$d"
  "$CLI" convert --quiet --bank "$BANK" -o "$d/song.wav" "$out/short.mid" 2> /dev/null &
  pid=$!
  sleep "$delay"
  kill -TERM "$pid" 2> /dev/null
  wait "$pid"
  got=$?
  left=$(ls -A "$d" | grep -vx song.wav)
  if [ "$got" = 0 ] && cmp -s "$out/short.wav" "$d/song.wav" && [ -z "$left" ]; then
    matching=$((matching + 1)) converted=$((converted + 1))
  elif [ "$got" = 143 ] && cmp -s "$out/old.bytes" "$d/song.wav" && [ -z "$left" ]; then
    matching=$((matching + 1)) stopped=$((stopped + 1))
  else
    bad "late SIGTERM after ${delay}s: exit $got, song.wav $(cmp -s "$out/old.bytes" "$d/song.wav" && echo old || echo new), left: $left"
  fi
done
echo "nothing_lost: late SIGTERM: $runs runs of ${took}s, $matching exit codes matching the disk ($converted converted, $stopped interrupted)"
[ "$matching" = "$runs" ] || bad "late SIGTERM: $((runs - matching)) exit codes do not match the disk"

# A silent result is checked before it takes the name: a song without notes, or a bank whose
# samples all start after their end, says "WAVE file empty", exits 1 and keeps the earlier file.
printf 'MThd\0\0\0\6\0\0\0\1\0\140MTrk\0\0\0\13\0\377\121\3\7\241\40\0\377\57\0' > "$out/tempo.mid"
python3 - "$BANK" "$out/backwards.sf2" << 'EOF'
import struct, sys
b = bytearray(open(sys.argv[1], 'rb').read())
at = b.find(b'shdr')
for r in range(struct.unpack_from('<I', b, at + 4)[0] // 46 - 1):
    end = struct.unpack_from('<I', b, at + 8 + r * 46 + 24)[0]
    struct.pack_into('<I', b, at + 8 + r * 46 + 20, end + 1)
open(sys.argv[2], 'wb').write(b)
EOF
for c in "$BANK $out/tempo.mid" "$out/backwards.sf2 $KAR"; do
  set -- $c
  fresh "$d"
  "$CLI" convert --quiet --bank "$1" -o "$d/song.wav" "$2" 2> "$out/stderr"
  got=$?
  [ "$got" = 1 ] && grep -q "WAVE file empty" "$out/stderr" || { bad "empty result of $2: exit $got"; cat "$out/stderr"; }
  intact "$d" "empty result of $2"
done
ok "empty results keep the earlier file"

# An earlier output that may not be written (mode 0444, also for the superuser) is refused with
# its name and kept as it was, mode included.
fresh "$d"
chmod 444 "$d/song.wav"
"$CLI" convert --quiet --bank "$BANK" -o "$d/song.wav" "$KAR" 2> "$out/stderr"
got=$?
[ "$got" = 1 ] && grep -q "song.wav: is read-only" "$out/stderr" || { bad "read-only output: exit $got"; cat "$out/stderr"; }
[ "$(stat -c %a "$d/song.wav")" = 444 ] || bad "read-only output: mode changed"
intact "$d" "read-only output"
cp "$out/old.bytes" "$d/ro.csf"
chmod 444 "$d/ro.csf"
"$CLI" pack "$BANK" "$d/ro.csf" 2> "$out/stderr"
got=$?
[ "$got" = 1 ] && grep -q "ro.csf: is read-only" "$out/stderr" && cmp -s "$out/old.bytes" "$d/ro.csf" ||
  { bad "read-only pack output: exit $got"; cat "$out/stderr"; }
rm -f "$d/ro.csf"
ok "read-only outputs"

# pack and unpack stopped by SIGTERM at shares of their undisturbed time: "interrupted", exit
# 143 and the earlier file kept; or, once finished, exit 0 with the new bank. Never a leftover.
pk="$out/pack"
mkdir -p "$pk"
start=$(date +%s.%N)
"$CLI" pack "$BANK" "$out/tim.csf" 2> /dev/null || bad "pack failed"
ptook=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')
start=$(date +%s.%N)
"$CLI" unpack "$out/tim.csf" "$out/tim.sf2" 2> /dev/null || bad "unpack failed"
utook=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')
for cmd in pack unpack; do
  if [ "$cmd" = pack ]; then in=$BANK dst=bank.csf want=$out/tim.csf t=$ptook
  else in=$out/tim.csf dst=bank.sf2 want=$out/tim.sf2 t=$utook; fi
  stopped=0 done=0
  for share in 0.1 0.2 0.3 0.5 0.7 0.9 1.2; do
    rm -f "$pk"/* "$pk"/.[!.]*
    cp "$out/old.bytes" "$pk/$dst"
    "$CLI" "$cmd" "$in" "$pk/$dst" 2> "$out/stderr" &
    pid=$!
    sleep "$(awk -v t="$t" -v s="$share" 'BEGIN { printf "%.3f", t * s }')"
    kill -TERM "$pid" 2> /dev/null
    wait "$pid"
    got=$?
    left=$(ls -A "$pk" | grep -vx "$dst")
    [ -z "$left" ] || bad "$cmd stopped at $share: left behind: $left"
    if [ "$got" = 0 ] && cmp -s "$want" "$pk/$dst"; then
      done=$((done + 1))
    elif [ "$got" = 143 ] && grep -q "interrupted" "$out/stderr" && cmp -s "$out/old.bytes" "$pk/$dst"; then
      stopped=$((stopped + 1))
    else
      bad "$cmd stopped at $share of ${t}s: exit $got, $dst $(cmp -s "$out/old.bytes" "$pk/$dst" && echo old || echo new)"
      cat "$out/stderr"
    fi
  done
  [ "$stopped" -gt 0 ] || bad "$cmd: no run was stopped before it finished"
  ok "$cmd stopped by SIGTERM ($stopped interrupted, $done finished)"
done

# A file size limit (RLIMIT_FSIZE) in a child shell: EFBIG, reported with the file, exit 1.
fresh "$d"
(ulimit -f 200; exec "$CLI" convert --quiet --bank "$BANK" -o "$d/song.wav" "$MID") 2> "$out/stderr"
got=$?
[ "$got" = 1 ] && grep -q "song.wav: could not be written .*File too large" "$out/stderr" ||
  { bad "file size limit: exit $got"; cat "$out/stderr"; }
[ "$(wc -l < "$out/stderr")" = 1 ] || { bad "file size limit: more than one line"; cat "$out/stderr"; }
intact "$d" "file size limit"
ok "file size limit"

# A full disk: a small tmpfs, else a file system image through a loop device.
mnt="$out/full"
mkdir -p "$mnt"
if mount -t tmpfs -o size=2m tmpfs "$mnt" 2> /dev/null ||
   { truncate -s 4m "$out/fs.img" && mkfs.ext2 -q "$out/fs.img" && mount -o loop "$out/fs.img" "$mnt"; } 2> /dev/null; then
  fresh "$mnt"
  rm -rf "$mnt/lost+found"
  "$CLI" convert --quiet --bank "$BANK" -o "$mnt/song.wav" "$MID" 2> "$out/stderr"
  got=$?
  [ "$got" = 1 ] && grep -q "song.wav: could not be written .*No space left on device" "$out/stderr" ||
    { bad "full disk: exit $got"; cat "$out/stderr"; }
  intact "$mnt" "full disk"
  umount "$mnt"
  ok "full disk"
else
  echo "nothing_lost: full disk: skipped (neither tmpfs nor a loop device can be mounted here)"
fi
mnt=""

# Outputs that are inputs through links: refused before anything is written.
l="$out/links"
mkdir -p "$l"
cp "$MID" "$l/song.mid"
cp "$l/song.mid" "$out/song.mid.bytes"
ln -s song.mid "$l/soft.wav"
ln "$l/song.mid" "$l/hard.wav"
for o in soft.wav hard.wav; do
  "$CLI" convert --quiet --bank "$BANK" -o "$l/$o" "$l/song.mid" 2> "$out/stderr"
  got=$?
  [ "$got" = 1 ] && grep -q "is an input" "$out/stderr" || { bad "$o: exit $got"; cat "$out/stderr"; }
  cmp -s "$out/song.mid.bytes" "$l/song.mid" || bad "$o: the input changed"
done
cp "$BANK" "$l/b.sf2"
ln -s b.sf2 "$l/b.csf"
"$CLI" pack "$l/b.sf2" "$l/b.sf2" 2> /dev/null; [ $? = 2 ] || bad "pack to .sf2 accepted"
"$CLI" pack "$l/b.sf2" "$l/b.csf" 2> /dev/null; [ $? = 1 ] || bad "pack over its input accepted"
cmp -s "$BANK" "$l/b.sf2" || bad "pack: the input changed"
if [ -f build/bin/VUZADada.csf ]; then
  cp build/bin/VUZADada.csf "$l/g.csf"
  ln "$l/g.csf" "$l/g.sf2"
  "$CLI" unpack "$l/g.csf" "$l/g.csf" 2> /dev/null; [ $? = 2 ] || bad "unpack to .csf accepted"
  "$CLI" unpack "$l/g.csf" "$l/g.sf2" 2> /dev/null; [ $? = 1 ] || bad "unpack over its input accepted"
  cmp -s build/bin/VUZADada.csf "$l/g.csf" || bad "unpack: the input changed"
fi
ok "links as outputs"

# Pipes as inputs, MIDI file or bank: refused at once.
mkfifo "$out/pipe.mid" "$out/pipe.sf2"
timeout 20 "$CLI" convert --quiet --bank "$BANK" -d "$out" "$out/pipe.mid" 2> "$out/stderr"
got=$?
[ "$got" = 1 ] && grep -q "pipe.mid: not a regular file" "$out/stderr" || { bad "pipe as input: exit $got"; cat "$out/stderr"; }
timeout 20 "$CLI" convert --quiet --bank "$out/pipe.sf2" -o "$out/p.wav" "$KAR" 2> /dev/null
got=$?
[ "$got" = 1 ] || bad "pipe as bank: exit $got"
timeout 20 "$CLI" pack "$out/pipe.sf2" "$out/p.csf" 2> "$out/stderr"
got=$?
[ "$got" = 1 ] && grep -q "pipe.sf2: not a regular file" "$out/stderr" || { bad "pipe to pack: exit $got"; cat "$out/stderr"; }
ok "pipes as inputs"

# Past the length cap: tempo 0xFFFFFF, division 1, a note-off at tick 2^28 - 1.
printf 'MThd\0\0\0\6\0\0\0\1\0\1MTrk\0\0\0\26\0\377\121\3\377\377\377\0\220\74\100\377\377\377\177\200\74\0\0\377\57\0' > "$out/far.mid"
"$CLI" convert --quiet --bank "$BANK" -o "$out/far.wav" "$out/far.mid" 2> "$out/stderr"
got=$?
[ "$got" = 1 ] && grep -q "more than the 6 hours" "$out/stderr" && [ ! -e "$out/far.wav" ] ||
  { bad "length cap: exit $got"; cat "$out/stderr"; }
ok "length cap"

# Every sample header's end set to 0x7FFFFFFF; all 128 programs played at once; 1.5 GB of
# address space. Converting ends cleanly; packing refuses the overlapping samples.
python3 - "$BANK" "$out/hostile.sf2" "$out/all.mid" << 'EOF'
import struct, sys
b = bytearray(open(sys.argv[1], 'rb').read())
at = b.find(b'shdr')
size = struct.unpack_from('<I', b, at + 4)[0]
for r in range(size // 46):
    struct.pack_into('<I', b, at + 8 + r * 46 + 24, 0x7FFFFFFF)
open(sys.argv[2], 'wb').write(b)
ev = bytearray()
for p in range(128):
    ch = p % 15
    ev += bytes([0, 0xC0 | ch, p, 0, 0x90 | ch, 36 + p % 60, 100])
ev += bytes([0x83, 0x60, 0xB0, 123, 0, 0, 0xFF, 0x2F, 0])
open(sys.argv[3], 'wb').write(b'MThd' + struct.pack('>IHHH', 6, 0, 1, 96) + b'MTrk' + struct.pack('>I', len(ev)) + ev)
EOF
(ulimit -v 1500000; exec timeout 300 "$CLI" convert --quiet --bank "$out/hostile.sf2" -o "$out/h.wav" "$out/all.mid") 2> "$out/stderr"
got=$?
[ "$got" = 0 ] || { bad "hostile bank: exit $got"; cat "$out/stderr"; }
(ulimit -v 1500000; exec timeout 120 "$CLI" pack "$out/hostile.sf2" "$out/h.csf") 2> "$out/stderr"
got=$?
[ "$got" = 1 ] && grep -q "claim more audio than the bank holds" "$out/stderr" && [ ! -e "$out/h.csf" ] ||
  { bad "hostile bank, pack: exit $got"; cat "$out/stderr"; }
ok "hostile bank under a memory limit"
exit $rc

#!/usr/bin/env bash
# Renders the same real MIDI files with the same bank through cantorix-cli convert and through
# FluidSynth's file renderer (its default reverb and chorus on), and prints for each file the
# audio seconds, wall seconds, realtime factor and peak memory of both, and the ratios; then the
# worst file and the geometric means of the ratios.
#
#   bench/compare.sh [-q] [-b BANK]... [-n COUNT] [-r RUNS] [-k DIR] [MIDI...]
#
# -b may be given more than once: the table is made for each bank in turn. A SoundFont 3 bank
# (.sf3, Ogg Vorbis samples) costs both programs its decoding: FluidSynth at load, the converter
# per sample on first use.
#
# Without MIDI arguments: every MIDI file of the openttd-openmsx and mma packages, or with -n the
# first COUNT of them; -q (quick) takes the first 4 files of openttd-openmsx alone.
# With -r, each program renders each file RUNS times, the two taking turns, and the fastest wall
# time of each counts (and the largest peak memory): on a shared machine the fastest run is the
# one least disturbed by other work. With -k, the converter's WAVE files are kept in DIR, named
# after their inputs (to compare outputs of two builds).
#
# Speed is compared as realtime factors (audio seconds per wall second), so that the two programs'
# different default tempo for files without a tempo event does not count.
# Default BANK /usr/share/sounds/sf2/FluidR3_GM.sf2. Needs build/bin/cantorix-cli, fluidsynth and
# /usr/bin/time. Goals: at least twice FluidSynth's speed on every file and three times as a
# geometric mean, at most a quarter of its peak memory on every file.
set -euo pipefail
cd "$(dirname "$0")/.."
CLI=build/bin/cantorix-cli
BANKS=()
COUNT=0
RUNS=1
QUICK=0
KEEP=
while getopts "qb:n:r:k:" opt; do
  case $opt in
    q) QUICK=1 ;;
    b) BANKS+=("$OPTARG") ;;
    n) COUNT=$OPTARG ;;
    r) RUNS=$OPTARG ;;
    k) KEEP=$OPTARG ;;
    *) echo "usage: $0 [-q] [-b BANK]... [-n COUNT] [-r RUNS] [-k DIR] [MIDI...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ -x "$CLI" ] || { echo "compare: $CLI is not built (scripts/build)" >&2; exit 1; }
command -v fluidsynth > /dev/null || { echo "compare: fluidsynth is not installed" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "compare: /usr/bin/time is missing" >&2; exit 1; }
[ ${#BANKS[@]} -gt 0 ] || BANKS=(/usr/share/sounds/sf2/FluidR3_GM.sf2)
for BANK in "${BANKS[@]}"; do
  [ -f "$BANK" ] || { echo "compare: no bank $BANK" >&2; exit 1; }
done

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  if [ "$QUICK" = 1 ]; then
    mapfile -t files < <(dpkg -L openttd-openmsx 2>/dev/null | grep -iE '\.mid$' | sort | head -n 4)
  else
    mapfile -t files < <(dpkg -L openttd-openmsx mma 2>/dev/null | grep -iE '\.mid$' | sort)
    [ "$COUNT" -gt 0 ] && files=("${files[@]:0:$COUNT}")
  fi
fi
[ ${#files[@]} -gt 0 ] || { echo "compare: no MIDI files" >&2; exit 1; }
[ -z "$KEEP" ] || mkdir -p "$KEEP"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run NAME COMMAND...: runs the command under /usr/bin/time -v; prints "wall_seconds max_rss_kb".
run() {
  local log="$work/$1.time"; shift
  /usr/bin/time -v -o "$log" "$@" > /dev/null 2> "$work/stderr.log" || { cat "$work/stderr.log" >&2; return 1; }
  awk -F': ' '
    /Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; wall = s }
    /Maximum resident set size/ { rss = $2 }
    END { printf "%.3f %d\n", wall, rss }' "$log"
}
# Seconds of audio in a canonical WAVE file (data bytes / 4 / 44100).
seconds() { python3 -c 'import os,sys; print(f"{(os.path.getsize(sys.argv[1]) - 44) / 176400:.2f}")' "$1"; }
# The smaller of two wall times; the first may be empty.
least() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }

# The machine and how busy it was, before and after: the ratios mean little on a loaded machine.
machine() {
  printf "%s: %s, %s processors, load average %s\n" "$1" "$(date '+%Y-%m-%d %H:%M:%S %Z')" "$(nproc)" \
    "$(cut -d' ' -f1-3 /proc/loadavg)"
}
for BANK in "${BANKS[@]}"; do
printf "bank %s, %d files, %d run(s) each; %s\n" "$BANK" "${#files[@]}" "$RUNS" \
  "$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)"
machine start
echo
printf "%-28s | %-32s | %-32s | %s\n" "" "cantorix-cli convert" "fluidsynth -F" "ratios"
printf "%-28s | %7s %7s %7s %8s | %7s %7s %7s %8s | %6s %6s\n" file "audio s" "wall s" "x rt" "MB" \
  "audio s" "wall s" "x rt" "MB" speed memory
rows="$work/rows"
: > "$rows"
for f in "${files[@]}"; do
  name=$(basename "$f")
  cw=; cm=0; fw=; fm=0
  # A file either program cannot render (one without sounding notes, say) is left out of the table.
  for ((i = 0; i < RUNS; i++)); do
    read -r w m < <(run cantorix "$CLI" convert --quiet --bank "$BANK" -o "$work/c.wav" "$f") ||
      { printf "%-28s | left out: the converter failed\n" "${name:0:28}"; continue 2; }
    cw=$(least "$cw" "$w"); cm=$((m > cm ? m : cm))
    read -r w m < <(run fluid fluidsynth -ni -F "$work/f.wav" -r 44100 "$BANK" "$f") ||
      { printf "%-28s | left out: fluidsynth failed\n" "${name:0:28}"; continue 2; }
    fw=$(least "$fw" "$w"); fm=$((m > fm ? m : fm))
  done
  [ -z "$KEEP" ] || cp "$work/c.wav" "$KEEP/${name%.*}.wav"
  ca=$(seconds "$work/c.wav"); fa=$(seconds "$work/f.wav")
  awk -v n="$name" -v ca="$ca" -v cw="$cw" -v cm="$cm" -v fa="$fa" -v fw="$fw" -v fm="$fm" 'BEGIN {
    crt = cw > 0 ? ca / cw : 0; frt = fw > 0 ? fa / fw : 0
    printf "%-28s | %7.1f %7.2f %7.1f %8.1f | %7.1f %7.2f %7.1f %8.1f | %5.2fx %5.2fx\n",
      substr(n, 1, 28), ca, cw, crt, cm / 1024, fa, fw, frt, fm / 1024,
      (frt > 0 ? crt / frt : 0), (cm > 0 ? fm / cm : 0) }'
  echo "$name $ca $cw $cm $fa $fw $fm" >> "$rows"
done
awk '
  { n++; ca += $2; cw += $3; fa += $5; fw += $6
    crt = $3 > 0 ? $2 / $3 : 0; frt = $6 > 0 ? $5 / $6 : 0
    s = frt > 0 ? crt / frt : 0; m = $4 > 0 ? $7 / $4 : 0
    if (s > 0) ls += log(s); if (m > 0) lm += log(m)
    if (n == 1 || s < ws) { ws = s; wsn = $1 }
    if (n == 1 || m < wm) { wm = m; wmn = $1 }
    if (s < 2) slow++; if (m < 4) big++ }
  END {
    printf "\n%d files, %.1f s of audio; converter %.2f s, FluidSynth %.2f s of wall time\n", n, ca, cw, fw
    printf "speed ratio:  geometric mean %.2fx, worst %.2fx (%s), %d files below 2x\n", exp(ls / n), ws, wsn, slow
    printf "memory ratio: geometric mean %.2fx, worst %.2fx (%s), %d files below 4x\n", exp(lm / n), wm, wmn, big
    printf "\nspeed ratio = cantorix realtime factor / fluidsynth realtime factor (goal >= 2 each, >= 3 mean)\n"
    printf "memory ratio = fluidsynth peak memory / cantorix peak memory (goal >= 4 each)\n" }' "$rows"
machine end
[ "$BANK" = "${BANKS[-1]}" ] || echo
done

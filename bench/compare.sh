#!/usr/bin/env bash
# Renders the same real MIDI files with the same bank through cantorix-cli convert and through
# FluidSynth's file renderer (its default reverb and chorus on), and prints for each file the
# audio seconds, wall seconds, realtime factor and peak memory of both, and the ratios.
#
#   bench/compare.sh [-b BANK] [-n COUNT] [-r RUNS] [MIDI...]
#
# With -r, each program renders each file RUNS times, the two taking turns, and the fastest wall
# time of each counts (and the largest peak memory): on a shared machine the fastest run is the
# one least disturbed by other work.
#
# Defaults: BANK /usr/share/sounds/sf2/FluidR3_GM.sf2; without MIDI arguments, the first COUNT
# (default 4) files of openttd-openmsx. Needs build/bin/cantorix-cli, fluidsynth and
# /usr/bin/time. Goals: at least twice FluidSynth's speed, at most a third of its peak memory.
set -euo pipefail
cd "$(dirname "$0")/.."
CLI=build/bin/cantorix-cli
BANK=/usr/share/sounds/sf2/FluidR3_GM.sf2
COUNT=4
RUNS=1
while getopts "b:n:r:" opt; do
  case $opt in
    b) BANK=$OPTARG ;;
    n) COUNT=$OPTARG ;;
    r) RUNS=$OPTARG ;;
    *) echo "usage: $0 [-b BANK] [-n COUNT] [-r RUNS] [MIDI...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ -x "$CLI" ] || { echo "compare: $CLI is not built (scripts/build)" >&2; exit 1; }
command -v fluidsynth > /dev/null || { echo "compare: fluidsynth is not installed" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "compare: /usr/bin/time is missing" >&2; exit 1; }
[ -f "$BANK" ] || { echo "compare: no bank $BANK" >&2; exit 1; }

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  mapfile -t files < <(dpkg -L openttd-openmsx 2>/dev/null | grep -iE '\.mid$' | sort | head -n "$COUNT")
fi
[ ${#files[@]} -gt 0 ] || { echo "compare: no MIDI files" >&2; exit 1; }

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

printf "%-28s | %-32s | %-32s | %s\n" "" "cantorix-cli convert" "fluidsynth -F" "ratios"
printf "%-28s | %7s %7s %7s %8s | %7s %7s %7s %8s | %6s %6s\n" file "audio s" "wall s" "x rt" "MB" \
  "audio s" "wall s" "x rt" "MB" speed memory
tc=0; tf=0; ac=0; af=0; mc=0; mf=0
for f in "${files[@]}"; do
  name=$(basename "$f")
  cw=; cm=0; fw=; fm=0
  for ((i = 0; i < RUNS; i++)); do
    read -r w m < <(run cantorix "$CLI" convert --quiet --bank "$BANK" -o "$work/c.wav" "$f")
    cw=$(awk -v a="$cw" -v b="$w" 'BEGIN { print (a == "" || b < a) ? b : a }'); cm=$((m > cm ? m : cm))
    read -r w m < <(run fluid fluidsynth -ni -F "$work/f.wav" -r 44100 "$BANK" "$f")
    fw=$(awk -v a="$fw" -v b="$w" 'BEGIN { print (a == "" || b < a) ? b : a }'); fm=$((m > fm ? m : fm))
  done
  ca=$(seconds "$work/c.wav"); fa=$(seconds "$work/f.wav")
  awk -v n="$name" -v ca="$ca" -v cw="$cw" -v cm="$cm" -v fa="$fa" -v fw="$fw" -v fm="$fm" 'BEGIN {
    crt = cw > 0 ? ca / cw : 0; frt = fw > 0 ? fa / fw : 0
    printf "%-28s | %7.1f %7.2f %7.1f %8.1f | %7.1f %7.2f %7.1f %8.1f | %5.2fx %5.2fx\n",
      substr(n, 1, 28), ca, cw, crt, cm / 1024, fa, fw, frt, fm / 1024,
      (frt > 0 ? crt / frt : 0), (cm > 0 ? fm / cm : 0) }'
  tc=$(awk -v a="$tc" -v b="$cw" 'BEGIN { print a + b }'); tf=$(awk -v a="$tf" -v b="$fw" 'BEGIN { print a + b }')
  ac=$(awk -v a="$ac" -v b="$ca" 'BEGIN { print a + b }'); af=$(awk -v a="$af" -v b="$fa" 'BEGIN { print a + b }')
  mc=$(awk -v a="$mc" -v b="$cm" 'BEGIN { print (b > a ? b : a) }'); mf=$(awk -v a="$mf" -v b="$fm" 'BEGIN { print (b > a ? b : a) }')
done
awk -v ac="$ac" -v tc="$tc" -v af="$af" -v tf="$tf" -v mc="$mc" -v mf="$mf" 'BEGIN {
  crt = tc > 0 ? ac / tc : 0; frt = tf > 0 ? af / tf : 0
  printf "%-28s | %7.1f %7.2f %7.1f %8.1f | %7.1f %7.2f %7.1f %8.1f | %5.2fx %5.2fx\n",
    "all (speed; largest memory)", ac, tc, crt, mc / 1024, af, tf, frt, mf / 1024, (frt > 0 ? crt / frt : 0), (mc > 0 ? mf / mc : 0)
  printf "\nspeed ratio = cantorix realtime factor / fluidsynth realtime factor (goal >= 2)\n"
  printf "memory ratio = fluidsynth peak memory / cantorix peak memory (goal >= 3)\n" }'

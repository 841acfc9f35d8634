#!/usr/bin/env bash
# The Debian package: built by cpack from build/ (scripts/test does that first; built here when
# it is missing), it holds exactly the files an installation needs, depends on the Debian
# packages the programs use, and works unpacked into a scratch root: cantorix-cli finds the
# default bank in its installed program folder and converts with it. The desktop entry and the
# AppStream data pass their validators where those are installed.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$(pwd)
command -v dpkg-deb > /dev/null || { echo "package: dpkg-deb missing; skipped"; exit 0; }
deb=$(ls build/cantorix_*.deb 2>/dev/null | head -n 1 || true)
if [ -z "$deb" ]; then
  (cd build && cpack -G DEB > cpack.log 2>&1) || { cat build/cpack.log; exit 1; }
  deb=$(ls build/cantorix_*.deb | head -n 1)
fi
fail() { echo "package: $*"; exit 1; }
exec 3>&1
# Runs one of the system's checking tools (man, the validators) on no input and for at most
# 120 s. They judge files, not the programs, so one that does not finish is named and its check
# skipped (ran=0, so that what reads the tool's output is skipped too); any other status is the
# tool's own. man's sandbox is off: some containers refuse it.
check() {
  local rc=0
  ran=1
  MAN_DISABLE_SECCOMP=1 timeout -k 5 120 "$@" < /dev/null || rc=$?
  if [ $rc = 124 ] || [ $rc = 137 ]; then
    echo "package: $1 did not finish within 120 s; that check is skipped" >&3
    ran=0
    return 0
  fi
  return $rc
}

# The file list, links included, without folders.
expected="./usr/bin/cantorix -> ../lib/cantorix/cantorix
./usr/bin/cantorix-cli -> ../lib/cantorix/cantorix-cli
./usr/lib/cantorix/Hlpaumix.htm
./usr/lib/cantorix/Hlplayer.htm
./usr/lib/cantorix/Hlpmain.htm
./usr/lib/cantorix/Hlpmidic.htm
./usr/lib/cantorix/Hlpmp3cv.htm
./usr/lib/cantorix/Hlprecor.htm
./usr/lib/cantorix/MP3Codec.exe -> /usr/bin/lame
./usr/lib/cantorix/Tutorial.htm
./usr/lib/cantorix/VUZADada.csf
./usr/lib/cantorix/cantorix
./usr/lib/cantorix/cantorix-cli
./usr/lib/cantorix/cantorix-play
./usr/share/applications/cantorix.desktop
./usr/share/icons/hicolor/scalable/apps/cantorix.svg
./usr/share/man/man1/cantorix-cli.1.gz
./usr/share/man/man1/cantorix.1.gz
./usr/share/metainfo/org.cantorix.Cantorix.metainfo.xml
./usr/share/mime/packages/cantorix-karaoke.xml"
actual=$(dpkg-deb -c "$deb" | grep -v '^d' | awk '{ $1=$2=$3=$4=$5=""; sub(/^ +/, ""); print }' | sort)
if [ "$actual" != "$expected" ]; then
  echo "package: file list differs from the expected one:"; diff <(echo "$expected") <(echo "$actual") || true; exit 1
fi

# Dependencies: the libraries' packages found by dpkg-shlibdeps, and LAME for the MP3 converter.
depends=$(dpkg-deb -f "$deb" Depends)
for p in lame libqt6widgets6 libportaudio2 librtmidi libc6 libstdc++6; do
  grep -q "$p" <<< "$depends" || fail "Depends lacks $p: $depends"
done

# Unpacked into a scratch root, the installed commands find their program folder through the
# links in usr/bin.
SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT
dpkg-deb -x "$deb" "$SCRATCH/root"
CLI=$SCRATCH/root/usr/bin/cantorix-cli
"$CLI" info "$SCRATCH/root/usr/lib/cantorix/VUZADada.csf" > "$SCRATCH/info" || fail "cantorix-cli info of the installed bank failed"
grep -qi "preset" "$SCRATCH/info" || { cat "$SCRATCH/info"; fail "info does not describe the bank"; }
"$CLI" info examples/greensleeves.kar > /dev/null || fail "cantorix-cli info of the example failed"
# No --bank: the default bank of the installed program folder.
"$CLI" convert --quiet --set master-volume=0 examples/greensleeves.kar -o "$SCRATCH/out.wav" 2> "$SCRATCH/err" ||
  { cat "$SCRATCH/err"; fail "cantorix-cli convert with the installed bank failed"; }
[ "$(stat -c %s "$SCRATCH/out.wav")" -gt 1000000 ] || fail "the converted file is too short"
# play hands over to the player beside the program, through the link as well.
"$CLI" play --help 2> "$SCRATCH/err" | grep -q "space pauses" ||
  { cat "$SCRATCH/err"; fail "cantorix-cli play does not reach the installed player"; }
check man -l "$SCRATCH/root/usr/share/man/man1/cantorix.1.gz" > /dev/null 2>&1 || fail "cantorix.1 does not format"

desktop=$SCRATCH/root/usr/share/applications/cantorix.desktop
grep -qx 'Exec=cantorix %f' "$desktop" || fail "the installed desktop entry does not run the installed command"
if command -v desktop-file-validate > /dev/null; then
  check desktop-file-validate "$desktop" || fail "desktop-file-validate"
  check desktop-file-validate build/bin/cantorix.desktop || fail "desktop-file-validate (program folder)"
fi
if command -v appstreamcli > /dev/null; then
  check appstreamcli validate --no-net "$SCRATCH/root/usr/share/metainfo/org.cantorix.Cantorix.metainfo.xml" ||
    fail "appstreamcli validate"
fi
# The MIME entry makes *.kar a karaoke file beneath MIDI in a database built from it.
if command -v update-mime-database > /dev/null; then
  mkdir -p "$SCRATCH/mime/packages"
  cp /usr/share/mime/packages/freedesktop.org.xml "$SCRATCH/root/usr/share/mime/packages/cantorix-karaoke.xml" "$SCRATCH/mime/packages/"
  check update-mime-database "$SCRATCH/mime" > /dev/null 2>&1
  if [ $ran = 1 ]; then
    grep -q '^audio/x-karaoke audio/midi$' "$SCRATCH/mime/subclasses" || fail "audio/x-karaoke is not a sub-class of audio/midi"
    grep -q ':audio/x-karaoke:\*\.kar' "$SCRATCH/mime/globs2" || fail "*.kar is not audio/x-karaoke"
  fi
fi
echo "package: passed ($(basename "$deb"))"

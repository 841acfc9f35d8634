#!/usr/bin/env bash
# The desktop program starts from the build's program folder into its main window: it keeps
# running (no crash at start-up), creates its working folder beside itself, and finds its help
# pages there. Runs on Qt's offscreen platform, so no display is needed.
set -euo pipefail
cd "$(dirname "$0")/../.."
BIN=build/bin
[ -x "$BIN/cantorix" ] || { echo "gui_start: $BIN/cantorix is not built (CANTORIX_GUI off?); skipped"; exit 0; }

for page in Hlpmain.htm Tutorial.htm Hlpmidic.htm Hlplayer.htm Hlprecor.htm Hlpaumix.htm Hlpmp3cv.htm; do
  [ -s "$BIN/$page" ] || { echo "gui_start: help page $page missing in $BIN"; exit 1; }
done

# Started from another folder: the program folder is the executable's, not the current one.
RUN=$(mktemp -d)
trap 'rm -rf "$RUN"' EXIT
(cd "$RUN" && QT_QPA_PLATFORM=offscreen exec "$OLDPWD/$BIN/cantorix") > "$RUN/log" 2>&1 &
pid=$!
sleep 2
if ! kill -0 "$pid" 2>/dev/null; then
  echo "gui_start: cantorix ended at start-up:"; cat "$RUN/log"; exit 1
fi
kill "$pid"
wait "$pid" 2>/dev/null || true
[ -d "$BIN/WorkDir" ] || { echo "gui_start: working folder $BIN/WorkDir was not created"; exit 1; }
[ ! -e "$RUN/WorkDir" ] || { echo "gui_start: working folder created in the current folder"; exit 1; }
echo "gui_start: passed"

# Sourced by the scripts that drive the desktop program on a real X server. They define WORK
# (their scratch folder), pids (processes their cleanup kills) and fail (message, then exit 1).

# Starts Xvfb on a free display and points DISPLAY at it; the program then uses the X server
# rather than the offscreen platform. With -noreset the server stays up when its last client
# leaves; otherwise it resets then, and a program started at that moment cannot connect.
# $1: the screen's size, 1280x1024 unless given. XVFBPID is the server's process.
startxvfb() {
  rm -f "$WORK/display"
  Xvfb -displayfd 3 -screen 0 "${1:-1280x1024}x24" -nolisten tcp -noreset 3> "$WORK/display" 2> "$WORK/xvfb.log" &
  XVFBPID=$!
  pids+=($!)
  for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
  [ -s "$WORK/display" ] || fail "Xvfb did not start: $(cat "$WORK/xvfb.log")"
  export DISPLAY=:$(cat "$WORK/display")
  unset QT_QPA_PLATFORM
}

# Starts openbox on the display and waits until it manages windows: frames, placement and
# stacking as on a desktop. WMPID is its process.
startwm() {
  command -v openbox > /dev/null || fail "openbox missing (scripts/deps installs it)"
  openbox --sm-disable > "$WORK/openbox.log" 2>&1 &
  WMPID=$!
  pids+=($!)
  for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2> /dev/null | grep -q 'window id' && return 0
    sleep 0.1
  done
  fail "openbox did not start: $(cat "$WORK/openbox.log")"
}

# Waits for a window whose name matches $1 (a regular expression); prints its id. Up to 30 s:
# the program's first window can take long to come on a loaded machine.
waitwin() {
  local id
  for _ in $(seq 300); do
    id=$(xdotool search --onlyvisible --name "$1" 2> /dev/null | tail -n 1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}

# Waits up to 10 s until no visible window's name matches $1.
gone() {
  for _ in $(seq 100); do
    xdotool search --onlyvisible --name "$1" > /dev/null 2>&1 || return 0
    sleep 0.1
  done
  return 1
}

# The names of the visible windows, one per line (for a failure's message).
windows() {
  local w
  for w in $(xdotool search --onlyvisible --name '.' 2> /dev/null); do
    xdotool getwindowname "$w" 2> /dev/null || true
  done
}

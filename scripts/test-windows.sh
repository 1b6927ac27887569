#!/usr/bin/env bash
# Runs the Windows unit tests (lobby_win_tests.exe) and the black-box
# process tests against the Windows build under Wine: lobby_server.exe
# --console in place of the Linux server, upstream_listen.exe,
# lobbyctl.exe and admin_probe.exe in place of their Linux twins (the admin
# channel through its named pipe), and the status window once on a virtual
# screen (Xvfb), looked at through its controls by status_probe.exe.
#
# One Wine prefix (build-win/wineprefix) is made on the first run and kept;
# one Wine server runs for the whole test run. Like the other process tests
# this uses the fixed port 30009; the minute-long test of idle admin
# connections, which needs no fixed port, runs beside them.
#   scripts/test-windows.sh
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/build-windows.sh"
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" --target process_tests

win="$root/build-win"
export WINEPREFIX="$win/wineprefix"
export WINEDEBUG=-all
# No .NET or browser engine to offer to install: the programs need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== making the Wine prefix $WINEPREFIX (once)"
  wineboot --init >/dev/null 2>&1
  # Wine draws the window frames itself (there is no window manager on the
  # virtual screen), so the status window has its caption and close box.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
  wineserver -w
fi

# A display number nobody uses.
display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
  display=$((display + 1))
done
xvfb_pid=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
Xvfb ":$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do
  [ -e "/tmp/.X11-unix/X$display" ] && break
  sleep 0.1
done
export DISPLAY=":$display"

# One Wine server for the run, and Wine's own background services started
# now with their output elsewhere: started by a test's server, they would
# hold that server's output pipe open after it ended.
wineserver -p
wine "$win/lobby_server.exe" --version >/dev/null 2>&1 </dev/null

echo "== unit tests of the Windows build under Wine"
# Bounded: a display that missed a stop would wait for ever.
timeout 300 wine "$win/lobby_win_tests.exe" </dev/null

echo "== process tests against the Windows build under Wine"
export LOBBY_SERVER_COMMAND="wine $win/lobby_server.exe --console"
export UPSTREAM_LISTEN_COMMAND="wine $win/upstream_listen.exe"
export LOBBYCTL_COMMAND="wine $win/lobbyctl.exe"
export ADMIN_PROBE_COMMAND="wine $win/admin_probe.exe"
export LOBBY_SERVER_WINDOW_COMMAND="wine $win/lobby_server.exe"
export LOBBY_STATUS_PROBE_COMMAND="wine $win/status_probe.exe"
idle_log="$win/admin_idle_test.log"
"$root/build/process_tests" --gtest_filter='AdminIdleProcessTest.*' >"$idle_log" 2>&1 &
idle_pid=$!
status=0
"$root/build/process_tests" --gtest_filter='-AdminIdleProcessTest.*' || status=$?
idle_status=0
wait "$idle_pid" || idle_status=$?
cat "$idle_log"
if [ "$status" -ne 0 ] || [ "$idle_status" -ne 0 ]; then exit 1; fi

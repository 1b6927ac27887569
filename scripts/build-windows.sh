#!/usr/bin/env bash
# Cross-builds the Windows executables with MinGW-w64 into build-win/:
# lobby_server.exe, lobby_client.exe, upstream_listen.exe, lobbyctl.exe,
# the test probes status_probe.exe (the status window) and admin_probe.exe
# (an admin connection held open), and lobby_win_tests.exe (the unit tests
# that run under Wine), each linked statically so that it
# runs on its own on Windows 10 or later. Installs the compiler, wine (to
# run them here) and Xvfb (for the status window) when missing, and the
# sources of GoogleTest and the nlohmann-json header (scripts/deps.sh).
#   scripts/build-windows.sh [TARGET ...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# wine64 runs the 64-bit programs through /usr/bin/wine without the 32-bit
# half (which would need the i386 architecture). googletest holds the
# GoogleTest sources that lobby_win_tests.exe is built with.
bash "$root/scripts/deps.sh" g++-mingw-w64-x86-64-posix wine wine64 xvfb googletest

build="$root/build-win"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOBBY_TESTS=OFF >/dev/null
cmake --build "$build" ${1:+--target "$@"}

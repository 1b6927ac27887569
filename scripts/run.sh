#!/usr/bin/env bash
# Builds the server and starts it in the current directory, where it reads
# "dorvik.txt" (optional) and writes "L_log.txt". The server needs only a
# C++ compiler and CMake (with Ninja); the libraries of the tools and the
# tests are used when present and not installed for this.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/deps.sh" --server
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" --target lobby_server
exec "$root/build/lobby_server" "$@"

#!/usr/bin/env bash
# Builds everything and runs every test.
#   scripts/test.sh            normal build in build/
#   scripts/test.sh --sanitize AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   scripts/test.sh --tsan     ThreadSanitizer in build-tsan/
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
mode="${1:-}"
bash "$root/scripts/deps.sh"

case "$mode" in
  "") dir=build; flags=() ;;
  --sanitize) dir=build-asan; flags=(-DLOBBY_SANITIZE=ON) ;;
  --tsan) dir=build-tsan; flags=(-DLOBBY_TSAN=ON) ;;
  *) echo "usage: $0 [--sanitize|--tsan]" >&2; exit 2 ;;
esac

cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
cmake --build "$root/$dir"
# Any sanitizer report ends the process with an error, so it fails its test.
export ASAN_OPTIONS="abort_on_error=0:halt_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
cd "$root/$dir"
ctest --output-on-failure -j2 --timeout 300

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each one
# for SECONDS (default 60), one after the other, starting from a copy of its
# committed seed corpus (new inputs stay in a temporary directory) with its
# dictionary. Exits non-zero when a target finds a fault; the input that
# caused it is kept under build-fuzz/fuzz-artifacts/<target>/ until the
# next run.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac
targets=(client_stream lobby_script state_image proxy_header)

bash "$root/scripts/deps.sh" clang libclang-rt-14-dev

build="$root/build-fuzz"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOBBY_FUZZ=ON -DLOBBY_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]/%/_fuzzer}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Leaks are faults too; a fault stops the run at once.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

failed=()
summary=()
for target in "${targets[@]}"; do
  corpus="$work/$target"
  artifacts="$build/fuzz-artifacts/$target"
  log="$build/fuzz-$target.log"
  # Inputs kept by an earlier run go, so that only this run's faults show.
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  cp "$root/fuzz/corpus/$target/"* "$corpus/"
  echo "== $target: ${seconds}s (log: $log)"
  status=0
  "$build/${target}_fuzzer" "$corpus" -dict="$root/fuzz/$target.dict" \
    -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" >"$log" 2>&1 || status=$?
  # The last status line carries the coverage; the final stats the totals.
  cov="$(grep -E '^#[0-9]+' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [^ ]+' || true)"
  execs="$(grep -oE 'number_of_executed_units: [0-9]+' "$log" | grep -oE '[0-9]+' || echo '?')"
  rate="$(grep -oE 'average_exec_per_sec: +[0-9]+' "$log" | grep -oE '[0-9]+$' || echo '?')"
  summary+=("$target: $execs execs ($rate/s), $cov")
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    echo "!! $target failed (exit $status):"
    grep -E 'fault:|ERROR:|runtime error|SUMMARY' "$log" | head -n 20 || true
    for input in "$artifacts"/*; do
      [ -f "$input" ] || continue
      echo "   input $input: $(od -An -v -tx1 "$input" | tr -s ' \n' ' ' | head -c 2000)"
    done
    echo "   (last lines of the log follow)"
    tail -n 40 "$log"
  fi
done

echo "== fuzzing summary (${seconds}s each)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "no faults found"

#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time.
#   bash scripts/fuzz.sh [seconds per target, default 30] [targets at once, default nproc]
# Every target runs its full time, one core each, nproc of them side by side:
# the 18 targets at 30 s take 3 rounds of 30 s on eight cores (some 90 s)
# rather than nine minutes one after another. Each target's output goes to
# build/fuzz/logs/<target>.log; a failing target's log is printed.
# Without clang++ it says so and succeeds (the seed corpora are still replayed
# by CTest in the ordinary builds). clang and its fuzzer runtime come with
#   bash scripts/install-deps.sh --with-clang
# Each target starts from its checked-in seeds (fuzz/corpus/<target>) and keeps
# what it finds in build/fuzz/corpus-work/<target>; a crashing input is written
# to build/fuzz/artifacts/ and fails the run. Add such an input to the target's
# corpus folder once the fault is mended, so that CTest replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
jobs="${2:-$(nproc)}"

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ not found, fuzzing skipped (bash scripts/install-deps.sh --with-clang installs it)"
  exit 0
fi

# libFuzzer's runtime ships separately from the compiler on Debian.
probe_dir="$(mktemp -d)"
trap 'rm -rf "$probe_dir"' EXIT
printf '#include <cstddef>\n#include <cstdint>\nextern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }\n' \
  >"$probe_dir/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$probe_dir/probe.cpp" -o "$probe_dir/probe" >/dev/null 2>&1; then
  echo "fuzz: clang++ cannot link a libFuzzer target (missing libclang-rt-14-dev?);" \
       "run bash scripts/install-deps.sh --with-clang" >&2
  exit 1
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --parallel "$(nproc)"

build_dir=build/fuzz
mkdir -p "$build_dir/artifacts" "$build_dir/logs"

# One target: its run, its output in its log, the exit status of the fuzzer.
run_target() {
  local target="$1" work="$build_dir/corpus-work/$1"
  mkdir -p "$work"
  "$build_dir/fuzz/$target" "$work" "fuzz/corpus/$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build_dir/artifacts/$target-" >"$build_dir/logs/$target.log" 2>&1
}

targets=()
for source in fuzz/*Fuzzer.cpp; do
  targets+=("$(basename "$source" .cpp)")
done

echo "=== fuzzing ${#targets[@]} targets for ${seconds}s each, ${jobs} at once ==="
failed=()
declare -A running=() # pid -> target
for target in "${targets[@]}"; do
  while [ "${#running[@]}" -ge "$jobs" ]; do
    wait -n -p done_pid && status=0 || status=$?
    [ "$status" -eq 0 ] || failed+=("${running[$done_pid]}")
    echo "fuzz: ${running[$done_pid]} finished (exit $status)"
    unset "running[$done_pid]"
  done
  run_target "$target" &
  running[$!]="$target"
done
while [ "${#running[@]}" -gt 0 ]; do
  wait -n -p done_pid && status=0 || status=$?
  [ "$status" -eq 0 ] || failed+=("${running[$done_pid]}")
  echo "fuzz: ${running[$done_pid]} finished (exit $status)"
  unset "running[$done_pid]"
done

if [ "${#failed[@]}" -gt 0 ]; then
  for target in "${failed[@]}"; do
    echo "=== $target ===" >&2
    tail -n 60 "$build_dir/logs/$target.log" >&2
  done
  echo "fuzz: failures in ${failed[*]} (inputs in $build_dir/artifacts/, logs in $build_dir/logs/)" >&2
  exit 1
fi
echo "fuzz: all ${#targets[@]} targets ran ${seconds}s each without a finding"

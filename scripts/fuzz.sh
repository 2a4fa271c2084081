#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time.
#   bash scripts/fuzz.sh [seconds per target, default 30]
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
mkdir -p "$build_dir/artifacts"
failed=()
for source in fuzz/*Fuzzer.cpp; do
  target="$(basename "$source" .cpp)"
  work="$build_dir/corpus-work/$target"
  mkdir -p "$work"
  echo "=== fuzzing $target for ${seconds}s ==="
  if ! "$build_dir/fuzz/$target" "$work" "fuzz/corpus/$target" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build_dir/artifacts/$target-"; then
    failed+=("$target")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: failures in ${failed[*]} (inputs in $build_dir/artifacts/)" >&2
  exit 1
fi
echo "fuzz: all targets ran ${seconds}s without a finding"

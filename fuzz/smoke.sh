#!/usr/bin/env bash
# Builds the fuzz preset and runs each fuzzer for a minute (or $FUZZ_SECONDS)
# on its seed corpus. New inputs go to a scratch directory, so the seeds in
# the repository stay as they are. A crash, a sanitizer report or a verifier
# violation fails the run; the input that caused it is kept in the scratch
# directory, whose path is printed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
cmake --preset fuzz
cmake --build --preset fuzz --target request_fuzzer registry_fuzzer

scratch="$(mktemp -d)"
echo "scratch directory: $scratch"
for name in request registry; do
  mkdir -p "$scratch/$name" "$scratch/$name-findings"
  echo "== ${name}_fuzzer, ${seconds} s"
  # Deleted framework objects' storage is held back in a quarantine so that
  # stale handles stay stale; an input's allocations and frees never balance,
  # which would make libFuzzer's per-input leak check run on every input. The
  # verifier accounts for pool, objects, keys, MDLs and mappings instead.
  ./build/fuzz/fuzz/${name}_fuzzer -max_total_time="$seconds" -detect_leaks=0 -print_final_stats=1 \
    -artifact_prefix="$scratch/$name-findings/" "$scratch/$name" "fuzz/corpus/$name"
done
rm -rf "$scratch"

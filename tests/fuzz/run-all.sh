#!/usr/bin/env bash
# Builds the fuzz preset and runs every libFuzzer target for $FUZZ_SECONDS
# seconds (default 30), starting from the seed corpus in tests/fuzz/corpus.
# New inputs and crash artifacts go to build/fuzz/fuzz-work/<target>/.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${FUZZ_SECONDS:-30}
targets=(call_header record names inode_load mounttab exports webnfs nfs_args nlm_args control)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"

failed=()
for t in "${targets[@]}"; do
  work=build/fuzz/fuzz-work/$t
  mkdir -p "$work/corpus" "$work/artifacts"
  echo "=== fuzz_$t for ${seconds}s"
  if ! build/fuzz/bin/fuzz_$t -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" "tests/fuzz/corpus/$t"; then
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz targets that failed: ${failed[*]} (inputs in build/fuzz/fuzz-work/*/artifacts)" >&2
  exit 1
fi

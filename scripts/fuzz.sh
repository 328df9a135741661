#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, native, AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each for SECONDS seconds (default 60), then prints per target the executions, the
# coverage (libFuzzer's cov: edges and ft: features) and the crashes found.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]    targets: config_txt settings_txt root_path
#                                            desktop_ini service_log usn_records (all when
#                                            none is named)
#
# Each target starts from its seeds in fuzz/corpus/TARGET and keeps what it finds in
# build/fuzz/corpus/TARGET; an input that fails lands in build/fuzz/artifacts/TARGET and the
# script exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh
ensure_packages cmake make clang libclang-rt-dev

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] ||
  targets=(config_txt settings_txt root_path desktop_ini service_log usn_records)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

status=0
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  artifacts=build/fuzz/artifacts/$target
  log=build/fuzz/$target.log
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  # -timeout: an input that takes 10 s is a hang; -rss_limit_mb: one that takes 2 GiB a leak.
  run_status=0
  "build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
    -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$artifacts/" \
    "$corpus" "fuzz/corpus/$target" >"$log" 2>&1 || run_status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  crashes=$(find "$artifacts" -type f | wc -l)
  printf '%-13s %ss: %s executions, %s, %s crashes\n' "$target" "$seconds" \
    "${executions:-?}" "${coverage:-no coverage line}" "$crashes"
  if [ "$run_status" -ne 0 ] || [ "$crashes" -ne 0 ]; then
    echo "  failed (exit $run_status); see $log and $artifacts"
    status=1
  fi
done
exit $status

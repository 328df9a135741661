#!/usr/bin/env bash
# Benchmarks Tindral's scan and cleanup against `find TREE -type d` on generated folder trees, and
# the cleanup against `find TREE -name desktop.ini -type f -delete` too (the delete-only floor):
# builds the native product (native-release) and the Windows one, lays the trees out in a
# temporary folder, times whole processes natively and (the "photos" tree) under Wine, and
# writes bench-results/results.md (keeping its hand-written notes), results.json and plot.svg.
#
#   bench/run.sh              full trees (a few minutes natively, about 20 minutes in all)
#   bench/run.sh --quick      trees a tenth the size, into bench-results/tmp/quick
#   bench/run.sh --no-wine    native only
#   bench/run.sh --depth-only only the scan of a chain past the depth limit (depth_limit.py,
#                             1.6 million folders: minutes to build; bench-results/depth-limit.md)
#   bench/run.sh --changes-only  only the service's updates after changes (changes.py natively:
#                             about 8 minutes, 1 with --quick; then changes_wine.py, the latency
#                             under Wine's service manager, under a minute, unless --no-wine;
#                             bench-results/changes.md)
#
# TINDRAL_BUILD_PREFIX (default "build/") puts the two build trees elsewhere; TMPDIR the trees.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh
ensure_packages cmake make g++ git python3 time g++-mingw-w64-x86-64-posix \
  binutils-mingw-w64-x86-64 wine wine64

quick=""
wine=1
trees=1
depth=1
changes=1
for arg in "$@"; do
  case "$arg" in
    --quick) quick="--quick" ;;
    --no-wine) wine="" ;;
    --depth-only) trees=""; wine=""; changes="" ;;
    --changes-only) trees=""; depth="" ;;
    *) echo "usage: bench/run.sh [--quick] [--no-wine] [--depth-only|--changes-only]" >&2; exit 2 ;;
  esac
done

prefix="${TINDRAL_BUILD_PREFIX:-build/}"
native_build="$PWD/${prefix}native-release"
windows_build="$PWD/${prefix}windows"
if [ -n "$quick" ]; then
  results="$PWD/bench-results/tmp/quick"
else
  results="$PWD/bench-results"
fi
mkdir -p "$results"

echo "== Building the native product ($native_build)"
cmake --preset native-release -B "$native_build" >/dev/null
cmake --build "$native_build" -j "$(nproc)" --target tindral tindral_cleanup_driver >/dev/null

work="$(mktemp -d "${TMPDIR:-/tmp}/tindral-bench.XXXXXX")"
wine_args=(--no-wine)
cleanup() {
  if [ -n "$wine" ] && [ -n "${WINEPREFIX:-}" ]; then wineserver -k 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

if [ -n "$wine" ]; then
  echo "== Building the Windows product ($windows_build)"
  cmake --preset windows -B "$windows_build" >/dev/null
  cmake --build "$windows_build" -j "$(nproc)" --target tindral tindralctl tindral_cleanup_driver \
    >/dev/null
  # A prefix of the benchmark's own, made once; its server stays up for the whole run so that
  # each process starts quickly, and is stopped at the end.
  export WINEPREFIX="$windows_build/bench-wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
  [ -f "$WINEPREFIX/system.reg" ] || echo "(creating the Wine prefix $WINEPREFIX, once)"
  bash cmake/wine-fixture.sh setup
  wine_args=(--windows-build "$windows_build" --wine-prefix "$WINEPREFIX")
fi

if [ -n "$trees" ]; then
  python3 bench/measure.py $quick --native-build "$native_build" "${wine_args[@]}" \
    --work "$work" --json "$results/results.json"
  python3 bench/report.py "$results/results.json" "$results/results.md"
  python3 bench/plot.py "$results/results.json" "$results/plot.svg"
  echo
  cat "$results/results.md"
fi
if [ -n "$depth" ]; then
  echo
  python3 bench/depth_limit.py $quick --native-build "$native_build" --work "$work" \
    --json "$results/depth-limit.json" --markdown "$results/depth-limit.md"
fi
if [ -n "$changes" ]; then
  echo
  python3 bench/changes.py $quick --native-build "$native_build" --work "$work" \
    --json "$results/changes.json" --markdown "$results/changes.md"
  if [ -n "$wine" ]; then
    # Adds the section "Wine" to what changes.py has just written.
    echo
    python3 bench/changes_wine.py --windows-build "$windows_build" --work "$work" \
      --json "$results/changes.json" --markdown "$results/changes.md"
  fi
fi

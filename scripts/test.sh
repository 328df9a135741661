#!/usr/bin/env bash
# Builds both targets and runs every test: natively (with AddressSanitizer and
# UndefinedBehaviorSanitizer), the Windows build (with its MSI package) under Wine, and a few
# seconds of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh
# wixl builds the MSI package, which a test installs under Wine; binutils-mingw-w64-x86-64's
# windmc compiles the Event Log's message table; samba and smbclient serve a scanned tree for the
# file-server test; systemd brings systemd-analyze, which rates the confinement of the unit
# tindralctl writes (nothing here starts systemd); GNU time measures the deep-chain test's peak
# memory.
ensure_packages cmake make g++ git googletest g++-mingw-w64-x86-64-posix \
  binutils-mingw-w64-x86-64 wine wine64 wixl samba smbclient systemd time

jobs=$(nproc)
cmake --preset native
cmake --build --preset native -j "$jobs"
native_status=0
ctest --preset native || native_status=$?

cmake --preset windows
cmake --build --preset windows -j "$jobs"
windows_status=0
ctest --preset windows || windows_status=$?

fuzz_status=0
./scripts/fuzz.sh 5 || fuzz_status=$?

echo "native tests: exit $native_status; Windows tests under Wine: exit $windows_status;" \
  "fuzz targets: exit $fuzz_status"
[ "$native_status" -eq 0 ] && [ "$windows_status" -eq 0 ] && [ "$fuzz_status" -eq 0 ]

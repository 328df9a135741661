#!/usr/bin/env bash
# Tries Tindral out on a sample folder tree: builds the Windows executable and the native one,
# lays out a small tree (folders with and without content, a desktop.ini of somebody else's, a
# stale one of Tindral's) and a data folder of its own under build/run, runs one console scan
# with the Windows build under Wine and one with the native build, and shows the summary and
# which folders got an icon, and what tindralctl says about the configured roots. Nothing outside
# the build tree is touched.
#
# TINDRAL_BUILD_PREFIX (default "build/") puts the two build trees elsewhere.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-packages.sh
# wixl: the Windows build's default target makes the MSI package; windmc (binutils-mingw-w64)
# the Event Log's message table.
ensure_packages cmake make g++ git googletest g++-mingw-w64-x86-64-posix \
  binutils-mingw-w64-x86-64 wine wine64 wixl

prefix="${TINDRAL_BUILD_PREFIX:-build/}"
native_build="${prefix}native-release"
windows_build="${prefix}windows"
run_dir="$PWD/build/run"
jobs=$(nproc)

echo "== Building the native executable ($native_build)"
cmake --preset native-release -B "$native_build" >/dev/null
cmake --build "$native_build" -j "$jobs" --target tindral tindralctl >/dev/null
echo "== Building the Windows executable ($windows_build)"
cmake --preset windows -B "$windows_build" >/dev/null
cmake --build "$windows_build" -j "$jobs" --target tindral >/dev/null

# The sample tree, laid out afresh under `$1`.
make_sample_tree() {
  local tree="$1"
  rm -rf "$tree"
  mkdir -p "$tree/Photos/Trip" "$tree/Photos/Empty" "$tree/Music/Album" "$tree/Shared" \
           "$tree/Old" "$tree/Dotfiles"
  echo "beach" >"$tree/Photos/Trip/beach.jpg"
  echo "song" >"$tree/Music/Album/track01.mp3"
  echo "readme" >"$tree/Shared/readme.txt"
  # Somebody else's desktop.ini: no Tindral marker, so it is left exactly as it is.
  printf '[.ShellClassInfo]\r\nIconResource=C:\\Windows\\System32\\shell32.dll,3\r\n' \
    >"$tree/Shared/desktop.ini"
  # A desktop.ini Tindral wrote earlier into a folder that has since been emptied: removed.
  printf '[.ShellClassInfo]\r\nIconResource=C:\\ProgramData\\Tindral\\folder.ico,0\r\n[Tindral]\r\nGenerated=true\r\n' \
    >"$tree/Old/desktop.ini"
  # Names starting with "." are not content.
  echo "x" >"$tree/Dotfiles/.hidden"
}

# Every folder of `$1` with what the scan left in it, and the desktop.ini written at its top.
show_icons() {
  local tree="$1"
  echo "Folders after the scan:"
  find "$tree" -type d -print0 | sort -z | while IFS= read -r -d '' folder; do
    local state="no icon"
    if [ -e "$folder/desktop.ini" ]; then
      if grep -q '\[Tindral\]' "$folder/desktop.ini"; then
        state="icon"
      else
        state="its own desktop.ini, left alone"
      fi
    fi
    printf '  %-32s %s\n' "${folder#"$run_dir"/}" "$state"
  done
  echo "${tree#"$run_dir"/}/desktop.ini:"
  sed 's/\r$//; s/^/  /' "$tree/desktop.ini"
}

mkdir -p "$run_dir"

echo
echo "== Windows build under Wine"
wine_tree="$run_dir/tree-windows"
make_sample_tree "$wine_tree"
export WINEPREFIX="$run_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
[ -f "$WINEPREFIX/system.reg" ] || echo "(creating the Wine prefix $WINEPREFIX, once)"
bash cmake/wine-fixture.sh setup
# Wine sets ProgramData to C:\ProgramData for every Windows process, so the data folder of this
# run is C:\ProgramData\Tindral inside the prefix; the tree is reached through drive Z:.
wine_data="$WINEPREFIX/drive_c/ProgramData/Tindral"
mkdir -p "$wine_data"
printf '# the sample tree\r\nZ:%s\r\n' "${wine_tree//\//\\}" >"$wine_data/config.txt"
echo "config.txt: $(tail -n 1 "$wine_data/config.txt" | tr -d '\r')"
wine "$windows_build/service/tindral.exe" --console
wineserver -k 2>/dev/null || true
show_icons "$wine_tree"

echo
echo "== Native build"
native_tree="$run_dir/tree-native"
make_sample_tree "$native_tree"
native_data_base="$run_dir/native-data"
mkdir -p "$native_data_base/Tindral"
printf '# the sample tree\n%s\n' "$native_tree" >"$native_data_base/Tindral/config.txt"
echo "config.txt: $native_tree"
ProgramData="$native_data_base" "$native_build/service/tindral" --console
show_icons "$native_tree"
echo "tindralctl roots list (what the service would scan):"
ProgramData="$native_data_base" "$native_build/service/tindralctl" roots list

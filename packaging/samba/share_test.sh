#!/usr/bin/env bash
# A Linux file server's Windows clients see the native build's attributes: a tree scanned by the
# native tindral is served by Samba (store dos attributes = yes) on a private port of the
# loopback address, and smbclient's allinfo must report each decorated folder read-only and its
# desktop.ini hidden and system, with the icon path the clients reach (settings.txt's icon).
#
# Usage: share_test.sh TINDRAL_PROGRAM
# Exit 77 (skipped) without smbd or smbclient, or without root (smbd switches users).
#
# Samba reads the share as the guest account, which must reach it: the tree lies in a folder of
# the test's own below /tmp, never in the build folder, whose checkout may sit below a folder that
# other accounts cannot enter (root's home, or any home that Debian creates 0700).
set -euo pipefail
program="$1"

for tool in smbd smbclient; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (apt-get install samba smbclient)"
    exit 77
  fi
done
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: smbd must start as root"
  exit 77
fi

work=$(mktemp -d -p /tmp tindral-samba.XXXXXX)
stop_smbd() { :; }
finish() {
  stop_smbd
  rm -rf "$work"
}
trap finish EXIT
mkdir -p "$work"/{share/album,share/empty,programdata/Tindral,state,lock,cache,pid,private,log}
chmod 755 "$work" "$work/share"
echo jpeg >"$work/share/album/photo.jpg"
icon='\\fileserver\icons\folder.ico'
printf '%s\n' "$work/share" >"$work/programdata/Tindral/config.txt"
printf 'icon=%s\n' "$icon" >"$work/programdata/Tindral/settings.txt"
ProgramData="$work/programdata" NO_COLOR=1 "$program" --console >"$work/scan.out"
grep -q "Desktop.ini written: 2" "$work/scan.out" || { cat "$work/scan.out"; exit 1; }

# A port of the dynamic range, so that two runs on one machine do not meet.
port=$((49152 + RANDOM % 16000))
cat >"$work/smb.conf" <<CONF
[global]
  server role = standalone server
  smb ports = $port
  interfaces = 127.0.0.1
  bind interfaces only = yes
  state directory = $work/state
  lock directory = $work/lock
  cache directory = $work/cache
  pid directory = $work/pid
  private dir = $work/private
  ncalrpc dir = $work/lock/ncalrpc
  log file = $work/log/smbd.log
  map to guest = Bad User
  load printers = no
  disable spoolss = yes
  printcap name = /dev/null
[photos]
  path = $work/share
  guest ok = yes
  read only = yes
  store dos attributes = yes
CONF

# On its way out smbd signals its whole process group, which must not be the test runner's:
# setsid gives it a group of its own (and --no-process-group keeps it from making one itself,
# which a session leader cannot), and stopping it signals that group.
setsid smbd -s "$work/smb.conf" --foreground --no-process-group --debug-stdout >"$work/smbd.out" 2>&1 &
smbd_pid=$!
stop_smbd() {
  kill -- "-$smbd_pid" 2>/dev/null || true
  wait "$smbd_pid" 2>/dev/null || true
}

client() {
  smbclient -p "$port" -N "//127.0.0.1/photos" -c "$1" 2>&1
}
for _ in $(seq 1 50); do
  client 'ls' >/dev/null && break
  sleep 0.2
done

attributes() {
  client "allinfo \"$1\"" | sed -n 's/^attributes: //p'
}
failures=0
expect_attributes() {
  local actual
  actual=$(attributes "$1")
  if [ "$actual" != "$2" ]; then
    echo "FAIL: allinfo $1: attributes '$actual', expected '$2'"
    failures=$((failures + 1))
  fi
}
expect_attributes "" "RD (11)"
expect_attributes "album" "RD (11)"
expect_attributes "album/desktop.ini" "HS (6)"
expect_attributes "desktop.ini" "HS (6)"
expect_attributes "empty" "D (10)"

client "get album/desktop.ini \"$work/fetched.ini\"" >/dev/null
printf '[.ShellClassInfo]\r\nIconResource=%s,0\r\n[Tindral]\r\nGenerated=true\r\n' "$icon" \
  >"$work/expected.ini"
if ! cmp -s "$work/fetched.ini" "$work/expected.ini"; then
  echo "FAIL: album/desktop.ini as the clients read it:"
  od -c "$work/fetched.ini" | head -20
  failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
  echo "smbd's output:"
  tail -20 "$work/smbd.out"
  exit 1
fi
echo "Samba serves the decorated tree: folders RD, desktop.ini HS, IconResource=$icon,0"

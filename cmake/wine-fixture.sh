#!/usr/bin/env bash
# Creates (once) and starts the Wine prefix in WINEPREFIX, or stops its server: for the tests' CTest
# fixture and for the run and benchmark scripts.
set -euo pipefail
case "${1:-}" in
  setup)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1 </dev/null || true
      wineserver -w
    fi
    # The server outlives this script: keep it away from CTest's pipes, or CTest waits for it.
    # One still running from an earlier run that was cut short before its cleanup serves as well
    # (a second "wineserver -p" exits with 2).
    wineserver -p >/dev/null 2>&1 </dev/null || [ "$?" -eq 2 ]
    # A first process, with its output kept away from CTest's pipes.
    wine cmd /c exit >/dev/null 2>&1 </dev/null
    ;;
  cleanup)
    wineserver -k || true
    ;;
  *)
    echo "usage: wine-fixture.sh setup|cleanup" >&2
    exit 2
    ;;
esac

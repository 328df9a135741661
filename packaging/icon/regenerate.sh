#!/usr/bin/env bash
# Draws packaging/icon/folder.ico again from folder-icon.json, installing Debian's Pillow
# (python3-pil) first when it is missing. The build uses the committed icon; run this only after
# changing the shapes, and commit both.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/ensure-packages.sh
ensure_packages python3 python3-pil
/usr/bin/python3 packaging/icon/make_icon.py packaging/icon/folder.ico

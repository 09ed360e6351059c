#!/usr/bin/env bash
# Lays launcher roots whose launcher-state or launcher-state.tmp is a symbolic
# link to a folder, on the Wine prefix's C: drive.
# Usage: make_state_links.sh <wine-env.sh> <folder under drive_c>
set -euo pipefail
source "$1"
base="$WINEPREFIX/drive_c/$2"

rm -rf "$base"
mkdir -p "$base/target" "$base/state-linked" "$base/temp-linked"
ln -s ../target "$base/state-linked/launcher-state"
ln -s ../target "$base/temp-linked/launcher-state.tmp"

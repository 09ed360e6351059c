#!/usr/bin/env bash
# Lays launcher roots with symbolic links to folders at chosen depths on the
# Wine prefix's C: drive. Usage: make_links.sh <wine-env.sh> <folder under drive_c>
set -euo pipefail
source "$1"
base="$WINEPREFIX/drive_c/$2"
id=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef

rm -rf "$base"
mkdir -p "$base/plain/Starter/versions/$id" "$base/elsewhere/Starter/versions/$id"
printf 'x' >"$base/plain/Starter/versions/$id/QorLauncher.exe"
printf 'x' >"$base/elsewhere/Starter/versions/$id/QorLauncher.exe"

# A folder above the launcher root is a link.
ln -s elsewhere "$base/above"

# The versions folder is a link.
mkdir -p "$base/versions-link/Starter"
ln -s ../../elsewhere/Starter/versions "$base/versions-link/Starter/versions"

# The last element is a link: a state file and a version folder.
mkdir -p "$base/last/Starter/versions"
ln -s ../../elsewhere/Starter "$base/last/Starter/launcher-state"
ln -s "../../../elsewhere/Starter/versions/$id" "$base/last/Starter/versions/$id"

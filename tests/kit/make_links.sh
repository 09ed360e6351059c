#!/usr/bin/env bash
# Lays launcher roots where the version to be staged is reached through a symbolic
# link to a folder (which Wine shows as a reparse point), on the Wine prefix's C: drive.
# Usage: make_links.sh <wine-env.sh> <folder under drive_c>
set -euo pipefail
source "$1"
base="$WINEPREFIX/drive_c/$2"
id=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef  # kV3 of launcher_kit_test.cpp

rm -rf "$base"
mkdir -p "$base/elsewhere/versions/$id"
printf 'MZ' >"$base/elsewhere/versions/$id/QorLauncher.exe"

# The versions folder is a link.
mkdir -p "$base/versions-link"
ln -s ../elsewhere/versions "$base/versions-link/versions"

# The version folder is a link.
mkdir -p "$base/folder-link/versions"
ln -s "../../elsewhere/versions/$id" "$base/folder-link/versions/$id"

# The executable is a link (to a folder: a link to a file shows as a plain file).
mkdir -p "$base/executable-link/versions/$id"
ln -s "../../../elsewhere/versions/$id" "$base/executable-link/versions/$id/QorLauncher.exe"

# Links at names the kit writes: a dangling one at update.lock, one to a file outside and a
# dangling one at launcher-state.staging.
for place in lock-dangling staging-to-file staging-dangling; do
  mkdir -p "$base/$place/root/versions/$id" "$base/$place/outside"
  printf 'MZ' >"$base/$place/root/versions/$id/QorLauncher.exe"
done
ln -s ../outside/lock "$base/lock-dangling/root/update.lock"
printf 'keep me\n' >"$base/staging-to-file/outside/victim.txt"
ln -s ../outside/victim.txt "$base/staging-to-file/root/launcher-state.staging"
ln -s ../outside/staging "$base/staging-dangling/root/launcher-state.staging"

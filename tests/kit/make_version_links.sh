#!/usr/bin/env bash
# Lays a launcher root whose versions folder holds Unix symbolic links to folders
# outside it, one empty and one not, which Wine reports as reparse points.
# Usage: make_version_links.sh <wine-env.sh> <folder under drive_c>
set -euo pipefail
source "$1"
base="$WINEPREFIX/drive_c/$2"
current=$(printf 'c%.0s' {1..64})
old_a=$(printf 'a%.0s' {1..64})
old_b=$(printf 'b%.0s' {1..64})

rm -rf "$base"
mkdir -p "$base/root/versions/$current" "$base/outside/empty" "$base/outside/full"
printf 'MZ' >"$base/root/versions/$current/QorLauncher.exe"
printf 'Qor launcher 1\n%s\n-\n0\n' "$current" >"$base/root/launcher-state"
printf 'keep me\n' >"$base/outside/full/keep.txt"
ln -s ../../outside/empty "$base/root/versions/$old_a"
ln -s ../../outside/full "$base/root/versions/$old_b"

# An old version holding a file and a link to a file outside the root (a plain file to Wine).
old_d=$(printf 'd%.0s' {1..64})
mkdir -p "$base/root/versions/$old_d"
printf 'notes\n' >"$base/root/versions/$old_d/notes.txt"
printf 'precious\n' >"$base/outside/precious.txt"
ln -s ../../../outside/precious.txt "$base/root/versions/$old_d/precious.txt"

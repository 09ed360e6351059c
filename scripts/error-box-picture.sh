#!/usr/bin/env bash
# Renders the starter's real error box under Wine on a virtual X display, saves
# docs/error-box.png and closes the box. Installs what is missing (Debian, as root).
# Usage: scripts/error-box-picture.sh [output.png]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
project=$(cd "$here/.." && pwd)
out=${1:-$project/docs/error-box.png}
build=${QOR_BUILD_DIR:-$project/build}

"$here/setup-machine.sh" xvfb screenshot
if ! command -v xdotool >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends xdotool >/dev/null
fi
if [ ! -f "$build/bin/QorStarter.exe" ] || [ ! -f "$build/bin/sample/QorLauncher.exe" ]; then
  make -C "$project" build
fi

# A prefix of its own: a desktop process that the headless tests started in the
# shared prefix would have no display to draw on.
export QOR_WINEPREFIX="$project/build/wine-prefix-picture"
"$here/wine-prefix-init"
# Without a window manager Wine draws the caption bar itself only when told to.
"$here/wine-run" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
# Let that headless session end: its desktop process could not draw on the display.
WINEPREFIX="$QOR_WINEPREFIX" wineserver -w

# A launcher root whose only version fails before readiness: the most common box.
root="$QOR_WINEPREFIX/drive_c/Qor Picture"
identity=$(printf '%064d' 1)
rm -rf "$root"
mkdir -p "$root/versions/$identity"
cp "$build/bin/QorStarter.exe" "$root/"
cp "$build/bin/sample/QorLauncher.exe" "$root/versions/$identity/"
touch "$root/versions/$identity/broken"
printf 'Qor launcher 1\n%s\n-\n0\n' "$identity" >"$root/launcher-state"

display=:$((90 + RANDOM % 400))
Xvfb "$display" -screen 0 640x400x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
starter=""
cleanup() {
  [ -n "$starter" ] && kill "$starter" 2>/dev/null || true
  # Wine's desktop process leaves by itself; end the display only after it.
  WINEPREFIX="$QOR_WINEPREFIX" timeout 30 wineserver -w || true
  kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT
export DISPLAY=$display QOR_KEEP_DISPLAY=1
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

"$here/wine-run" "$root/QorStarter.exe" &
starter=$!

window=""
for _ in $(seq 300); do
  window=$(xdotool search --name '^Qor Launcher$' 2>/dev/null | head -n1 || true)
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "error-box-picture: no box appeared" >&2; exit 1; }
sleep 1  # let it finish drawing

mkdir -p "$(dirname "$out")"
import -window "$window" "$out"

xdotool key --window "$window" Return 2>/dev/null
status=0
wait "$starter" || status=$?
starter=""
if [ "$status" -ne 1 ]; then
  echo "error-box-picture: the starter exited with $status after the box was closed, expected 1" >&2
  exit 1
fi
echo "Saved $out; the box was closed and the starter exited with 1."

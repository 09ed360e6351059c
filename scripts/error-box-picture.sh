#!/usr/bin/env bash
# Renders the starter's real error box under Wine on a virtual X display, saves it
# and closes the box. Installs what is missing (Debian, as root).
# Usage: scripts/error-box-picture.sh [--non-ascii] [output.png]
#   the most common box, a version that fails before readiness: docs/error-box.png
#   --non-ascii: launcher-state missing in C:\runs\Jürgen 日本 été\r, a box that names
#   a path in UTF-8: docs/error-box-non-ascii.png
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
project=$(cd "$here/.." && pwd)
non_ascii=""
if [ "${1:-}" = "--non-ascii" ]; then
  non_ascii=1
  shift
fi
out=${1:-$project/docs/error-box${non_ascii:+-non-ascii}.png}
build=${QOR_BUILD_DIR:-$project/build}

"$here/setup-machine.sh" xvfb screenshot
missing=()
command -v xdotool >/dev/null || missing+=(xdotool)
# Wine draws Chinese and Japanese letters only with a font that has them.
[ -z "$non_ascii" ] || [ -f /usr/share/fonts/truetype/wqy/wqy-microhei.ttc ] || missing+=(fonts-wqy-microhei)
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
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
if [ -n "$non_ascii" ]; then
  # The box's font borrows the letters it lacks from Windows' CJK fonts: this one stands in.
  "$here/wine-run" reg add 'HKCU\Software\Wine\Fonts\Replacements' \
    /v 'MS UI Gothic' /t REG_SZ /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1
fi
# Let that headless session end: its desktop process could not draw on the display.
WINEPREFIX="$QOR_WINEPREFIX" wineserver -w

identity=$(printf '%064d' 1)
if [ -n "$non_ascii" ]; then
  # A user folder that is not ASCII, and no launcher-state: the box names the path.
  top="$QOR_WINEPREFIX/drive_c/runs"
  root="$top/Jürgen 日本 été/r"
  rm -rf "$top"
  mkdir -p "$root/versions/$identity"
else
  # A launcher root whose only version fails before readiness: the most common box.
  top="$QOR_WINEPREFIX/drive_c/Qor Picture"
  root=$top
  rm -rf "$top"
  mkdir -p "$root/versions/$identity"
  touch "$root/versions/$identity/broken"
  printf 'Qor launcher 1\n%s\n-\n0\n' "$identity" >"$root/launcher-state"
fi
cp "$build/bin/QorStarter.exe" "$root/"
cp "$build/bin/sample/QorLauncher.exe" "$root/versions/$identity/"

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
  rm -rf "$top"
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

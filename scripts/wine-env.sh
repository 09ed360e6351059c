# Sourced: points Wine at the project's own prefix under build/, never ~/.wine.
_qor_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${QOR_WINEPREFIX:-$_qor_root/build/wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
# Headless by default: MessageBoxA then returns at once instead of waiting for a click.
[ -n "${QOR_KEEP_DISPLAY:-}" ] || unset DISPLAY
unset _qor_root

#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, without questions.
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
# The starter's own build uses the win32 thread model (cmake/mingw-w64-x86_64-win32.cmake).
command -v x86_64-w64-mingw32-g++-win32 >/dev/null || need+=(g++-mingw-w64-x86-64-win32)
command -v x86_64-w64-mingw32-objdump >/dev/null || need+=(binutils-mingw-w64-x86-64)
command -v wine >/dev/null || need+=(wine wine64)
[ -d /usr/lib/wine ] && [ -e /usr/lib/wine/wine64 ] || need+=(wine64)
# Wine's TLS (HTTPS through WinHTTP) loads GnuTLS at run time; libwine only recommends it.
[ -e /usr/lib/x86_64-linux-gnu/libgnutls.so.30 ] || need+=(libgnutls30)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
command -v python3 >/dev/null || need+=(python3)
# QorRelease signs feeds with Python's cryptography package.
python3 -c 'import cryptography' 2>/dev/null || need+=(python3-cryptography)
# The kit's bindings: Rust, Go and C# launchers are built by Debian's own toolchains
# (called by full path: a rustup Rust on PATH has no Windows standard library).
[ -x /usr/bin/cargo ] || need+=(cargo)
[ -x /usr/bin/rustc ] || need+=(rustc)
[ -d /usr/lib/rustlib/x86_64-pc-windows-gnu ] || need+=(libstd-rust-dev-windows)
[ -x /usr/lib/go/bin/go ] || need+=(golang-go)
[ -x /usr/bin/mcs ] || need+=(mono-mcs)
# Node: the build's own node and npm install the packaged Node binding (its dependencies pinned
# by tests/bindings/launchers/node/author, the Windows packages the binding's own checks run on
# by .../node/tools) and run its qor-node-launcher, which fetches Windows Node
# and koffi's Windows addon through npm; a node other than 20.20.2 also fetches that Node for
# this machine, to make the single executable's blob.
command -v node >/dev/null || need+=(nodejs)
command -v npm >/dev/null || need+=(npm)
for extra in "$@"; do
  case "$extra" in
    xvfb) command -v Xvfb >/dev/null || need+=(xvfb) ;;
    screenshot) command -v import >/dev/null || need+=(imagemagick) ;;
    hyperfine) command -v hyperfine >/dev/null || need+=(hyperfine) ;;
    time) [ -x /usr/bin/time ] || need+=(time) ;;
    # The benchmark's baseline for download_update.
    curl) command -v curl >/dev/null || need+=(curl) ;;
  esac
done
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

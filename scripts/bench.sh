#!/usr/bin/env bash
# What the starter costs under Wine, against baselines of ours taken in the same run.
# Prints a table and writes build/bench/results.json and results.md; never fails on a time.
# `scripts/bench.sh install` measures only install_version against xcopy /E;
# `scripts/bench.sh delivery` only the one-file update and download_update against curl.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export QOR_BUILD_DIR="${QOR_BUILD_DIR:-$PWD/build}"
exec python3 bench/bench.py "$@"

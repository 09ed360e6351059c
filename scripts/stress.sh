#!/usr/bin/env bash
# The reliability suite at full size (make test runs the same tests with small counts):
# killed starters, eight simultaneous starters, random readiness markers, redirects,
# installs of a large version killed at random moments, and 10,000 random argument lists
# through a real process start.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
project=$PWD
export QOR_BUILD_DIR="${QOR_BUILD_DIR:-$project/build}"
export QOR_CRASH_KILLS="${QOR_CRASH_KILLS:-520}"
export QOR_MARKER_CASES="${QOR_MARKER_CASES:-200}"
export QOR_LOCK_ROUNDS="${QOR_LOCK_ROUNDS:-5}"
export QOR_INSTALL_KILLS="${QOR_INSTALL_KILLS:-200}"
started=$SECONDS

(cd tests/reliability && python3 -m unittest -v test_crash_safety test_lock_under_load test_marker_bytes test_redirects)

echo "== $QOR_INSTALL_KILLS installs of a large version killed at random moments"
"$project/scripts/wine-run" "$QOR_BUILD_DIR/bin/kit_tests.exe" --gtest_filter='VersionStore.InstallsKilled*'

echo "== 10,000 random argument lists through a real process start"
"$project/scripts/wine-run" "$QOR_BUILD_DIR/bin/process_round_trip_test.exe" --lists=10000

# Generated and mutated state files through the reader run in make test (state_tests).
echo "stress finished in $((SECONDS - started)) s"

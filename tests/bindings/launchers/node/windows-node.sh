#!/usr/bin/env bash
# Runs Windows node.exe under the project's Wine prefix with its output through a file:
# under Wine it can write neither to a terminal nor to a pipe (EBADF).
#   windows-node.sh <node.exe> <arguments>...
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
output=$(mktemp)
"$here/../../../../scripts/wine-run" "$@" >"$output" 2>&1
status=$?
cat "$output"
rm -f "$output"
exit $status

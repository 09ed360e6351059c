#!/usr/bin/env bash
# make demo: builds only what the demo runs (the starter and the sample launcher), with its
# output kept in a log that is shown only when the build fails, so that the first screen is
# the narration; then the narrated start, update, rollback and failures under Wine (demo.py).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
project=$(dirname "$here")
build="$project/build"
log="$build/demo-build.log"
mkdir -p "$build"
if ! (cd "$project" && cmake --preset mingw && cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" \
        --target QorStarter sample_launcher -- --no-print-directory) >"$log" 2>&1; then
  echo "make demo: building the starter and the sample failed; the build's output ($log):" >&2
  cat "$log" >&2
  exit 1
fi
exec python3 "$here/demo.py" "$@"

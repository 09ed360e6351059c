#!/usr/bin/env bash
# make demo: the narrated start, update, rollback and failures under Wine (see scripts/demo.py).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
exec python3 "$here/demo.py" "$@"

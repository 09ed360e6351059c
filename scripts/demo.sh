#!/usr/bin/env bash
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
echo "QorStarter.exe --bootstrap-version:"
"$here/wine-run" "$here/../build/bin/QorStarter.exe" --bootstrap-version

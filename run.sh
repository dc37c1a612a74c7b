#!/usr/bin/env bash
# Builds Fotarik (installing missing Debian packages first) and starts it.
#   ./run.sh [FOLDER-OR-FILE]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$here/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$here/build" --parallel "$(nproc)" --target fotarik
exec "$here/build/app/fotarik" "$@"

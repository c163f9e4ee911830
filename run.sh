#!/usr/bin/env bash
# Builds Zelvan (installing what it needs) and starts its window; arguments are files or folders
# to put in its list.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build
exec build/zelvan "$@"

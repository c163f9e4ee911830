#!/usr/bin/env bash
# Builds Zelvan (installing what it needs) and starts it. Until the main window lands this
# starts the command-line converter: without arguments it shows its help.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build
if [ $# -eq 0 ]; then set -- --help; fi
exec build/zelvan-cli "$@"

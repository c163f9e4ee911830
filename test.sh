#!/usr/bin/env bash
# Builds Zelvan and runs every test: installs the Debian packages, unpacks the test images from
# Debian packages into build/corpora, builds (release) and runs CTest.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
scripts/fetch-test-corpora.sh build/corpora
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELVAN_CORPORA_DIR="$PWD/build/corpora" >/dev/null
cmake --build build
cd build && ctest --output-on-failure -j"$(nproc)" "$@"

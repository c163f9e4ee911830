#!/usr/bin/env bash
# fuzz.sh [SECONDS] [READER...]
#
# Builds the readers with clang 14, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer
# in build-fuzz/ and runs each reader's fuzzer for SECONDS (default 20), seeded with the test
# corpora of that format when they have been fetched. A crash leaves its input in
# build-fuzz/crashes/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-20}
shift || true
READERS=("$@")
[ ${#READERS[@]} -gt 0 ] || READERS=(bmp ico tga pnm pcx sgi jpeg png gif tiff jpeg2000)

declare -A EXTS=(
  [bmp]="bmp dib rle" [ico]="ico cur" [tga]="tga" [pnm]="pnm ppm pgm pbm" [pcx]="pcx"
  [sgi]="sgi rgb rgba bw" [jpeg]="jpg jpeg" [png]="png" [gif]="gif" [tiff]="tif tiff" [jpeg2000]="jp2 j2k jpc"
)

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DZELVAN_FUZZ=ON -DZELVAN_TESTS=OFF -DZELVAN_BENCH=OFF \
  -DZELVAN_SANITIZE=address,undefined \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link -fno-sanitize-recover=undefined" >/dev/null
ninja -C build-fuzz $(printf 'fuzz_%s ' "${READERS[@]}")

CORPORA=${ZELVAN_CORPORA_DIR:-build/corpora}
mkdir -p build-fuzz/crashes
status=0
for r in "${READERS[@]}"; do
  seeds=build-fuzz/seeds/$r
  mkdir -p "$seeds"
  if [ -d "$CORPORA" ]; then
    for e in ${EXTS[$r]}; do
      find "$CORPORA" -type f -iname "*.$e" -size -2M -exec cp -n {} "$seeds/" \; 2>/dev/null || true
    done
  fi
  echo "fuzzing $r for ${SECONDS_EACH}s ($(ls "$seeds" | wc -l) seeds)" >&2
  if ! ./build-fuzz/fuzz_$r -max_total_time="$SECONDS_EACH" -rss_limit_mb=3072 -max_len=1048576 \
        -artifact_prefix=build-fuzz/crashes/$r- "$seeds" 2> build-fuzz/fuzz_$r.log; then
    echo "fuzz_$r found a failure:" >&2
    tail -40 build-fuzz/fuzz_$r.log >&2
    status=1
  fi
done
exit $status

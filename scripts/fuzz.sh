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
[ ${#READERS[@]} -gt 0 ] || READERS=(bmp ico tga pnm pcx sgi jpeg png gif tiff jpeg2000 heif avif webp jxl)

declare -A EXTS=(
  [bmp]="bmp dib rle" [ico]="ico cur" [tga]="tga" [pnm]="pnm ppm pgm pbm" [pcx]="pcx"
  [sgi]="sgi rgb rgba bw" [jpeg]="jpg jpeg" [png]="png" [gif]="gif" [tiff]="tif tiff" [jpeg2000]="jp2 j2k jpc"
  [heif]="heic heif hif" [avif]="avif" [webp]="webp" [jxl]="jxl"
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
  # The corpora hold few HEIF and AVIF files: the reference encoders make small seeds when present.
  if [ "$r" = heif ] || [ "$r" = avif ]; then
    if convert -size 24x16 plasma:fractal -alpha set "$seeds/seed.png" 2>/dev/null; then
      case $r in
        heif) heif-enc -q 40 "$seeds/seed.png" -o "$seeds/seed.heic" >/dev/null 2>&1 || true ;;
        avif) avifenc -s 9 "$seeds/seed.png" "$seeds/seed.avif" >/dev/null 2>&1 || true ;;
      esac
    fi
    rm -f "$seeds/seed.png"
  fi
  # WebP and JPEG XL seeds from the reference encoders: lossy and lossless, with alpha.
  if [ "$r" = webp ] || [ "$r" = jxl ]; then
    if convert -size 24x16 plasma:fractal -alpha set -channel A -evaluate set 60% "$seeds/seed.png" 2>/dev/null; then
      case $r in
        webp) cwebp -quiet -q 50 "$seeds/seed.png" -o "$seeds/lossy.webp" >/dev/null 2>&1 || true
              cwebp -quiet -lossless "$seeds/seed.png" -o "$seeds/lossless.webp" >/dev/null 2>&1 || true ;;
        jxl) cjxl -q 60 "$seeds/seed.png" "$seeds/lossy.jxl" >/dev/null 2>&1 || true
             cjxl -d 0 "$seeds/seed.png" "$seeds/lossless.jxl" >/dev/null 2>&1 || true ;;
      esac
    fi
    rm -f "$seeds/seed.png"
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

#!/usr/bin/env bash
# modern-formats.sh CORPUS [RUNS]
#
# WebP, AVIF and JPEG XL outputs side by side, one hyperfine call per format so that each ratio
# comes from the same stretch of time: one zelvan-cli process with 2 threads, against vips' savers
# and the reference encoders (cwebp, avifenc, cjxl), each of those one file per process with
# `xargs -P2`, one thread each, at the same settings:
#
#   WebP  quality 80, effort 4         cwebp -q 80 -m 4          vips webpsave Q=80 effort=4
#   AVIF  quality 60, speed 6, 4:2:0   avifenc -s 6 --min 25 --max 25 (quantizer 25 = zelvan's 60)
#                                      vips heifsave compression=av1 Q=60 effort=3 (speed 9 - effort)
#   JXL   quality 90, effort 7         cjxl -q 90 -e 7           vips jxlsave Q=90 effort=7
#
# The sources are the benchmark corpus's 18 photos fitted into 1920x1080 (prepare.sh's PPMs),
# turned into PNG once outside the timing (every tool reads PNG; encoding dominates at this size).
# Prints medians, ratios against vips and the reference tool, and the bytes each tool wrote.
#
#   bench/make-corpus.sh /dev/shm/zc && ../shared/bench/prepare.sh /dev/shm/zc
#   bench/modern-formats.sh /dev/shm/zc 3
#
# Tools: apt-get install hyperfine libvips-tools webp libavif-bin libjxl-tools imagemagick
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" = job ]; then
  # modern-formats.sh job NAME SOURCES OUT: one timed job; the file names come from SOURCES/list.txt
  name=$2 src=$3 out=$4/$2
  rm -rf "$out" && mkdir -p "$out"
  cd "$src"
  export VIPS_CONCURRENCY=1
  x() { xargs -P2 -I{} "$@" < list.txt; }
  zelvan() { QT_QPA_PLATFORM=offscreen "$ZELVAN_CLI" --set Threads=2 --set Rename_enabled=0 --set Exif=0 \
               --set Overwrite=1 -o "$out" "$@" - < list.txt >/dev/null; }
  case $name in
    webp-zelvan) zelvan --set Output_format=6 --set WEBP_quality=80 --set WEBP_lossless=0 --set WEBP_effort=4 ;;
    webp-vips)   x vips webpsave {} "$out/{}.webp" --Q 80 --effort 4 ;;
    webp-cwebp)  x cwebp -quiet -q 80 -m 4 {} -o "$out/{}.webp" ;;
    avif-zelvan) zelvan --set Output_format=7 --set AVIF_quality=60 --set AVIF_speed=6 ;;
    avif-vips)   x vips heifsave {} "$out/{}.avif" --compression av1 --Q 60 --effort 3 ;;
    avif-avifenc) x sh -c 'exec avifenc -j 1 -s 6 --min 25 --max 25 -y 420 "$0" "$1/$0.avif" >/dev/null' {} "$out" ;;
    jxl-zelvan)  zelvan --set Output_format=8 --set JXL_quality=90 --set JXL_lossless=0 --set JXL_effort=7 ;;
    jxl-vips)    x vips jxlsave {} "$out/{}.jxl" --Q 90 --effort 7 ;;
    jxl-cjxl)    x sh -c 'exec cjxl --quiet --num_threads=0 -q 90 -e 7 "$0" "$1/$0.jxl" 2>/dev/null' {} "$out" ;;
    *) echo "unknown job $name" >&2; exit 2 ;;
  esac
  exit 0
fi

CORPUS=${1:?usage: modern-formats.sh CORPUS [RUNS]}
RUNS=${2:-3}
export ZELVAN_CLI=${ZELVAN_CLI:-$(cd "$HERE/.." && pwd)/build/zelvan-cli}
[ -x "$ZELVAN_CLI" ] || { echo "build zelvan-cli first (cmake --build build)" >&2; exit 2; }
for tool in hyperfine vips cwebp avifenc cjxl convert; do
  command -v $tool >/dev/null || { echo "$tool is needed" >&2; exit 2; }
done
[ -d "$CORPUS/prep/ppm-1080" ] || { echo "run ../shared/bench/prepare.sh $CORPUS first" >&2; exit 2; }

WORK=${ZELVAN_BENCH_WORK:-/dev/shm/zelvan-modern}
SOURCES=$WORK/sources
if [ ! -f "$SOURCES/list.txt" ]; then
  mkdir -p "$SOURCES"
  for ppm in "$CORPUS"/prep/ppm-1080/*.ppm; do
    b=$(basename "$ppm" .ppm)
    convert "$ppm" "$SOURCES/$b.png"
  done
  # Largest first, as the other benchmarks hand files out.
  (cd "$SOURCES" && ls -S ./*.png | sed 's|^\./||') > "$SOURCES/list.txt.tmp" && mv "$SOURCES/list.txt.tmp" "$SOURCES/list.txt"
fi
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg); $(wc -l < "$SOURCES/list.txt") sources, $RUNS runs" >&2

for format in webp avif jxl; do
  case $format in
    webp) jobs=(webp-zelvan webp-vips webp-cwebp) ;;
    avif) jobs=(avif-zelvan avif-vips avif-avifenc) ;;
    jxl) jobs=(jxl-zelvan jxl-vips jxl-cjxl) ;;
  esac
  args=()
  for j in "${jobs[@]}"; do args+=(-n "$j" "$0 job $j $SOURCES $WORK/out"); done
  hyperfine -N -r "$RUNS" -w 1 --export-json "$WORK/$format.json" "${args[@]}" >/dev/null 2>&1
  python3 - "$WORK/$format.json" "$WORK/out" "${jobs[@]}" <<'PY'
import json, os, sys
results = {r['command']: r['median'] for r in json.load(open(sys.argv[1]))['results']}
out, jobs = sys.argv[2], sys.argv[3:]
def size(job):
    d = os.path.join(out, job)
    return sum(os.path.getsize(os.path.join(d, f)) for f in os.listdir(d))
ours = results[jobs[0]]
ourSize = size(jobs[0])
line = ['%s %.2f s %.1f MB' % (jobs[0], ours, ourSize / 1e6)]
for j in jobs[1:]:
    line.append('%s %.2f s %.1f MB (time %.2fx, size %+.1f%%)' % (j, results[j], size(j) / 1e6, ours / results[j],
                                                               100.0 * (ourSize - size(j)) / size(j)))
print(', '.join(line))
PY
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)" >&2

#!/usr/bin/env bash
# targets.sh CORPUS [RUNS]
#
# The speed and memory targets on the benchmark corpus, each workload in one hyperfine call so
# that every ratio comes from the same stretch of time. Zelvan is one zelvan-cli process with 2
# threads, as users run it; ImageMagick, GraphicsMagick and vips convert one file per process with
# `xargs -P2`, one thread each (the jobs of ../shared/bench/job.sh). The floor of the JPEG
# workloads is djpeg decoding the same photos on both cores.
#
#   w1  fit 1920x1080 Lanczos3 -> JPEG 85     target: at most 1.2 x the djpeg floor
#   w1f the same with Fast_jpeg_downscale     target: at most 0.5 x the exact fit (w1-zelvan);
#       (JPEGs decoded at 1/2, 1/4 or 1/8)    the outputs' PSNR against the exact ones; w1s the
#                                             same two at 800x600, where more photos are reduced
#   w3  PNG -> JPEG 85                        target: at most 0.4 x ImageMagick
#   w4  50 % Mitchell -> BMP                  target: at most 1.4 x the djpeg floor
#   w2  JPEG -> PNG level 9, the 6 smallest   target: at most 0.3 x every peer, files no
#       photos                                larger than ImageMagick's
#   ws  2,000 small JPEGs halved (bench/small-files.sh): CPU/wall at least 1.8 with 2 threads,
#       and against ZELVAN_CLI_BASELINE
#   wr  the web recipe (3 widths x 3 formats, bench/recipe.sh) against its 9 single runs:
#       target at most 0.6 of their time, outputs byte-identical, each photo decoded once
#   peak resident size of each tool on w1, w2 and w4 (GNU time), Zelvan's per worker, and of
#   one worker on one photo (fit and re-encode), baseline and progressive photos apart
#
# Check that the machine is idle first (uptime): ratios change when other work runs.
#
#   bench/make-corpus.sh /dev/shm/zc && ../shared/bench/prepare.sh /dev/shm/zc
#   bench/targets.sh /dev/shm/zc 3
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
JOBS=${ZELVAN_BENCH_JOBS:-$HERE/../../shared/bench/job.sh}

if [ "${1:-}" = job ]; then
  # targets.sh job NAME CORPUS OUT: the JPEG -> PNG jobs over the six smallest photos, and the
  # fits with and without Fast_jpeg_downscale over every photo.
  name=$2 c=$3 out=$4/$2
  rm -rf "$out" && mkdir -p "$out"
  cd "$c/jpeg"
  tail -6 "$c/prep/jpeg-order.txt" > "$out.list"
  export MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1 VIPS_CONCURRENCY=1
  case $name in
    w2-zelvan) QT_QPA_PLATFORM=offscreen "$ZELVAN_CLI" --set Threads=2 --set Rename_enabled=0 --set Exif=0 \
                 --set Overwrite=1 -o "$out" --set Output_format=1 --set PNG_compression=9 --set Png_filter=1 - \
                 < "$out.list" >/dev/null ;;
    w2-im-xargs) xargs -P2 -I{} convert {} -quality 95 "$out/{}.png" < "$out.list" ;;
    w2-gm-xargs) xargs -P2 -I{} gm convert {} -quality 95 "$out/{}.png" < "$out.list" ;;
    w2-vips-xargs) xargs -P2 -I{} vips copy {} "$out/{}.png[compression=9,filter=all]" < "$out.list" ;;
    w1f-zelvan-fast|w1s-zelvan-fast|w1s-zelvan-exact)
      box=(1920 1080) fast=1
      [ "${name#w1s}" = "$name" ] || box=(800 600)
      [ "${name%-exact}" = "$name" ] || fast=0
      QT_QPA_PLATFORM=offscreen "$ZELVAN_CLI" --set Threads=2 --set Rename_enabled=0 --set Exif=0 --set Overwrite=1 \
        -o "$out" --set Output_format=0 --set JPG_quality=85 --set Selected_mode=1 --set Resize_width=${box[0]} \
        --set Resize_height=${box[1]} --set Resampling_filter=5 --set Fast_jpeg_downscale=$fast - \
        < "$c/prep/jpeg-order.txt" >/dev/null ;;
    *) echo "unknown job $name" >&2; exit 2 ;;
  esac
  exit 0
fi

C=${1:?usage: targets.sh CORPUS [RUNS]}
N=${2:-3}
export ZELVAN_CLI=${ZELVAN_CLI:-$(cd "$HERE/.." && pwd)/build/zelvan-cli}
[ -x "$ZELVAN_CLI" ] || { echo "build zelvan-cli first (cmake --build build)" >&2; exit 2; }
[ -x "$JOBS" ] || { echo "job.sh not found (set ZELVAN_BENCH_JOBS)" >&2; exit 2; }
for tool in hyperfine convert gm vips djpeg python3; do
  command -v $tool >/dev/null || { echo "$tool is needed" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "GNU time is needed (apt-get install time)" >&2; exit 2; }
O=${ZELVAN_BENCH_OUT:-/dev/shm/zelvan-targets}
R=$O/results
mkdir -p "$R"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"

# group NAME JOB... : one hyperfine call; the first job is Zelvan's. Prints medians and ratios.
group() {
  local name=$1; shift
  local args=()
  for j in "$@"; do
    case $j in
      w2-*|w1[fs]-*) args+=(-n "$j" "$0 job $j $C $O") ;;
      *) args+=(-n "$j" "$JOBS $j $C $O") ;;
    esac
  done
  hyperfine -N -r "$N" -w 1 --export-json "$R/$name.json" "${args[@]}" >/dev/null 2>&1
  python3 - "$R/$name.json" "$name" "$O" <<'PY'
import json, os, sys
results = json.load(open(sys.argv[1]))['results']
median = {r['command']: r['median'] for r in results}
names = [r['command'] for r in results]
ours = median[names[0]]
def size(job):
    d = os.path.join(sys.argv[3], job)
    return sum(os.path.getsize(os.path.join(d, f)) for f in os.listdir(d)) if os.path.isdir(d) else 0
parts = ['%s %.2f s' % (names[0], ours)]
for n in names[1:]:
    parts.append('%s %.2f s (zelvan %.2fx)' % (n, median[n], ours / median[n]))
print(sys.argv[2] + ': ' + ', '.join(parts))
if sys.argv[2] == 'w2':
    print('w2 bytes: ' + ', '.join('%s %d' % (n, size(n)) for n in names))
PY
}

group w1 w1-zelvan w5-djpeg w1-im-xargs w1-gm-xargs w1-vips-resize
# The fast fit against the exact one, then how far its outputs are from the exact outputs:
# ImageMagick's PSNR over the RGB channels, in dB (higher is closer), of the photos that were
# decoded reduced; the others' outputs are identical (PSNR inf).
psnr() {
  local name=$1 exact=$2 fast=$3 f
  for f in "$O/$exact"/*; do
    compare -metric PSNR "$f" "$O/$fast/${f##*/}" null: 2>&1 || true; echo
  done | python3 -c '
import math, sys
values = []
for word in sys.stdin.read().split():
    try: values.append(float(word))
    except ValueError: pass
reduced = [v for v in values if not math.isinf(v)]
print("%s PSNR against the exact outputs: %d of %d photos decoded reduced" % (sys.argv[1], len(reduced), len(values))
      + (", mean %.2f dB, lowest %.2f dB" % (sum(reduced) / len(reduced), min(reduced)) if reduced else ""))' "$name"
}
group w1f w1f-zelvan-fast w1-zelvan
psnr w1f w1-zelvan w1f-zelvan-fast
group w1s w1s-zelvan-fast w1s-zelvan-exact
psnr w1s w1s-zelvan-exact w1s-zelvan-fast
group w3 w3-zelvan w3-im-xargs w3-gm-xargs w3-vips-xargs
group w4 w4-zelvan w5-djpeg w4-im-xargs w4-gm-xargs w4-vips-xargs
group w2 w2-zelvan w2-im-xargs w2-gm-xargs w2-vips-xargs

# Peak resident size: Zelvan's whole process (2 workers) and the largest single peer process.
peak() {
  local job=$1 runner=$2
  /usr/bin/time -f '%M' -o "$R/$job.peak" $runner "$job" "$C" "$O" >/dev/null 2>&1 || true
  echo "$job $(( $(tail -1 "$R/$job.peak") / 1024 )) MiB"
}
echo "peak resident size (zelvan: whole process, 2 workers; peers: the largest of their processes):"
for j in w1-zelvan w4-zelvan; do peak $j "$JOBS"; done
peak w2-zelvan "$0 job"
for j in w1-im-xargs w4-im-xargs; do peak $j "$JOBS"; done
peak w2-im-xargs "$0 job"

# One worker on one photo at a time: fit (w1) and re-encode at full size (JPEG -> JPEG 85), the
# largest peak over the baseline photos and over the progressive ones (these hold their whole
# coefficient buffer while decoding).
echo "peak resident size of one worker on one photo (largest over the photos):"
mkdir -p "$O/one"
python3 - "$C/jpeg" "$C/prep/jpeg-order.txt" > "$R/jpeg-kinds.txt" <<'PY'
import sys
# The first start-of-frame marker tells: SOF2 (and SOF6, SOF10, SOF14) is progressive.
for name in open(sys.argv[2]).read().split():
    data = open(sys.argv[1] + '/' + name, 'rb').read()
    i, kind = 2, 'baseline'
    while i + 4 <= len(data) and data[i] == 0xFF:
        marker, length = data[i + 1], data[i + 2] << 8 | data[i + 3]
        if marker in (0xC2, 0xC6, 0xCA, 0xCE): kind = 'progressive'
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC): break
        i += 2 + length
    print(kind, name)
PY
for mode in fit reencode; do
  case $mode in
    fit) settings=(--set Output_format=0 --set JPG_quality=85 --set Selected_mode=1 --set Resize_width=1920
                   --set Resize_height=1080 --set Resampling_filter=5) ;;
    reencode) settings=(--set Output_format=0 --set JPG_quality=85) ;;
  esac
  for kind in baseline progressive; do
    largest=0 largestName=
    while read -r k name; do
      [ "$k" = "$kind" ] || continue
      ( cd "$C/jpeg" && QT_QPA_PLATFORM=offscreen /usr/bin/time -f '%M' -o "$R/one.peak" "$ZELVAN_CLI" --set Threads=1 \
          --set Rename_enabled=0 --set Exif=0 --set Overwrite=1 -o "$O/one" "${settings[@]}" "$name" >/dev/null 2>&1 ) || true
      kib=$(tail -1 "$R/one.peak")
      if [ "$kib" -gt "$largest" ]; then largest=$kib largestName=$name; fi
    done < "$R/jpeg-kinds.txt"
    echo "$mode, $kind photos ($(grep -c "^$kind" "$R/jpeg-kinds.txt")): $(( largest / 1024 )) MiB ($largestName)"
  done
done
# Many small files (and, with ZELVAN_CLI_BASELINE, this build against an earlier one).
"$HERE/small-files.sh" "$C" "$N"
# A recipe of 3 widths x 3 formats against its 9 single runs: time, equal outputs, one decoding.
ZELVAN_CLI=$ZELVAN_CLI "$HERE/recipe.sh" "$C" "$N"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

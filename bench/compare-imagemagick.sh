#!/usr/bin/env bash
# compare-imagemagick.sh [RUNS]
#
# Times zelvan-cli against ImageMagick's convert on the benchmark corpus, side by side in one
# run: each tool converts one file per process on both cores (xargs -P2, MAGICK_THREAD_LIMIT=1),
# runs alternate between the tools, and the medians are compared. Prints one ratio per case
# (ours over ImageMagick's; below 1 means Zelvan is faster).
#
#   jpeg-to-png9   JPEG photos to PNG at compression level 9, no resizing
#   png-to-jpeg85  PNG images to JPEG quality 85
#   jpeg-to-jpeg85 JPEG photos to JPEG quality 85
#   fit1920-lanczos JPEG photos fitted into 1920x1080 with their proportions, Lanczos3, to JPEG
#                  quality 85 (ImageMagick: -filter Lanczos -resize 1920x1080)
#
# The corpus is built once into build/bench-corpus by bench/make-corpus.sh (or the
# folder named by ZELVAN_BENCH_CORPUS).
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-5}
CLI=$PWD/build/zelvan-cli
CORPUS=${ZELVAN_BENCH_CORPUS:-$PWD/build/bench-corpus}
MAKE_CORPUS=${ZELVAN_MAKE_CORPUS:-$PWD/bench/make-corpus.sh}

[ -x "$CLI" ] || { echo "build zelvan-cli first (cmake --build build)" >&2; exit 2; }
command -v convert >/dev/null || { echo "ImageMagick's convert is needed" >&2; exit 2; }
if [ ! -d "$CORPUS/jpeg" ]; then
  "$MAKE_CORPUS" "$CORPUS"
fi

WORK=$(mktemp -d /tmp/zelvan-bench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
export MAGICK_THREAD_LIMIT=1

# ours CASE OUTFORMAT EXTRA... ; reads files on stdin
ours() {
  local out=$1; shift
  xargs -P2 -I{} "$CLI" --set Rename_enabled=0 --set Overwrite=1 --set Exif=0 --set Threads=1 "$@" -o "$out" {} >/dev/null
}
# theirs OUT EXT OPTIONS... ; reads files on stdin
theirs() {
  local out=$1 ext=$2; shift 2
  local opts="$*"
  xargs -P2 -I{} sh -c 'f="$1"; shift; b=$(basename "$f"); convert "$f" '"$opts"' "'"$out"'/${b%.*}.'"$ext"'"' sh {}
}

now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {if (NR%2) print a[(NR+1)/2]; else print (a[NR/2]+a[NR/2+1])/2}'; }

run_case() {
  local name=$1 inputs=$2 ourArgs=$3 theirExt=$4 theirArgs=$5
  # ZELVAN_BENCH_CASES="a b" runs only the named cases.
  if [ -n "${ZELVAN_BENCH_CASES:-}" ] && [[ " $ZELVAN_BENCH_CASES " != *" $name "* ]]; then return 0; fi
  local files=("$CORPUS"/$inputs)
  local ot=() tt=()
  mkdir -p "$WORK/$name-ours" "$WORK/$name-theirs"
  for ((i = 0; i < RUNS; i++)); do
    rm -f "$WORK/$name-ours"/* "$WORK/$name-theirs"/*
    t0=$(now); printf '%s\n' "${files[@]}" | ours "$WORK/$name-ours" $ourArgs; t1=$(now)
    printf '%s\n' "${files[@]}" | theirs "$WORK/$name-theirs" "$theirExt" $theirArgs; t2=$(now)
    ot+=("$(echo "$t1 - $t0" | bc -l)")
    tt+=("$(echo "$t2 - $t1" | bc -l)")
  done
  local om tm
  om=$(printf '%s\n' "${ot[@]}" | median)
  tm=$(printf '%s\n' "${tt[@]}" | median)
  local ob tb
  ob=$(du -sb "$WORK/$name-ours" | cut -f1)
  tb=$(du -sb "$WORK/$name-theirs" | cut -f1)
  printf '%-15s zelvan %7.2f s  imagemagick %7.2f s  ratio %.2f   (output bytes %s vs %s, %d files, median of %d)\n' \
    "$name" "$om" "$tm" "$(echo "$om / $tm" | bc -l)" "$ob" "$tb" "${#files[@]}" "$RUNS"
}

run_case jpeg-to-png9   'jpeg/*.jpg' "--set Output_format=1 --set PNG_compression=9" png  "-quality 95"
run_case png-to-jpeg85  'png/*.png'  "--set Output_format=0 --set JPG_quality=85"    jpg  "-quality 85"
run_case jpeg-to-jpeg85 'jpeg/*.jpg' "--set Output_format=0 --set JPG_quality=85"    jpg  "-quality 85"
run_case fit1920-lanczos 'jpeg/*.jpg' \
  "--set Output_format=0 --set JPG_quality=85 --set Selected_mode=1 --set Resize_width=1920 --set Resize_height=1080 --set Resize_proportional=1 --set Resampling_filter=5" \
  jpg "-filter Lanczos -resize 1920x1080 -quality 85"

#!/usr/bin/env bash
# compare-pillow.sh [RUNS]
#
# Times the resampler (build/resample_bench) against Pillow's Image.resize (Debian's
# python3-pil) on a 24-bit 6000x4000 picture, shrunk to 1920x1280 and enlarged to 12000x8000,
# one thread each. Every measurement is a fresh process timing one resize (the picture is made
# before the clock starts); the two tools alternate, RUNS times per case, and the medians are
# compared. Prints one ratio per case (ours over Pillow's; below 1 means Zelvan is faster) with
# the processor times beside the wall-clock ones, which a busy machine inflates.
#
#   Lanczos3 against LANCZOS, Mitchell against BICUBIC, Bilinear against BILINEAR,
#   Nearest neighbour against NEAREST.
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-5}
BENCH=${ZELVAN_RESAMPLE_BENCH:-$PWD/build/resample_bench}
PYTHON=${ZELVAN_PYTHON:-/usr/bin/python3}  # Debian's interpreter, where python3-pil lives

[ -x "$BENCH" ] || { echo "build resample_bench first (cmake --build build)" >&2; exit 2; }
"$PYTHON" -c 'import PIL' 2>/dev/null || { echo "Pillow is needed (apt-get install python3-pil)" >&2; exit 2; }

# ours FILTER WxH -> "wall cpu" in milliseconds
ours() {
  "$BENCH" --benchmark_filter="^resample/$1/$2/" --benchmark_min_time=0 --benchmark_format=json 2>/dev/null |
    "$PYTHON" -c 'import json, sys; b = json.load(sys.stdin)["benchmarks"][0]; print(b["real_time"], b["cpu_time"])'
}

# theirs FILTER WxH -> "wall cpu" in milliseconds
theirs() {
  "$PYTHON" - "$1" "$2" <<'EOF'
import sys, time
from PIL import Image
filt = getattr(Image, sys.argv[1])
w, h = (int(v) for v in sys.argv[2].split("x"))
# Smooth gradients with a little noise, as in resample_bench; the speed does not depend on it.
src = bytearray(6000 * 4000 * 3)
row = bytes((x // 24 + (x * 7919 % 16)) & 255 for x in range(6000 * 3))
for y in range(4000):
    src[y * 18000:(y + 1) * 18000] = row
im = Image.frombytes("RGB", (6000, 4000), bytes(src))
im.load()
wall, cpu = time.perf_counter(), time.process_time()
out = im.resize((w, h), filt)
print((time.perf_counter() - wall) * 1000, (time.process_time() - cpu) * 1000)
EOF
}

median() { sort -g | awk '{a[NR]=$1} END {if (NR%2) print a[(NR+1)/2]; else print (a[NR/2]+a[NR/2+1])/2}'; }

run_case() {
  local ourFilter=$1 theirFilter=$2 size=$3
  local ow=() oc=() tw=() tc=()
  for ((i = 0; i < RUNS; i++)); do
    read -r w c < <(ours "$ourFilter" "$size"); ow+=("$w"); oc+=("$c")
    read -r w c < <(theirs "$theirFilter" "$size"); tw+=("$w"); tc+=("$c")
  done
  local owm ocm twm tcm
  owm=$(printf '%s\n' "${ow[@]}" | median); ocm=$(printf '%s\n' "${oc[@]}" | median)
  twm=$(printf '%s\n' "${tw[@]}" | median); tcm=$(printf '%s\n' "${tc[@]}" | median)
  printf '%-9s %-10s zelvan %8.1f ms  pillow %8.1f ms  ratio %.2f   (processor time %.1f vs %.1f ms, ratio %.2f; median of %d)\n' \
    "$ourFilter" "$size" "$owm" "$twm" "$(echo "$owm / $twm" | bc -l)" "$ocm" "$tcm" "$(echo "$ocm / $tcm" | bc -l)" "$RUNS"
}

for size in 1920x1280 12000x8000; do
  run_case Lanczos3 LANCZOS "$size"
  run_case Mitchell BICUBIC "$size"
  run_case Bilinear BILINEAR "$size"
  run_case Nearest NEAREST "$size"
done

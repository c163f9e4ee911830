#!/usr/bin/env bash
# small-files.sh CORPUS [RUNS]
#
# The run engine on many small files, and this build against an earlier one (ZELVAN_CLI_BASELINE,
# another build folder's zelvan-cli, e.g. of the last release: `git worktree add /tmp/base TAG`
# and build its zelvan-cli target) in the same hyperfine call, so that ratios come from one
# stretch of time:
#
#   ws   2,000 web pictures (640x480 JPEG 85, about 54 KB) halved into JPEG 85, 2 threads
#        targets: CPU time / wall time at least 1.8; wall time at most 0.55 x the baseline's
#   ws20 the same over 20,000 files: peak resident size no higher than the baseline's
#   w1 w3 w4 w2 (as in targets.sh) this build against the baseline: no slower
#
# This build's extra settings go in ZELVAN_SMALL_EXTRA, e.g. `--set JPG_optimize_coding=0` to
# write the very bytes of a baseline that predates optimised Huffman tables (equal work).
#
# The pictures are made once with ImageMagick (plasma fractals of five seeds, copied) into
# CORPUS/small. Check that the machine is idle first (uptime).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
JOBS=${ZELVAN_BENCH_JOBS:-$HERE/../../shared/bench/job.sh}
C=${1:?usage: small-files.sh CORPUS [RUNS]}
N=${2:-3}
export ZELVAN_CLI=${ZELVAN_CLI:-$(cd "$HERE/.." && pwd)/build/zelvan-cli}
BASE=${ZELVAN_CLI_BASELINE:-}
O=${ZELVAN_BENCH_OUT:-/dev/shm/zelvan-targets}/small
mkdir -p "$O"
for tool in hyperfine convert python3; do
  command -v $tool >/dev/null || { echo "$tool is needed" >&2; exit 2; }
done

make_pictures() {  # folder count
  [ "$(find "$1" -name '*.jpg' 2>/dev/null | wc -l)" -eq "$2" ] && return
  rm -rf "$1" && mkdir -p "$1"
  for seed in 1 2 3 4 5; do convert -size 640x480 -seed $seed plasma:fractal -quality 85 "$1/seed$seed.jpg"; done
  for i in $(seq 0 $(($2 - 1))); do cp "$1/seed$((i % 5 + 1)).jpg" "$1/p$i.jpg"; done
  rm "$1"/seed*.jpg
}
make_pictures "$C/small/2000" 2000

# halve CLI IN OUT [SETTINGS...]: one run, 2 threads, halved into JPEG 85, no EXIF, outputs replaced.
halve() {
  local cli=$1 in=$2 out=$3
  shift 3
  QT_QPA_PLATFORM=offscreen "$cli" --set Threads=2 --set Rename_enabled=0 --set Exif=0 --set Overwrite=1 \
    --set Output_format=0 --set JPG_quality=85 --set Selected_mode=2 --set Resize_percent=50 "$@" -o "$out" "$in" >/dev/null
}
export -f halve

EXTRA=${ZELVAN_SMALL_EXTRA:-}

# cpu CLI IN OUT [SETTINGS...]: wall seconds, CPU seconds and their ratio, peak resident size, of one run.
cpu() {
  /usr/bin/time -f '%e %U %S %M' -o "$O/time.txt" bash -c 'halve "$@"' _ "$@"
  read -r wall user sys kib < "$O/time.txt"
  python3 -c "w,u,s,k=$wall,$user,$sys,$kib; print('wall %.2f s, CPU %.2f s, CPU/wall %.2f, peak %d MiB' % (w, u+s, (u+s)/w, k//1024))"
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "ws (2,000 files), this build: $(cpu "$ZELVAN_CLI" "$C/small/2000" "$O/ws" $EXTRA)"
[ -n "$BASE" ] && echo "ws (2,000 files), baseline:   $(cpu "$BASE" "$C/small/2000" "$O/ws-base")"
args=(-n ws-zelvan "bash -c 'halve $ZELVAN_CLI $C/small/2000 $O/ws $EXTRA'")
[ -n "$BASE" ] && args+=(-n ws-baseline "bash -c 'halve $BASE $C/small/2000 $O/ws-base'")
hyperfine -N -r "$N" -w 1 --export-json "$O/ws.json" "${args[@]}" >/dev/null 2>&1
python3 - "$O/ws.json" <<'PY'
import json, sys
r = {x['command']: x['median'] for x in json.load(open(sys.argv[1]))['results']}
line = 'ws median: this build %.2f s' % r['ws-zelvan']
if 'ws-baseline' in r: line += ', baseline %.2f s, ratio %.2f' % (r['ws-baseline'], r['ws-zelvan'] / r['ws-baseline'])
print(line)
PY

if [ "${ZELVAN_BENCH_20000:-1}" = 1 ]; then
  make_pictures "$C/small/20000" 20000
  echo "ws20 (20,000 files), this build: $(cpu "$ZELVAN_CLI" "$C/small/20000" "$O/ws20" $EXTRA)"
  [ -n "$BASE" ] && echo "ws20 (20,000 files), baseline:   $(cpu "$BASE" "$C/small/20000" "$O/ws20-base")"
  rm -rf "$O/ws20" "$O/ws20-base"
fi

if [ -n "$BASE" ]; then
  # The photo workloads of targets.sh, this build against the baseline in one call each.
  for w in w1 w3 w4; do
    hyperfine -N -r "$N" -w 1 --export-json "$O/$w.json" \
      -n "$w-zelvan" "$JOBS $w-zelvan $C $O" \
      -n "$w-baseline" "env ZELVAN_CLI=$BASE $JOBS $w-zelvan $C $O/base" >/dev/null 2>&1
    python3 -c "
import json
r = {x['command']: x['median'] for x in json.load(open('$O/$w.json'))['results']}
print('$w: this build %.2f s, baseline %.2f s, ratio %.2f' % (r['$w-zelvan'], r['$w-baseline'], r['$w-zelvan'] / r['$w-baseline']))"
  done
  hyperfine -N -r "$N" -w 1 --export-json "$O/w2.json" \
    -n w2-zelvan "$HERE/targets.sh job w2-zelvan $C $O" \
    -n w2-baseline "env ZELVAN_CLI=$BASE $HERE/targets.sh job w2-zelvan $C $O/base" >/dev/null 2>&1
  python3 -c "
import json
r = {x['command']: x['median'] for x in json.load(open('$O/w2.json'))['results']}
print('w2: this build %.2f s, baseline %.2f s, ratio %.2f' % (r['w2-zelvan'], r['w2-baseline'], r['w2-zelvan'] / r['w2-baseline']))"
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

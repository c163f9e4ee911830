#!/usr/bin/env bash
# recipe.sh CORPUS [RUNS]
#
# The shipped web recipe (480/960/1920 wide x AVIF, WebP, JPEG: 9 outputs) over the benchmark
# photos in one run, against the 9 single runs that make the same outputs one by one.
#   target: the recipe takes at most 0.6 of the 9 runs' time; its outputs equal theirs byte for
#   byte; each photo is decoded once (jpeg_start_decompress counted with ltrace, when present).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
C=${1:?usage: recipe.sh CORPUS [RUNS]}
N=${2:-3}
CLI=${ZELVAN_CLI:-$(cd "$HERE/.." && pwd)/build/zelvan-cli}
RECIPE=$HERE/../data/recipes/web.ini
OUT=${ZELVAN_BENCH_OUT:-/dev/shm/zelvan-recipe-bench}
LIST=$C/prep/jpeg-order.txt
export QT_QPA_PLATFORM=offscreen

common=(--set Threads=2 --set Exif=0 --set Overwrite=1 --set Lower_case_extension=1)

if [ "${3:-}" = singles ]; then
  # The 9 outputs one run each, with the keys of the recipe's section as --set.
  awk -F= '/^\[/{gsub(/[][]/,""); name=$0; next} /=/{print name "\t" $0}' "$RECIPE" > "$OUT.sets"
  for name in $(cut -f1 "$OUT.sets" | uniq); do
    mapfile -t sets < <(awk -F'\t' -v n="$name" '$1==n {print "--set"; print $2}' "$OUT.sets")
    (cd "$C/jpeg" && "$CLI" "${common[@]}" "${sets[@]}" -o "$OUT/singles" - < "$LIST" >/dev/null)
  done
  exit 0
fi

rm -rf "$OUT" && mkdir -p "$OUT"
hyperfine -N -r "$N" -w "${ZELVAN_BENCH_WARMUP:-1}" --export-json "$OUT/times.json" \
  -n recipe "bash -c 'cd $C/jpeg && $CLI ${common[*]} --recipe $RECIPE -o $OUT/recipe - < $LIST >/dev/null'" \
  -n nine-runs "bash $0 $C $N singles" >/dev/null
python3 - "$OUT/times.json" <<'PY'
import json, sys
r = {x["command"]: x["median"] for x in json.load(open(sys.argv[1]))["results"]}
print(f"recipe {r['recipe']:.2f} s, 9 single runs {r['nine-runs']:.2f} s, ratio {r['recipe'] / r['nine-runs']:.2f} (target <= 0.6)")
PY
same=0 differ=0
for f in "$OUT"/recipe/*; do
  if cmp -s "$f" "$OUT/singles/$(basename "$f")"; then same=$((same + 1)); else differ=$((differ + 1)); echo "differs: $f"; fi
done
echo "outputs: $same identical to the single runs', $differ different, $(ls "$OUT/singles" | wc -l) made by the single runs"
if command -v ltrace >/dev/null; then
  one=$(head -1 "$LIST")
  calls=$(cd "$C/jpeg" && ltrace -f -c -e jpeg_start_decompress "$CLI" --recipe "$RECIPE" -o "$OUT/one" "$one" 2>&1 >/dev/null |
          awk '/jpeg_start_decompress/ {print $4}')
  echo "jpeg_start_decompress calls for one photo and 9 outputs: ${calls:-?}"
fi

#!/usr/bin/env bash
# animations.sh [ZELVAN_CLI] [DIR]
#
# Animated GIFs made here with ImageMagick (a moving gradient spin, a screen-recording-like
# cursor over flat colour, a sticker with transparency), converted GIF -> WebP (lossy 80) and
# GIF -> GIF at 50 % by Zelvan, ImageMagick and vips: wall time and output
# bytes side by side, with each output's frame count (webpmux -info / identify) so that a tool
# that drops frames shows. One process per conversion, one thread each.
set -euo pipefail
CLI=$(readlink -f "${1:-build/zelvan-cli}")
DIR=${2:-$(mktemp -d)}
mkdir -p "$DIR/src"
cd "$DIR"

make_sources() {
  [ -f src/sticker.gif ] && return
  local args=() i
  for i in $(seq 0 35); do args+=( \( gradient:red-blue -rotate $((i * 10)) -gravity center -extent 320x240 \) ); done
  convert -size 320x240 -delay 4 -loop 0 "${args[@]}" src/spin.gif
  args=()
  for i in $(seq 0 55); do
    args+=( \( xc:#f0f0f0 -fill black -draw "rectangle $((i * 10)),$((i * 5)) $((i * 10 + 12)),$((i * 5 + 18))" \) )
  done
  convert -size 640x400 -delay 10 -loop 0 "${args[@]}" src/screen.gif
  args=()
  for i in $(seq 0 23); do args+=( \( xc:none -fill orange -draw "circle 80,80 80,$((20 + i * 2))" \) ); done
  convert -size 160x160 -delay 8 -loop 3 -dispose background "${args[@]}" src/sticker.gif
}

frames() {
  case "$1" in
    *.webp) webpmux -info "$1" 2>/dev/null | sed -n 's/^Number of frames: //p' ;;
    *) identify "$1" 2>/dev/null | wc -l ;;
  esac
}

# run NAME OUTPUT COMMAND...: one line of the table (OUTPUT may be a pattern: Zelvan chooses the
# extension's letter case).
run() {
  local name=$1 pattern=$2; shift 2
  rm -f $pattern
  local start end out
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  out=$(ls $pattern 2>/dev/null | head -1 || true)
  printf '%-34s %8.3f s %10s bytes %5s frames\n' "$name" "$(echo "$end - $start" | bc)" \
    "$( [ -n "$out" ] && stat -c %s "$out" || echo -)" "$( [ -n "$out" ] && frames "$out" || echo -)"
}

make_sources
mkdir -p out out/z-webp out/z-gif
for f in src/*.gif; do
  b=$(basename "$f" .gif)
  echo "== $b: $(frames "$f") frames, $(stat -c %s "$f") bytes"
  run "zelvan      gif -> webp q80" "out/z-webp/$b.[wW][eE][bB][pP]" "$CLI" --set Output_format=6 --set WEBP_quality=80 --set Threads=1 -o out/z-webp "$f"
  run "imagemagick gif -> webp q80" "out/$b.im.webp" convert "$f" -quality 80 "out/$b.im.webp"
  run "vips        gif -> webp q80" "out/$b.vips.webp" vips copy "$f[n=-1]" "out/$b.vips.webp[Q=80]"
  run "zelvan      gif -> gif 50%" "out/z-gif/$b.[gG][iI][fF]" "$CLI" --set Output_format=3 --set Selected_mode=2 --set Resize_percent=50 --set Threads=1 -o out/z-gif "$f"
  run "imagemagick gif -> gif 50%" "out/$b.im.gif" convert "$f" -coalesce -resize 50% "out/$b.im.gif"
  run "vips        gif -> gif 50%" "out/$b.vips.gif" vips resize "$f[n=-1]" "out/$b.vips.gif" 0.5
done

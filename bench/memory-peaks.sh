#!/usr/bin/env bash
# Peak resident size of zelvan-cli on the large and hostile pictures that once took the most
# memory, measured with /usr/bin/time -v; with ZELVAN_CLI_BASELINE (a zelvan-cli built from an
# earlier commit) the same cases run on it too, side by side.
#
# Usage: bench/memory-peaks.sh PATH/TO/zelvan-cli
# Needs ImageMagick (convert), cwebp and avifenc (scripts/install-deps.sh installs them).
set -euo pipefail

cli=${1:?usage: memory-peaks.sh PATH/TO/zelvan-cli}
baseline=${ZELVAN_CLI_BASELINE:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A 2^28-pixel RGBA PNG of zeros in about 1 MB: every row inflates to 64 KiB.
python3 - "$work/bomb.png" <<'PY'
import struct, sys, zlib
def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff)
side = 16384
z = zlib.compressobj(9)
row = b'\0' * (1 + 4 * side)
data = b''.join(z.compress(row) for _ in range(side)) + z.flush()
out = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', side, side, 8, 6, 0, 0, 0))
out += b''.join(chunk(b'IDAT', data[i:i + 65536]) for i in range(0, len(data), 65536)) + chunk(b'IEND', b'')
open(sys.argv[1], 'wb').write(out)
PY
# A 64 x 64 AVIF whose container claims 16384 x 16384.
convert -size 64x64 gradient:red-blue "$work/small.png"
avifenc -s 10 "$work/small.png" "$work/small.avif" >/dev/null
python3 - "$work/small.avif" "$work/ispe.avif" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
at = data.find(b'ispe')
struct.pack_into('>II', data, at + 8, 16384, 16384)
open(sys.argv[2], 'wb').write(data)
PY
# A sparse file just under the 2 GiB read limit, named as a PNG, that is no PNG.
truncate -s $((2 * 1024 * 1024 * 1024 - 1)) "$work/sparse.png"

# peak CLI CASE FORMAT FILE: "MiB seconds" of one conversion.
peak() {
  local out="$work/out-$2"
  rm -rf "$out"
  /usr/bin/time -f '%M %e' -o "$work/time" "$1" -f "$3" -o "$out" "$4" >/dev/null 2>&1 || true
  read -r kib seconds < <(tail -n 1 "$work/time")
  echo "$((kib / 1024)) MiB, ${seconds} s"
}

printf '%-36s %-22s %s\n' case "this build" "${baseline:+baseline}"
while read -r name format file; do
  printf '%-36s %-22s %s\n' "$name" "$(peak "$cli" "$name" "$format" "$work/$file")" \
    "$([ -n "$baseline" ] && peak "$baseline" "$name-base" "$format" "$work/$file")"
done <<'CASES'
png-zip-bomb-2^28-to-png png bomb.png
png-zip-bomb-2^28-to-jpeg jpeg bomb.png
avif-ispe-16384-coded-64-to-jpeg jpeg ispe.avif
sparse-2GiB-not-a-png-to-jpeg jpeg sparse.png
CASES

#!/usr/bin/env bash
# hostile-sources.sh [ZELVAN-CLI]
#
# Time and peak memory (GNU time's maximum resident set size) of zelvan-cli meeting sources that
# are no pictures: a 1 GiB file of zeros named .png (fallocate, nothing written), /dev/zero under
# a .png name, and a 2 GiB + 1 sparse file. Each should fail at once with its line; memory should
# stay near the file's own size for the 1 GiB file and near nothing for the others.
set -euo pipefail
cd "$(dirname "$0")/.."
CLI=${1:-$PWD/build/zelvan-cli}
[ -x "$CLI" ] || { echo "build zelvan-cli first (cmake --build build)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "GNU time is needed (apt-get install time)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fallocate -l 1G "$work/gigabyte.png"
ln -s /dev/zero "$work/zero.png"
truncate -s $(((2 << 30) + 1)) "$work/sparse.png"

for source in gigabyte.png zero.png sparse.png; do
  /usr/bin/time -f '%e s %M KiB' -o "$work/time" timeout 120 "$CLI" -f png -o "$work/out" "$work/$source" \
    >"$work/list" 2>/dev/null || true
  printf '%-14s %-22s %s\n' "$source" "$(tail -1 "$work/time")" "$(head -1 "$work/list")"
done

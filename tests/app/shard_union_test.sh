#!/usr/bin/env bash
# Shards of one list, run side by side through GNU parallel, write the very files one run of the
# whole list writes, name for name and byte for byte; running the shards again with
# --skip-existing converts nothing and changes nothing. Checked twice: a NUL-separated list on
# standard input (flat output, names told apart by the counter), and a folder with --keep-tree.
#
# Usage: shard_union_test.sh PATH/TO/zelvan-cli
set -euo pipefail

cli=$1
shards=3
if ! command -v parallel >/dev/null; then
  echo "FAIL: GNU parallel is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 66 small pictures of different sizes and random pixels; the same names in each folder.
for folder in a b c; do
  mkdir -p "$work/in/$folder"
  for i in $(seq 1 22); do
    w=$((5 + i)) h=$((3 + i % 7))
    { printf 'P6\n%d %d\n255\n' "$w" "$h"; head -c $((w * h * 3)) /dev/urandom; } >"$work/in/$folder/p$i.ppm"
  done
done
# Names a script would trip over: a blank, a newline, bytes that are not UTF-8.
cp "$work/in/a/p1.ppm" "$work/in/a/with blank.ppm"
cp "$work/in/a/p2.ppm" "$work/in/a/new
line.ppm"
cp "$work/in/a/p3.ppm" "$work/in/a/caf$(printf '\351').ppm"
find "$work/in" -type f -print0 | sort -z >"$work/list"
count=$(tr -cd '\0' <"$work/list" | wc -c)
if [ "$count" -lt 60 ]; then
  echo "FAIL: only $count files in the list" >&2
  exit 1
fi

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Every file below a folder with its checksum, by relative path.
checksums() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 md5sum); }

# check NAME INPUT ARGS...: one run, the shards through parallel, then the shards again
# resuming; every run reads INPUT as its standard input.
check() {
  local name=$1 input=$2
  shift 2
  local one="$work/$name-one" sharded="$work/$name-shards"

  "$cli" -o "$one" "$@" <"$input" >"$work/$name-one.txt" ||
    fail "$name: the single run failed: $(cat "$work/$name-one.txt")"
  parallel --halt now,fail=1 "$cli" --shard {}/$shards -o "$sharded" "$@" '<' "$input" '>' "$work/$name-shard{}.txt" \
    ::: $(seq 0 $((shards - 1))) || fail "$name: a shard failed"

  local files
  files=$(find "$one" -type f -print0 | tr -cd '\0' | wc -c)
  [ "$files" -eq "$count" ] || fail "$name: the single run wrote $files files, not $count"
  diff -r "$one" "$sharded" || fail "$name: the shards' outputs differ from the single run's"
  cmp <(checksums "$one") <(checksums "$sharded") || fail "$name: checksums differ"

  local before
  before=$(checksums "$sharded"; find "$sharded" -type f -printf '%p %T@\n' | sort)
  parallel --halt now,fail=1 "$cli" --shard {}/$shards --skip-existing --json -o "$sharded" "$@" \
    '<' "$input" '>' "$work/$name-again{}.json" ::: $(seq 0 $((shards - 1))) || fail "$name: a resumed shard failed"
  local skipped converted
  skipped=$(cat "$work/$name-again"*.json | grep -c '"status":"skipped"' || true)
  converted=$(cat "$work/$name-again"*.json | grep -c '"status":"ok"' || true)
  [ "$skipped" -eq "$count" ] || fail "$name: the second pass skipped $skipped files, not $count"
  [ "$converted" -eq 0 ] || fail "$name: the second pass converted $converted files"
  [ "$before" = "$(checksums "$sharded"; find "$sharded" -type f -printf '%p %T@\n' | sort)" ] ||
    fail "$name: the second pass touched an output"
  echo "$name: $count files in $shards shards match one run; resuming skipped them all"
}

# JPEG outputs carry the time they were written in their EXIF block (Modify Date): the JPEG
# variant leaves EXIF out, so that only what the shards decide can differ.
check list "$work/list" --set Rename_enabled=1 --set Exif=0 -0 -
check tree /dev/null -f png --keep-tree "$work/in"

# Two folders of the same names into one flat folder, replacing what is there (Overwrite=1):
# one run says "Same output as" for every name the second folder repeats, and so do the shards
# between them, each holding back the names an earlier place of the whole list takes, whichever
# shard converts that place; no picture is lost to another shard's replacing it.
collide() {
  local one="$work/collide-one" sharded="$work/collide-shards" list="$work/collide-list"
  find "$work/in/a" "$work/in/b" -name 'p*.ppm' -print0 | sort -z >"$list"
  local repeated
  repeated=$(find "$work/in/b" -name 'p*.ppm' | wc -l)
  local status=0
  "$cli" -f png --overwrite -0 -o "$one" - <"$list" >"$work/collide-one.txt" || status=$?
  [ "$status" -eq 1 ] || fail "collide: the single run exited $status, not 1"
  status=0
  parallel "$cli" --shard {}/$shards -f png --overwrite -0 -o "$sharded" - '<' "$list" '>' "$work/collide-shard{}.txt" \
    ::: $(seq 0 $((shards - 1))) || status=$?
  [ "$status" -ne 0 ] || fail "collide: every shard exited 0 where outputs clashed"
  local lines shardLines
  lines=$(grep 'Same output as' "$work/collide-one.txt" | sort)
  shardLines=$(cat "$work/collide-shard"*.txt | grep 'Same output as' | sort)
  [ "$(printf '%s\n' "$lines" | grep -c .)" -eq "$repeated" ] || fail "collide: one run said: $lines"
  [ "$lines" = "$shardLines" ] || fail "collide: the shards' lines differ from one run's: $shardLines"
  diff -r "$one" "$sharded" || fail "collide: the shards' outputs differ from the single run's"
  cmp <(checksums "$one") <(checksums "$sharded") || fail "collide: checksums differ"
  echo "collide: $repeated repeated names say \"Same output as\" in $shards shards as in one run"
}
collide

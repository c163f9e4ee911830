#!/usr/bin/env bash
# zelvan-cli's bash completion completes as a user types: formats, filters, option keys of --set
# (from the program's --list-options), flags (from its --help), and files elsewhere.
#
# Usage: completion_test.sh SOURCE_DIR PATH/TO/zelvan-cli
set -euo pipefail
completion=$1/data/completion/zelvan-cli.bash
cli=$2
status=0
# check "WORDS..." EXPECTED: completes the last word of WORDS.
check() {
  local words=$1 expected=$2 got
  got=$(bash -c 'source "$1"; read -ra COMP_WORDS <<<"$2"; [[ $2 == *" " ]] && COMP_WORDS+=("");
                 COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _zelvan_cli; echo "${COMPREPLY[*]}"' _ "$completion" "$words")
  if [ "$got" != "$expected" ]; then
    echo "FAIL: \"$words\" completed to \"$got\", not \"$expected\"" >&2
    status=1
  fi
}
check "$cli -f w" "webp"
check "$cli --format a" "avif auto"
check "$cli --filter lan" "lanczos3"
check "$cli --metadata no" "no-location none"
check "$cli --set JPG_qu" "JPG_quality="
check "$cli --set Rename_m" "Rename_mask="
check "$cli --keep" "--keep-tree"
check "$cli --skip-e" "--skip-existing"
exit $status

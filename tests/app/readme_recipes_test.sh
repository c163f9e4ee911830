#!/usr/bin/env bash
# Runs the README's cluster recipes as written, with /shared replaced by a temporary folder:
# the GNU parallel recipe (hosts.txt naming this machine only), twice, the second run keeping
# the first run's JSON files and converting nothing; and the Slurm recipe through a stand-in
# for sbatch that runs each array task as Slurm would set it up, with zelvan-cli not on the
# PATH but in the submit folder's build/, and once with no program anywhere (a clear failure).
#
# Usage: readme_recipes_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$(readlink -f "$1")
build_dir=$(readlink -f "$2")

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
command -v parallel >/dev/null || fail "GNU parallel is missing (scripts/install-deps.sh installs it)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The sh block after the README's marker line "<!-- recipe: NAME", with /shared moved.
recipe() {
  awk -v name="$1" '
    index($0, "<!-- recipe: " name " ") == 1 { armed = 1; next }
    armed && /^```sh$/ { inside = 1; next }
    inside && /^```$/ { exit }
    inside { print }' "$source_dir/README.md" | sed "s|/shared|$work/shared|g"
}

pictures() {
  mkdir -p "$work/shared/photos/a" "$work/shared/photos/b"
  for i in $(seq 1 8); do
    for folder in a b; do
      { printf 'P6\n%d %d\n255\n' $((4 + i)) 3; head -c $(((4 + i) * 9)) /dev/urandom; } \
        >"$work/shared/photos/$folder/p$i-$folder.ppm"
    done
  done
}

# GNU parallel: zelvan-cli as installed, on the PATH.
pictures
mkdir -p "$work/bin" "$work/run"
ln -s "$build_dir/zelvan-cli" "$work/bin/zelvan-cli"
echo ":" >"$work/run/hosts.txt"
script=$(recipe parallel)
[ -n "$script" ] || fail "no parallel recipe in the README"
(cd "$work/run" && PATH="$work/bin:$PATH" bash -euo pipefail -c "$script") || fail "the parallel recipe failed"
outputs=$(find "$work/shared/out" -name '*.jpg' | wc -l)
[ "$outputs" -eq 16 ] || fail "the parallel recipe wrote $outputs JPEG files, not 16"
sleep 1  # a new run name
(cd "$work/run" && PATH="$work/bin:$PATH" bash -euo pipefail -c "$script") || fail "the parallel recipe failed again"
logs=$(find "$work/shared/out/.zelvan-logs" -name '*.json' | wc -l)
[ "$logs" -eq 24 ] || fail "$logs JSON files after two runs of 12 shards, not 24"
converted=$(cat "$work/shared/out/.zelvan-logs"/*.json | grep -c '"status":"ok"' || true)
skipped=$(cat "$work/shared/out/.zelvan-logs"/*.json | grep -c '"status":"skipped"' || true)
[ "$converted" -eq 16 ] && [ "$skipped" -eq 16 ] ||
  fail "over both runs $converted files converted and $skipped skipped, not 16 and 16"
echo "parallel recipe: 16 files in 12 shards, the rerun skipped them and kept the first JSON files"

# Slurm: a stand-in sbatch runs every task of --array=A-B in turn, in the submit folder, with
# the array's variables, the #SBATCH cpus and the output file pattern.
rm -rf "$work/shared"
pictures
mkdir -p "$work/stub" "$work/submit"
cat >"$work/stub/sbatch" <<'STUB'
#!/usr/bin/env bash
set -euo pipefail
array=${1#--array=}
shift
script=$1
shift
first=${array%-*} last=${array#*-}
cpus=$(sed -n 's/^#SBATCH --cpus-per-task=//p' "$script")
status=0
for task in $(seq "$first" "$last"); do
  SLURM_ARRAY_JOB_ID=77 SLURM_ARRAY_TASK_ID=$task SLURM_ARRAY_TASK_MIN=$first SLURM_ARRAY_TASK_MAX=$last \
    SLURM_CPUS_PER_TASK=$cpus SLURM_SUBMIT_DIR=$PWD \
    bash "$script" "$@" >"zelvan-77_$task.out" 2>&1 || status=$?
done
exit $status
STUB
chmod +x "$work/stub/sbatch"
ln -s "$source_dir/scripts" "$work/submit/scripts"
script=$(recipe slurm)
[ -n "$script" ] || fail "no slurm recipe in the README"
# No zelvan-cli on the PATH and none built: every task says so and stops with status 2 (not
# checkable where the package is installed).
if ! PATH=/usr/bin:/bin command -v zelvan-cli >/dev/null; then
  (cd "$work/submit" && PATH="$work/stub:/usr/bin:/bin" bash -c "$script") && fail "the Slurm recipe ran without a program"
  grep -q "ZELVAN_CLI" "$work/submit/zelvan-77_0.out" || fail "a task without a program did not say how to name it"
  rm -f "$work/submit"/zelvan-77_*.out
fi
# The checkout's build, as the README's build command leaves it.
ln -s "$build_dir" "$work/submit/build"
(cd "$work/submit" && PATH="$work/stub:/usr/bin:/bin" bash -euo pipefail -c "$script") || {
  cat "$work/submit"/zelvan-77_*.out >&2
  fail "the Slurm recipe failed"
}
outputs=$(find "$work/shared/out" -name '*.png' | wc -l)
[ "$outputs" -eq 16 ] || fail "the Slurm recipe wrote $outputs PNG files, not 16"
summaries=$(cat "$work/submit"/zelvan-77_*.out | grep -c '"summary":true' || true)
[ "$summaries" -eq 10 ] || fail "$summaries task summaries, not 10"
echo "Slurm recipe: 10 array tasks wrote the 16 files, each task's output file holds its JSON"

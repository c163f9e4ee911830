#!/usr/bin/env bash
#SBATCH --job-name=zelvan
#SBATCH --cpus-per-task=2
#SBATCH --output=zelvan-%A_%a.out
# Converts a list of pictures as a Slurm job array, one shard of the list per array task.
#
#   find /data/photos -type f -print0 > photos.list        # or one path per line
#   sbatch --array=0-9 scripts/slurm-convert.sh photos.list /shared/out [zelvan-cli options...]
#
# Task I of an array 0-(N-1) converts the files at places p with p mod N = I, numbered by their
# places in the whole list, so the outputs are the ones a single run of the list writes. Every
# task runs with --skip-existing: a task that is requeued, or the whole array started again
# after a stop, converts only what is missing. Each task's standard output (the Slurm output
# file) holds one JSON object per file and a summary.
#
# The output folder must be one every node sees (a shared file system). ZELVAN_CLI names the
# program when zelvan-cli is neither on the PATH nor built in the submit folder's build/
# (sbatch passes the environment on); ZELVAN_SHARDS overrides the shard count when the
# array does not run 0-(N-1) in full (for example to rerun single tasks: --array=3,7 with
# ZELVAN_SHARDS=10).
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: sbatch --array=0-(N-1) $0 LIST OUTPUT_FOLDER [zelvan-cli options...]" >&2
  exit 2
fi
list=$1
output=$2
shift 2
: "${SLURM_ARRAY_TASK_ID:?this script runs as a task of a Slurm job array (sbatch --array=0-N)}"
shards=${ZELVAN_SHARDS:-$((SLURM_ARRAY_TASK_MAX + 1))}
threads=${SLURM_CPUS_PER_TASK:-1}
# The program: ZELVAN_CLI, else zelvan-cli on the PATH (installed), else the build of the checkout
# sbatch was run from (the README's build command leaves it in build/).
cli=${ZELVAN_CLI:-}
if [ -z "$cli" ]; then
  if command -v zelvan-cli >/dev/null; then
    cli=zelvan-cli
  elif [ -x "${SLURM_SUBMIT_DIR:-.}/build/zelvan-cli" ]; then
    cli=${SLURM_SUBMIT_DIR:-.}/build/zelvan-cli
  else
    echo "zelvan-cli is not on the PATH nor in ${SLURM_SUBMIT_DIR:-.}/build/: install the package," \
      "or submit with ZELVAN_CLI=/path/to/zelvan-cli in the environment" >&2
    exit 2
  fi
fi

# A list written by find -print0 is NUL-separated; otherwise one path per line.
separator=()
if [ "$(tr -cd '\0' <"$list" | head -c 1 | wc -c)" -gt 0 ]; then separator=(-0); fi

exec "$cli" "${separator[@]}" --shard "$SLURM_ARRAY_TASK_ID/$shards" --skip-existing --json \
  -j "$threads" -o "$output" "$@" - <"$list"

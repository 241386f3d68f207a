#!/usr/bin/env bash
# The recipes for many machines give the records of one unsharded run ("ms" aside):
# GNU parallel on this machine's local login with two shards (paths with a space), and the
# Slurm array script run as three array tasks, merged; the merge refuses missing and failed
# shards. Skips (77) when GNU parallel is not installed.
set -euo pipefail
tool="$1"
source="$2"
if ! command -v parallel >/dev/null; then
  echo "SKIP: GNU parallel is not installed"
  exit 77
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/with space"
ln -s "$source/examples/corpus" "$work/with space/corpus"
cp "$source/examples/corpus/list.txt" "$work/with space/list.txt"
list="$work/with space/list.txt"
root="$work/with space/corpus"
stable() { sed 's/"ms":[0-9]*/"ms":0/'; }

"$tool" --list "$list" --root "$root" 2>/dev/null | stable >"$work/whole.jsonl"
test -s "$work/whole.jsonl"

"$source/scripts/cluster/parallel-shards" 2 -S : -- "$tool" --list "$list" --root "$root" \
  2>/dev/null | stable >"$work/parallel.jsonl"
cmp "$work/whole.jsonl" "$work/parallel.jsonl"
echo "GNU parallel, 2 shards on the local login: same records"

for k in 0 1 2; do
  SLURM_ARRAY_TASK_ID=$k SLURM_ARRAY_TASK_COUNT=3 \
    "$source/scripts/cluster/slurm-shards.sbatch" "$work/out" "$tool" --list "$list" --root "$root"
done
"$source/scripts/cluster/merge-shards" "$work/out" 3 | stable >"$work/slurm.jsonl"
cmp "$work/whole.jsonl" "$work/slurm.jsonl"
echo "Slurm array script, 3 tasks merged: same records"

echo 101 >"$work/out/shard-1.status"
if "$source/scripts/cluster/merge-shards" "$work/out" 3 >/dev/null 2>&1; then
  echo "merge-shards accepted a failed shard"
  exit 1
fi
rm "$work/out/shard-1.status"
if "$source/scripts/cluster/merge-shards" "$work/out" 3 >/dev/null 2>&1; then
  echo "merge-shards accepted an unfinished shard"
  exit 1
fi
echo "merge-shards refuses failed and unfinished shards"

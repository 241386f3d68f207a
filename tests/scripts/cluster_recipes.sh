#!/usr/bin/env bash
# The recipes for many machines give the records of one unsharded run ("ms" aside):
# GNU parallel on this machine's local login with two shards (paths with a space), each
# failing its first try after part of its records, and the Slurm array script run as three
# array tasks, one of them requeued after part of its records, merged. Retried and requeued
# shards keep the records they wrote (--resume); the merge refuses missing and failed shards.
# Skips (77) when GNU parallel is not installed.
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
# Records an earlier try wrote get this "ms", which no run of these messages takes, so that
# they show whether a later try kept them.
kept='"ms":7777'
stopped() { head -c 1500 "$1" | sed "s/\"ms\":[0-9]*/$kept/" >"$1.part" && mv "$1.part" "$1"; }

"$tool" --list "$list" --root "$root" 2>/dev/null | stable >"$work/whole.jsonl"
test -s "$work/whole.jsonl"

# The first try of each shard fails after part of its records, as on a host that is lost.
cat >"$work/flaky" <<EOF
#!/usr/bin/env bash
$(declare -f stopped)
kept='$kept'
for arg in "\$@"; do
  case "\${previous:-}" in
    --shard) shard="\${arg%%/*}" ;;
    --output) out="\$arg" ;;
  esac
  previous="\$arg"
done
if [ -e "$work/tried-\$shard" ]; then exec "\$@"; fi
touch "$work/tried-\$shard"
"\$@" && stopped "\$out"
exit 1
EOF
chmod +x "$work/flaky"
"$source/scripts/cluster/parallel-shards" 2 "$work/parallel out" -S : -- \
  "$work/flaky" "$tool" --list "$list" --root "$root" 2>/dev/null >"$work/parallel.jsonl"
test "$(grep -c "$kept" "$work/parallel.jsonl")" -eq 2
stable <"$work/parallel.jsonl" | cmp "$work/whole.jsonl" -
echo "GNU parallel, 2 shards on the local login, each failing once: same records, resumed"

# Task 1 was preempted before: its file holds part of its records, its status that try's.
mkdir "$work/out"
"$tool" --list "$list" --root "$root" --shard 1/3 --output "$work/out/shard-1.jsonl" 2>/dev/null
stopped "$work/out/shard-1.jsonl"
echo 143 >"$work/out/shard-1.status"
for k in 0 1 2; do
  SLURM_ARRAY_TASK_ID=$k SLURM_ARRAY_TASK_COUNT=3 \
    "$source/scripts/cluster/slurm-shards.sbatch" "$work/out" "$tool" --list "$list" --root "$root"
done
"$source/scripts/cluster/merge-shards" "$work/out" 3 >"$work/slurm.jsonl"
test "$(grep -c "$kept" "$work/slurm.jsonl")" -eq 1
stable <"$work/slurm.jsonl" | cmp "$work/whole.jsonl" -
echo "Slurm array script, 3 tasks (one requeued) merged: same records, resumed"

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

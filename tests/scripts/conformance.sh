#!/usr/bin/env bash
# Runs the tool over the conformance corpus and compares every record with the reference
# records, byte for byte apart from "ms". Skips (status 77) when the corpus is not present.
set -u
binary="$1"
shared="$2"
compare="$shared/conformance/compare.py"
if [ ! -f "$compare" ]; then
  echo "SKIP: no conformance corpus at $shared/conformance (it sits beside the source tree in the project's workspace)"
  exit 77
fi
exec python3 "$compare" "$binary" public bulk --show 10

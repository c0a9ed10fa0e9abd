#!/bin/bash
# Runs every fuzz target for the given number of seconds each, from its corpus folder.
set -euo pipefail
seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
build="$here/../../build/fuzz/tests/fuzz"
for target in host_text_fuzz form_text_fuzz log_line_fuzz; do
  corpus="$here/../../build/fuzz/corpus/$target"
  mkdir -p "$corpus"
  echo "fuzz: $target for ${seconds}s"
  "$build/$target" -max_total_time="$seconds" -max_len=256 -print_final_stats=0 "$corpus" 2>&1 | tail -n 2
done

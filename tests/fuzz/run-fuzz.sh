#!/usr/bin/env bash
# run-fuzz.sh FUZZER SEED_DIR WORK_DIR SECONDS
# Fuzzes on a scratch copy of the seeds so the committed corpus never changes;
# a crash, leak or sanitizer report makes libFuzzer exit non-zero.
set -euo pipefail
fuzzer=$1 seeds=$2 work=$3 seconds=$4
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
cp -r "$seeds"/. "$work/corpus/"
cd "$work"
exec "$fuzzer" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 -timeout=25 \
  -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$work/corpus"

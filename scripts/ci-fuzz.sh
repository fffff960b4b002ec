#!/usr/bin/env bash
# CI: fuzzes the message decoder with its UTF-8 conversion (FUZZ_SECONDS, default 120), then
# its JSON document (JSON_FUZZ_SECONDS, default 60), then the DirectIP parser with the
# archive's import of what it reads (DIRECTIP_FUZZ_SECONDS, default 60), with Clang's libFuzzer under
# AddressSanitizer and UndefinedBehaviorSanitizer, from the seed corpus kept in the
# repository. A failed check or sanitizer report fails the run and leaves the input in the
# build folder as crash-*; copy it into the target's fuzz-corpus (converter/decode/ or
# converter/archive/) so that it replays as a test from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh clang libfuzzer-14-dev libclang-rt-14-dev
. scripts/lib.sh
build_dir=${BUILD_DIR:-$(preset_dir fuzz)}
configure fuzz "$build_dir"
cmake --build "$build_dir" --parallel "$(nproc)" --target saltmark_decode_fuzz saltmark_json_fuzz \
  saltmark_directip_fuzz

# New inputs go to a scratch folder per target; the seeds are read only. Inputs stay a
# little above the largest seed (every record type back to back) instead of libFuzzer's
# default. One input takes milliseconds; a busy machine has stalled one for 16 s, so only a
# minute counts as a hang.
fuzz() {
  local folder=$1 target=$2 seconds=$3
  mkdir -p "$build_dir/found-$target"
  "$build_dir/$folder/$target" -max_total_time="$seconds" -max_len=8192 \
    -timeout=60 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build_dir/" \
    "$build_dir/found-$target" "$folder/fuzz-corpus"
}
fuzz converter/decode saltmark_decode_fuzz "${FUZZ_SECONDS:-120}"
fuzz converter/decode saltmark_json_fuzz "${JSON_FUZZ_SECONDS:-60}"
fuzz converter/archive saltmark_directip_fuzz "${DIRECTIP_FUZZ_SECONDS:-60}"

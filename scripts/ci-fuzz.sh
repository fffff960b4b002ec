#!/usr/bin/env bash
# CI: fuzzes the message decoder and its UTF-8 conversion for a fixed time (default 120 s,
# FUZZ_SECONDS to change) with Clang's libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer, starting from the seed corpus kept in the repository. A failed
# check or sanitizer report fails the run and leaves the input in the build folder as
# crash-*; copy it into converter/decode/fuzz-corpus so it replays as a test from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-120}
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSALTMARK_BUILD_FUZZER=ON -DBUILD_TESTING=OFF -DORCAN_BUILD_APP=OFF \
  -DORCAN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target saltmark_decode_fuzz
# New inputs go to a scratch folder; the seeds are read only. Inputs stay a little above the
# largest seed (every record type back to back) instead of libFuzzer's default.
# One input takes milliseconds; a busy machine has stalled one for 16 s, so only a minute
# counts as a hang.
found=$build_dir/fuzz-found
mkdir -p "$found"
"$build_dir/converter/decode/saltmark_decode_fuzz" -max_total_time="$seconds" -max_len=8192 \
  -timeout=60 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build_dir/" \
  "$found" converter/decode/fuzz-corpus

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, apart from the CMake build, and
# runs each for a bounded time: FUZZ_SECONDS per target (default 30).
# New inputs collect in a scratch corpus per target; the seeds here stay
# unchanged.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${FUZZ_SECONDS:-30}
out=${FUZZ_BUILD_DIR:-build-fuzz}
flags=(-std=c++17 -g -O1 -Wall -Wextra -Wpedantic -Werror -fsanitize=fuzzer,address,undefined
  -fno-sanitize-recover=all -Iinclude -Isrc)

# fuzz TARGET MAX_LEN DICT SEEDS [LIBRARY SOURCES...]
fuzz() {
  local target=$1 max_len=$2 dict=$3 seeds=$4
  shift 4
  mkdir -p "$out/$seeds"
  clang++ "${flags[@]}" "$@" "tests/fuzz/$target.cpp" -o "$out/$target"
  "$out/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$out/" \
    -print_final_stats=1 -max_len="$max_len" -dict="tests/fuzz/$dict" "$out/$seeds" "tests/fuzz/$seeds"
}

fuzz intelhex_read_fuzz 4096 intelhex.dict corpus src/firmware/intelhex.cpp  # the Intel HEX reader
fuzz usb_line_parse_fuzz 64 usb_line.dict usb_line_corpus  # the USB adapter's received-line parser
fuzz configuration_import_fuzz 4096 configuration.dict config_corpus  # the import's text-to-settings step

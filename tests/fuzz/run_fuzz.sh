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
run=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$out/" -print_final_stats=1)

# Intel HEX reader.
mkdir -p "$out/corpus"
clang++ "${flags[@]}" src/firmware/intelhex.cpp tests/fuzz/intelhex_read_fuzz.cpp -o "$out/intelhex_read_fuzz"
"$out/intelhex_read_fuzz" "${run[@]}" -max_len=4096 -dict=tests/fuzz/intelhex.dict "$out/corpus" tests/fuzz/corpus

# The USB adapter's received-line parser.
mkdir -p "$out/usb_line_corpus"
clang++ "${flags[@]}" tests/fuzz/usb_line_parse_fuzz.cpp -o "$out/usb_line_parse_fuzz"
"$out/usb_line_parse_fuzz" "${run[@]}" -max_len=64 -dict=tests/fuzz/usb_line.dict \
  "$out/usb_line_corpus" tests/fuzz/usb_line_corpus

# The configuration import's text-to-settings step.
mkdir -p "$out/config_corpus"
clang++ "${flags[@]}" tests/fuzz/configuration_import_fuzz.cpp -o "$out/configuration_import_fuzz"
"$out/configuration_import_fuzz" "${run[@]}" -max_len=4096 -dict=tests/fuzz/configuration.dict \
  "$out/config_corpus" tests/fuzz/config_corpus

#!/usr/bin/env bash
# Builds the libFuzzer target of the Intel HEX reader with clang, apart from
# the CMake build, and runs it for a bounded time: FUZZ_SECONDS (default 60).
# New inputs collect in a scratch corpus; the seeds here stay unchanged.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${FUZZ_SECONDS:-60}
out=${FUZZ_BUILD_DIR:-build-fuzz}
mkdir -p "$out/corpus"

clang++ -std=c++17 -g -O1 -Wall -Wextra -Wpedantic -Werror \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -Iinclude -Isrc src/firmware/intelhex.cpp tests/fuzz/intelhex_read_fuzz.cpp -o "$out/intelhex_read_fuzz"

"$out/intelhex_read_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -dict=tests/fuzz/intelhex.dict -artifact_prefix="$out/" -print_final_stats=1 \
  "$out/corpus" tests/fuzz/corpus

# The configuration import's text-to-settings step. Runs for
# FUZZ_CONFIG_SECONDS (default 30).
config_seconds=${FUZZ_CONFIG_SECONDS:-30}
mkdir -p "$out/config_corpus"
clang++ -std=c++17 -g -O1 -Wall -Wextra -Wpedantic -Werror \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -Iinclude -Isrc tests/fuzz/configuration_import_fuzz.cpp -o "$out/configuration_import_fuzz"

"$out/configuration_import_fuzz" -max_total_time="$config_seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -dict=tests/fuzz/configuration.dict -artifact_prefix="$out/config-" -print_final_stats=1 \
  "$out/config_corpus" tests/fuzz/config_corpus

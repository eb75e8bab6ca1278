#!/usr/bin/env bash
# Builds the format-matcher fuzzer with libFuzzer and the address and
# undefined-behaviour sanitizers, and runs it for SECONDS (default 30) on a
# copy of the seed corpus. Exits non-zero on any crash or broken contract;
# the crashing input is left in the current directory.
#
# Usage: fuzz/run_format_fuzzer.sh [SECONDS]
set -euo pipefail

seconds="${1:-30}"
fuzz_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo_root="$(dirname "$fuzz_dir")"
work_dir="$(mktemp -d)"
trap 'rm -rf "$work_dir"' EXIT

# True when clang++ can link a libFuzzer target.
fuzzer_toolchain_present() {
    command -v clang++ >/dev/null || return 1
    printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' \
        >"$work_dir/probe.cpp"
    clang++ -fsanitize=fuzzer "$work_dir/probe.cpp" -o "$work_dir/probe" 2>/dev/null
}

if ! fuzzer_toolchain_present; then
    apt-get update
    apt-get install -y --no-install-recommends clang libclang-rt-14-dev
fi

clang++ -std=c++17 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I "$repo_root" \
    "$fuzz_dir/format_match_fuzzer.cpp" \
    "$repo_root/morvane/extension_frame/interpreter/format_match.cpp" \
    -o "$work_dir/format_match_fuzzer"

cp -r "$fuzz_dir/corpus" "$work_dir/corpus"
"$work_dir/format_match_fuzzer" -max_total_time="$seconds" -max_len=256 -print_final_stats=1 \
    -artifact_prefix="$PWD/" "$work_dir/corpus"

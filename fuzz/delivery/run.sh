#!/bin/sh
# Builds the libFuzzer target of the MM7 client's entry walker with clang++ and runs it for a
# bounded time, seeded with fuzz/delivery/corpus and the real-world PDUs of the shared test data.
#
#   fuzz/delivery/run.sh [seconds [work-dir]]      (defaults: 60 seconds, <repo>/build-fuzz-delivery)
#
# New interesting inputs go to <work-dir>/corpus, crashes to <work-dir>/artifacts.  An input that
# once failed belongs in fuzz/delivery/corpus/, which the regular test build replays.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-60}
work=${2:-$root/build-fuzz-delivery}
seeds=${MM7_TESTDATA_DIR:-$root/../shared/testdata}/mms-pdus
cxx=${CXX_FUZZ:-clang++}

mkdir -p "$work/corpus" "$work/artifacts"

# The tracked allocator (src/core/memory.cpp) is left out on purpose: with the plain allocator
# AddressSanitizer sees the exact end of every block.
"$cxx" -std=c++20 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/src" -I"$here" \
    "$here/libfuzzer_main.cpp" "$here/delivery_fuzz_entry.cpp" "$root/src/mm7/mm7_entries.cpp" \
    "$root/src/wsp/wsp_primitives.cpp" "$root/src/wsp/wsp_content.cpp" \
    "$root/src/wsp/wsp_compose.cpp" "$root/src/wsp/wsp_parse.cpp" \
    "$root/src/core/log.cpp" "$root/src/core/string_utils.cpp" "$root/src/core/base64.cpp" \
    -o "$work/delivery_fuzzer"

set -- "$work/corpus" "$here/corpus"
if [ -d "$seeds" ]; then
    set -- "$@" "$seeds"
else
    echo "run.sh: no seed PDUs at $seeds" >&2
fi

exec "$work/delivery_fuzzer" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$@"

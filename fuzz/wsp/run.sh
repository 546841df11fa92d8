#!/bin/sh
# Builds the libFuzzer target of the WSP/MMS decoders with clang++ and runs it for a bounded
# time, seeded with the real-world PDUs of the shared test data.
#
#   fuzz/wsp/run.sh [seconds [work-dir]]      (defaults: 60 seconds, <repo>/build-fuzz-wsp)
#
# New interesting inputs go to <work-dir>/corpus, crashes to <work-dir>/artifacts.  An input
# that once failed belongs in fuzz/wsp/regressions/, which the regular test build replays.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-60}
work=${2:-$root/build-fuzz-wsp}
seeds=${MM7_TESTDATA_DIR:-$root/../shared/testdata}/mms-pdus
cxx=${CXX_FUZZ:-clang++}

mkdir -p "$work/corpus" "$work/artifacts"

# The tracked allocator (src/core/memory.cpp) is left out on purpose: with the plain allocator
# AddressSanitizer sees the exact end of every block.
"$cxx" -std=c++20 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/src" -I"$here" \
    "$here/libfuzzer_main.cpp" "$here/wsp_fuzz_entry.cpp" \
    "$root/src/wsp/wsp_primitives.cpp" "$root/src/wsp/wsp_content.cpp" \
    "$root/src/wsp/wsp_compose.cpp" "$root/src/wsp/wsp_parse.cpp" \
    "$root/src/core/log.cpp" "$root/src/core/string_utils.cpp" "$root/src/core/base64.cpp" \
    -o "$work/wsp_fuzzer"

set -- "$work/corpus"
if [ -d "$seeds" ]; then
    set -- "$@" "$seeds"
else
    echo "run.sh: no seed PDUs at $seeds, starting from an empty corpus" >&2
fi
if [ -d "$here/regressions" ]; then
    set -- "$@" "$here/regressions"
fi

exec "$work/wsp_fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$@"

#!/bin/bash
# Builds the SubmitReq envelope fuzzer with clang/libFuzzer and runs it.
#   fuzz/mm7/run.sh [seconds]        (default 120; BUILD_DIR overrides the output directory)
# New crash reproducers land in the build directory; keep the interesting ones in
# fuzz/mm7/corpus/, which the normal test build replays (test soap_fuzz_replay).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="${BUILD_DIR:-$root/build-fuzz-mm7}"
seconds="${1:-120}"
mkdir -p "$out/corpus"

sources=(
    "$here/parse_envelope_fuzz.cpp"
    "$root/src/mm7/mm7_documents.cpp"
    "$root/src/mm7/mm7_envelope.cpp"
    "$root/src/mm7/mm7_xml.cpp"
    "$root/src/mm7/mm7_xml_check.cpp"
    "$root/src/core/log.cpp"
    "$root/src/core/memory.cpp"
    "$root/src/core/string_utils.cpp"
)
clang++ -std=c++20 -g -O1 -Wall -Wextra -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -DMM7_VERSION=\"fuzz\" -I"$root/src" "${sources[@]}" -lmxml -o "$out/parse_envelope_fuzz"

cd "$out"
exec ./parse_envelope_fuzz -max_total_time="$seconds" -max_len=65536 -timeout=10 \
    -rss_limit_mb=2048 -dict="$here/envelope.dict" -artifact_prefix="$out/" \
    corpus "$root/tests/mm7/envelopes" "$here/corpus"

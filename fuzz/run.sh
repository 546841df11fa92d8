#!/bin/bash
# Builds one libFuzzer target with clang++ and runs it for a bounded time.
#
#   fuzz/run.sh TARGET [seconds [work-dir]]    TARGET: wsp, mm7, delivery, request or settings
#                                              (defaults: 60 seconds, <repo>/build-fuzz-TARGET)
#
# Seeds: the target's corpus (and for the PDU decoders the real-world PDUs of the shared test
# data).  New interesting inputs go to <work-dir>/corpus, crashes to <work-dir>/artifacts.  An
# input that once failed belongs in the target's corpus, which the regular test build replays.
# Extra libFuzzer options can follow in FUZZ_OPTIONS (e.g. FUZZ_OPTIONS=-runs=10000000).
# FUZZ_SANITIZERS replaces the sanitizers besides the fuzzer (default address,undefined; e.g.
# "undefined" for long runs, several times faster, that still stop on undefined behaviour).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
target=${1:?usage: fuzz/run.sh wsp|mm7|delivery|request|settings [seconds [work-dir]]}
seconds=${2:-60}
work=${3:-$root/build-fuzz-$target}
pdus=${MM7_TESTDATA_DIR:-$root/../shared/testdata}/mms-pdus
core=("$root/src/core/log.cpp" "$root/src/core/string_utils.cpp" "$root/src/core/base64.cpp"
      "$root/src/core/mime_text.cpp" "$root/src/core/http_text.cpp")
wsp=("$root/src/wsp/wsp_primitives.cpp" "$root/src/wsp/wsp_content.cpp"
     "$root/src/wsp/wsp_compose.cpp" "$root/src/wsp/wsp_parse.cpp")
soap=("$root/src/mm7/documents/mm7_documents.cpp" "$root/src/mm7/documents/mm7_envelope.cpp"
      "$root/src/mm7/documents/mm7_xml.cpp" "$root/src/mm7/documents/mm7_xml_check.cpp")
dir=$here/$target
seeds=("$dir/corpus")
case $target in
    wsp) sources=("$dir/libfuzzer_main.cpp" "$dir/wsp_fuzz_entry.cpp" "${wsp[@]}")
         seeds=("$dir/regressions" "$pdus"); options=(-max_len=8192) ;;
    delivery) sources=("$dir/libfuzzer_main.cpp" "$dir/delivery_fuzz_entry.cpp"
                       "$root/src/mm7/delivery/mm7_entries.cpp" "${wsp[@]}")
              seeds+=("$pdus"); options=(-max_len=16384) ;;
    mm7) sources=("$dir/parse_envelope_fuzz.cpp" "${soap[@]}")
         seeds+=("$root/tests/mm7/documents/envelopes"); options=(-max_len=65536 -dict="$dir/envelope.dict") ;;
    request) sources=("$dir/request_fuzz.cpp" "$root/src/mm7/server/mm7_http.cpp"
                     "$root/src/mm7/server/mm7_http_head.cpp" "${soap[@]}" "${wsp[@]}")
             options=(-max_len=4096 -dict="$dir/request.dict") ;;
    settings) sources=("$dir/settings_fuzz.cpp" "$root/src/turbo/turbo_settings.cpp")
              options=(-max_len=2048 -dict="$dir/settings.dict") ;;
    *) echo "fuzz/run.sh: unknown target $target" >&2; exit 2 ;;
esac

mkdir -p "$work/corpus" "$work/artifacts"
# The tracked allocator (src/core/memory.cpp) is left out on purpose: with the plain allocator
# AddressSanitizer sees the exact end of every block.
"${CXX_FUZZ:-clang++}" -std=c++20 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,"${FUZZ_SANITIZERS:-address,undefined}" -fno-sanitize-recover=undefined \
    -DMM7_VERSION=\"fuzz\" -I"$root/src" -I"$dir" "${sources[@]}" "${core[@]}" -lmxml -lcurl \
    -o "$work/$target-fuzzer"

existing=()
for seed in "${seeds[@]}"; do
    if [ -d "$seed" ]; then existing+=("$seed"); else echo "run.sh: no seeds at $seed" >&2; fi
done
exec "$work/$target-fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    "${options[@]}" ${FUZZ_OPTIONS:-} -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
    "$work/corpus" "${existing[@]}"

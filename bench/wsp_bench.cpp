// Codec throughput: decoding the largest real-world PDU, composing a 20-part m-send-req, and
// header decoding over growing header blocks (which must stay linear in the PDU size).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "wsp/wsp.h"
#include "wsp/wsp_primitives.h"
#include "wsp/wsp_test_util.h"

namespace {

buffer read_pdu(const char* name) {
    const std::filesystem::path path = std::filesystem::path(MM7_TESTDATA_DIR) / "mms-pdus" / name;
    std::ifstream in(path, std::ios::binary);
    return buffer(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Headers and every multipart entry header, the way the daemon reads a received message.
std::size_t decode_pdu(const buffer& pdu) {
    std::uint32_t offset = 0;
    mms_message message = ParseMMSHeaders(pdu, offset, false);
    benchmark::DoNotOptimize(message);
    std::size_t entries = 0;
    walk_body(pdu, offset, [&](const multipart_entry&, std::uint64_t) { ++entries; });
    return entries;
}

void BM_DecodeRetrieveConf(benchmark::State& state) {
    const buffer pdu = read_pdu("m-retrieve_3.conf");
    if (pdu.empty()) {
        state.SkipWithError("m-retrieve_3.conf not found in the shared test data");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(decode_pdu(pdu));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pdu.size()));
}
BENCHMARK(BM_DecodeRetrieveConf);

void BM_ComposeSendReq20Parts(benchmark::State& state) {
    mms_message message;
    message.to = text_list{"+491700000001", "+491700000002", "someone@example.com"};
    message.cc = text_list{"+491700000003"};
    message.subject = "Quarterly report with pictures";
    message.priority = "High";
    message.delivery_report = 1;
    message.expiry = mms_time{86400, true};
    multipart_params params;
    params.type = "application/smil";

    std::vector<mms_part> parts(20);
    const std::string data(2048, 'x');
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string n = std::to_string(i);
        parts[i].content_type = i == 0       ? "application/smil"
                                : i % 2 == 0 ? "text/plain; charset=utf-8; name=t" + n + ".txt"
                                             : "image/jpeg; name=img" + n + ".jpg";
        parts[i].content_id = i == 0 ? "\"<smil>\"" : "\"<part" + n + ">\"";
        parts[i].content_location = "part" + n;
        parts[i].content_disposition = "attachment; filename=part" + n;
        parts[i].data_length = static_cast<std::uint32_t>(data.size());
    }

    std::vector<char> storage(1 << 20);
    FILE* stream = fmemopen(storage.data(), storage.size(), "w+b");
    std::size_t written = 0;
    for (auto _ : state) {
        std::rewind(stream);
        const std::string id = generate_transaction_id();
        compose_send_req_headers(stream, message, id, &params);
        const long count_at = std::ftell(stream);
        write_octet(stream, 0);
        for (const mms_part& part : parts) {
            compose_part_headers(stream, part);
            std::fwrite(data.data(), 1, data.size(), stream);
        }
        written = static_cast<std::size_t>(std::ftell(stream));
        std::fseek(stream, count_at, SEEK_SET);
        write_octet(stream, static_cast<int>(parts.size()));
        std::fflush(stream);
    }
    std::fclose(stream);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * written));
    state.counters["pdu_bytes"] = static_cast<double>(written);
}
BENCHMARK(BM_ComposeSendReq20Parts);

// A header block of state.range(0) headers: time per header must not grow with the count.
void BM_ParseHeaderBlock(benchmark::State& state) {
    buffer pdu = {0x8C, 0x84};
    const auto headers = static_cast<std::size_t>(state.range(0));
    for (std::size_t i = 0; i < headers; ++i) {
        const buffer to = compose_header(wsp_value_kind::mms_header_encoded_string_value_token, -1,
                                         -1, "+4917000000/TYPE=PLMN", -1, std::nullopt, 0x17);
        pdu.insert(pdu.end(), to.begin(), to.end());
    }
    pdu.push_back(0x84);
    pdu.push_back(0xB3);
    for (auto _ : state) {
        std::uint32_t offset = 0;
        mms_message message = ParseMMSHeaders(pdu, offset, false);
        benchmark::DoNotOptimize(message);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pdu.size()));
    state.SetComplexityN(static_cast<std::int64_t>(pdu.size()));
}
BENCHMARK(BM_ParseHeaderBlock)->RangeMultiplier(4)->Range(16, 16384)->Complexity();

}  // namespace

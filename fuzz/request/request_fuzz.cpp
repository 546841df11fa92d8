// Fuzz target of the request parser.  The first two bytes seed the cuts, and the highest bit of
// the second says whether the parser asks for credentials (user:pass); the rest is the request,
// fed whole and again in pieces of 1 to 64 bytes: both runs must report the same.
#include <cstdint>
#include <cstdlib>

#include "request_transcript.h"

namespace {

// The one line that tells where a read ended (an MM1 body running past its length is noted
// with the count up to the end of the read that crossed it, between two pieces of data) is
// left out of the comparison.
request_run comparable(const request_run& run) {
    request_transcript joined;
    for (const std::string& event : run.events) {
        if (event.starts_with("mm1+")) {
            joined.add("mm1+", std::string_view(event).substr(4));
        } else if (!event.starts_with("note HandleMM1Body: got more data")) {
            joined.events.push_back(event);
        }
    }
    return {joined.events, run.outcome, run.refusal};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    std::uint32_t seed = data[0] | (data[1] << 8);
    const std::string_view request(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::string_view client_auth = (data[1] & 0x80) != 0 ? "dXNlcjpwYXNz" : "";
    const request_run whole = parse_request(
        request, [] { return std::size_t{1} << 30; }, client_auth);
    const request_run split = parse_request(
        request,
        [&seed] {
            seed = seed * 1103515245u + 12345u;
            return std::size_t{1} + (seed >> 16) % 64;
        },
        client_auth);
    if (!(comparable(whole) == comparable(split))) {
        std::abort();
    }
    return 0;
}

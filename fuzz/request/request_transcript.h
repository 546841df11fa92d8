// Everything the request parser reports, in order, as text: what a run of the parser is
// compared by.  Pieces of part and MM1 data are joined, since only their bytes, not where the
// reads cut them, are meant.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mm7/server/mm7_http.h"

struct request_transcript final : mm7_request_events {
    std::vector<std::string> events;

    void add(std::string_view kind, std::string_view bytes) {
        if (kind.ends_with("+") && !events.empty() && events.back().starts_with(kind)) {
            events.back() += bytes;
        } else {
            events.push_back(std::string(kind) + std::string(bytes));
        }
    }
    void note(std::string_view line) override { add("note ", line); }
    std::optional<std::string> open_pdu(bool mm1_mode) override {
        add(mm1_mode ? "open mm1" : "open", "");
        return "tid-1";
    }
    bool pdu_head(byte_view head) override { return record("head ", head); }
    bool part_data(byte_view data) override { return record("data+", data); }
    bool part_end(byte_view entry_header) override { return record("end ", entry_header); }
    bool mm1_data(byte_view data) override { return record("mm1+", data); }
    void send_continue() override { add("continue", ""); }

  private:
    bool record(std::string_view kind, byte_view bytes) {
        add(kind, as_text(bytes));
        return true;
    }
};

// What a parser said about one request.
struct request_run {
    std::vector<std::string> events;
    parse_outcome outcome = parse_outcome::more;
    std::string refusal;
    bool operator==(const request_run&) const = default;
};

// Feeds the request to a fresh parser in pieces whose sizes `next_size` draws, and reports what
// came out.  `client_auth`: the Basic token the parser asks for, if any.
template <typename NextSize>
request_run parse_request(std::string_view request, NextSize&& next_size,
                          std::string_view client_auth = {}) {
    request_transcript transcript;
    mm7_request_parser parser(transcript, 1 << 20, client_auth);
    for (std::size_t at = 0; at < request.size();) {
        const std::size_t n = std::min(request.size() - at, next_size());
        parser.feed(as_bytes(request.substr(at, n)));
        at += n;
    }
    return {transcript.events, parser.outcome(), std::string(parser.refusal())};
}

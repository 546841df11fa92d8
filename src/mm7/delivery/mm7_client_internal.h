// Pieces of the MM7 client shared between its request side (mm7_client.cpp) and its reply side
// (mm7_client_reply.cpp).
#pragma once

#include <string>
#include <string_view>

#include "core/mainloop.h"
#include "mm7/delivery/mm7_client.h"

inline void refresh_deadline(mm7_client_info& info) {
    info.deadline = ticks_now() + MM7_CLIENT_DEADLINE_SECONDS * ticks_per_second;
}

// The VASP's reply as far as it has come.
struct reply_view {
    bool head_complete = false;  // the final response's head is there up to its blank line
    int code = 0;                // of the final response (1xx interim responses skipped)
    std::string status_line;
    std::string body;            // as much of it as has come, chunked framing removed
    bool body_complete = false;  // all of the body its framing announces has come
};

reply_view read_reply(std::string_view reply);
// Ends a delivery on the VASP's reply once it says enough: the whole head, and for a 2xx the
// whole body (or whatever came before the end of the connection, when at_end).  True when the
// delivery has ended.
bool judge_reply(mm7_client_info& info, bool at_end);
// Of a reply that comes while the request is still being written: drops the complete interim
// (1xx) responses at its start, and says whether what is left begins a final response (or is no
// HTTP at all).  False while only interim responses, or too little to tell, have come.
bool final_reply_begun(std::string& reply);
// Reads what the VASP sends.  True when the delivery has ended.
bool handle_read(int fd, mm7_client_info& info);

// Counts a try of a VASP account's delivery by its outcome for the monitoring endpoint.
void mm7_count_delivery(delivery_outcome outcome, std::string_view vasp);

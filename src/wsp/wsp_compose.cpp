#include "wsp/wsp_compose.h"

#include <cstdlib>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "core/base64.h"
#include "wsp/wsp.h"
#include "wsp/wsp_content.h"
#include "wsp/wsp_primitives.h"

namespace {

std::uint32_t transaction_counter = 0;

void write_buffer(FILE* stream, const buffer& b) {
    if (!b.empty()) {
        std::fwrite(b.data(), 1, b.size(), stream);
    }
}

void append(buffer& out, const buffer& piece) {
    out.insert(out.end(), piece.begin(), piece.end());
}

void write_recipients(FILE* stream, const std::optional<text_list>& list, std::uint32_t field) {
    if (!list) {
        return;
    }
    for (const std::string& entry : *list) {
        const opt_text address = encode_address(entry);
        write_buffer(stream, compose_header(wsp_value_kind::mms_header_encoded_string_value_token,
                                            -1, -1, view_of(address), -1, std::nullopt, field));
    }
}

// Yes (0) for the flag 1, No (1) for any other non-zero value.
// What a composer writes to a stream, as bytes.
template <typename Compose>
buffer compose_to_buffer(Compose&& compose) {
    char* data = nullptr;
    std::size_t size = 0;
    FILE* memory = open_memstream(&data, &size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    compose(memory);
    const bool ok = std::fclose(memory) == 0;
    std::unique_ptr<char, decltype(&std::free)> owned(data, &std::free);
    if (!ok) {
        throw std::bad_alloc();
    }
    return buffer(data, data + size);
}

std::int32_t report_token(std::uint32_t flag) {
    return flag == 1 ? 0 : 1;
}

}  // namespace

std::string generate_transaction_id() {
    ++transaction_counter;
    const buffer now = encode_uintvar(static_cast<std::uint32_t>(std::time(nullptr)));
    const buffer counter = encode_uintvar(transaction_counter);
    const std::optional<buffer> joined = buffer_concat(&now, &counter);
    std::string id = base64_encode(*joined).value_or(std::string());
    for (char& c : id) {
        if (c == '/') {
            c = '-';
        }
    }
    if (!id.empty() && id.back() == '\n') {
        id.pop_back();
    }
    return id;
}

std::int32_t message_class_token(std::string_view message_class) {
    std::string lowered(message_class);
    strtolower(lowered);
    if (lowered == "personal") {
        return 0;
    }
    if (lowered == "informational") {
        return 2;
    }
    if (lowered == "advertisement") {
        return 1;
    }
    if (lowered == "auto") {
        return 3;
    }
    return 0;
}

std::int32_t priority_token(std::string_view priority) {
    std::string lowered(priority);
    strtolower(lowered);
    if (lowered == "normal") {
        return 1;
    }
    if (lowered == "high") {
        return 2;
    }
    if (lowered == "low") {
        return 0;
    }
    return 1;
}

buffer compose_time_value(const mms_time& time) {
    const std::int32_t token = time.relative ? MMS_RELATIVE_TOKEN : MMS_ABSOLUTE_TOKEN;
    return compose_value(wsp_value_kind::mms_header_length_token, -1, -1, std::nullopt, -1,
                         std::nullopt, token, time.seconds);
}

void compose_send_req_headers(FILE* stream, const mms_message& message,
                              std::string_view transaction_id, const multipart_params* params) {
    // The fixed opening headers go out in one write.
    buffer head = compose_header(wsp_value_kind::plain, MMS_MESSAGE_TYPE_SEND_REQ, -1, std::nullopt,
                                 -1, std::nullopt, MMS_FIELD_MESSAGE_TYPE);
    append(head, compose_header(wsp_value_kind::plain, -1, -1, transaction_id, -1, std::nullopt,
                                MMS_FIELD_TRANSACTION_ID));
    append(head, compose_header(wsp_value_kind::plain, MMS_VERSION_1_2, -1, std::nullopt, -1,
                                std::nullopt, MMS_FIELD_MMS_VERSION));
    append(head, compose_header(wsp_value_kind::mms_header_length_token, MMS_INSERT_ADDRESS_TOKEN,
                                -1, std::nullopt, -1, std::nullopt, MMS_FIELD_FROM));
    write_buffer(stream, head);

    write_recipients(stream, message.to, MMS_FIELD_TO);
    write_recipients(stream, message.cc, MMS_FIELD_CC);
    write_recipients(stream, message.bcc, MMS_FIELD_BCC);

    if (message.message_class) {
        write_buffer(stream, compose_header(
                                 wsp_value_kind::plain, message_class_token(*message.message_class),
                                 -1, std::nullopt, -1, std::nullopt, MMS_FIELD_MESSAGE_CLASS));
    }
    for (auto [field, time] : {std::pair{MMS_FIELD_EXPIRY, &message.expiry},
                               std::pair{MMS_FIELD_DELIVERY_TIME, &message.delivery_time}}) {
        if (*time) {
            buffer header = encode_short_integer(field);
            append(header, compose_time_value(**time));
            write_buffer(stream, header);
        }
    }
    if (message.priority) {
        write_buffer(stream,
                     compose_header(wsp_value_kind::plain, priority_token(*message.priority), -1,
                                    std::nullopt, -1, std::nullopt, MMS_FIELD_PRIORITY));
    }
    if (message.delivery_report != 0) {
        write_buffer(
            stream, compose_header(wsp_value_kind::plain, report_token(message.delivery_report), -1,
                                   std::nullopt, -1, std::nullopt, MMS_FIELD_DELIVERY_REPORT));
    }
    if (message.read_report != 0) {
        write_buffer(stream,
                     compose_header(wsp_value_kind::plain, report_token(message.read_report), -1,
                                    std::nullopt, -1, std::nullopt, MMS_FIELD_READ_REPORT));
    }
    if (message.subject) {
        write_buffer(stream,
                     compose_header(wsp_value_kind::mms_header_encoded_string_value_token, -1, -1,
                                    *message.subject, -1, std::nullopt, MMS_FIELD_SUBJECT));
    }
    if (params != nullptr && params->mixed) {
        write_buffer(stream, compose_header(wsp_value_kind::mms_header_length_token,
                                            WSP_CONTENT_MULTIPART_MIXED, -1, std::nullopt, -1,
                                            std::nullopt, MMS_FIELD_CONTENT_TYPE));
        std::fflush(stream);
        return;
    }
    const opt_view type = params != nullptr ? view_of(params->type) : std::nullopt;
    write_buffer(stream, compose_header(wsp_value_kind::mms_header_length_token,
                                        WSP_CONTENT_MULTIPART_RELATED, WSP_PARAM_START, "<smil>",
                                        type ? WSP_PARAM_TYPE : -1, type, MMS_FIELD_CONTENT_TYPE));
    std::fflush(stream);
}

void write_octet(FILE* stream, int value) {
    std::fputc(static_cast<unsigned char>(value & 0xFF), stream);
}

buffer compose_send_req_head(const mms_message& message, std::string_view transaction_id,
                             const multipart_params* params) {
    return compose_to_buffer(
        [&](FILE* stream) { compose_send_req_headers(stream, message, transaction_id, params); });
}

std::optional<buffer> compose_part_entry_header(const mms_part& part) {
    bool ok = false;
    buffer out = compose_to_buffer([&](FILE* stream) { ok = compose_part_headers(stream, part); });
    return ok ? std::optional<buffer>(std::move(out)) : std::nullopt;
}

// Records shared between the MMS codec and its callers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/mime_text.h"
#include "core/string_utils.h"

struct mms_param {
    std::string name;
    std::string value;
};

// A decoded content type.
struct mms_content_type {
    opt_text start;                 // Start parameter (well-known 0x0A)
    opt_text type;                  // Type parameter (well-known 0x09)
    opt_text content_type;          // the media type
    std::vector<mms_param> params;  // further parameters, as MIME names and texts
};

// One content part of a submission while it is being received.
struct mms_part {
    transfer_encoding encoding = transfer_encoding::identity;  // its Content-Transfer-Encoding
    opt_text content_id;  // the Content-ID between double quotes ("<smil>" for the start part)
    opt_text content_location;
    opt_text content_disposition;
    opt_text content_type;
    std::uint32_t data_length = 0;  // decoded bytes of the part received so far
};

// Parameters of the nested multipart/related content of a submission.
struct multipart_params {
    opt_text delimiter;            // "--" followed by the nested boundary
    std::uint32_t part_count = 0;  // number of the part being received, from 1
    opt_text start;                // start parameter, angle brackets included
    opt_text type;                 // type parameter
    bool mixed = false;  // no root part (multipart/mixed, or one part on its own): the PDU is
                         // multipart.mixed, without start and type
};

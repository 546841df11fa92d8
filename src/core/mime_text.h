// MIME text as RFC 2045 and RFC 2231 write it: the parameters of a header value, the transfer
// encodings of a body, and %-escapes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/string_utils.h"

// How a body travels: as it stands (7bit, 8bit, binary), or encoded.
enum class transfer_encoding { identity, base64, quoted_printable };

// The encoding a Content-Transfer-Encoding value names, in any letter case; absent for a value
// that names none of them.
std::optional<transfer_encoding> transfer_encoding_named(std::string_view value);

struct mime_parameter {
    std::string name;   // in lower case, without the marks of an extended value
    std::string value;  // its meaning: a quoted string unquoted, an extended value decoded
    std::string raw;    // as written (of an extended value, its first section given)
};

// The parameters after the first ';' of a header value, in their order.  Names are tokens in any
// letter case; values tokens or quoted strings (read whole, with blanks, ';' and '\' escapes),
// with or without blanks around ';' and '='.  A piece without '=', with a blank inside its name,
// or whose quoted string never ends, is no parameter.  RFC 2231 extended values (name*=
// charset'language'%XX..., and sections name*0, name*1*, ...) are decoded and their sections
// joined into one parameter, which takes the place of a plain one of the same name; ISO-8859-1
// values become UTF-8, others keep their bytes.
std::vector<mime_parameter> mime_parameters(std::string_view value);

// The text with each %XX escape replaced by its byte; a '%' without two hex digits stays.
std::string percent_decoded(std::string_view text);

// Quoted-printable text decoded and appended to out: "=XX" (hex digits in either case) is the
// byte XX; an '=' that begins no such escape stays as it is.  Of a whole line (`line_end`, the
// text without its line end) the blanks at its end are dropped, as transports may add them, and
// a final '=' is a soft line break: it is dropped and the answer is true.
bool quoted_printable_decode(std::string_view text, bool line_end, buffer& out);

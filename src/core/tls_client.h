// The client side of TLS as the daemon sets it up from its options: what it trusts and what it
// presents when it connects to an https endpoint.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/tls.h"

// The context of connections to an https endpoint: its certificate must chain to the CAs of
// ca_file (the system's CA store when empty); cert_file and key_file, when given, are the
// certificate presented to an endpoint that asks for one and its key (a file checked as every
// file that holds a secret is, before it is read).  Null, after an error line, when any of it
// cannot be used.
std::unique_ptr<tls_context> tls_client_context(const std::string& ca_file,
                                                const std::string& cert_file,
                                                const std::string& key_file);
// The same, the reason given in error instead of a line.
std::unique_ptr<tls_context> tls_client_context(const std::string& ca_file,
                                                const std::string& cert_file,
                                                const std::string& key_file, std::string& error);

// False, with an error line naming `what`, when path holds no CA certificate OpenSSL can read.
bool tls_ca_file_usable(const std::string& path, std::string_view what);

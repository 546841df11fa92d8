// A throw-away certificate authority and certificates for one test: those of scripts/make_pki.sh
// (ca, server for localhost and 127.0.0.1, client vasp-1, ...), and two a client must refuse:
// other (of the same CA, for the name vasp.example only) and self (self-signed, for 127.0.0.1).
// Each NAME has NAME.pem and NAME.key (mode 0600).
#pragma once

#include "support/e2e_fixture.h"

namespace e2e {

struct test_pki {
    test_pki() {
        const auto [status, out] =
            shell("exec 2>&1; set -e; " MM7_SOURCE_DIR "/scripts/make_pki.sh '" +
                  dir_.path().string() + "'; cd '" + dir_.path().string() +
                  "'; key='-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2'\n"
                  "openssl req -x509 $key -CA ca.pem -CAkey ca.key -keyout other.key -out "
                  "other.pem -subj /CN=vasp.example -addext subjectAltName=DNS:vasp.example "
                  "-addext basicConstraints=critical,CA:FALSE\n"
                  "openssl req -x509 $key -keyout self.key -out self.pem -subj /CN=127.0.0.1 "
                  "-addext subjectAltName=IP:127.0.0.1\nchmod 600 *.key");
        EXPECT_EQ(status, 0) << out;
    }
    std::string operator()(const std::string& file) const { return (dir_.path() / file).string(); }
    temp_dir dir_{"mm7-pki"};
};

}  // namespace e2e

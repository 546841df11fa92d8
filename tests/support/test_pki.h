// A throw-away certificate authority and certificates, made with the openssl command for one
// test: ca (the authority), server (for 127.0.0.1 and localhost), other (for the name vasp.example
// only), self (self-signed, for 127.0.0.1) and client (mm7-gateway, for a client certificate). Each
// name has NAME.pem and NAME.key (mode 0600).
#pragma once

#include "support/e2e_fixture.h"

namespace e2e {

struct test_pki {
    test_pki() {
        const auto [status, out] = shell(
            "exec 2>&1; set -e; cd '" + dir_.path().string() +
            "'; key='-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2'\n"
            "openssl req -x509 $key -keyout ca.key -out ca.pem -subj /CN=mm7-test-ca\n"
            "leaf() { openssl req -x509 $key -CA ca.pem -CAkey ca.key -keyout $1.key -out $1.pem "
            "-subj /CN=$2 -addext subjectAltName=$3 -addext basicConstraints=critical,CA:FALSE; }\n"
            "leaf server 127.0.0.1 IP:127.0.0.1,DNS:localhost; leaf other vasp.example "
            "DNS:vasp.example\n"
            "leaf client mm7-gateway DNS:mm7-gateway\n"
            "openssl req -x509 $key -keyout self.key -out self.pem -subj /CN=127.0.0.1 "
            "-addext subjectAltName=IP:127.0.0.1\n"
            "chmod 600 *.key");
        EXPECT_EQ(status, 0) << out;
    }
    std::string operator()(const std::string& file) const { return (dir_.path() / file).string(); }
    temp_dir dir_{"mm7-pki"};
};

}  // namespace e2e

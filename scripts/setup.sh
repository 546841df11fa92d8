#!/usr/bin/env bash
# Installs what building and testing mm7_server needs on Debian 12; quick when all is present.
set -euo pipefail

packages=(
    build-essential g++ cmake pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    libmxml-dev libcurl4-openssl-dev libtomlplusplus-dev
    clang libclang-rt-14-dev
    curl libxml2-utils tshark python3 util-linux iproute2 tinyproxy
    prometheus  # promtool checks the /metrics text
    libmime-tools-perl  # a second MIME reader of the deliveries (tests/support/mime_parts.pl)
    libssl-dev openssl nginx  # TLS: the library, throw-away certificates, a reference server
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "setup: installing ${missing[*]}"
$sudo apt-get update -qq
# tshark asks whether non-root users may capture; the default (no) is fine.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo debconf-set-selections
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null

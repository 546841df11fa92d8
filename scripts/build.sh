#!/usr/bin/env bash
# Installs what is missing and builds the daemon and its tools (optimised, no sanitizers).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMM7_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null

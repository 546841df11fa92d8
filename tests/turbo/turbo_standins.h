// The operator's side of turbo mode on loopback: the MMSC stand-in and the CONNECT proxy.
#pragma once
#include <fstream>
#include <sstream>

#include "support/daemon_harness.h"
namespace turbo_test {
using e2e::mmsc_request, e2e::mmsc_standin, e2e::proxy_standin;
}  // namespace turbo_test

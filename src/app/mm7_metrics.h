// The daemon's monitoring as a whole: every room's series, and the health that depends on more
// than one of them.
#pragma once

#include <string>

#include "core/config.h"

// Describes the server's, the delivery side's and the spool's metrics.
void mm7_metrics_init();
// Why the daemon cannot serve, one reason per line; empty when it can.
std::string mm7_health(const server_config& config);

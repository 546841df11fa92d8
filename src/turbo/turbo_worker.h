// A turbo mode worker: the child process that serves one port.
#pragma once

struct server_config;

// The worker's whole life (worker_index of config is its port); returns when its link to the
// main process has ended.
void turbo_mode_worker(server_config& config);

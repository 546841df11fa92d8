// The monitoring endpoint: GET /metrics and GET /health on 127.0.0.1, served from the event
// loop.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// What is wrong with the daemon, one reason per line; empty when it is healthy.
using health_check = std::function<std::string()>;

// Connections served at once.  When all are taken, a new one closes the oldest that is still
// sending its request; when all are being answered, the new one is closed.
inline constexpr std::size_t METRICS_MAX_CONNECTIONS = 16;
// Bytes a request head may have.
inline constexpr std::size_t METRICS_MAX_REQUEST = 8192;
// Seconds a connection may take from accept to the end of its request head, and to the end of
// its reply.
inline constexpr std::int64_t METRICS_HEAD_SECONDS = 2;
inline constexpr std::int64_t METRICS_CONNECTION_SECONDS = 10;

// Listens on 127.0.0.1:port (nothing when port is 0) and describes the process's own metrics.
// Exits with status 1 when the port cannot be opened.
void metrics_server_open(std::uint32_t port, health_check health);

// The reply to one request head (status line, headers and body), as the endpoint writes it.
std::string metrics_reply(std::string_view request_head, const health_check& health);

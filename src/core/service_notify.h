// Readiness, stop and watchdog messages to the service manager (systemd's notify protocol: one
// datagram of "KEY=value" lines to the AF_UNIX socket named by NOTIFY_SOCKET).  Without
// NOTIFY_SOCKET every call does nothing.
#pragma once

#include <chrono>
#include <string_view>

// Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID from the environment.  Called once by the
// main process before it forks anything.
void service_notify_init();

// Sends state (e.g. "READY=1") without waiting; false when there is no socket or the datagram
// was not taken (the manager is not reading: a later message tries again).
bool service_notify(std::string_view state);

// How often the manager wants "WATCHDOG=1" from this process: half its watchdog time-out, or
// zero when it watches nothing here.
std::chrono::microseconds service_watchdog_interval();

// For the event loop's tick: sends "WATCHDOG=1" when the interval has passed since the last one.
void service_watchdog_tick();

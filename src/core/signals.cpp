#include "core/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "core/log.h"
#include "core/mainloop.h"

namespace {

int signal_pipe[2] = {-1, -1};
process_signal_handler on_signal;
constexpr int kSignals[] = {SIGHUP, SIGTERM, SIGINT};

void note_signal(int number) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(number);
    // A full pipe already holds this wake-up; losing a repeat of it changes nothing.
    [[maybe_unused]] ssize_t n = write(signal_pipe[1], &byte, 1);
    errno = saved;
}

int read_signals(int fd, int) {
    unsigned char bytes[64];
    ssize_t n;
    while ((n = read(fd, bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            process_signal what =
                bytes[i] == SIGHUP ? process_signal::reopen_log : process_signal::stop;
            if (on_signal) {
                if (int rc = on_signal(what); rc != 0) {
                    return rc;
                }
            }
        }
    }
    return 0;
}

}  // namespace

bool signals_init(process_signal_handler handler) {
    if (pipe2(signal_pipe, O_NONBLOCK | O_CLOEXEC) < 0) {
        log_fatal("Cannot create the signal pipe. Errno: %d (%s)", errno, std::strerror(errno));
        return false;
    }
    on_signal = std::move(handler);
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kSignals) {
        sigaction(number, &action, nullptr);
    }
    mainloop_register_fd(signal_pipe[0], MAINLOOP_IN, read_signals);
    return true;
}

void signals_reset_in_child() {
    for (int number : kSignals) {
        std::signal(number, SIG_DFL);
    }
    log_flush_on_fatal_signals();
    for (int& fd : signal_pipe) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    on_signal = nullptr;
}

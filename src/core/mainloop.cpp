#include "core/mainloop.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <list>
#include <memory>
#include <vector>

#include "core/log.h"

namespace {

struct handler_record {
    struct epoll_event event {};
    mainloop_handler handler;
    bool in_epoll_set = false;
    std::shared_ptr<log_budget> lines;  // of the descriptor's transaction, if limited
};

std::array<std::unique_ptr<handler_record>, MAINLOOP_MAX_FDS> handlers;
int highest_fd = -1;
int epoll_fd = -1;
std::list<mainloop_tick> ticks;

bool create_epoll() {
    if (epoll_fd >= 0) {
        return true;
    }
    epoll_fd = epoll_create(MAINLOOP_MAX_FDS);
    if (epoll_fd < 0) {
        log_error("Unable to create epoll fd. Errno: %d (%s)", errno, std::strerror(errno));
        return false;
    }
    return true;
}

std::uint32_t event_mask(int flags) {
    std::uint32_t mask = static_cast<std::uint32_t>((flags << 1) & 12);
    if (flags & MAINLOOP_IN) {
        mask |= EPOLLIN | EPOLLPRI;
    }
    return mask;
}

int flags_of(std::uint32_t events) {
    int flags = 0;
    if (events & (EPOLLIN | EPOLLPRI))
        flags |= MAINLOOP_IN;
    if (events & EPOLLOUT)
        flags |= MAINLOOP_OUT;
    if (events & EPOLLERR)
        flags |= MAINLOOP_ERR;
    return flags;
}

bool in_range(int fd) {
    return fd >= 0 && fd < MAINLOOP_MAX_FDS;
}

}  // namespace

void mainloop_register_fd(int fd, int flags, mainloop_handler handler) {
    log_printf("mainloop_register_fd %d", fd);
    if (!create_epoll()) {
        return;
    }
    if (!in_range(fd)) {
        log_warning("%s: bad descriptor %d", "mainloop_register_fd", fd);
        return;
    }
    if (handlers[fd]) {
        log_warning("%s: handler already exists for descriptor %d", "mainloop_register_fd", fd);
        return;
    }
    handlers[fd] = std::make_unique<handler_record>();
    handlers[fd]->handler = std::move(handler);
    mainloop_set_fd_flags(fd, flags);
    if (fd > highest_fd) {
        highest_fd = fd;
    }
}

void mainloop_unregister_fd(int fd) {
    log_printf("mainloop_unregister_fd %d", fd);
    if (!in_range(fd)) {
        log_warning("%s: bad descriptor %d", "mainloop_unregister_fd", fd);
        return;
    }
    if (!handlers[fd]) {
        log_warning("%s: handler does not exist for descriptor %d", "mainloop_unregister_fd", fd);
        return;
    }
    if (epoll_fd >= 0) {
        epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, &handlers[fd]->event);
    }
    handlers[fd].reset();
    if (fd == highest_fd) {
        int next = fd - 1;
        while (next >= 0 && !handlers[next]) {
            --next;
        }
        highest_fd = next;
    }
}

void mainloop_set_fd_flags(int fd, int flags) {
    if (!in_range(fd) || !handlers[fd]) {
        log_warning("%s: bad descriptor %d", "mainloop_set_fd_flags", fd);
        return;
    }
    handler_record& record = *handlers[fd];
    record.event.events = event_mask(flags);
    record.event.data.u64 = static_cast<std::uint32_t>(fd);
    // A descriptor closed without being unregistered has left the set by itself: add it again.
    if (!record.in_epoll_set ||
        (epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &record.event) < 0 && errno == ENOENT)) {
        record.in_epoll_set = epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &record.event) == 0;
    }
}

void mainloop_limit_lines(int fd, std::shared_ptr<log_budget> budget) {
    if (in_range(fd) && handlers[fd]) {
        handlers[fd]->lines = std::move(budget);
    }
}

bool mainloop_is_registered(int fd) {
    return in_range(fd) && handlers[fd] != nullptr;
}

int mainloop_highest_fd() {
    return highest_fd;
}

void mainloop_add_tick(mainloop_tick callback) {
    ticks.push_back(std::move(callback));
}

void mainloop_clear_ticks() {
    ticks.clear();
}

void mainloop_cleanup() {
    for (int fd = highest_fd; fd >= 0; --fd) {
        if (handlers[fd] && handlers[fd]->lines) {
            handlers[fd]->lines->forget();  // a forked process's copy of its parent's
        }
        handlers[fd].reset();
    }
    highest_fd = -1;
    if (epoll_fd >= 0) {
        close(epoll_fd);
        epoll_fd = -1;
    }
}

int mainloop_run(int rate) {
    if (!create_epoll()) {
        return -1;
    }
    ticks_init();
    // One reading of the clock per pass, taken when the pass's events have been handled.
    std::int64_t now = ticks_now();
    std::int64_t deadline = now + ticks_per_second / rate;
    std::vector<struct epoll_event> events(MAINLOOP_MAX_FDS);
    for (;;) {
        std::int64_t timeout = (deadline - now) * 1000 / ticks_per_second;
        int timeout_ms = static_cast<int>(timeout);
        if (timeout_ms < 0) {
            timeout_ms = 0;
        }
        log_flush();
        int count = epoll_wait(epoll_fd, events.data(), MAINLOOP_MAX_FDS, timeout_ms);
        for (int i = 0; i < count; ++i) {
            int fd = static_cast<int>(static_cast<std::uint32_t>(events[i].data.u64));
            if (!in_range(fd) || !handlers[fd]) {
                continue;  // unregistered earlier in this batch
            }
            int flags = flags_of(events[i].events);
            // The budget outlives a handler that unregisters itself, and its line comes last.
            const std::shared_ptr<log_budget> lines = handlers[fd]->lines;
            log_scope scope(lines.get());
            log_printf("mainloop handler %d in    flags=%d", fd, flags);
            // Keep the handler alive while it runs, even if it unregisters itself.
            mainloop_handler handler = handlers[fd]->handler;
            int rc = handler(fd, flags);
            log_printf("mainloop handler %d out, rc=%d", fd, rc);
            if (rc != 0) {
                return rc;
            }
        }
        now = ticks_now();
        if (deadline - now > 0) {
            continue;
        }
        // A callback may clear the list (a re-forked worker does): run a snapshot.
        std::list<mainloop_tick> pass = ticks;
        for (auto& tick : pass) {
            int rc = tick();
            if (rc != 0) {
                return rc;
            }
        }
        deadline = now + ticks_per_second / rate;
        now = ticks_now();
    }
}

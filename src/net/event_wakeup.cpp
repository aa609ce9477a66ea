// event_wakeup.cpp - wakes the connection thread at shutdown.
//
// Closing an epoll descriptor does not wake a thread blocked in epoll_wait on
// Linux, so the queue carries one eventfd, registered level-triggered with id 0
// (no session has it). The shutdown clears `running` and then makes the eventfd
// readable: the waiting thread gets an event, sees the server stopped and ends.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "net/event.h"

namespace {

std::atomic<int> wakeup_fd{-1};

}  // namespace

void event_wakeup_register(int epoll_fd) {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return;
    struct epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;  // no session has id 0
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        close(fd);
        return;
    }
    wakeup_fd = fd;
}

void event_wakeup() {
    int fd = wakeup_fd.load();
    if (fd < 0) return;
    uint64_t one = 1;
    if (write(fd, &one, sizeof(one)) != sizeof(one)) {
        // Already readable: the waiter wakes anyway.
    }
}

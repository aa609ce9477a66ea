// event.cpp - the event queue and the connection thread.
//
// The connection thread takes up to EVENT_BATCH events per wait and hands
// them out one at a time. A readable session is handed to a worker; an error
// or hang-up disconnects it at once (it is not being served: its one-shot
// registration fired, so no worker holds it).
// Shutdown clears the running flag and closes the queue; the wait notices
// within STOP_POLL_MS and the thread ends after waking the idle workers.
#include "net/event.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

#include "net/client.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

// Closing an epoll descriptor does not wake a thread waiting on it, so the
// wait also ends this often to look at the running flag.
constexpr int STOP_POLL_MS = 200;
// Events taken from the queue per wait.
constexpr int EVENT_BATCH = 64;

}  // namespace

int event_init_queue() {
    int fd = epoll_create(500);
    if (fd < 0) {
        log_lowlevel_system("Unable to initialize epool");
        log_printf("Unable to initialize epool\n");
        kestrix_exit(1);
    }
    return fd;
}

int event_add(int epfd, uint32_t id, int fd) {
    struct epoll_event ev {};
    ev.events = EVENT_MASK;
    ev.data.u64 = id;
    return epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) == 0 ? 1 : 0;
}

int event_reenable(int epfd, uint32_t id, int fd) {
    if (!settings.running || epfd < 0) return 0;
    struct epoll_event ev {};
    ev.events = EVENT_MASK;
    ev.data.u64 = id;
    return epoll_ctl(epfd, EPOLL_CTL_MOD, fd, &ev) == 0 ? 1 : 0;
}

namespace {

// Events taken from the queue but not yet handed out. Only the connection
// thread waits on the queue; one-shot registration keeps the ids of one batch
// distinct, and each id is resolved against the registry when its turn comes.
struct EventBatch {
    struct epoll_event events[EVENT_BATCH];
    int count = 0;
    int next = 0;
};
thread_local EventBatch batch;

// Refills the batch; false when the server stopped.
bool event_wait(int epfd) {
    for (;;) {
        int n = epoll_wait(epfd, batch.events, EVENT_BATCH, STOP_POLL_MS);
        if (n > 0) {
            batch.count = n;
            batch.next = 0;
            return true;
        }
        if (!settings.running) return false;
        if (n == 0 || errno == EINTR) continue;
        log_lowlevel_system("Unable to block on epool");
        log_printf("Unable to block on epool\n");
        kestrix_exit(1);
    }
}

}  // namespace

uint32_t event_get_next(int epfd, int* outcome) {
    *outcome = EVENT_READABLE;
    if (batch.next >= batch.count && !event_wait(epfd)) {
        *outcome = EVENT_STOP;
        return 0;
    }
    if (!settings.running) {
        *outcome = EVENT_STOP;
        return 0;
    }
    const struct epoll_event& ev = batch.events[batch.next++];
    if (ev.events & (EPOLLERR | EPOLLRDHUP | EPOLLHUP)) *outcome = EVENT_ERROR;
    return static_cast<uint32_t>(ev.data.u64);
}

void* connection_thread(void*) {
    pthread_detach(pthread_self());
    const int epfd = settings.epoll_fd;
    for (;;) {
        int outcome = 0;
        uint32_t id = event_get_next(epfd, &outcome);
        if (outcome == EVENT_STOP) break;
        if (id == 0) continue;
        if (outcome == EVENT_ERROR) {
            client_disconnect_id(id, 1);
            continue;
        }
        client* c = registry_find(id);
        if (c) threadpool_assign(c, id);
    }
    threadpool_wake_all();
    settings.connection_thread_exited = 1;
    return nullptr;
}

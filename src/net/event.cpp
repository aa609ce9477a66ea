// event.cpp - the event queue and the connection thread.
#include "net/event.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

#include "server/log.h"
#include "server/settings.h"

int event_init_queue() {
    int fd = epoll_create(500);
    if (fd < 0) {
        log_lowlevel_system("Unable to initialize epool");
        log_printf("Unable to initialize epool\n");
        kestrix_exit(1);
    }
    event_wakeup_register(fd);
    return fd;
}

void* connection_thread(void*) {
    pthread_detach(pthread_self());
    struct epoll_event ev;
    while (settings.running) {
        int n = epoll_wait(settings.epoll_fd, &ev, 1, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || !settings.running) break;
    }
    settings.connection_thread_exited = 1;
    return nullptr;
}

// Workers come with the request path; until then the pool holds none.
int threadpool_create(int n) {
    settings.workers_exited = 1;
    return n > 0 ? 0 : 0;
}

void threadpool_destroy() {}

int threadpool_limit() {
    return 10240;
}

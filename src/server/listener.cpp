// listener.cpp - the listening socket and the accept loop.
//
// One dual-stack IPv6 socket serves IPv4 (as mapped addresses) and IPv6. The
// accept loop does no reading: each accepted socket is handed to the session
// layer at once. Running out of descriptors ends the server; other accept
// errors are retried.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "backup/scheduler.h"
#include "core/dbhelpers.h"
#include "net/event.h"
#include "net/session.h"
#include "server/log.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

void start_service_thread(void* (*body)(void*), aint& exited, const char* failure) {
    exited = 0;
    pthread_t t;
    if (pthread_create(&t, nullptr, body, nullptr) != 0) {
        exited = 1;
        kestrix_fatal(failure);
    }
}

int open_listening_socket() {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) kestrix_fatal("Unable to initialize listening socket in kestrix_start");
    int on = 1, off = 0;
    struct linger lg {
        0, 0
    };
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
    settings.listen_socket = fd;

    struct sockaddr_in6 addr {};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_any;
    addr.sin6_port = htons(static_cast<uint16_t>(settings.port & 0xFFFF));
    if (auto text = settings.listen_address.value(); text && is_valid_ip(text->c_str())) {
        if (inet_pton(AF_INET6, text->c_str(), &addr.sin6_addr) != 1) {
            addr.sin6_addr = in6addr_any;
            log_system("Unable to bind to the specified listening address.");
        }
    }
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0)
        kestrix_fatal(
            "Server bind error in kestrix_start (probably another kestrix instance is running).");
    if (listen(fd, settings.backlog) != 0) kestrix_fatal("Server listen error in kestrix_start.");
    return fd;
}

void announce() {
    char line[512];
    if (get_my_ip_address()) {
        snprintf(line, sizeof(line), "Kestrix Server %s%s is listening on port %d (%s) ...",
                 KESTRIX_VERSION, " (IPv6 Edition)", settings.port.load(), settings.ip_address);
    } else {
        snprintf(line, sizeof(line), "Kestrix Server %s%s is listening on port %d ...",
                 KESTRIX_VERSION, " (IPv6 Edition)", settings.port.load());
    }
    log_system(line);
    log_lowlevel_system("%s", line);
}

void accept_loop(int listen_fd) {
    while (settings.running) {
        struct sockaddr_in6 peer {};
        socklen_t len = sizeof(peer);
        int fd = accept4(listen_fd, reinterpret_cast<struct sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == ENFILE || errno == EMFILE) {
                char msg[256];
                snprintf(msg, sizeof(msg), "accept failed %d %s (server terminated)", errno,
                         strerror(errno));
                if (debugging()) debug_write("%s", msg);
                log_system(msg);
                settings.running = 0;
                break;
            }
            continue;
        }
        if (!settings.running) {
            close(fd);
            break;
        }
        char text[INET6_ADDRSTRLEN + 1] = {0};
        inet_ntop(AF_INET6, &peer.sin6_addr, text, sizeof(text));
        char display[48];
        copy_ip_address(text, display, sizeof(display));
        int on = 1;
        struct linger lg {
            0, 0
        };
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
        client_accept(fd, display);
    }
}

}  // namespace

void kestrix_start() {
    if (debugging()) debug_write("kestrix_start");
    int fd = open_listening_socket();
    start_service_thread(scheduler_thread, settings.scheduler_exited,
                         "Unable to create internal scheduler thread.");
    start_service_thread(connection_thread, settings.connection_thread_exited,
                         "Unable to create connection thread.");
    cleanup_databases();
    announce();
    web_start();
    settings.accept_loop_exited = 0;
    accept_loop(fd);
    settings.accept_loop_exited = 1;
}

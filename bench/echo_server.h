// echo_server.h - a bare loopback TCP echo of 32-byte messages, one thread
// per connection: the floor that benchmarks compare the server with.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "kestrix_client.h"

namespace kestrix {

// Loopback echo of 32-byte messages, one thread per connection.
class EchoServer {
public:
    EchoServer() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(fd_, 128) != 0) {
            perror("echo server");
            std::exit(1);
        }
        socklen_t len = sizeof(a);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    ~EchoServer() {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        acceptor_.join();
        for (auto& t : workers_) t.join();
    }
    int port() const { return port_; }

private:
    void accept_loop() {
        for (;;) {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            workers_.emplace_back([c] {
                Socket s(c);
                char buf[kHeaderSize];
                try {
                    for (;;) {
                        s.read_exact(buf, sizeof(buf));
                        s.write_all({buf, sizeof(buf)});
                    }
                } catch (const Error&) {
                }
            });
        }
    }
    int fd_ = -1;
    int port_ = 0;
    std::thread acceptor_;
    std::vector<std::thread> workers_;
};

}  // namespace kestrix

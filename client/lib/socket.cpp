// socket.cpp - connect, exact reads and writes, with errors as Error.
#include "socket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "error.h"

namespace kestrix {

namespace {

[[noreturn]] void fail_errno(const char* what) {
    int e = errno;
    if (e == EAGAIN || e == EWOULDBLOCK)
        throw Error(Error::kTimeout, std::string(what) + ": timed out");
    if (e == ECONNRESET || e == EPIPE)
        throw Error(Error::kClosed, std::string(what) + ": connection reset");
    throw Error(Error::kIo, std::string(what) + ": " + std::strerror(e));
}

void set_limits(int fd, int io_timeout_ms) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    if (io_timeout_ms > 0) {
        timeval tv{io_timeout_ms / 1000, (io_timeout_ms % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    }
}

}  // namespace

Socket Socket::connect(const std::string& host, int port, int io_timeout_ms) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    std::string service = std::to_string(port);
    if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res); rc != 0)
        throw Error(Error::kIo, "cannot resolve " + host + ": " + gai_strerror(rc));
    std::string last = "no address";
    for (addrinfo* a = res; a; a = a->ai_next) {
        Socket s(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!s.is_open()) continue;
        if (::connect(s.fd(), a->ai_addr, a->ai_addrlen) == 0) {
            freeaddrinfo(res);
            set_limits(s.fd(), io_timeout_ms);
            return s;
        }
        last = std::strerror(errno);
    }
    freeaddrinfo(res);
    throw Error(Error::kIo, "cannot connect to " + host + ":" + service + ": " + last);
}

void Socket::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Socket::shutdown_write() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void Socket::write_all(std::string_view bytes) {
    if (fd_ < 0) throw Error(Error::kClosed, "write on a closed connection");
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail_errno("write");
        }
        done += static_cast<size_t>(n);
    }
}

void Socket::read_exact(char* out, size_t n) {
    if (fd_ < 0) throw Error(Error::kClosed, "read on a closed connection");
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::recv(fd_, out + done, n - done, 0);
        if (r == 0) throw Error(Error::kClosed, "connection closed by the server");
        if (r < 0) {
            if (errno == EINTR) continue;
            fail_errno("read");
        }
        done += static_cast<size_t>(r);
    }
}

}  // namespace kestrix

// socket.h - an owned, blocking TCP socket with exact reads and writes.
#pragma once

#include <string>
#include <string_view>

namespace kestrix {

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { reset(); }
    Socket(Socket&& o) noexcept : fd_(o.release()) {}
    Socket& operator=(Socket&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = o.release();
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // TCP connection with TCP_NODELAY and send/receive time limits; throws
    // Error (kIo) on failure.
    static Socket connect(const std::string& host, int port, int io_timeout_ms);

    int fd() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void reset();
    // Half-close for writing: the peer sees end of stream.
    void shutdown_write();

    // Throw Error (kClosed, kTimeout or kIo).
    void write_all(std::string_view bytes);
    void read_exact(char* out, size_t n);

private:
    int fd_ = -1;
};

}  // namespace kestrix

// error.h - the one error type of the client library.
#pragma once

#include <stdexcept>
#include <string>

namespace kestrix {

// A failure: a server reply code (7056, an SQLite result code, ...) or one of
// the negative local codes, with its message.
class Error : public std::runtime_error {
public:
    // Local codes; server codes are positive.
    static constexpr int kClosed = -1;    // the peer closed the connection
    static constexpr int kIo = -2;        // a socket call failed
    static constexpr int kProtocol = -3;  // a reply that breaks the wire format
    static constexpr int kTimeout = -4;   // no data within the I/O time limit
    static constexpr int kUsage = -5;     // the caller asked for something impossible

    Error(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

}  // namespace kestrix

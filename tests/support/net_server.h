// net_server.h - a running kestrix server for the network integration tests,
// with client connections opened through the client library.
//
// The server starts in a fresh folder with the admin password kAdminPassword;
// `prefs` go into a JSON start-up file (-c) that the server applies at start.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kestrix_client.h"
#include "support/server_process.h"

inline constexpr const char* kAdminUser = "admin";
inline constexpr const char* kAdminPassword = "Adm1n-pw";

class NetServer {
public:
    explicit NetServer(std::map<std::string, std::string> prefs = {},
                       std::vector<std::string> extra = {});
    ~NetServer();
    NetServer(const NetServer&) = delete;
    NetServer& operator=(const NetServer&) = delete;

    bool started() const { return started_; }
    int port() const { return proc_->port(); }
    ServerProcess& process() { return *proc_; }
    const TempDir& dir() const { return dir_; }

    kestrix::Connection connect(kestrix::ConnectOptions o = {}) const;
    // A connection logged in as admin (clear handshake unless `key` is set).
    kestrix::Connection login(kestrix::KeyType key = kestrix::KeyType::kNone,
                              kestrix::Protocol p = kestrix::Protocol::v2011) const;
    // Sanitizer and fatal reports the server wrote to its standard error.
    bool stderr_has_reports() const;

private:
    TempDir dir_;
    std::unique_ptr<ServerProcess> proc_;
    bool started_ = false;
};

// A test suite sharing one server among its tests; `Tag` tells suites apart.
template <typename Tag>
class SharedServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new NetServer(); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(server_->started()) << server_->process().err(); }
    static inline NetServer* server_ = nullptr;
};

// The error code a call throws, or 0 when it returns.
template <typename F>
int error_code_of(F&& f) {
    try {
        f();
    } catch (const kestrix::Error& e) {
        return e.code();
    }
    return 0;
}

// Log-in options for admin with the right password.
kestrix::LoginOptions admin_login(kestrix::KeyType key = kestrix::KeyType::kNone);

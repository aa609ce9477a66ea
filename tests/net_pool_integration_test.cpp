// net_pool_integration_test.cpp - the worker pool grows by 20 when every
// worker is busy. With two start-up workers, three sessions that each send a
// header and only part of its body keep the workers reading; the next
// readable session finds no idle worker and the pool is expanded.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/net_server.h"

using namespace kestrix;

namespace {

constexpr const char* kExpandLine = "Expand the threadpool and try again";

// PING with a body of `size` bytes and no fields.
std::pair<std::string, std::string> ping_with_body(uint32_t size) {
    RequestHeader h;
    h.command = cmd::kPing;
    h.body_length = size;
    auto head = encode_request_header(h);
    return {std::string(head.begin(), head.end()), std::string(size, '\0')};
}

int thread_count(pid_t pid) {
    std::string status = read_text_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("Threads:");
    return at == std::string::npos ? -1 : std::atoi(status.c_str() + at + 8);
}

bool wait_for_text(const std::string& path, const std::string& text, int ms) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (read_text_file(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

TEST(NetPool, GrowsWhenAllWorkersAreBusy) {
    NetServer s({}, {"-t", "2", "-g", "FILE"});
    ASSERT_TRUE(s.started()) << s.process().err();
    const std::string debug_file = s.dir().file("kestrix_debug.txt");
    // One session cannot keep three workers busy: after its login every
    // server thread has started and the pool has its two workers.
    std::vector<Connection> held;
    held.push_back(s.login());
    const int threads_before = thread_count(s.process().pid());
    for (int i = 0; i < 3; ++i) held.push_back(s.login());
    auto [head, body] = ping_with_body(64);
    // Each session parks a worker inside its body read.
    for (auto& c : held) {
        c.send_bytes(head + body.substr(0, 8));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    EXPECT_TRUE(wait_for_text(debug_file, kExpandLine, 5000)) << read_text_file(debug_file);
    // Two workers were busy when the third session became readable, so the
    // pool grew - in steps of 20 threads. (Under load it may already have
    // grown during the logins: a worker counts as busy until it has re-armed
    // its session's socket.) The line is written before the threads start.
    int grown = 0;
    for (int waited = 0; waited < 5000 && (grown < 20 || grown % 20 != 0); waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        grown = thread_count(s.process().pid()) - threads_before;
    }
    EXPECT_GE(grown, 20);
    EXPECT_EQ(grown % 20, 0) << grown;
    for (auto& c : held) {
        c.send_bytes(body.substr(8));
        EXPECT_EQ(c.receive().header.code, 0);
    }
    // More sessions than the start-up workers are served at once afterwards.
    std::vector<Connection> more;
    for (int i = 0; i < 25; ++i) more.push_back(s.login());
    for (auto& c : more) c.ping();
}

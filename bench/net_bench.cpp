// net_bench.cpp - PING round trips per second of the kestrix server for 1, 8
// and 64 concurrent logged-in clients and the median latency of one client,
// each beside a bare loopback TCP echo server driven by the same client loop
// (write a 32-byte header, read a 32-byte reply). Prints kestrix/echo ratios.
//
// Usage: net_bench [seconds-per-run]   (default 1, at most 10; 3 rounds each)
// The server is started from the build tree in a temporary folder.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "echo_server.h"
#include "kestrix_client.h"
#include "support/server_process.h"

using namespace kestrix;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kPassword = "bench-pw";
constexpr int kRounds = 3;

std::string ping_bytes() {
    Request r;
    r.command = cmd::kPing;
    return pack_request(r, PackContext{});
}

struct Measure {
    double per_second = 0;
    double median_us = 0;
};

// The shared client loop: every socket sends PING headers and reads 32-byte
// replies for `seconds`; latencies are kept when there is a single client.
Measure drive(std::vector<Socket*> sockets, double seconds) {
    const std::string ping = ping_bytes();
    std::atomic<long> total{0};
    std::vector<double> latencies;
    std::barrier start(static_cast<std::ptrdiff_t>(sockets.size()));
    std::vector<std::thread> threads;
    const bool keep = sockets.size() == 1;
    for (Socket* s : sockets) {
        threads.emplace_back([&, s] {
            char reply[kHeaderSize];
            start.arrive_and_wait();
            auto until = Clock::now() + std::chrono::duration<double>(seconds);
            long n = 0;
            for (auto now = Clock::now(); now < until; ++n) {
                s->write_all(ping);
                s->read_exact(reply, sizeof(reply));
                auto after = Clock::now();
                if (keep)
                    latencies.push_back(
                        std::chrono::duration<double, std::micro>(after - now).count());
                now = after;
            }
            total += n;
        });
    }
    for (auto& t : threads) t.join();
    Measure r;
    r.per_second = static_cast<double>(total.load()) / seconds;
    if (!latencies.empty()) {
        std::nth_element(latencies.begin(), latencies.begin() + latencies.size() / 2,
                         latencies.end());
        r.median_us = latencies[latencies.size() / 2];
    }
    return r;
}

Measure bench_kestrix(int port, int clients, double seconds) {
    std::vector<Connection> conns;
    for (int i = 0; i < clients; ++i) {
        conns.push_back(Connection::open("127.0.0.1", port));
        conns.back().login({"admin", kPassword, KeyType::kNone, std::nullopt});
    }
    std::vector<Socket*> sockets;
    for (auto& c : conns) sockets.push_back(&c.socket());
    return drive(sockets, seconds);
}

Measure run_echo(int port, int clients, double seconds) {
    std::vector<Socket> socks;
    for (int i = 0; i < clients; ++i) socks.push_back(Socket::connect("127.0.0.1", port, 10000));
    std::vector<Socket*> sockets;
    for (auto& s : socks) sockets.push_back(&s);
    return drive(sockets, seconds);
}

double median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// Alternates kestrix and echo runs so that both see the same machine load;
// reports the median of the rounds.
void compare(int server_port, int echo_port, int clients, double seconds) {
    std::vector<double> k_rate, e_rate, k_lat, e_lat;
    for (int round = 0; round < kRounds; ++round) {
        Measure k = bench_kestrix(server_port, clients, seconds);
        Measure e = run_echo(echo_port, clients, seconds);
        k_rate.push_back(k.per_second);
        e_rate.push_back(e.per_second);
        k_lat.push_back(k.median_us);
        e_lat.push_back(e.median_us);
    }
    double k = median(k_rate), e = median(e_rate);
    std::printf("%-10d %16.0f %16.0f %8.2f\n", clients, k, e, k / e);
    if (clients == 1) {
        double kl = median(k_lat), el = median(e_lat);
        std::printf("median latency, 1 client: kestrix %.1f us, echo %.1f us, ratio %.2f\n", kl, el,
                    kl / el);
    }
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::clamp(std::atof(argv[1]), 0.2, 10.0) : 1.0;
    TempDir dir;
    ServerProcess server(dir, {}, {{"KESTRIX_ADMIN_PASSWORD", kPassword}});
    if (!server.start()) {
        std::fprintf(stderr, "server did not start:\n%s\n", server.err().c_str());
        return 1;
    }
    EchoServer echo;
    try {
        std::printf("%d rounds of %.1f s each, medians\n", kRounds, seconds);
        std::printf("%-10s %16s %16s %8s\n", "clients", "kestrix rt/s", "echo rt/s", "ratio");
        for (int clients : {1, 8, 64}) compare(server.port(), echo.port(), clients, seconds);
    } catch (const Error& e) {
        std::fprintf(stderr, "benchmark failed: %s (code %d)\n", e.what(), e.code());
        server.stop();
        return 1;
    }
    server.stop();
    return 0;
}

// db_bench.cpp - SQL through the server against the same SQL in-process.
//
// Workloads: point SELECT by primary key, and single-row INSERT followed by
// COMMIT, for 1, 8 and 32 clients, on one database and spread over 8
// databases. The same statements then run in-process on the same SQLite
// files (one connection per thread, WAL), which is the limit the server adds
// to. Also measures a loopback echo round trip; the goal for one client is a
// point-SELECT latency of at most 2 x (in-process time + echo round trip).
//
// Usage: db_bench [seconds-per-run]   (default 1, at most 10)
#include <sqlite3.h>

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
constexpr int kRows = 10000;

enum class Work { PointSelect, InsertCommit };

std::string db_name(int i) {
    return "bench" + std::to_string(i);
}

// One client's loop; counts requests and errors.
template <typename Op>
void run_clients(int clients, double seconds, std::atomic<long>& total, std::atomic<long>& errors,
                 Op op) {
    std::barrier start(clients);
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; ++t) {
        threads.emplace_back([&, t] {
            auto state = op.open(t);
            start.arrive_and_wait();
            auto until = Clock::now() + std::chrono::duration<double>(seconds);
            long n = 0;
            for (unsigned k = static_cast<unsigned>(t) * 7919u; Clock::now() < until; ++n, ++k)
                if (!op.step(state, k)) ++errors;
            total += n;
        });
    }
    for (auto& th : threads) th.join();
}

struct ServerOp {
    int port;
    Work work;
    int spread;  // databases the clients are spread over
    struct State {
        Connection c;
    };
    State open(int t) const {
        State s{Connection::open("127.0.0.1", port)};
        s.c.login({"admin", kPassword, KeyType::kNone, std::nullopt});
        s.c.execute("USE DATABASE " + db_name(t % spread));
        return s;
    }
    bool step(State& s, unsigned k) const {
        try {
            if (work == Work::PointSelect) {
                s.c.select("SELECT v FROM t WHERE id=" + std::to_string(k % kRows + 1));
            } else {
                s.c.execute("INSERT INTO log (v) VALUES ('x')");
                s.c.execute("COMMIT");
            }
            return true;
        } catch (const Error&) {
            return false;
        }
    }
};

struct LocalOp {
    std::string dir;
    Work work;
    int spread;
    struct State {
        sqlite3* db = nullptr;
        sqlite3_stmt* select = nullptr;
        sqlite3_stmt* insert = nullptr;
        State() = default;
        State(State&& o) noexcept : db(o.db), select(o.select), insert(o.insert) {
            o.db = nullptr;
            o.select = o.insert = nullptr;
        }
        ~State() {
            sqlite3_finalize(select);
            sqlite3_finalize(insert);
            sqlite3_close_v2(db);
        }
    };
    State open(int t) const {
        State s;
        sqlite3_open((dir + "/db/" + db_name(t % spread)).c_str(), &s.db);
        sqlite3_busy_timeout(s.db, 10000);
        sqlite3_prepare_v2(s.db, "SELECT v FROM t WHERE id=?1", -1, &s.select, nullptr);
        sqlite3_prepare_v2(s.db, "INSERT INTO log (v) VALUES ('x')", -1, &s.insert, nullptr);
        return s;
    }
    bool step(State& s, unsigned k) const {
        if (work == Work::PointSelect) {
            sqlite3_bind_int(s.select, 1, static_cast<int>(k % kRows + 1));
            while (sqlite3_step(s.select) == SQLITE_ROW) {
            }
            return sqlite3_reset(s.select) == SQLITE_OK;
        }
        bool ok = sqlite3_exec(s.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
        ok = ok && sqlite3_step(s.insert) == SQLITE_DONE;
        sqlite3_reset(s.insert);
        return sqlite3_exec(s.db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
    }
};

void prepare(int port) {
    Connection c = Connection::open("127.0.0.1", port);
    c.login({"admin", kPassword, KeyType::kNone, std::nullopt});
    c.execute("ENABLE AUTOCOMMIT");
    for (int i = 0; i < 8; ++i) {
        c.execute("CREATE DATABASE " + db_name(i));
        c.execute("USE DATABASE " + db_name(i));
        c.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)");
        c.execute("CREATE TABLE log (id INTEGER PRIMARY KEY, v TEXT)");
        c.execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<" +
                  std::to_string(kRows) + ") INSERT INTO t SELECT i, 'value ' || i FROM n");
    }
    c.close();
}

double echo_round_trip_us() {
    EchoServer echo;
    Connection conn = Connection::open("127.0.0.1", echo.port());
    char buf[kHeaderSize] = {};
    const int n = 20000;
    auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
        conn.socket().write_all({buf, sizeof(buf)});
        conn.socket().read_exact(buf, sizeof(buf));
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / n;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    if (seconds <= 0 || seconds > 10) seconds = 1.0;
    TempDir dir;
    ServerProcess server(dir, {"-t", "40"}, {{"KESTRIX_ADMIN_PASSWORD", kPassword}});
    if (!server.start()) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }
    prepare(server.port());
    double echo_us = echo_round_trip_us();
    std::printf("loopback echo round trip: %.1f us\n\n", echo_us);
    std::printf("%-14s %-9s %7s %14s %14s %7s %7s\n", "workload", "spread", "clients",
                "server req/s", "in-process/s", "ratio", "errors");
    for (Work work : {Work::PointSelect, Work::InsertCommit}) {
        for (int spread : {1, 8}) {
            for (int clients : {1, 8, 32}) {
                std::atomic<long> served{0}, local{0}, errors{0}, local_errors{0};
                run_clients(clients, seconds, served, errors,
                            ServerOp{server.port(), work, spread});
                run_clients(clients, seconds, local, local_errors,
                            LocalOp{dir.path(), work, spread});
                double s = static_cast<double>(served) / seconds,
                       l = static_cast<double>(local) / seconds;
                std::printf("%-14s %-9s %7d %14.0f %14.0f %7.2f %7ld\n",
                            work == Work::PointSelect ? "point select" : "insert+commit",
                            spread == 1 ? "1 db" : "8 dbs", clients, s, l, l > 0 ? s / l : 0.0,
                            errors.load() + local_errors.load());
                if (work == Work::PointSelect && spread == 1 && clients == 1) {
                    double server_us = 1e6 / s, local_us = 1e6 / l;
                    std::printf(
                        "  1-client point select: %.1f us vs 2 x (%.1f + %.1f) = %.1f us goal\n",
                        server_us, local_us, echo_us, 2 * (local_us + echo_us));
                }
            }
        }
    }
    server.stop();
    return 0;
}

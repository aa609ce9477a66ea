// codec_bench.cpp - page codec speed.
//
// Raw: enciphering 4 KiB pages through the codec's page transform, next to
// libcrypto's own AES-128-OFB over the same buffers (the floor: output
// feedback is sequential). Database: the same workloads on an unkeyed and a
// keyed file in WAL mode, with the keyed/unkeyed ratio of each:
// 100,000 single-row inserts in one transaction, a full scan of a table of
// about 50 MB (hot OS cache, cold page cache), 10,000 point reads by key.
#include <openssl/evp.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/codec_internal.h"
#include "core/dbhelpers.h"
#include "core/sqlite_raii.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

constexpr int kPage = 4096;
constexpr int kPages = 25000;  // 100 MB per raw pass

double raw_codec_mbps(std::vector<unsigned char>& in, std::vector<unsigned char>& out) {
    codec::CodecContext ctx;
    codec::codec_load_key(ctx.slot[0], "bench-key-16byte", 16);
    ctx.reserve = 12;
    auto t0 = Clock::now();
    for (int i = 0; i < kPages; ++i) {
        std::span<const unsigned char> src(in.data() + size_t(i) * kPage, kPage);
        std::span<unsigned char> dst(out.data() + size_t(i) * kPage, kPage);
        codec::codec_encipher_page(ctx, codec::kWrite, src, dst, static_cast<uint32_t>(i + 2));
    }
    return kPages * double(kPage) / 1e6 / seconds_since(t0);
}

double raw_libcrypto_mbps(std::vector<unsigned char>& in, std::vector<unsigned char>& out) {
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    unsigned char key[16] = {1, 2, 3}, iv[16] = {4, 5, 6};
    EVP_EncryptInit_ex(c, EVP_aes_128_ofb(), nullptr, key, iv);
    auto t0 = Clock::now();
    int n = 0;
    for (int i = 0; i < kPages; ++i)
        EVP_EncryptUpdate(c, out.data() + size_t(i) * kPage, &n, in.data() + size_t(i) * kPage,
                          kPage);
    double mbps = kPages * double(kPage) / 1e6 / seconds_since(t0);
    EVP_CIPHER_CTX_free(c);
    return mbps;
}

void raw_speed() {
    std::vector<unsigned char> in(size_t(kPages) * kPage), out(in.size());
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<unsigned char>(i * 31);
    double best_codec = 0, best_lib = 0;
    for (int round = 0; round < 5; ++round) {
        best_lib = std::max(best_lib, raw_libcrypto_mbps(in, out));
        best_codec = std::max(best_codec, raw_codec_mbps(in, out));
    }
    printf(
        "raw 4 KiB pages: codec %.0f MB/s, libcrypto AES-128-OFB %.0f MB/s, codec/libcrypto "
        "%.1f%%\n",
        best_codec, best_lib, 100.0 * best_codec / best_lib);
}

struct Db {
    sqlite3* db = nullptr;
    Db(const std::string& path, const std::string& key) {
        kestrix_open_key(path.c_str(), &db, key.empty() ? nullptr : key.c_str());
    }
    ~Db() { sqlite3_close_v2(db); }
    void exec(const char* sql) const {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            fprintf(stderr, "%s: %s\n", sql, sqlite3_errmsg(db));
            exit(1);
        }
    }
};

double inserts(const std::string& path, const std::string& key, int rows) {
    unlink(path.c_str());
    unlink((path + "-wal").c_str());
    Db d(path, key);
    d.exec("PRAGMA journal_mode=WAL; CREATE TABLE t(id INTEGER PRIMARY KEY, n INT, v TEXT);");
    auto t0 = Clock::now();
    d.exec("BEGIN;");
    Stmt ins(d.db, "INSERT INTO t(n, v) VALUES (?1, ?2);");
    std::string v(150, 'x');
    for (int i = 0; i < rows; ++i) {
        v[i % 150] = static_cast<char>('a' + i % 26);
        ins.bind(1, i).bind(2, v);
        ins.run();
        ins.reset();
    }
    d.exec("COMMIT;");
    double s = seconds_since(t0);
    d.exec("PRAGMA wal_checkpoint(TRUNCATE);");
    return s;
}

double scan(const std::string& path, const std::string& key) {
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        Db d(path, key);  // a fresh page cache each round
        auto t0 = Clock::now();
        Stmt st(d.db, "SELECT sum(length(v)) FROM t;");
        st.step();
        best = std::min(best, seconds_since(t0));
    }
    return best;
}

// With `cache_kib` > 0 both sides get a page cache that holds the table and a
// first pass warms it: the cost left is the engine's, not the cipher's.
double point_reads(const std::string& path, const std::string& key, int rows, int reads,
                   int cache_kib = 0) {
    Db d(path, key);
    if (cache_kib > 0) {
        std::string sql = "PRAGMA cache_size=-" + std::to_string(cache_kib) + ";";
        d.exec(sql.c_str());
        Stmt warm(d.db, "SELECT sum(length(v)) FROM t;");
        warm.step();
    }
    std::mt19937 rng(42);
    Stmt st(d.db, "SELECT v FROM t WHERE id=?1;");
    auto t0 = Clock::now();
    for (int i = 0; i < reads; ++i) {
        st.bind(1, static_cast<int>(rng() % rows) + 1);
        st.step();
        st.reset();
    }
    return seconds_since(t0);
}

long long file_size(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return -1;
    fseek(f, 0, SEEK_END);
    long long n = ftell(f);
    fclose(f);
    return n;
}

// Best of three runs of `f`, alternating with nothing else in between.
template <typename F>
double best_of_3(F f) {
    double best = 1e9;
    for (int i = 0; i < 3; ++i) best = std::min(best, f());
    return best;
}

void report(const char* name, double plain, double keyed, double goal) {
    printf("%-34s unkeyed %8.3f s  keyed %8.3f s  ratio %.2f (goal <= %.1f)\n", name, plain, keyed,
           keyed / plain, goal);
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = argc > 1 ? argv[1] : "/tmp";
    kestrix_codec_register();
    raw_speed();
    const std::string plain = dir + "/codec_bench_plain.db", keyed = dir + "/codec_bench_keyed.db";
    const std::string key = "benchmark-key";
    double ip = best_of_3([&] { return inserts(plain, "", 100000); });
    double ik = best_of_3([&] { return inserts(keyed, key, 100000); });
    report("100,000 inserts, one transaction", ip, ik, 1.5);
    // Grow both tables to about 50 MB for the scan and the point reads.
    const int rows = 300000;
    inserts(plain, "", rows);
    inserts(keyed, key, rows);
    report("full scan (~50 MB)", scan(plain, ""), scan(keyed, key), 2.3);
    printf("table: %lld bytes unkeyed, %lld bytes keyed\n", file_size(plain), file_size(keyed));
    report("10,000 point reads", best_of_3([&] { return point_reads(plain, "", rows, 10000); }),
           best_of_3([&] { return point_reads(keyed, key, rows, 10000); }), 1.3);
    report("10,000 point reads, table cached", point_reads(plain, "", rows, 10000, 131072),
           point_reads(keyed, key, rows, 10000, 131072), 1.3);
    for (const auto& p : {plain, keyed}) {
        unlink(p.c_str());
        unlink((p + "-wal").c_str());
        unlink((p + "-shm").c_str());
    }
    return 0;
}

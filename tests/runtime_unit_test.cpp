// Runtime pieces tested in-process: command-line parsing, statistics
// samples, debug lines from many threads, string helpers and the random
// generator.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "net/random.h"
#include "server/log.h"
#include "server/settings.h"
#include "server/stats.h"
#include "server/util.h"
#include "support/settings_db.h"
#include "support/settings_fixture.h"

namespace {

void parse(std::vector<std::string> args) {
    std::vector<char*> argv;
    std::string prog = "kestrix";
    argv.push_back(prog.data());
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    opterr = 0;
    kestrix_init_commandline(static_cast<int>(argv.size()) - 1, argv.data());
}

class CommandLineParse : public ::testing::Test {
protected:
    void SetUp() override { reset_settings_for_test(); }
    void TearDown() override { reset_settings_for_test(); }
};

TEST_F(CommandLineParse, ZeroAndNegativeNumbersKeepTheDefaults) {
    parse({"-t", "0", "-p", "0", "-l", "-5"});
    EXPECT_EQ(settings.num_threads, 20);
    EXPECT_EQ(settings.port, 4430);
    EXPECT_EQ(settings.backlog, 1024);
    EXPECT_EQ(settings.running, 1);
}

TEST_F(CommandLineParse, NumbersWordsAndPaths) {
    parse({"-t", "0x10",         "-p", "010",     "-o", "7",  "-f", "text",
           "-v", "SQL_COMMANDS", "-g", "Console", "-d", "/d", "-s", "/s.settings",
           "-z", "-q",           "-w", "ignored", "-j", "-3"});
    EXPECT_EQ(settings.num_threads, 16);
    EXPECT_EQ(settings.port, 8);
    EXPECT_EQ(settings.max_databases, 7);
    EXPECT_EQ(settings.log_format, LOG_FORMAT_TEXT);
    EXPECT_EQ(settings.log_verbosity, 20);
    EXPECT_EQ(settings.debug_mode, DEBUG_CONSOLE);
    EXPECT_EQ(settings.databases_path.get(), "/d");
    EXPECT_EQ(settings.settings_file_path.get(), "/s.settings");
    EXPECT_EQ(settings.load_disabled_logins, 0);
    EXPECT_EQ(settings.ssl_connections_only, 1);
    settings.max_databases = 2000;
    settings.ssl_connections_only = 0;
    settings.debug_mode = DEBUG_NONE;
}

TEST_F(CommandLineParse, UnknownWordsLeaveFieldsAlone) {
    parse({"-f", "XML", "-v", "LOUD", "-g", "PRINTER"});
    EXPECT_EQ(settings.log_format, LOG_FORMAT_SQLITE);
    EXPECT_EQ(settings.log_verbosity, 10);
    EXPECT_EQ(settings.debug_mode, DEBUG_NONE);
}

using RuntimeFiles = DataFolderTest;

TEST_F(RuntimeFiles, StatisticsSampleTheCounters) {
    stats_open();
    ASSERT_NE(settings.stats_db, nullptr);
    settings.query_count = 5;
    settings.bytes_sent = 1ull << 40;
    stats_update();
    stats_update();
    EXPECT_EQ(query_int(settings.stats_db, "SELECT count(*) FROM server_stats"), 2);
    EXPECT_EQ(query_text(settings.stats_db,
                         "SELECT query_count || ':' || bytes_sent FROM server_stats LIMIT 1"),
              "5:1099511627776");
    settings.query_count = 0;
    settings.bytes_sent = 0;
}

TEST_F(RuntimeFiles, DebugLinesFromManyThreadsComeOutWhole) {
    settings.debug_mode = DEBUG_FILE;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                debug_write("thread %d line %d %s", t, i, std::string(100, 'x').c_str());
        });
    }
    for (auto& th : threads) th.join();
    settings.debug_mode = DEBUG_NONE;
    debug_close();
    std::istringstream in(read_text_file(dir.file("kestrix_debug.txt")));
    int count = 0;
    for (std::string line; std::getline(in, line); ++count) {
        ASSERT_EQ(std::count(line.begin(), line.end(), '\t'), 1) << line;
        ASSERT_EQ(line.substr(line.size() - 100), std::string(100, 'x')) << line;
    }
    EXPECT_EQ(count, 8 * 200);
}

TEST(StringHelpers, CompareTrimAndBooleans) {
    EXPECT_EQ(kestrix_strcmpi("abc", "ABC"), 0);
    EXPECT_LT(kestrix_strcmpi("abc", "abd"), 0);
    EXPECT_EQ(kestrix_strncmpi("SELECTx", "select", 6), 0);
    for (const char* yes : {"1", "ON", "on", "onwards", "1x"})
        EXPECT_TRUE(kestrix_strbool(yes)) << yes;
    for (const char* no : {"0", "OFF", "TRUE", "YES", "", " 1"})
        EXPECT_FALSE(kestrix_strbool(no)) << no;
    char text[] = "  padded \t\n";
    EXPECT_STREQ(kestrix_strtrim(text), "padded");
    EXPECT_TRUE(kestrix_strengine("sqlite:main"));
    EXPECT_EQ(kestrix_parse_int64("0x1F"), 31);
    EXPECT_EQ(kestrix_parse_int64("017"), 15);
    EXPECT_EQ(kestrix_parse_int64("abc"), 0);
    char ip[64];
    copy_ip_address("::1", ip, sizeof(ip));
    EXPECT_STREQ(ip, "127.0.0.1");
    copy_ip_address("::ffff:10.1.2.3", ip, sizeof(ip));
    EXPECT_STREQ(ip, "10.1.2.3");
    EXPECT_EQ(is_valid_ip("::ffff:192.168.1.10"), 1);
    EXPECT_EQ(is_valid_ip("localhost"), 0);
    EXPECT_EQ(is_valid_ip(nullptr), 0);
}

TEST(RandomGenerator, SameSeedSameWordsAndFillsDiffer) {
    rand_init(12345);
    std::vector<uint32_t> a;
    for (int i = 0; i < 60; ++i) a.push_back(rand_get());
    rand_init(12345);
    for (int i = 0; i < 60; ++i) EXPECT_EQ(rand_get(), a[i]);
    EXPECT_GT(std::set<uint32_t>(a.begin(), a.end()).size(), 55u);
    unsigned char x[20], y[20];
    rand_fill(x);
    rand_fill(y);
    EXPECT_NE(memcmp(x, y, 20), 0);
}

}  // namespace

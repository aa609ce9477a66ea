// Start-up and shutdown of the real server: command line, first start,
// pid file, signals, bind conflicts, the first administrator password,
// settings files in other states, the start-up file and unwritable folders.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "core/digest.h"
#include "server/settings.h"
#include "support/server_process.h"
#include "support/settings_db.h"

namespace {

namespace fs = std::filesystem;

const char* const USAGE_HEAD =
    "usage: kestrix [options]\n"
    "Available options are:\n"
    "  -h                      print usage and exit\n";

bool folder_is_empty(const std::string& dir) {
    return fs::is_empty(dir);
}

struct DbCloser {
    sqlite3* db;
    ~DbCloser() { sqlite3_close_v2(db); }
};

TEST(CommandLine, VersionPrintsOnlyTheVersionAndCreatesNothing) {
    TempDir dir;
    RunResult r = run_kestrix({"-y", "-x", dir.path(), "-s", dir.file("k.settings")}, dir.path());
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "5.9.6\n");
    EXPECT_TRUE(folder_is_empty(dir.path()));
}

TEST(CommandLine, HelpPrintsTheUsageTextAndIgnoresTheRest) {
    TempDir dir;
    RunResult r = run_kestrix({"-h", "-p", "5000", "-x", dir.path(), "-y"}, dir.path());
    EXPECT_EQ(r.exit_status, 0);
    ASSERT_EQ(r.out.rfind(USAGE_HEAD, 0), 0u) << r.out;
    EXPECT_NE(r.out.find("  -i ip_address           ip address used to bind \n"),
              std::string::npos);
    EXPECT_NE(
        r.out.find("  -a ca_root_certificate  full path to the SSL CA root certiticate to enable "
                   "client peer verification\n\n"),
        std::string::npos);
    EXPECT_EQ(r.out.find("5.9.6"), std::string::npos);
    EXPECT_TRUE(folder_is_empty(dir.path()));
}

class FirstStart : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(FirstStart, CreatesFoldersSettingsAndPidFileAndStopsCleanly) {
    ServerProcess server(dir, {}, {{"KESTRIX_ADMIN_PASSWORD", "s3cret"}});
    ASSERT_TRUE(server.start()) << server.err();
    for (const char* folder : {"db", "backups", "restore", "www", "upload", "plugins", "cache",
                               "temp", "engines", "debug"}) {
        EXPECT_TRUE(fs::is_directory(dir.file(folder))) << folder;
    }
    EXPECT_EQ(read_text_file(dir.file("kestrix.pid")), std::to_string(server.pid()));

    EXPECT_EQ(server.stop(), 0);
    EXPECT_FALSE(path_exists(dir.file("kestrix.pid")));

    sqlite3* db = open_settings_file(server.settings_path());
    ASSERT_NE(db, nullptr);
    DbCloser closer{db};
    EXPECT_EQ(query_text(db, "SELECT username FROM Users WHERE userid=1"), "admin");
    EXPECT_EQ(query_text(db, "SELECT groupname FROM Groups WHERE groupid=1"), "admin");
    EXPECT_EQ(query_int(db, "SELECT count(*) FROM UserGroup WHERE userid=1 AND groupid=1"), 1);
    EXPECT_EQ(query_text(db, "SELECT password FROM Users WHERE userid=1"), hash_password("s3cret"));
    EXPECT_EQ(query_text(db, "SELECT value FROM Preferences WHERE key='PREF_VERS'"), "5");
    EXPECT_GE(
        query_int(db, "SELECT count(*) FROM Preferences WHERE key LIKE 'HTTP\\_%' ESCAPE '\\'"),
        10);
    EXPECT_TRUE(exec_ok(db, "SELECT databasename, key, value FROM DBPreferences"));
    EXPECT_TRUE(exec_ok(db, "SELECT groupid FROM EnginePreferences"));
    EXPECT_EQ(query_text(db, "SELECT value FROM Preferences WHERE key='SERVER_VERSION'"), "5.9.6");

    sqlite3* log = open_with_key(dir.file("kestrix_log.sqlite"), nullptr);
    ASSERT_NE(log, nullptr);
    DbCloser log_closer{log};
    EXPECT_EQ(
        query_int(log,
                  "SELECT count(*) FROM LOG WHERE description='Kestrix Server is shutting down' "
                  "AND operation='SYSTEM'"),
        1);
}

TEST_F(FirstStart, WithoutAdminPasswordKeepsTheFixedDigestAndSaysHowToSetOne) {
    ServerProcess server(dir);
    ASSERT_TRUE(server.start()) << server.err();
    EXPECT_EQ(server.stop(), 0);
    EXPECT_NE(server.out().find("KESTRIX_ADMIN_PASSWORD"), std::string::npos);
    sqlite3* db = open_settings_file(server.settings_path());
    ASSERT_NE(db, nullptr);
    DbCloser closer{db};
    EXPECT_EQ(query_text(db, "SELECT password FROM Users WHERE userid=1"),
              "Lr4wTqn8vXb0HmDk2ZsyGf7Jc1Y=");

    // The variable only acts on a new settings file.
    ServerProcess again(dir, {}, {{"KESTRIX_ADMIN_PASSWORD", "late"}});
    ASSERT_TRUE(again.start()) << again.err();
    EXPECT_EQ(again.stop(), 0);
    EXPECT_EQ(query_text(db, "SELECT password FROM Users WHERE userid=1"),
              "Lr4wTqn8vXb0HmDk2ZsyGf7Jc1Y=");
    EXPECT_EQ(again.out().find("KESTRIX_ADMIN_PASSWORD"), std::string::npos);
}

TEST_F(FirstStart, SecondServerOnTheSamePortReportsBindErrorAndExitsZero) {
    ServerProcess first(dir);
    ASSERT_TRUE(first.start()) << first.err();
    TempDir other;
    RunResult r = run_kestrix({"-x", other.path(), "-s", other.file("k.settings"), "-d",
                               other.file("db"), "-p", std::to_string(first.port())},
                              other.path());
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(
        r.err.find(
            "Server bind error in kestrix_start (probably another kestrix instance is running)."),
        std::string::npos)
        << r.err;
    EXPECT_EQ(first.stop(), 0);
}

TEST_F(FirstStart, UnreadableSettingsFilesEndTheServerWithTheFatalMessage) {
    // A garbage file, and a real database written under another key.
    write_text_file(dir.file("garbage.settings"), std::string(4096, 'x'));
    sqlite3* other = open_with_key(dir.file("otherkey.settings"), "not the settings key");
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(exec_ok(other, "CREATE TABLE Preferences (key TEXT, value TEXT)"));
    sqlite3_close_v2(other);
    for (const char* name : {"garbage.settings", "otherkey.settings"}) {
        RunResult r = run_kestrix(
            {"-x", dir.path(), "-s", dir.file(name), "-p", std::to_string(free_tcp_port())},
            dir.path());
        EXPECT_EQ(r.exit_status, 0) << name;
        EXPECT_NE(
            r.err.find("Unable to open/create settings database (probably wrong permission)."),
            std::string::npos)
            << name << ": " << r.err;
        EXPECT_FALSE(path_exists(dir.file("kestrix.pid")));
    }
}

TEST_F(FirstStart, TerminatingSignalsAllShutDownInOrder) {
    for (int sig : {SIGINT, SIGQUIT}) {
        ServerProcess server(dir);
        ASSERT_TRUE(server.start()) << server.err();
        server.send_signal(sig);
        EXPECT_EQ(server.wait_exit(), 0) << sig;
        EXPECT_FALSE(path_exists(dir.file("kestrix.pid")));
    }
}

TEST_F(FirstStart, ListeningAddressMustBeNumericIpv6) {
    // A plain IPv4 text cannot be bound on the dual-stack socket: all addresses instead.
    ServerProcess v4(dir, {"-i", "127.0.0.1", "-f", "TEXT"});
    ASSERT_TRUE(v4.start()) << v4.err();
    EXPECT_EQ(v4.stop(), 0);
    EXPECT_NE(read_text_file(dir.file("kestrix_log.txt"))
                  .find("Unable to bind to the specified listening address."),
              std::string::npos);
    // The mapped form binds loopback itself.
    ServerProcess mapped(dir, {"-i", "::ffff:127.0.0.1"});
    ASSERT_TRUE(mapped.start()) << mapped.err();
    EXPECT_EQ(mapped.stop(), 0);
}

TEST_F(FirstStart, ExecutableNameNamesTheDataFiles) {
    std::string link = dir.file("mysrv");
    ASSERT_EQ(symlink(KESTRIX_BINARY, link.c_str()), 0);
    TempDir data;
    ServerProcess server(dir);
    server.set_binary(link);
    server.set_args({"-x", data.path(), "-s", data.file("a.settings"), "-f", "TEXT"});
    ASSERT_TRUE(server.start()) << server.err();
    EXPECT_EQ(server.stop(), 0);
    EXPECT_TRUE(path_exists(data.file("mysrv_log.txt"))) << server.err() << server.out();
    EXPECT_TRUE(path_exists(data.file("mysrv.stats")));
    EXPECT_TRUE(fs::is_directory(data.file("databases")));
}

TEST(UnwritableDataFolder, LogFallsBackToConsoleAndTheServerStillStarts) {
    TempDir dir;
    write_text_file(dir.file("plainfile"), "x");
    ServerProcess server(dir);
    // Below a regular file nothing can be created, whoever runs the test.
    server.set_args({"-x", dir.file("plainfile/data"), "-s", dir.file("k.settings")});
    ASSERT_TRUE(server.start()) << server.err();
    EXPECT_EQ(server.stop(), 0);
    std::string err = server.err();
    EXPECT_NE(err.find("An error occured while trying to create the sqlite 3 log file."),
              std::string::npos)
        << err;
    // In CONSOLE format system events reach standard error as text lines.
    EXPECT_NE(err.find("Kestrix Server is shutting down\tSYSTEM\t*\t*\t*\t*\t*"), std::string::npos)
        << err;
}

}  // namespace

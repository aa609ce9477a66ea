// Paths and file helpers: joining, file kinds with and without -x and -s,
// directory listing, temporary names and the JSON tokenizer the start-up
// file reader relies on.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "net/json.h"
#include "net/random.h"
#include "server/paths.h"
#include "server/settings.h"
#include "support/settings_fixture.h"

namespace {

TEST(BuildPath, JoinsWithOneSlash) {
    struct Case {
        const char* folder;
        const char* name;
        const char* expect;
    } cases[] = {{"/", "x", "/x"},
                 {"/a/", "x", "/a/x"},
                 {"/a", "x", "/a/x"},
                 {"a", "x", "ax"},
                 {"", "x", "x"}};
    for (const auto& c : cases) {
        char buf[KESTRIX_PATH_MAX];
        build_path(buf, c.folder, c.name);
        EXPECT_STREQ(buf, c.expect) << c.folder;
    }
    char same[KESTRIX_PATH_MAX] = "/base";
    build_path(same, same, "db");
    EXPECT_STREQ(same, "/base/db");
}

class FixedPaths : public ::testing::Test {
protected:
    void SetUp() override {
        reset_settings_for_test();
        snprintf(settings.exe_name, sizeof(settings.exe_name), "mysrv");
        snprintf(settings.server_path, sizeof(settings.server_path), "/opt/bin");
        settings.data_path.set(dir.path());
    }
    void TearDown() override { reset_settings_for_test(); }
    std::string path(int kind) {
        char buf[KESTRIX_PATH_MAX];
        EXPECT_EQ(get_fixed_path(buf, kind), 1);
        return buf;
    }
    TempDir dir;
};

TEST_F(FixedPaths, KindsUseTheDataFolderAndTheExecutableName) {
    EXPECT_EQ(path(PATH_LOG_FILE), dir.file("mysrv_log.sqlite"));
    settings.log_format = LOG_FORMAT_TEXT;
    EXPECT_EQ(path(PATH_LOG_FILE), dir.file("mysrv_log.txt"));
    EXPECT_EQ(path(PATH_STATS), dir.file("mysrv.stats"));
    EXPECT_EQ(path(PATH_DEBUG_FILE), dir.file("mysrv_debug.txt"));
    EXPECT_EQ(path(PATH_PID_FILE), dir.file("kestrix.pid"));
    EXPECT_EQ(path(PATH_DATABASES), dir.file("databases"));
    EXPECT_EQ(path(PATH_TLS_KEY), dir.file("kestrix_key.pem"));
    EXPECT_EQ(path(PATH_CONFIG_FILE), "/opt/bin/mysrv.config");
}

TEST_F(FixedPaths, SettingsKindsAllFollowDashS) {
    settings.settings_file_path.set("/tmp/a.settings");
    for (int kind : {PATH_SETTINGS, PATH_LEGACY_SETTINGS, PATH_OLDEST_SETTINGS})
        EXPECT_EQ(path(kind), "/tmp/a.settings") << kind;
}

TEST_F(FixedPaths, DirectoryListingSkipsHiddenEntries) {
    for (const char* name : {"a", ".hidden", "b"}) write_text_file(dir.file(name), "x");
    std::set<std::string> names;
    DIR* d = dir_init(dir.path().c_str());
    ASSERT_NE(d, nullptr);
    while (const char* n = dir_read(d)) names.insert(n);
    EXPECT_EQ(names, (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(dir_init(dir.file("missing").c_str()), nullptr);
}

TEST_F(FixedPaths, TemporaryNamesAreNewFilesInTheirFolder) {
    static_randinit();
    settings.backup_path.set(dir.path());
    char a[KESTRIX_PATH_MAX], b[KESTRIX_PATH_MAX];
    file_gettemp(a, PATH_BACKUPS);
    write_text_file(a, "x");
    file_gettemp(b, PATH_BACKUPS);
    EXPECT_NE(std::string(a), std::string(b));
    EXPECT_EQ(std::string(a).rfind(dir.file("kestrix_temp_"), 0), 0u) << a;
}

TEST_F(FixedPaths, FileHelpers) {
    std::string f = dir.file("f");
    EXPECT_EQ(write_file(f.c_str(), "hello", 5), 1);
    EXPECT_EQ(file_size(f.c_str()), 5);
    size_t n = 0;
    char* data = read_file(f.c_str(), &n);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data, n), "hello");
    EXPECT_EQ(data[n], '\0');
    free(data);
    EXPECT_EQ(read_file(dir.file("missing").c_str(), &n), nullptr);
    EXPECT_EQ(file_delete(dir.file("missing").c_str()), 1);
    EXPECT_EQ(is_directory(f.c_str()), 0);
    EXPECT_EQ(create_folder(dir.file("sub").c_str()), 1);
    EXPECT_EQ(is_directory(dir.file("sub").c_str()), 1);
}

struct Tokens {
    std::vector<jsmntok_t> t;
    int rc;
    Tokens(const std::string& text, unsigned n) : t(n) {
        jsmn_parser p;
        jsmn_init_parser(&p, t.data(), n);
        rc = jsmn_parse(&p, text.c_str(), text.size());
    }
};

TEST(JsonTokenizer, TokensPointIntoTheText) {
    std::string text = R"({"a": "x\"y", "b": [1, true], "c": null})";
    Tokens k(text, 20);
    ASSERT_EQ(k.rc, 0);
    EXPECT_EQ(k.t[0].type, JSMN_OBJECT);
    EXPECT_EQ(k.t[0].size, 3);
    EXPECT_EQ(text.substr(k.t[1].start, k.t[1].end - k.t[1].start), "a");
    EXPECT_EQ(k.t[1].size, 1);
    EXPECT_EQ(text.substr(k.t[2].start, k.t[2].end - k.t[2].start), "x\\\"y");
    EXPECT_EQ(k.t[4].type, JSMN_ARRAY);
    EXPECT_EQ(k.t[4].size, 2);
    EXPECT_EQ(text.substr(k.t[6].start, k.t[6].end - k.t[6].start), "true");
    EXPECT_EQ(k.t[9].start, -1);  // unused tokens stay unfilled
}

TEST(JsonTokenizer, ErrorsByKind) {
    struct Case {
        const char* text;
        unsigned tokens;
        int rc;
    } cases[] = {
        {R"({"a": 1})", 3, 0},      {R"({"a": 1, "b": 2})", 3, -1}, {R"({"a": 1])", 10, -2},
        {R"({"a": x})", 10, -2},    {R"({"a\q": 1})", 10, -2},      {R"({"a": 1)", 10, -3},
        {R"({"a": "open)", 10, -3},
    };
    for (const auto& c : cases) EXPECT_EQ(Tokens(c.text, c.tokens).rc, c.rc) << c.text;
}

}  // namespace

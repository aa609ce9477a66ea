// Result tables of kestrix-cli from hand-built cursors: alignment, NULL,
// empty results, wide and multi-byte values, blobs, the hidden rowid, the
// row count and the command-line options.
#include <gtest/gtest.h>

#include "args.h"
#include "render.h"

namespace {

using kestrix::ColumnType;
using kestrix::Cursor;
using kestrix::Row;
using kestrix::cli::render_table;

int32_t type(ColumnType t) {
    return static_cast<int32_t>(t);
}

Cursor people() {
    Cursor c;
    c.columns = {{"id", "", type(ColumnType::kInteger)},
                 {"name", "", type(ColumnType::kText)},
                 {"note", "", type(ColumnType::kText)}};
    c.rows = {Row{"1", "alice", "x"}, Row{"10", "bob", std::nullopt}, Row{"100", "", "long note"}};
    return c;
}

TEST(CliRender, AlignsColumnsNumbersRightAndShowsNull) {
    EXPECT_EQ(render_table(people()),
              " id  | name  | note\n"
              "-----+-------+-----------\n"
              "   1 | alice | x\n"
              "  10 | bob   | <null>\n"
              " 100 |       | long note\n"
              "(3 rows)\n");
}

TEST(CliRender, NullIsDimmedWithColorsAndDiffersFromText) {
    Cursor c;
    c.columns = {{"v", "", type(ColumnType::kText)}};
    c.rows = {Row{std::nullopt}, Row{"NULL"}};
    std::string plain = render_table(c);
    EXPECT_NE(plain.find(" <null>\n"), std::string::npos) << plain;
    EXPECT_NE(plain.find(" NULL\n"), std::string::npos) << plain;
    std::string colored = render_table(c, {.color = true});
    EXPECT_NE(colored.find("\x1b[2m<null>\x1b[0m"), std::string::npos) << colored;
    EXPECT_EQ(colored.find("\x1b[2mNULL"), std::string::npos) << colored;  // text stays plain
}

TEST(CliRender, EmptyResultsKeepTheHeader) {
    Cursor c = people();
    c.rows.clear();
    EXPECT_EQ(render_table(c),
              " id | name | note\n"
              "----+------+------\n"
              "(0 rows)\n");
    EXPECT_EQ(render_table(Cursor{}), "(0 rows)\n");
}

TEST(CliRender, WideAndMultiByteValuesWidenTheirColumn) {
    Cursor c;
    c.columns = {{"k", "", type(ColumnType::kText)}, {"v", "", type(ColumnType::kText)}};
    std::string wide(120, 'w');
    c.rows = {Row{"é€", "1"}, Row{wide, "2"}, Row{"a\tb\nc", "3"}};
    std::string out = render_table(c);
    std::string sep = std::string(122, '-') + "+---\n";
    EXPECT_NE(out.find(sep), std::string::npos) << out;
    // Two characters, four bytes: padded to 120 characters.
    EXPECT_NE(out.find(" é€" + std::string(118, ' ') + " | 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" " + wide + " | 2\n"), std::string::npos);
    // Control characters are escaped so that a row stays on one line.
    EXPECT_NE(out.find(" a\\tb\\nc" + std::string(113, ' ') + " | 3\n"), std::string::npos);
    EXPECT_EQ(kestrix::cli::display_width("é€x"), 3u);
}

TEST(CliRender, BlobsAsHexAndRowidHidden) {
    Cursor c;
    c.has_rowid = true;
    c.columns = {{"rowid", "", type(ColumnType::kInteger)}, {"data", "", type(ColumnType::kBlob)}};
    c.rows = {Row{"7", std::string("\0\x01\xff", 3)}};
    EXPECT_EQ(render_table(c),
              " data\n"
              "-----------\n"
              " X'0001ff'\n"
              "(1 row)\n");
}

TEST(CliRender, RowCountAndTimingLines) {
    EXPECT_EQ(kestrix::cli::row_count_line(0), "(0 rows)");
    EXPECT_EQ(kestrix::cli::row_count_line(1), "(1 row)");
    EXPECT_EQ(kestrix::cli::row_count_line(2), "(2 rows)");
    EXPECT_EQ(kestrix::cli::timing_line(std::chrono::microseconds(1500)), "Time: 1.500 ms");
}

TEST(CliArgs, OptionsAndTheirErrors) {
    using kestrix::KeyType;
    using kestrix::cli::parse_args;
    auto ok = parse_args({"-h", "db.example", "-p", "5000", "-u", "ann", "-e", "aes192", "-c",
                          "SELECT 1", "-a", "-b"});
    ASSERT_EQ(ok.error, "");
    EXPECT_EQ(ok.options.host, "db.example");
    EXPECT_EQ(ok.options.port, 5000);
    EXPECT_EQ(ok.options.user, "ann");
    EXPECT_EQ(ok.options.key, KeyType::kAes192);
    EXPECT_EQ(ok.options.command, "SELECT 1");
    EXPECT_TRUE(ok.options.autocommit && ok.options.bail);
    auto defaults = parse_args({"--file=x.sql"});
    EXPECT_EQ(defaults.options.host, "127.0.0.1");
    EXPECT_EQ(defaults.options.port, 4430);
    EXPECT_EQ(defaults.options.user, "admin");
    EXPECT_EQ(defaults.options.key, KeyType::kNone);
    EXPECT_EQ(defaults.options.file, "x.sql");

    struct Bad {
        std::vector<std::string> args;
        const char* error_part;
    } bad[] = {
        {{"-p", "0"}, "invalid port"},
        {{"-p", "44x"}, "invalid port"},
        {{"-p", "70000"}, "invalid port"},
        {{"-e", "des"}, "unknown cipher"},
        {{"-u"}, "needs a value"},
        {{"--password", "secret"}, "not taken from the command line"},
        {{"-P"}, "not taken from the command line"},
        {{"-c", "x", "-f", "y"}, "cannot be used together"},
        {{"extra"}, "unknown argument"},
    };
    for (const auto& b : bad) {
        auto r = parse_args(b.args);
        EXPECT_NE(r.error.find(b.error_part), std::string::npos) << b.args[0] << ": " << r.error;
    }
}

}  // namespace

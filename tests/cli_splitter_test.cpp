// Statement splitting of kestrix-cli: quotes, semicolons, lines, comments,
// triggers and backslash commands; and the select/execute choice.
#include <gtest/gtest.h>

#include "splitter.h"

namespace {

using kestrix::cli::Piece;
using kestrix::cli::StatementSplitter;
using Kind = Piece::Kind;

Piece stmt(const char* s) {
    return {Kind::kStatement, s};
}
Piece cmd(const char* s) {
    return {Kind::kCommand, s};
}

// Feeds the whole text and the end of input.
std::vector<Piece> split_all(const char* text) {
    StatementSplitter s;
    auto out = s.feed_text(text);
    if (auto last = s.finish()) out.push_back(*last);
    return out;
}

TEST(CliSplitter, CutsAtSemicolonsOutsideQuotesAndComments) {
    struct Case {
        const char* text;
        std::vector<Piece> want;
    } cases[] = {
        {"SELECT 1;", {stmt("SELECT 1")}},
        {"SELECT 1; SELECT 2;", {stmt("SELECT 1"), stmt("SELECT 2")}},
        {"  ;;  ; ", {}},
        {"INSERT INTO t VALUES ('a;b');", {stmt("INSERT INTO t VALUES ('a;b')")}},
        {"INSERT INTO t VALUES ('it''s; here');", {stmt("INSERT INTO t VALUES ('it''s; here')")}},
        {"SELECT \"a;b\", `c;d`, [e;f] FROM t;", {stmt("SELECT \"a;b\", `c;d`, [e;f] FROM t")}},
        {"SELECT 1 -- not; the end\n;", {stmt("SELECT 1")}},
        {"SELECT /* ; */ 2;", {stmt("SELECT   2")}},
        {"SELECT '--x', '/*y*/';", {stmt("SELECT '--x', '/*y*/'")}},
        {"-- only a comment\n", {}},
        {"/* a\n; b */ SELECT 3;", {stmt("SELECT 3")}},
        {"CREATE DATABASE shop", {stmt("CREATE DATABASE shop")}},  // ended by the input's end
        {"SELECT 'open;", {stmt("SELECT 'open;")}},  // an unclosed quote is sent as it is
        {"CREATE TRIGGER tr AFTER INSERT ON t BEGIN\n  UPDATE u SET n = n + 1;\n  DELETE FROM v;\n"
         "END;\nSELECT 4;",
         {stmt("CREATE TRIGGER tr AFTER INSERT ON t BEGIN\n  UPDATE u SET n = n + 1;\n  DELETE "
               "FROM v;\nEND"),
          stmt("SELECT 4")}},
        {"create temp trigger x before delete on t begin select 'END'; end;",
         {stmt("create temp trigger x before delete on t begin select 'END'; end")}},
        {"CREATE TABLE trigger_log (a); INSERT INTO trigger_log VALUES (1);",
         {stmt("CREATE TABLE trigger_log (a)"), stmt("INSERT INTO trigger_log VALUES (1)")}},
    };
    for (const auto& c : cases) EXPECT_EQ(split_all(c.text), c.want) << c.text;
}

TEST(CliSplitter, StatementsSpanLinesAndReportThemselvesOpen) {
    StatementSplitter s;
    EXPECT_FALSE(s.pending());
    EXPECT_TRUE(s.feed_line("SELECT a,").empty());
    EXPECT_TRUE(s.pending());
    EXPECT_TRUE(s.feed_line("  'line one").empty());
    EXPECT_TRUE(s.feed_line("line two;' AS b").empty());  // the ";" is inside the quote
    EXPECT_TRUE(s.pending());
    auto out = s.feed_line("FROM t; SELECT");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], stmt("SELECT a,\n  'line one\nline two;' AS b\nFROM t"));
    EXPECT_TRUE(s.pending());  // "SELECT" is open
    EXPECT_EQ(s.feed_line("5;"), std::vector<Piece>{stmt("SELECT\n5")});
    EXPECT_FALSE(s.pending());
    EXPECT_TRUE(s.feed_line("/* open").empty());
    EXPECT_TRUE(s.pending());  // inside a block comment
    EXPECT_TRUE(s.feed_line("still */").empty());
    EXPECT_FALSE(s.pending());
    EXPECT_EQ(s.finish(), std::nullopt);
}

TEST(CliSplitter, BackslashCommandsOnlyStartALine) {
    struct Case {
        const char* text;
        std::vector<Piece> want;
    } cases[] = {
        {"\\q", {cmd("\\q")}},
        {"  \\timing on  \nSELECT 1;", {cmd("\\timing on"), stmt("SELECT 1")}},
        {"SELECT\n\\q\n;", {stmt("SELECT\n\\q")}},  // inside an open statement it is text
        {"SELECT '\\q';", {stmt("SELECT '\\q'")}},
    };
    for (const auto& c : cases) EXPECT_EQ(split_all(c.text), c.want) << c.text;
}

TEST(CliSplitter, FirstWordChoosesSelectOrExecute) {
    struct Case {
        const char* text;
        bool select;
    } cases[] = {
        {"SELECT 1", true},
        {"  select * from t", true},
        {"SHOW DATABASES", true},
        {"pragma table_info(t)", true},
        {"EXPLAIN SELECT 1", true},
        {"WITH x AS (SELECT 1) SELECT * FROM x", true},
        {"VALUES (1), (2)", true},
        {"(SELECT 1)", true},
        {"INSERT INTO t VALUES (1)", false},
        {"CREATE DATABASE x", false},
        {"USE DATABASE x", false},
        {"SELECTED", false},
        {"", false},
        {"UPDATE t SET a = 'SELECT'", false},
    };
    for (const auto& c : cases) EXPECT_EQ(kestrix::cli::wants_select(c.text), c.select) << c.text;
}

}  // namespace

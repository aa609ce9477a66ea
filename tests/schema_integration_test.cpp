// Schema inspection through the real server: tables and indexes of the
// current or a named database, column descriptions in both forms.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/net_server.h"

namespace {

using kestrix::Connection;
using V = std::vector<std::string>;

struct SchemaTag;
using Schema = SharedServerTest<SchemaTag>;

V column(const kestrix::Cursor& cur, size_t i) {
    V out;
    size_t base = cur.has_rowid ? 1 : 0;
    for (const auto& row : cur.rows) out.push_back(row[base + i].value_or("<null>"));
    return out;
}

Connection prepared(NetServer& server, const std::string& db) {
    Connection c = server.login();
    c.execute("CREATE DATABASE " + db);
    c.execute("USE DATABASE " + db);
    c.execute(
        "CREATE TABLE t (id INTEGER PRIMARY KEY, name VARCHAR(30) NOT NULL, note TEXT, raw, price "
        "REAL)");
    c.execute("CREATE INDEX t_name ON t(name)");
    c.execute("CREATE TABLE kestrix_temp_1 (a)");
    c.execute("CREATE TABLE other (x INTEGER PRIMARY KEY AUTOINCREMENT)");  // makes sqlite_sequence
    c.execute("COMMIT");
    return c;
}

TEST_F(Schema, TablesAndIndexes) {
    Connection c = prepared(*server_, "s1");
    EXPECT_EQ(column(c.select("SHOW TABLES"), 0), (V{"t", "other"}));
    EXPECT_EQ(column(c.select("SHOW INDEXES FOR TABLE t"), 1), (V{"t_name"}));
    EXPECT_EQ(column(c.select("SHOW TABLES FOR DATABASE *"), 0), (V{"t", "other"}));
    EXPECT_EQ(column(c.select("SHOW INDEXES FOR DATABASE s1"), 0), (V{"t_name"}));

    Connection fresh = server_->login();
    EXPECT_EQ(error_code_of([&] { fresh.select("SHOW TABLES FOR DATABASE *"); }), 7015);
    EXPECT_EQ(column(fresh.select("SHOW TABLES FOR DATABASE s1"), 0), (V{"t", "other"}));
    EXPECT_EQ(error_code_of([&] { fresh.select("SHOW TABLES FOR DATABASE nothing"); }), 7007);
    EXPECT_EQ(error_code_of([&] { fresh.select("SHOW TABLES FOR DATABASE 'x'' OR ''1'"); }), 7015);
    EXPECT_FALSE(std::filesystem::exists(server_->dir().file("db/nothing")));
}

TEST_F(Schema, ColumnDescriptions) {
    Connection c = prepared(*server_, "s2");
    kestrix::Cursor info = c.select("SHOW TABLE INFO t");
    EXPECT_EQ(column(info, 1), (V{"id", "name", "note", "raw", "price"}));
    EXPECT_TRUE(c.select("SHOW TABLE INFO missing").rows.empty());

    kestrix::Cursor tarnic = c.select("SHOW TABLE INFO TARNIC t");
    EXPECT_EQ(column(tarnic, 0), (V{"id", "name", "note", "raw", "price"}));
    EXPECT_EQ(column(tarnic, 1), (V{"3", "5", "5", "5", "7"}));  // FieldType
    EXPECT_EQ(column(tarnic, 2), (V{"1", "0", "0", "0", "0"}));  // IsPrimary
    EXPECT_EQ(column(tarnic, 3), (V{"0", "1", "0", "0", "0"}));  // NotNULL
    EXPECT_EQ(column(tarnic, 4), (V{"0", "0", "0", "0", "0"}));  // Length
}

}  // namespace

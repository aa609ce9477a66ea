// client_cursor_test.cpp - decoding cursor payloads from hand-made buffers,
// including every way a payload can disagree with its header.
#include <gtest/gtest.h>

#include "cursor.h"
#include "error.h"
#include "wire.h"

using namespace kestrix;

namespace {

std::string be(std::initializer_list<int32_t> words) {
    std::string s;
    for (int32_t w : words) {
        auto u = static_cast<uint32_t>(w);
        for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<char>(u >> shift));
    }
    return s;
}

// The 15-byte example: column a (integer) of table t, values 7 and NULL.
const std::string kExample = be({1, 1, -1}) + std::string("a\0", 2) + "7";

}  // namespace

TEST(ClientCursor, FifteenByteExample) {
    ASSERT_EQ(kExample.size(), 15u);
    Cursor c;
    decode_cursor_part(kExample, 2, 1, 0x01, true, c);
    ASSERT_EQ(c.columns.size(), 1u);
    EXPECT_EQ(c.columns[0].name, "a");
    EXPECT_EQ(c.columns[0].type, static_cast<int32_t>(ColumnType::kInteger));
    EXPECT_EQ(c.columns[0].table, "");
    EXPECT_FALSE(c.has_rowid);
    EXPECT_FALSE(c.has_table_names);
    ASSERT_EQ(c.rows.size(), 2u);
    EXPECT_EQ(c.rows[0][0], Value("7"));
    EXPECT_EQ(c.rows[1][0], std::nullopt);
}

TEST(ClientCursor, TableNamesAndRowidOf2011Replies) {
    std::string payload = be({1, 1, -1}) + std::string("a\0t\0", 4) + "7";
    Cursor c;
    decode_cursor_part(payload, 2, 1, 0x01 | kReplyTableNames | kReplyRowid, true, c);
    EXPECT_TRUE(c.has_table_names);
    EXPECT_TRUE(c.has_rowid);
    EXPECT_EQ(c.columns[0].table, "t");
    EXPECT_EQ(c.rows[0][0], Value("7"));
}

TEST(ClientCursor, ContinuationCarriesOnlyRowsAndEmptyIsNotNull) {
    Cursor c;
    decode_cursor_part(be({3, 4}) + std::string("s\0b\0", 4), 0, 2, 0x21, true, c);
    EXPECT_TRUE(c.rows.empty());
    std::string blob("\0\1\2", 3);
    decode_cursor_part(be({0, 3, -1, -1}) + blob, 2, 2, 0x21, false, c);
    ASSERT_EQ(c.rows.size(), 2u);
    EXPECT_EQ(c.rows[0][0], Value(""));
    EXPECT_EQ(c.rows[0][1], Value(blob));
    EXPECT_EQ(c.rows[1][0], std::nullopt);
    EXPECT_EQ(c.replies, 2);
}

TEST(ClientCursor, MalformedPayloadsAreRefused) {
    struct Case {
        const char* name;
        std::string payload;
        uint32_t rows, cols;
        bool first;
    };
    const Case cases[] = {
        {"size area cut short", kExample.substr(0, 10), 2, 1, true},
        {"value past the end", be({1, 5, -1}) + std::string("a\0", 2) + "7", 2, 1, true},
        {"name without NUL", be({1}) + "abc", 0, 1, true},
        {"huge row count", kExample, 0xFFFFFFFFu, 0xFFFFFFFFu, true},
        {"negative size", be({1, -2}) + std::string("a\0", 2), 1, 1, true},
        {"trailing bytes", kExample + "z", 2, 1, true},
        {"no columns", std::string(), 0, 0, true},
        {"column count changed", be({1, 1}) + "xy", 1, 2, false},
    };
    for (const auto& c : cases) {
        Cursor cur;
        cur.columns.resize(1);
        try {
            decode_cursor_part(c.payload, c.rows, c.cols, 0x01, c.first, cur);
            ADD_FAILURE() << c.name << " decoded";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), Error::kProtocol) << c.name;
        }
    }
}

// cursor.h - decoded query results and the decoder of cursor payloads.
//
// A cursor payload is a big-endian 32-bit size area followed by a byte area.
// The first reply of a result starts the size area with one type code per
// column and the byte area with the NUL-terminated column names (and, with
// reply flag 0x80, table names); then each row contributes one size per
// column (-1 for NULL) and the value bytes without terminator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix {

// Column type codes.
enum class ColumnType : int32_t {
    kNone = 0,
    kInteger = 1,
    kFloat = 2,
    kText = 3,
    kBlob = 4,
    kBoolean = 5,
    kDate = 6,
    kTime = 7,
    kTimestamp = 8,
    kCurrency = 9,
};

struct Column {
    std::string name;
    std::string table;  // empty without table names or for expressions
    int32_t type = 0;
};

using Value = std::optional<std::string>;  // nullopt is SQL NULL
using Row = std::vector<Value>;

struct Cursor {
    std::vector<Column> columns;  // column 0 is the hidden rowid when has_rowid
    std::vector<Row> rows;
    bool has_rowid = false;
    bool has_table_names = false;
    bool server_side = false;
    int replies = 0;  // data replies that made up the result
};

// Appends one reply's rows (and, when `first`, the column metadata) to `out`.
// `rows`, `columns` and `flags` come from the reply header. Throws Error
// (kProtocol) when the payload does not match them.
void decode_cursor_part(std::string_view payload, uint32_t rows, uint32_t columns, uint8_t flags,
                        bool first, Cursor& out);

}  // namespace kestrix

// render.h - query results as aligned text tables.
//
//   id | name  | note
//  ----+-------+--------
//    1 | alice | <null>
//  (1 row)
//
// Numbers are right-aligned, text left-aligned; widths count UTF-8 characters.
// NULL shows as "<null>" (dimmed when colors are on), blobs as X'..' hex,
// control characters as escapes, so every row stays on one line. The hidden
// rowid column is not shown.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "cursor.h"

namespace kestrix::cli {

struct RenderOptions {
    bool color = false;  // ANSI dim for NULL
};

inline constexpr std::string_view kNullText = "<null>";

// The table followed by its row count line.
std::string render_table(const Cursor& c, const RenderOptions& o = {});
// "(0 rows)", "(1 row)", "(2 rows)"
std::string row_count_line(size_t rows);
// "Time: 1.234 ms"
std::string timing_line(std::chrono::nanoseconds elapsed);
// The one-line text of a value as the table shows it (NULL not included).
std::string display_text(std::string_view value, int32_t type);
// Terminal columns of UTF-8 text (continuation bytes take none).
size_t display_width(std::string_view utf8);

}  // namespace kestrix::cli

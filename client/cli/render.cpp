// render.cpp - table layout: cell texts, column widths, padding.
#include "render.h"

#include <cstdio>
#include <vector>

namespace kestrix::cli {

namespace {

constexpr const char* kDim = "\x1b[2m";
constexpr const char* kReset = "\x1b[0m";

struct Cell {
    std::string text;
    bool null = false;
};

bool right_aligned(int32_t type) {
    auto t = static_cast<ColumnType>(type);
    return t == ColumnType::kInteger || t == ColumnType::kFloat || t == ColumnType::kCurrency;
}

std::string hex_blob(std::string_view v) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out = "X'";
    for (unsigned char b : v) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out + "'";
}

void pad(std::string& out, size_t n) {
    out.append(n, ' ');
}

// One line: " a | b | c" with each cell padded to its column width.
void add_line(std::string& out, const std::vector<Cell>& cells, const std::vector<size_t>& widths,
              const std::vector<bool>& right, const RenderOptions& o) {
    for (size_t i = 0; i < cells.size(); ++i) {
        out += i == 0 ? " " : " | ";
        size_t gap = widths[i] - display_width(cells[i].text);
        if (right[i]) pad(out, gap);
        if (cells[i].null && o.color) {
            out += kDim + cells[i].text + kReset;
        } else {
            out += cells[i].text;
        }
        if (!right[i] && i + 1 < cells.size()) pad(out, gap);
    }
    out += '\n';
}

}  // namespace

size_t display_width(std::string_view utf8) {
    size_t n = 0;
    for (unsigned char b : utf8)
        if ((b & 0xC0) != 0x80) ++n;
    return n;
}

std::string display_text(std::string_view value, int32_t type) {
    if (static_cast<ColumnType>(type) == ColumnType::kBlob) return hex_blob(value);
    std::string out;
    out.reserve(value.size());
    for (unsigned char b : value) {
        if (b == '\n') {
            out += "\\n";
        } else if (b == '\t') {
            out += "\\t";
        } else if (b == '\r') {
            out += "\\r";
        } else if (b < 0x20 || b == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof(esc), "\\x%02x", b);
            out += esc;
        } else {
            out += static_cast<char>(b);
        }
    }
    return out;
}

std::string row_count_line(size_t rows) {
    return "(" + std::to_string(rows) + (rows == 1 ? " row)" : " rows)");
}

std::string timing_line(std::chrono::nanoseconds elapsed) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), "Time: %.3f ms", static_cast<double>(elapsed.count()) / 1e6);
    return buf;
}

std::string render_table(const Cursor& c, const RenderOptions& o) {
    size_t first = c.has_rowid && !c.columns.empty() ? 1 : 0;
    std::vector<Cell> header;
    std::vector<size_t> widths;
    std::vector<bool> right;
    for (size_t i = first; i < c.columns.size(); ++i) {
        header.push_back({display_text(c.columns[i].name, 0), false});
        widths.push_back(display_width(header.back().text));
        right.push_back(right_aligned(c.columns[i].type));
    }
    std::vector<std::vector<Cell>> body;
    body.reserve(c.rows.size());
    for (const Row& row : c.rows) {
        std::vector<Cell> cells;
        for (size_t i = first; i < c.columns.size(); ++i) {
            const Value& v = i < row.size() ? row[i] : Value{};
            cells.push_back(v ? Cell{display_text(*v, c.columns[i].type), false}
                              : Cell{std::string(kNullText), true});
            widths[i - first] = std::max(widths[i - first], display_width(cells.back().text));
        }
        body.push_back(std::move(cells));
    }
    std::string out;
    if (!header.empty()) {
        add_line(out, header, widths, std::vector<bool>(header.size(), false), o);
        for (size_t i = 0; i < widths.size(); ++i) {
            out += i == 0 ? "-" : "-+-";
            out.append(widths[i], '-');
        }
        out += "-\n";
        for (const auto& cells : body) add_line(out, cells, widths, right, o);
    }
    return out + row_count_line(c.rows.size()) + "\n";
}

}  // namespace kestrix::cli

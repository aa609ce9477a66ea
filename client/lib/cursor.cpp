// cursor.cpp - decoding cursor payloads with every length checked against
// the payload before use.
#include "cursor.h"

#include <cstring>

#include "error.h"
#include "wire.h"

namespace kestrix {

namespace {

[[noreturn]] void malformed(const char* what) {
    throw Error(Error::kProtocol, std::string("malformed cursor: ") + what);
}

// Walks the byte area.
class DataReader {
public:
    explicit DataReader(std::string_view data) : data_(data) {}
    std::string cstring() {
        size_t end = data_.find('\0', pos_);
        if (end == std::string_view::npos) malformed("unterminated name");
        std::string s(data_.substr(pos_, end - pos_));
        pos_ = end + 1;
        return s;
    }
    std::string bytes(size_t n) {
        if (n > data_.size() - pos_) malformed("value beyond payload");
        std::string s(data_.substr(pos_, n));
        pos_ += n;
        return s;
    }
    bool at_end() const { return pos_ == data_.size(); }

private:
    std::string_view data_;
    size_t pos_ = 0;
};

}  // namespace

void decode_cursor_part(std::string_view payload, uint32_t rows, uint32_t columns, uint8_t flags,
                        bool first, Cursor& out) {
    if (columns == 0) malformed("no columns");
    if (!first && columns != out.columns.size()) malformed("column count changed");
    // 64-bit arithmetic: rows * columns cannot wrap.
    uint64_t entries = uint64_t{rows} * columns + (first ? columns : 0);
    if (entries > payload.size() / 4) malformed("size area beyond payload");
    const auto* sizes = reinterpret_cast<const uint8_t*>(payload.data());
    DataReader data(payload.substr(entries * 4));
    size_t next = 0;
    if (first) {
        out.columns.assign(columns, Column{});
        for (auto& c : out.columns) c.type = static_cast<int32_t>(get_u32(sizes + 4 * next++));
        for (auto& c : out.columns) c.name = data.cstring();
        out.has_table_names = (flags & kReplyTableNames) != 0;
        if (out.has_table_names)
            for (auto& c : out.columns) c.table = data.cstring();
        out.has_rowid = (flags & kReplyRowid) != 0;
        out.server_side = (flags & kReplyServerSide) != 0;
    }
    out.rows.reserve(out.rows.size() + rows);
    for (uint32_t r = 0; r < rows; ++r) {
        Row row;
        row.reserve(columns);
        for (uint32_t c = 0; c < columns; ++c) {
            auto size = static_cast<int32_t>(get_u32(sizes + 4 * next++));
            if (size == -1) {
                row.emplace_back(std::nullopt);
            } else if (size < 0) {
                malformed("negative value size");
            } else {
                row.emplace_back(data.bytes(static_cast<size_t>(size)));
            }
        }
        out.rows.push_back(std::move(row));
    }
    if (!data.at_end()) malformed("trailing bytes");
    ++out.replies;
}

}  // namespace kestrix

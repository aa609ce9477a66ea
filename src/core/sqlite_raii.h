// sqlite_raii.h - owners for SQLite handles and prepared statements.
//
// Stmt wraps one prepared statement with small bind helpers, so that every
// value that comes from outside reaches SQL as a bound parameter.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DbHandle = std::unique_ptr<sqlite3, DbCloser>;

class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) : db_(db) {
        if (db)
            rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
        else
            rc_ = SQLITE_MISUSE;
    }
    ~Stmt() { sqlite3_finalize(stmt_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    bool ok() const { return rc_ == SQLITE_OK && stmt_ != nullptr; }
    int prepare_rc() const { return rc_; }
    sqlite3_stmt* get() const { return stmt_; }

    Stmt& bind(int i, std::string_view text) {
        sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& bind(int i, const char* text) {
        if (text)
            sqlite3_bind_text(stmt_, i, text, -1, SQLITE_TRANSIENT);
        else
            sqlite3_bind_null(stmt_, i);
        return *this;
    }
    Stmt& bind(int i, const std::string& text) { return bind(i, std::string_view(text)); }
    Stmt& bind(int i, int value) {
        sqlite3_bind_int(stmt_, i, value);
        return *this;
    }
    Stmt& bind(int i, int64_t value) {
        sqlite3_bind_int64(stmt_, i, value);
        return *this;
    }

    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_MISUSE; }
    // Runs to completion; SQLITE_DONE on success.
    int run() {
        int rc;
        while ((rc = step()) == SQLITE_ROW) {
        }
        return rc;
    }
    void reset() { sqlite3_reset(stmt_); }

    int64_t int64_at(int col) const { return sqlite3_column_int64(stmt_, col); }
    int int_at(int col) const { return sqlite3_column_int(stmt_, col); }
    bool is_null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    std::string text_at(int col) const {
        const unsigned char* t = sqlite3_column_text(stmt_, col);
        return t ? std::string(reinterpret_cast<const char*>(t),
                               static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
                 : std::string();
    }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

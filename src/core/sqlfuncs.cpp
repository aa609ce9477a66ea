// sqlfuncs.cpp - the SQL functions the server adds to its connections:
// md5 (folded to 4 bytes, 8 upper-case hex digits), sha1 (40 lower-case hex
// digits), base64, and JSON_AUTH on the settings database. Session
// connections also get the lock check and the privilege authorizer.
#include <sqlite3.h>

#include <cstring>
#include <string>

#include "core/authorizer.h"
#include "core/dbhelpers.h"
#include "core/dbref.h"
#include "core/digest.h"
#include "core/sqlite_raii.h"
#include "net/client.h"
#include "query/execute.h"
#include "server/settings.h"
#include "server/util.h"

namespace {

void fn_md5(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const unsigned char* text = sqlite3_value_text(argv[0]);
    if (!text) {
        sqlite3_result_error(ctx, "Unable to retrieve first argument of the MD5 function.", -1);
        return;
    }
    auto d = md5_bytes(text, strlen(reinterpret_cast<const char*>(text)));
    char out[9];
    for (int i = 0; i < 4; ++i) {
        unsigned folded = d[i] ^ d[i + 4] ^ d[i + 8] ^ d[i + 12];
        snprintf(out + 2 * i, 3, "%02X", folded);
    }
    sqlite3_result_text(ctx, out, 8, SQLITE_TRANSIENT);
}

void fn_sha1(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        sqlite3_result_error(ctx, "Unable to retrieve first argument of the SHA1 function.", -1);
        return;
    }
    const void* data = sqlite3_value_blob(argv[0]);
    int len = sqlite3_value_bytes(argv[0]);
    std::string hex = sha1_hex(data ? data : "", static_cast<size_t>(len));
    sqlite3_result_text(ctx, hex.c_str(), static_cast<int>(hex.size()), SQLITE_TRANSIENT);
}

void fn_base64(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        sqlite3_result_error(ctx, "Unable to retrieve first argument of the BASE64 function.", -1);
        return;
    }
    const void* data = sqlite3_value_blob(argv[0]);
    int len = sqlite3_value_bytes(argv[0]);
    std::string out = base64_encode(data ? data : "", static_cast<size_t>(len));
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

void fn_json_auth(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const unsigned char* a = sqlite3_value_text(argv[0]);
    const unsigned char* b = sqlite3_value_text(argv[1]);
    if (!a || !b) {
        sqlite3_result_error(ctx, "Unable to retrieve arguments of the JSON_AUTH function.", -1);
        return;
    }
    std::string joined =
        std::string(reinterpret_cast<const char*>(a)) + reinterpret_cast<const char*>(b);
    if (joined.size() + 1 >= 2048) {
        sqlite3_result_error(ctx, "Arguments exceeds maximum size in the JSON_AUTH function.", -1);
        return;
    }
    std::string hex = sha1_hex(joined.data(), joined.size());
    sqlite3_result_text(ctx, hex.c_str(), static_cast<int>(hex.size()), SQLITE_TRANSIENT);
}

// 1 when another session holds a record lock covering the row.
void fn_check_locks(sqlite3_context* ctx, int, sqlite3_value** argv) {
    auto* c = static_cast<client*>(sqlite3_user_data(ctx));
    const unsigned char* table = sqlite3_value_text(argv[0]);
    const unsigned char* rowid = sqlite3_value_text(argv[1]);
    const char* t = reinterpret_cast<const char*>(table);
    if (!c || c->dbref == -1 || c->skip_lock_check == 1 || !table || !rowid ||
        kestrix_strncmpi(t, "sqlite_", 7) == 0) {
        sqlite3_result_int(ctx, 0);
        return;
    }
    Stmt st(settings.inmemorydb,
            "SELECT 1 FROM Locks WHERE databasename=?1 AND tablename=?2 AND (recordid=0 OR "
            "recordid=?3) AND "
            "clientid != ?4;");
    st.bind(1, dbref_dbname(c->dbref)).bind(2, t).bind(3, reinterpret_cast<const char*>(rowid));
    st.bind(4, static_cast<int64_t>(c->id));
    sqlite3_result_int(ctx, st.step() == SQLITE_ROW ? 1 : 0);
}

}  // namespace

void kestrix_register_functions(sqlite3* db, client* c) {
    sqlite3_enable_load_extension(db, 1);
    sqlite3_busy_timeout(db, settings.lock_db_time);
    c->busy_timeout_set = settings.lock_db_time;
    kestrix_register_sql_functions(db);
    sqlite3_create_function(db, "kestrix_check_locks", 2, SQLITE_ANY, c, fn_check_locks, nullptr,
                            nullptr);
    sqlite3_set_authorizer(db, kestrix_authorizer, c);
}

void kestrix_register_sql_functions(sqlite3* db) {
    sqlite3_create_function(db, "md5", 1, SQLITE_ANY, nullptr, fn_md5, nullptr, nullptr);
    sqlite3_create_function(db, "base64", 1, SQLITE_ANY, nullptr, fn_base64, nullptr, nullptr);
    sqlite3_create_function(db, "sha1", 1, SQLITE_ANY, nullptr, fn_sha1, nullptr, nullptr);
}

void kestrix_register_settings_functions(sqlite3* db) {
    sqlite3_create_function(db, "JSON_AUTH", 2, SQLITE_ANY, nullptr, fn_json_auth, nullptr,
                            nullptr);
    sqlite3_create_function(db, "SHA1", 1, SQLITE_ANY, nullptr, fn_sha1, nullptr, nullptr);
}

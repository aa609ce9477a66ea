// codec.h - the page codec's public entry points: keying connections and
// re-keying databases. The key functions follow the engine's customary
// signatures so that callers read as they would with a codec-enabled build.
#pragma once

#include <sqlite3.h>

extern "C" {
int sqlite3_key(sqlite3* db, const void* key, int nkey);
int sqlite3_key_v2(sqlite3* db, const char* dbname, const void* key, int nkey);
int sqlite3_rekey(sqlite3* db, const void* key, int nkey);
int sqlite3_rekey_v2(sqlite3* db, const char* dbname, const void* key, int nkey);
}

const char* kestrix_codec_style();

// Registers the encrypting file layer as the default VFS (once per process;
// later calls answer the first result). The key functions and the keyed open
// helper call it; code that opens connections itself calls it first so that
// its files can take keys.
int kestrix_codec_register();

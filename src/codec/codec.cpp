// codec.cpp - placeholder key functions until the page codec is in place:
// keys are accepted and not applied.
#include "codec/codec.h"

extern "C" {
int sqlite3_key(sqlite3*, const void*, int) {
    return SQLITE_OK;
}
int sqlite3_key_v2(sqlite3*, const char*, const void*, int) {
    return SQLITE_OK;
}
int sqlite3_rekey(sqlite3*, const void*, int) {
    return SQLITE_OK;
}
int sqlite3_rekey_v2(sqlite3*, const char*, const void*, int) {
    return SQLITE_OK;
}
}

const char* kestrix_codec_style() {
    return "kestrix-aes128-ofb";
}

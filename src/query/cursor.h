// cursor.h - result cursors (placeholder until the cursor builder lands).
#pragma once

#include <sqlite3.h>

struct client;

int kestrix_select(client* c, int use_vm);
int kestrix_select_internal(client* c, sqlite3* db, const char* sql);

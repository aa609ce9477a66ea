// dbref.h - shared references of open databases and their write-ticket
// queues. The reference table is sized from `max_databases` at start-up.
#pragma once

#include <sqlite3.h>

void dbref_init();
void dbref_destroy();
// Binds and runs one statistics row per reference in use.
void dbref_stat_write(sqlite3_stmt* stmt);

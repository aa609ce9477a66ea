// dbref.cpp - the shared database reference table. Until sessions open
// databases the table holds no references.
#include "core/dbref.h"

void dbref_init() {}
void dbref_destroy() {}
void dbref_stat_write(sqlite3_stmt*) {}

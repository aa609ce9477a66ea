// stats.h - the statistics database and the request timers.
//
// One server row per sample (connections, traffic, request counts, SQLite
// memory) and one row per database in use. Samples are taken by the
// scheduler every UPDATE_PERIOD_STATS seconds and on command.
#pragma once

#include <sqlite3.h>
#include <sys/time.h>

struct Timer {
    struct timeval start {};
    struct timeval end {};
};

void stats_open();
void stats_close();
void stats_update();
void tstart(Timer* t);
void tend(Timer* t);
double tval(const Timer* t);

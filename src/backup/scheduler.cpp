// scheduler.cpp - the scheduler thread.
#include "backup/scheduler.h"

#include <pthread.h>
#include <unistd.h>

#include <ctime>

#include "server/settings.h"
#include "server/stats.h"

void* scheduler_thread(void*) {
    pthread_detach(pthread_self());
    int cycle = 0;
    time_t last_sample = time(nullptr);
    while (settings.running) {
        // Sleep 3 seconds in small steps so that shutdown is not held up.
        for (int i = 0; i < 30 && settings.running; ++i) usleep(100 * 1000);
        if (!settings.running) break;
        if (++cycle % 10 != 0) continue;
        check_ping_timeouts();
        if (time(nullptr) - last_sample >= settings.update_period_stats) {
            stats_update();
            last_sample = time(nullptr);
        }
    }
    settings.scheduler_exited = 1;
    return nullptr;
}

void check_ping_timeouts() {}

// scheduler.h - the scheduler thread: every 3 seconds; every tenth cycle it
// closes sessions idle beyond their ping time-out, samples statistics when
// UPDATE_PERIOD_STATS has passed, and starts the schedules due this minute.
#pragma once

void* scheduler_thread(void* arg);
void check_ping_timeouts();

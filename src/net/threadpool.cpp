// threadpool.cpp - the worker pool.
//
// A fixed array of slots; slots 0 .. ncurrent-1 have a worker. A slot is idle
// (state 0), reserved by threadpool_assign (state 1, under global_mutex), then
// working once its `client` is set and its worker woken, and idle again when
// the worker has finished the request. The pool starts with NUM_THREADS
// workers and grows by 20 when every worker is busy, never beyond
// SLOT_COUNT - 1 workers. global_mutex is never held while a slot mutex is
// taken.
#include <pthread.h>

#include <condition_variable>
#include <mutex>

#include "net/client.h"
#include "net/event.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

constexpr int SLOT_COUNT = 10240;
constexpr int GROWTH = 20;
const char* const POOL_FULL =
    "Maximum number of allowed threads in the pool reached. Connection cannot be accepted.";

struct Slot {
    int index = 0;
    client* session = nullptr;  // REQUIRES: mutex held
    uint32_t session_id = 0;    // REQUIRES: mutex held
    std::mutex mutex;
    std::condition_variable cond;
    pthread_t thread{};
};

// Never destroyed: idle workers wait on their slot until the process ends.
Slot* const serverthreads = new Slot[SLOT_COUNT];
int state[SLOT_COUNT];           // REQUIRES: global_mutex held
int ncurrent_serverthreads = 0;  // REQUIRES: global_mutex held
int live_workers = 0;            // REQUIRES: global_mutex held
std::mutex global_mutex;
thread_local client* current_session = nullptr;

void worker_finished() {
    std::lock_guard<std::mutex> g(global_mutex);
    if (--live_workers == 0) settings.workers_exited = 1;
}

void serve(client* c, uint32_t id) {
    client* s = client_serve_begin(c, id);
    if (!s) return;
    current_session = s;
    socket_read(s);
    current_session = nullptr;
    client_serve_end(s);
}

void* working_thread(void* arg) {
    Slot& slot = *static_cast<Slot*>(arg);
    pthread_detach(pthread_self());
    while (settings.running) {
        client* c;
        uint32_t id;
        {
            std::unique_lock<std::mutex> lk(slot.mutex);
            slot.cond.wait(lk, [&] { return slot.session != nullptr || !settings.running; });
            c = slot.session;
            id = slot.session_id;
        }
        if (!settings.running) break;
        serve(c, id);
        {
            std::lock_guard<std::mutex> lk(slot.mutex);
            slot.session = nullptr;
            slot.session_id = 0;
        }
        std::lock_guard<std::mutex> g(global_mutex);
        state[slot.index] = 0;
    }
    worker_finished();
    return nullptr;
}

// Index of the first idle slot, marked busy; -1 when none.
int reserve_slot() {
    std::lock_guard<std::mutex> g(global_mutex);
    for (int i = 0; i < ncurrent_serverthreads; ++i) {
        if (state[i] == 0) {
            state[i] = 1;
            return i;
        }
    }
    return -1;
}

}  // namespace

int threadpool_create(int n) {
    std::lock_guard<std::mutex> g(global_mutex);
    if (ncurrent_serverthreads > SLOT_COUNT - 1) {
        if (debugging()) debug_write("%s", POOL_FULL);
        log_lowlevel_system("%s", POOL_FULL);
        return 0;
    }
    if (n <= 0 || ncurrent_serverthreads + n > SLOT_COUNT - 1) return 0;
    if (ncurrent_serverthreads == 0) settings.workers_exited = 0;
    for (int i = ncurrent_serverthreads; i < ncurrent_serverthreads + n; ++i) {
        Slot& slot = serverthreads[i];
        slot.index = i;
        slot.session = nullptr;
        state[i] = 0;
        if (pthread_create(&slot.thread, nullptr, working_thread, &slot) == 0) ++live_workers;
    }
    ncurrent_serverthreads += n;
    if (live_workers == 0) settings.workers_exited = 1;
    return ncurrent_serverthreads;
}

int threadpool_assign(client* c, uint32_t id) {
    int i = reserve_slot();
    if (i < 0) {
        if (debugging()) debug_write("Expand the threadpool and try again");
        if (threadpool_create(GROWTH) != 0) i = reserve_slot();
    }
    if (i < 0) {
        if (debugging()) debug_write("%s", POOL_FULL);
        log_lowlevel_system("%s", POOL_FULL);
        return 0;
    }
    Slot& slot = serverthreads[i];
    {
        std::lock_guard<std::mutex> lk(slot.mutex);
        slot.session = c;
        slot.session_id = id;
    }
    slot.cond.notify_one();
    return 1;
}

int threadpool_limit() {
    return SLOT_COUNT;
}

int threadpool_size() {
    std::lock_guard<std::mutex> g(global_mutex);
    return ncurrent_serverthreads;
}

client* threadpool_client() {
    return current_session;
}

void threadpool_wake_all() {
    int n;
    {
        std::lock_guard<std::mutex> g(global_mutex);
        n = ncurrent_serverthreads;
    }
    for (int i = 0; i < n; ++i) {
        { std::lock_guard<std::mutex> lk(serverthreads[i].mutex); }
        serverthreads[i].cond.notify_all();
    }
}

void threadpool_destroy() {}

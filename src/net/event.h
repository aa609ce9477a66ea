// event.h - the epoll event queue, the connection thread and the worker pool.
//
// Every client socket is registered one-shot with the session id as its user
// data, so at most one worker serves a session at a time and a stale event can
// never reach a newer session that happens to reuse a freed address: ids are
// never reused, and the id is resolved against the session registry under
// `workers_mutex`. The worker re-arms the socket once its request is done.
// At shutdown the connection thread sees the cleared running flag within a
// fraction of a second (closing the queue alone does not wake a waiter) and
// wakes every idle worker so the pool ends too.
#pragma once

#include <cstdint>

struct client;

// Event outcomes of event_get_next.
enum : int { EVENT_READABLE = 10, EVENT_ERROR = 30, EVENT_STOP = 666 };

// Mask of every add and re-arm: IN, PRI, ERR, HUP and ONESHOT.
constexpr uint32_t EVENT_MASK = 0x4000001B;

int event_init_queue();
int event_add(int epfd, uint32_t id, int fd);
int event_reenable(int epfd, uint32_t id, int fd);
// Waits for one event; answers the session id it carries (0 for none) and
// the outcome.
uint32_t event_get_next(int epfd, int* outcome);
void* connection_thread(void* arg);

// Worker pool (threadpool.cpp).
int threadpool_create(int n);
int threadpool_assign(client* c, uint32_t id);
int threadpool_limit();
client* threadpool_client();
void threadpool_destroy();
// Wakes every idle worker after the server stopped running.
void threadpool_wake_all();
// Workers created so far.
int threadpool_size();

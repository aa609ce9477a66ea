// event.h - the epoll event queue, the connection thread and the worker pool.
//
// Every client socket is registered one-shot, so at most one worker serves a
// session at a time; the reply write re-arms it. Closing the epoll descriptor
// at shutdown wakes the connection thread, which then ends.
#pragma once

int event_init_queue();
// The shutdown's wake-up of the connection thread (event_wakeup.cpp).
void event_wakeup_register(int epoll_fd);
void event_wakeup();
void* connection_thread(void* arg);
int threadpool_create(int n);
void threadpool_destroy();
int threadpool_limit();

// session.h - the entry of accepted sockets into the session layer.
#pragma once

// Takes over an accepted socket with its display address. Answers 1 when a
// session now owns the socket; 0 when none could be made (the socket is then
// closed).
int client_accept(int fd, const char* address);

// session.cpp - client sessions. Until the request path exists an accepted
// connection is closed at once.
#include "net/session.h"

#include <unistd.h>

int client_accept(int fd, const char*) {
    close(fd);
    return 0;
}

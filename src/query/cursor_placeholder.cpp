// cursor_placeholder.cpp - queries are answered once the cursor builder lands.
#include "net/client.h"
#include "query/cursor.h"

int kestrix_select(client* c, int) {
    client_sendreply(c, 7015, "Command not supported by this server version.");
    return 1;
}

int kestrix_select_internal(client* c, sqlite3*, const char*) {
    client_sendreply(c, 7015, "Command not supported by this server version.");
    return 1;
}

// privileges.h - the identity and rights of a logged-in session, cached in
// the session and reloaded when the server-wide privilege generation moves.
#pragma once

struct client;

// Reloads user id, group ids, administrator flag and the databases the
// user's groups administer, when the session's cache is stale.
void get_user_group_id(client* c);

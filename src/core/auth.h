// auth.h - the identity and rights of a logged-in session, cached in
// the session and reloaded when the server-wide privilege generation moves.
#pragma once

#include <initializer_list>
#include <span>

struct client;

// Reloads user id, group ids, administrator flag and the databases the
// user's groups administer, when the session's cache is stale.
void get_user_group_id(client* c);

// Whether one of the session's groups holds a row of `Privileges` with one of
// `codes`; `database` and `table` ("" = not looked at) match the row's name
// or "*". Every value is bound.
bool privilege_row_exists(const client* c, std::initializer_list<int> codes, const char* database,
                          const char* table);
bool privilege_row_exists(const client* c, std::span<const int> codes, const char* database,
                          const char* table);

// Whether the session's user may open `name`.
int check_user_has_dbaccess(client* c, const char* name);

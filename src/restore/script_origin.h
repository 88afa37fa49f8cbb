/*
 * The server a script was dumped from, as its header names it ("-- Server:
 * PostgreSQL 18.7 ..." on one of its first lines), so that a restore that
 * fails on an older server can say that the script is newer than it.
 */
#ifndef PGDUMP_SCRIPT_ORIGIN_H
#define PGDUMP_SCRIPT_ORIGIN_H

#include <cstddef>

/* The version text of the server that made the script at path (plain or
 * compressed) into out; 0, or -1 when the header names none. */
int script_origin(const char *path, char *out, size_t room);

/* When the script at path comes from a newer major version than the
 * server's (server_version as reported at start-up), appends to text
 * (room bytes) a note saying so. */
void script_origin_note(const char *path, const char *server_version, char *text, size_t room);

#endif

/*
 * The synchronous catalogue calls share their first half: parse the
 * configuration, require a user, connect.
 */
#ifndef PGDUMP_LISTING_H
#define PGDUMP_LISTING_H

#include "config/config.h"
#include "pg_client/pg_client.h"

/* 0 with conn open; -1 with the thread's last error set and nothing
 * open.  Connects to the configured database, or to "postgres" when none
 * is given; *has_database (may be null) tells which.  The configuration
 * is read into heap memory (it is large for a host thread's stack) and
 * wiped and freed before the call returns. */
int sync_connect(const char *config_json, pg_conn *conn, int *has_database);

#endif

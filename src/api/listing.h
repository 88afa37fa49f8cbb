/*
 * The synchronous catalogue calls share their first half: parse the
 * configuration, require a user, connect.
 */
#ifndef PGDUMP_LISTING_H
#define PGDUMP_LISTING_H

#include "config/config.h"
#include "pg_client/pg_client.h"

/* 0 with conn open and cfg filled; -1 with g_err set and nothing open.
 * Connects to cfg->database, or to "postgres" when it is empty. */
int sync_connect(const char *config_json, pg_conn *conn, dump_config *cfg);

#endif

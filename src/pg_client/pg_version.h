/*
 * The server's version as a number, the way server_version_num spells it
 * (major * 10000 + minor from PostgreSQL 10 on, 90624 for 9.6.24), read
 * from the server_version text every server reports at start-up.
 */
#ifndef PGDUMP_PG_VERSION_H
#define PGDUMP_PG_VERSION_H

#include <cstddef>

/* Oldest server a dump reads. */
#define PG_OLDEST_DUMPED 120000

/* The number of a server_version text ("18.7", "15.18 (Debian ...)",
 * "18beta1", "9.6.24"), or 0 when the text does not start with one. */
int pg_version_num(const char *server_version);

/* Refusal text for a server a dump cannot read, written into text; 0 when
 * the version is supported, -1 when it is not (or unknown). */
int pg_version_check(const char *server_version, char *text, size_t room);

#endif

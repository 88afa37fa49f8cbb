/*
 * MinGW's <unistd.h> plus the one POSIX call the test helpers use that the
 * Windows C library lacks.
 */
#ifndef PGDUMP_TEST_COMPAT_UNISTD_H
#define PGDUMP_TEST_COMPAT_UNISTD_H

#include_next <unistd.h>

/* Replaces the trailing XXXXXX of tmpl and creates that directory (mode
 * ignored); tmpl, or null with tmpl unusable. */
char *mkdtemp(char *tmpl);

#endif

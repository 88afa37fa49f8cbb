/*
 * MinGW's <unistd.h> plus the POSIX calls the tests use that the Windows C
 * library lacks.
 */
#ifndef PGDUMP_TEST_COMPAT_UNISTD_H
#define PGDUMP_TEST_COMPAT_UNISTD_H

#include_next <unistd.h>

/* Replaces the trailing XXXXXX of tmpl and creates that directory (mode
 * ignored); tmpl, or null with tmpl unusable. */
char *mkdtemp(char *tmpl);

/* No symbolic links for the tests here: always -1 (ENOSYS).  The tests
 * that plant one need a server, which the Windows run does not start. */
int symlink(const char *target, const char *path);

#endif

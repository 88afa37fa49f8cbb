/*
 * Wait statuses for the Windows test build: the C library's system()
 * answers the command's exit code itself, not a packed status.
 */
#ifndef PGDUMP_TEST_COMPAT_SYS_WAIT_H
#define PGDUMP_TEST_COMPAT_SYS_WAIT_H

#define WIFEXITED(status) ((status) != -1)
#define WEXITSTATUS(status) (status)

#endif

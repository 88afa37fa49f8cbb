/* Compiled as C99: the public header must be usable from C. */
#include <veltrano-pgdump.h>

typedef const char *(*text_fn)(void);
typedef const char *(*config_fn)(const char *);
typedef int32_t (*session_fn)(int32_t);

static const void *exports_seen_from_c[] = {
    (const void *)(text_fn)pgdump_version,         (const void *)(text_fn)pgdump_last_error,
    (const void *)(config_fn)pgdump_test_connection, (const void *)(config_fn)pgdump_list_databases,
    (const void *)(config_fn)pgdump_list_tables,   (const void *)pgdump_start,
    (const void *)(session_fn)pgdump_status,       (const void *)pgdump_progress,
    (const void *)pgdump_result,                   (const void *)pgdump_cancel,
    (const void *)pgdump_free,
};

const void *const *pgdump_header_c_check(void) { return exports_seen_from_c; }

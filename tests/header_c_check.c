/* Compiled as C99: the public header must be usable from C. */
#include <veltrano-pgdump.h>

typedef const char *(*text_fn)(void);
typedef const char *(*config_fn)(const char *);
typedef int32_t (*session_fn)(int32_t);
/* ISO C allows conversions between function pointer types, not to void *. */
typedef void (*any_fn)(void);

static const any_fn exports_seen_from_c[] = {
    (any_fn)(text_fn)pgdump_version,
    (any_fn)(text_fn)pgdump_last_error,
    (any_fn)(config_fn)pgdump_test_connection,
    (any_fn)(config_fn)pgdump_list_databases,
    (any_fn)(config_fn)pgdump_list_tables,
    (any_fn)pgdump_start,
    (any_fn)(session_fn)pgdump_status,
    (any_fn)pgdump_progress,
    (any_fn)pgdump_result,
    (any_fn)pgdump_cancel,
    (any_fn)pgdump_free,
};

const any_fn *pgdump_header_c_check(void)
{
    return exports_seen_from_c;
}

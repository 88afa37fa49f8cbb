/*
 * The code words of the failure kinds and the small helpers of fail_info.
 */
#include "error/fail.h"

#include <cstring>

static const char *const CODES[FAIL_KIND_COUNT] = {
    "internal",     "config",        "connection", "timeout",   "tls",    "auth",
    "protocol",     "server",        "io",         "cancelled", "busy",   "bad_session",
    "not_finished", "out_of_memory", "refused",    "script",    "system", "unsupported",
};

const char *fail_code(int32_t kind)
{
    if (kind <= FAIL_NONE || kind >= FAIL_KIND_COUNT)
        return CODES[0];
    return CODES[kind];
}

void fail_set(fail_info *f, int32_t kind)
{
    f->kind = kind;
    f->sqlstate[0] = '\0';
    f->detail[0] = '\0';
    f->hint[0] = '\0';
}

void fail_copy(fail_info *dst, const fail_info *src, int32_t fallback_kind)
{
    if (src == nullptr || src->kind == FAIL_NONE) {
        fail_set(dst, fallback_kind);
        return;
    }
    if (dst != src)
        memcpy(dst, src, sizeof *dst);
}

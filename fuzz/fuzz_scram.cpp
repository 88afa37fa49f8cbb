/*
 * Fuzz target for the parsing of a server-first-message: arbitrary bytes,
 * cut like the client cuts them (511 bytes, NUL-terminated), must give
 * attributes that stay inside their fields.
 */
#include "pg_client/pg_internal.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char msg[512];
    size_t n = size < sizeof msg - 1 ? size : sizeof msg - 1;
    memcpy(msg, data, n);
    msg[n] = 0;
    scram_server_first a;
    scram_parse_server_first(msg, &a);
    if (memchr(a.r, 0, sizeof a.r) == nullptr || memchr(a.s, 0, sizeof a.s) == nullptr)
        __builtin_trap();
    /* An attribute is never longer than the message it came from. */
    if (strlen(a.r) > n || strlen(a.s) > n)
        __builtin_trap();
    return 0;
}

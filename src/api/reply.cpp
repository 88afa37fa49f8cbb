/*
 * Replies: the two process-wide buffers that the catalogue calls and
 * pgdump_start write, the escaping rule every reply string goes through,
 * and the two exports that need nothing else.
 *
 * Both buffers are plain zero-filled statics: the library has no
 * initialisation call, so an empty g_err is what "no failure yet" looks
 * like.
 */
#include "api/reply.h"

#include "veltrano-pgdump.h"

#include <cstdio>
#include <cstring>

char g_sync_buf[SYNC_BUF_SIZE];
char g_err[ERR_TEXT_SIZE];

/* An error text is escaped into this much room before it is put into a
 * failure reply; six bytes per control byte keeps even a hostile server's
 * text bounded. */
#define ERROR_ESCAPE_SIZE 1024

static const char *const HEX_DIGITS = "0123456789abcdef";

void json_escape(const char *src, char *dst, size_t capacity)
{
    if (dst == nullptr || capacity == 0) {
        return;
    }
    size_t written = 0;
    if (src != nullptr) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(src);
        /* Each byte is taken only while the longest escape (six bytes) and
         * the NUL still fit, so a cut never splits an escape. */
        for (; *p != 0 && written + 6 < capacity; p++) {
            unsigned char c = *p;
            char pair = 0;
            switch (c) {
            case '"':
                pair = '"';
                break;
            case '\\':
                pair = '\\';
                break;
            case '\n':
                pair = 'n';
                break;
            case '\r':
                pair = 'r';
                break;
            case '\t':
                pair = 't';
                break;
            default:
                break;
            }
            if (pair != 0) {
                dst[written++] = '\\';
                dst[written++] = pair;
            } else if (c < 0x20) {
                dst[written++] = '\\';
                dst[written++] = 'u';
                dst[written++] = '0';
                dst[written++] = '0';
                dst[written++] = HEX_DIGITS[c >> 4];
                dst[written++] = HEX_DIGITS[c & 0x0F];
            } else {
                dst[written++] = static_cast<char>(c);
            }
        }
    }
    dst[written] = '\0';
}

void set_last_error(const char *text)
{
    if (text == nullptr) {
        text = "";
    }
    size_t n = strnlen(text, ERR_TEXT_SIZE - 1);
    /* memmove: a caller may hand back a pointer into g_err itself. */
    memmove(g_err, text, n);
    g_err[n] = '\0';
}

void format_error_reply(char *dst, size_t dst_size, const char *text)
{
    char escaped[ERROR_ESCAPE_SIZE];
    json_escape(text, escaped, sizeof escaped);
    snprintf(dst, dst_size, "{\"ok\":false,\"error\":\"%s\"}", escaped);
}

extern "C" PGDUMP_API const char *PGDUMP_CALL pgdump_version(void)
{
    return "veltrano-pgdump 1.0.0";
}

extern "C" PGDUMP_API const char *PGDUMP_CALL pgdump_last_error(void)
{
    return g_err;
}

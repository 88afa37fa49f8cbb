/*
 * Fuzz target for reply escaping: arbitrary bytes (the first one picks the
 * room) escaped for a JSON string must stay inside their room and come out
 * as a well-formed JSON string body in well-formed UTF-8; the error reply
 * built from them must be whole; a UTF-8 cut must never grow the text.
 */
#include "api/reply.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

/* Length of the well-formed UTF-8 character at p, 0 if there is none.
 * Written apart from the library's decoder, after RFC 3629's grammar. */
static size_t well_formed(const unsigned char *p, size_t left)
{
    unsigned c = p[0];
    if (c < 0x80)
        return 1;
    size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    if (c < 0xC2 || c > 0xF4 || left < n)
        return 0;
    uint32_t cp = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
    for (size_t i = 1; i < n; i++) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

static bool is_hex(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

/* A JSON string body: no bare quote or control byte, escapes complete,
 * UTF-8 well formed. */
static bool json_string_body(const char *text, size_t len)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    size_t i = 0;
    while (i < len) {
        if (p[i] == '"' || p[i] < 0x20)
            return false;
        if (p[i] == '\\') {
            if (i + 1 >= len)
                return false;
            if (p[i + 1] == 'u') {
                if (i + 6 > len)
                    return false;
                for (size_t k = 2; k < 6; k++)
                    if (!is_hex(p[i + k]))
                        return false;
                i += 6;
            } else if (strchr("\"\\/bfnrt", p[i + 1]) != nullptr) {
                i += 2;
            } else {
                return false;
            }
            continue;
        }
        size_t n = well_formed(p + i, len - i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    size_t capacity = 1 + data[0] * 4u;
    char src[1025];
    size_t n = size - 1 < sizeof src - 1 ? size - 1 : sizeof src - 1;
    memcpy(src, data + 1, n);
    src[n] = 0;

    char out[1100];
    memset(out, '#', sizeof out);
    json_escape(src, out, capacity);
    size_t len = strnlen(out, capacity);
    if (len >= capacity || out[capacity] != '#' || !json_string_body(out, len))
        __builtin_trap();

    char reply[1200];
    format_error_reply(reply, 24 + capacity, src, nullptr);
    len = strlen(reply);
    /* The code follows the text unless the destination is too small. */
    static const char tail[] = "\",\"code\":\"internal\"}";
    size_t tail_len = len >= sizeof tail - 1 &&
                              memcmp(reply + len - (sizeof tail - 1), tail, sizeof tail - 1) == 0
                          ? sizeof tail - 1
                          : 2;
    if (24 + capacity > 31 &&
        (len < 21 + tail_len || memcmp(reply, "{\"ok\":false,\"error\":\"", 21) != 0 ||
         memcmp(reply + len - 2, "\"}", 2) != 0 ||
         !json_string_body(reply + 21, len - 21 - tail_len)))
        __builtin_trap();

    if (utf8_cut(src, capacity) > (capacity < strlen(src) ? capacity : strlen(src)))
        __builtin_trap();
    return 0;
}

/*
 * Escapes inside JSON strings and the copy of a value into a field.
 *
 * The copy keeps the historic budget of a field: a value may take limit
 * bytes of raw text, a two-byte escape such as \n costing its two raw
 * bytes.  A \u escape costs only the bytes it decodes to, so a host whose
 * JSON writer escapes every non-ASCII character fills a field exactly as
 * one that writes the characters as they are.  A cut never splits a UTF-8
 * sequence, whether it came from an escape or was written as raw bytes.
 */
#include "config/json_text.h"

#include <cstring>

namespace
{

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* The 16-bit unit of "\uXXXX" at p, or -1.  The NUL is not a hex digit, so
 * a text ending early stops the reading by itself. */
int32_t read_unit(const char *p, const char *end)
{
    if (end != nullptr && end - p < 6)
        return -1;
    if (p[0] != '\\' || p[1] != 'u')
        return -1;
    int32_t v = 0;
    for (int i = 2; i < 6; i++) {
        int d = hex_digit(p[i]);
        if (d < 0)
            return -1;
        v = v * 16 + d;
    }
    return v;
}

bool is_continuation(unsigned char b)
{
    return (b & 0xC0) == 0x80;
}

/* Length of the UTF-8 sequence a lead byte announces; 0 for a byte that
 * leads none. */
int32_t sequence_length(unsigned char b)
{
    if (b >= 0xC0 && b <= 0xDF)
        return 2;
    if (b >= 0xE0 && b <= 0xEF)
        return 3;
    if (b >= 0xF0 && b <= 0xF7)
        return 4;
    return 0;
}

/* When the first byte left behind continues a sequence, drops the part of
 * that sequence already copied: a field ends on a whole character. */
int32_t cut_to_boundary(char *dst, int32_t n, unsigned char next)
{
    if (!is_continuation(next))
        return n;
    for (int32_t k = n - 1; k >= 0 && k >= n - 4; k--) {
        unsigned char b = static_cast<unsigned char>(dst[k]);
        if (is_continuation(b))
            continue;
        return sequence_length(b) > n - k ? k : n;
    }
    return n;
}

char decode_pair(char c)
{
    switch (c) {
    case 'r':
        return '\r';
    case 't':
        return '\t';
    case 'n':
        return '\n';
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    default:
        return c; /* \" \\ \/ and, outside strict strings, any other byte */
    }
}

} // namespace

int json_read_u_escape(const char *p, const char *end, uint32_t *cp)
{
    int32_t u = read_unit(p, end);
    if (u <= 0 || (u >= 0xDC00 && u <= 0xDFFF))
        return 0;
    if (u < 0xD800 || u > 0xDBFF) {
        *cp = static_cast<uint32_t>(u);
        return 6;
    }
    int32_t low = read_unit(p + 6, end);
    if (low < 0xDC00 || low > 0xDFFF)
        return 0;
    *cp =
        0x10000u + (static_cast<uint32_t>(u - 0xD800) << 10) + static_cast<uint32_t>(low - 0xDC00);
    return 12;
}

int json_utf8(uint32_t cp, char out[4])
{
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

int json_copy_value(const char *text, int32_t start, int32_t end, char *dst, int limit)
{
    int32_t n = 0;
    int whole = 1;
    if (start >= 0 && end > start && limit > 0) {
        const char *raw = text + start;
        int32_t len = end - start;
        int32_t spent = 0; /* of the limit: raw bytes, or decoded ones for \u */
        int32_t i = 0;
        while (i < len && spent < limit) {
            if (raw[i] == '\\' && i + 1 < len) {
                uint32_t cp = 0;
                int used = raw[i + 1] == 'u' ? json_read_u_escape(raw + i, raw + len, &cp) : 0;
                if (used > 0) {
                    char utf8[4];
                    int k = json_utf8(cp, utf8);
                    if (spent + k > limit)
                        break;
                    memcpy(dst + n, utf8, static_cast<size_t>(k));
                    n += k;
                    spent += k;
                    i += used;
                    continue;
                }
                if (spent + 2 <= limit) {
                    dst[n++] = decode_pair(raw[i + 1]);
                    spent += 2;
                    i += 2;
                    continue;
                }
            }
            /* A plain byte, or a backslash that is the last byte the budget
             * or the raw text allows: copied as it is. */
            dst[n++] = raw[i++];
            spent++;
        }
        if (i < len) {
            whole = 0;
            n = cut_to_boundary(dst, n, static_cast<unsigned char>(raw[i]));
        }
    }
    dst[n] = '\0';
    return whole;
}

void tok_copy(const char *text, int32_t start, int32_t end, char *dst, int limit)
{
    json_copy_value(text, start, end, dst, limit);
}

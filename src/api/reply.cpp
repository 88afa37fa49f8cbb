/*
 * Replies: each host thread's reply block, the escaping rule every reply
 * string goes through, and the two exports that need nothing else.
 *
 * The block is reached through a thread_local holder whose destructor
 * frees it when the thread ends.  A block is zero-filled when allocated:
 * the library has no initialisation call, so an empty last-error text is
 * what "no failure yet" looks like.
 */
#include "api/reply.h"

#include "veltrano-pgdump.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

/* An error text is escaped into this much room before it is put into a
 * failure reply; six bytes per control byte keeps even a hostile server's
 * text bounded. */
#define ERROR_ESCAPE_SIZE 1024

/* The longest escape: \u00XX and \ufffd. */
#define LONGEST_ESCAPE 6

/* Room for the members after "error": code, SQLSTATE, and a detail and a
 * hint of 255 bytes each at six bytes a byte. */
#define FAIL_MEMBERS_SIZE 3200

namespace
{

struct block_holder {
    reply_block *block;
    ~block_holder()
    {
        free(block);
        block = nullptr;
    }
};

thread_local block_holder t_replies;

} // namespace

reply_block *thread_replies(void)
{
    block_holder &h = t_replies;
    if (h.block == nullptr)
        h.block = static_cast<reply_block *>(calloc(1, sizeof(reply_block)));
    return h.block;
}

static const char *const HEX_DIGITS = "0123456789abcdef";

/* Length of the well-formed UTF-8 character at p (1 to 4), or 0 with
 * *bad set to the length of the maximal ill-formed subsequence there (1
 * to 3).  avail >= 1 bytes are at p; never reads past them nor past a
 * NUL. */
static size_t utf8_char(const unsigned char *p, size_t avail, size_t *bad)
{
    unsigned char c = p[0];
    size_t need = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80; /* no overlong forms */
        hi = c == 0xED ? 0x9F : 0xBF; /* no surrogates */
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF; /* nothing above U+10FFFF */
    } else {
        *bad = 1;
        return 0;
    }
    size_t i = 1;
    for (; i < need && i < avail; i++) {
        unsigned char min = i == 1 ? lo : 0x80;
        unsigned char max = i == 1 ? hi : 0xBF;
        if (p[i] < min || p[i] > max)
            break;
    }
    if (i == need)
        return need;
    *bad = i;
    return 0;
}

size_t utf8_cut(const char *text, size_t max)
{
    return text == nullptr ? 0 : utf8_cut_bytes(text, SIZE_MAX, max);
}

size_t utf8_cut_bytes(const void *data, size_t len, size_t max)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    size_t pos = 0;
    while (pos < max && pos < len && p[pos] != 0) {
        size_t bad = 0;
        size_t n = utf8_char(p + pos, len - pos, &bad);
        if (n == 0)
            n = bad;
        if (pos + n > max)
            break;
        pos += n;
    }
    return pos;
}

size_t utf8_valid_prefix(const char *text)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    size_t pos = 0;
    while (p[pos] != 0) {
        size_t bad = 0;
        size_t n = utf8_char(p + pos, SIZE_MAX, &bad);
        if (n == 0)
            break;
        pos += n;
    }
    return pos;
}

int config_text_check(const char *text)
{
    size_t good = utf8_valid_prefix(text);
    if (text[good] == '\0')
        return 0;
    char why[96];
    snprintf(why, sizeof why, "configuration is not valid UTF-8 (byte %zu)", good + 1);
    set_last_error(FAIL_CONFIG, why);
    return -1;
}

/* The two-byte escape of c, or 0 when it has none. */
static char short_escape(unsigned char c)
{
    switch (c) {
    case '"':
        return '"';
    case '\\':
        return '\\';
    case '\n':
        return 'n';
    case '\r':
        return 'r';
    case '\t':
        return 't';
    default:
        return 0;
    }
}

static size_t put_unicode_escape(char *dst, const char *hex4)
{
    dst[0] = '\\';
    dst[1] = 'u';
    memcpy(dst + 2, hex4, 4);
    return LONGEST_ESCAPE;
}

void json_escape(const char *src, char *dst, size_t capacity)
{
    if (dst == nullptr || capacity == 0) {
        return;
    }
    size_t written = 0;
    if (src != nullptr) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(src);
        /* Each character is taken only while the longest escape (six
         * bytes, more than any UTF-8 character) and the NUL still fit, so
         * a cut never splits an escape or a character. */
        while (*p != 0 && written + LONGEST_ESCAPE < capacity) {
            unsigned char c = *p;
            char pair = short_escape(c);
            size_t bad = 0;
            size_t n = utf8_char(p, SIZE_MAX, &bad);
            if (pair != 0) {
                dst[written++] = '\\';
                dst[written++] = pair;
            } else if (c < 0x20) {
                char hex[4] = {'0', '0', HEX_DIGITS[c >> 4], HEX_DIGITS[c & 0x0F]};
                written += put_unicode_escape(dst + written, hex);
            } else if (n == 0) {
                written += put_unicode_escape(dst + written, "fffd");
                p += bad;
                continue;
            } else {
                memcpy(dst + written, p, n);
                written += n;
                p += n;
                continue;
            }
            p++;
        }
    }
    dst[written] = '\0';
}

void set_last_error(int32_t kind, const char *text)
{
    fail_info f;
    fail_set(&f, kind);
    set_last_failure(&f, kind, text);
}

const fail_info *last_failure(void)
{
    reply_block *b = thread_replies();
    return b != nullptr ? &b->err_fail : nullptr;
}

void set_last_failure(const fail_info *f, int32_t fallback, const char *text)
{
    reply_block *b = thread_replies();
    if (b == nullptr)
        return;
    fail_copy(&b->err_fail, f, fallback);
    if (text == nullptr) {
        text = "";
    }
    size_t n = utf8_cut(text, ERR_TEXT_SIZE - 1);
    /* memmove: a caller may hand back a pointer into the text itself. */
    memmove(b->err, text, n);
    b->err[n] = '\0';
}

void fail_members(char *dst, size_t size, const fail_info *f)
{
    if (size == 0)
        return;
    int32_t kind = f != nullptr ? f->kind : FAIL_NONE;
    int n = snprintf(dst, size, ",\"code\":\"%s\"", fail_code(kind));
    if (n < 0 || (size_t)n >= size) {
        dst[0] = '\0';
        return;
    }
    if (f == nullptr || f->sqlstate[0] == '\0')
        return;
    size_t pos = (size_t)n;
    n = snprintf(dst + pos, size - pos, ",\"sqlstate\":\"%.5s\"", f->sqlstate);
    if (n < 0 || (size_t)n >= size - pos) {
        dst[pos] = '\0';
        return;
    }
    pos += (size_t)n;
    const char *names[2] = {"detail", "hint"};
    const char *texts[2] = {f->detail, f->hint};
    for (int i = 0; i < 2; i++) {
        if (texts[i][0] == '\0')
            continue;
        char escaped[sizeof f->detail * LONGEST_ESCAPE + 1];
        json_escape(texts[i], escaped, sizeof escaped);
        n = snprintf(dst + pos, size - pos, ",\"%s\":\"%s\"", names[i], escaped);
        if (n < 0 || (size_t)n >= size - pos) {
            dst[pos] = '\0';
            return;
        }
        pos += (size_t)n;
    }
}

void format_error_reply(char *dst, size_t dst_size, const char *text, const fail_info *f)
{
    static const char FRAME[] = "{\"ok\":false,\"error\":\"\"}";
    /* Room kept for the code and the SQLSTATE; a detail and a hint take
     * what the text leaves. */
    const size_t reserve = 48;
    char escaped[ERROR_ESCAPE_SIZE];
    size_t room = sizeof escaped;
    /* When dst is smaller than the frame, the members and a full escape
     * buffer, the text gives way so the reply stays whole; in a very
     * small dst the members give way too. */
    size_t avail = dst_size > sizeof FRAME - 1 ? dst_size - (sizeof FRAME - 1) : 0;
    if (avail >= reserve + LONGEST_ESCAPE + 2 && avail - reserve < room)
        room = avail - reserve;
    else if (avail >= LONGEST_ESCAPE + 2 && avail < room)
        room = avail;
    json_escape(text, escaped, room);
    char members[FAIL_MEMBERS_SIZE] = "";
    size_t left = avail > strlen(escaped) ? avail - strlen(escaped) : 0;
    fail_members(members, left < sizeof members ? left : sizeof members, f);
    snprintf(dst, dst_size, "{\"ok\":false,\"error\":\"%s\"%s}", escaped, members);
}

extern "C" PGDUMP_API const char *PGDUMP_CALL pgdump_version(void)
{
    return "veltrano-pgdump 1.0.0";
}

extern "C" PGDUMP_API const char *PGDUMP_CALL pgdump_last_error(void)
{
    /* The block is taken here too, so that a thread's text keeps one
     * address from its first call on. */
    reply_block *b = thread_replies();
    return b != nullptr ? b->err : OUT_OF_MEMORY_TEXT;
}

/*
 * What a statement is, told from its first words: whether it may share a
 * query message with others, whether it is empty, and which table it
 * loads.  Pure functions over the statement text (which the lexer cut,
 * so it starts at a word and ends at its ';').
 */
#include "restore/restore_replay.h"

#include <cstring>

static bool is_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

static bool is_word_byte(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c >= 0x80;
}

/* Skips blanks and both comment styles (slash-star comments nest). */
static size_t skip_blank(const char *t, size_t len, size_t i)
{
    while (i < len) {
        unsigned char c = (unsigned char)t[i];
        if (is_space(c)) {
            i++;
        } else if (c == '-' && i + 1 < len && t[i + 1] == '-') {
            while (i < len && t[i] != '\n')
                i++;
        } else if (c == '/' && i + 1 < len && t[i + 1] == '*') {
            int depth = 0;
            do {
                if (t[i] == '/' && i + 1 < len && t[i + 1] == '*') {
                    depth++;
                    i += 2;
                } else if (t[i] == '*' && i + 1 < len && t[i + 1] == '/') {
                    depth--;
                    i += 2;
                } else {
                    i++;
                }
            } while (i < len && depth > 0);
        } else {
            break;
        }
    }
    return i;
}

int rp_is_blank(const char *text, size_t len)
{
    size_t i = 0;
    for (;;) {
        i = skip_blank(text, len, i);
        if (i < len && text[i] == ';') {
            i++;
            continue;
        }
        return i >= len ? 1 : 0;
    }
}

/* Reads up to n leading words, lower-cased and cut to 15 bytes; a word
 * slot past the last word stays empty. */
static void leading_words(const char *t, size_t len, char words[][16], int n)
{
    size_t i = 0;
    for (int w = 0; w < n; w++) {
        words[w][0] = '\0';
        i = skip_blank(t, len, i);
        size_t k = 0;
        while (i < len && is_word_byte((unsigned char)t[i])) {
            char c = t[i++];
            if (k < 15)
                words[w][k++] = (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
        }
        words[w][k] = '\0';
        if (k == 0)
            return;
    }
}

static bool in_list(const char *word, const char *const *list)
{
    for (; *list != nullptr; list++)
        if (strcmp(word, *list) == 0)
            return true;
    return false;
}

int rp_is_alone(const char *text, size_t len)
{
    static const char *const always[] = {"begin",   "start",   "commit",    "end",     "rollback",
                                         "abort",   "prepare", "savepoint", "release", "lock",
                                         "declare", "vacuum",  "cluster",   "reindex", "copy",
                                         "discard", "listen",  "unlisten",  "notify",  nullptr};
    static const char *const create_drop[] = {"database", "tablespace", "subscription", nullptr};
    static const char *const set_kinds[] = {"local", "transaction", "constraints", nullptr};
    char w[4][16];
    leading_words(text, len, w, 4);
    if (in_list(w[0], always))
        return 1;
    /* A setting that changes how the rest is lexed takes effect before
     * the next statement is cut, as it does for psql. */
    static const char *const lexing[] = {"standard_confor", "client_encoding", "all", nullptr};
    if (strcmp(w[0], "set") == 0 || strcmp(w[0], "reset") == 0)
        return in_list(w[1], set_kinds) || in_list(w[1], lexing) ||
                       (strcmp(w[1], "session") == 0 && in_list(w[2], lexing))
                   ? 1
                   : 0;
    if (strcmp(w[0], "alter") == 0)
        return strcmp(w[1], "system") == 0 || strcmp(w[1], "database") == 0 ? 1 : 0;
    if (strcmp(w[0], "create") == 0 || strcmp(w[0], "drop") == 0) {
        if (in_list(w[1], create_drop))
            return 1;
        for (int k = 1; k < 4; k++)
            if (strcmp(w[k], "concurrently") == 0)
                return 1;
    }
    return 0;
}

/* One part of a possibly qualified name at t[i]: a quoted identifier
 * ("" inside) or a bare word (folded to lower case).  Appends to dst. */
static size_t name_part(const char *t, size_t len, size_t i, char *dst, size_t size, size_t *n)
{
    if (i < len && t[i] == '"') {
        for (i++; i < len; i++) {
            if (t[i] == '"') {
                if (i + 1 < len && t[i + 1] == '"') {
                    i++;
                } else {
                    return i + 1;
                }
            }
            if (*n + 1 < size)
                dst[(*n)++] = t[i];
        }
        return i;
    }
    while (i < len && is_word_byte((unsigned char)t[i])) {
        char c = t[i++];
        if (*n + 1 < size)
            dst[(*n)++] = (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
    }
    return i;
}

int rp_target_table(const char *text, size_t len, char *dst, size_t size)
{
    char w[2][16];
    leading_words(text, len, w, 2);
    size_t i = skip_blank(text, len, 0);
    int words = 0;
    if (strcmp(w[0], "insert") == 0 && strcmp(w[1], "into") == 0)
        words = 2;
    else if (strcmp(w[0], "copy") == 0)
        words = 1;
    if (words == 0 || size == 0)
        return 0;
    for (int k = 0; k < words; k++) {
        i = skip_blank(text, len, i);
        while (i < len && is_word_byte((unsigned char)text[i]))
            i++;
    }
    i = skip_blank(text, len, i);
    if (i >= len || text[i] == '(')
        return 0;
    size_t n = 0;
    for (int part = 0; part < 3; part++) {
        size_t next = name_part(text, len, i, dst, size, &n);
        if (next == i)
            break;
        i = skip_blank(text, len, next);
        if (i >= len || text[i] != '.')
            break;
        if (n + 1 < size)
            dst[n++] = '.';
        i = skip_blank(text, len, i + 1);
    }
    dst[n] = '\0';
    return n > 0 ? 1 : 0;
}

/* The next word of a statement at its top level, lower-cased and cut to
 * 15 bytes: quoted strings and identifiers, dollar quotes, comments and
 * parenthesised parts are passed over (a quoted identifier reads as the
 * word "\""), so that words inside them never count. */
static size_t top_word(const char *t, size_t len, size_t i, char word[16])
{
    int depth = 0;
    for (;;) {
        i = skip_blank(t, len, i);
        if (i >= len) {
            word[0] = '\0';
            return i;
        }
        unsigned char c = (unsigned char)t[i];
        if (c == '\'' || c == '"') {
            bool esc = c == '\'' && i > 0 && (t[i - 1] == 'E' || t[i - 1] == 'e');
            for (i++; i < len && (unsigned char)t[i] != c; i++)
                if (esc && t[i] == '\\')
                    i++;
            i++;
            if (depth == 0 && c == '"') {
                word[0] = '"';
                word[1] = '\0';
                return i;
            }
            continue;
        }
        if (c == '(' || c == ')') {
            depth += c == '(' ? 1 : (depth > 0 ? -1 : 0);
            i++;
            continue;
        }
        if (c == '$') {
            size_t j = i + 1;
            while (j < len && is_word_byte((unsigned char)t[j]) && t[j] != '$')
                j++;
            if (j < len && t[j] == '$') {
                size_t tag = j + 1 - i;
                const char *end = nullptr;
                for (size_t k = j + 1; k + tag <= len; k++)
                    if (memcmp(t + k, t + i, tag) == 0) {
                        end = t + k + tag;
                        break;
                    }
                i = end != nullptr ? (size_t)(end - t) : len;
                continue;
            }
        }
        size_t k = 0;
        while (i < len && is_word_byte((unsigned char)t[i])) {
            char ch = t[i++];
            if (k < 15)
                word[k++] = (ch >= 'A' && ch <= 'Z') ? (char)(ch - 'A' + 'a') : ch;
        }
        if (k == 0)
            i++;
        word[k] = '\0';
        if (depth == 0 && k > 0)
            return i;
    }
}

int rp_privilege_kind(const char *text, size_t len)
{
    char w[16], prev[16] = "", cur[16];
    size_t i = top_word(text, len, 0, w);
    if (strcmp(w, "grant") == 0 || strcmp(w, "revoke") == 0)
        return RP_PRIV_GRANT;
    if (strcmp(w, "alter") != 0)
        return RP_PRIV_NONE;
    i = top_word(text, len, i, cur);
    if (strcmp(cur, "default") == 0) {
        i = top_word(text, len, i, w);
        return strcmp(w, "privileges") == 0 ? RP_PRIV_GRANT : RP_PRIV_NONE;
    }
    /* "... OWNER TO role", not a column, constraint or attribute named
     * owner being renamed */
    while (cur[0] != '\0') {
        i = top_word(text, len, i, w);
        if (strcmp(cur, "owner") == 0 && strcmp(w, "to") == 0 && strcmp(prev, "rename") != 0 &&
            strcmp(prev, "column") != 0 && strcmp(prev, "constraint") != 0 &&
            strcmp(prev, "attribute") != 0)
            return RP_PRIV_OWNER;
        memcpy(prev, cur, sizeof prev);
        memcpy(cur, w, sizeof cur);
    }
    return RP_PRIV_NONE;
}

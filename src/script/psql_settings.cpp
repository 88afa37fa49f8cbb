/*
 * The two server settings that change how psql lexes a script: the
 * client encodings it cannot read byte by byte, and the statements that
 * turn standard_conforming_strings on or off by their words.
 */
#include <cstring>

#include "script/lexer_internal.h"

int lx_encoding_is_safe(const char *name)
{
    /* Multi-byte encodings whose trailing bytes may be ASCII (a quote, a
     * backslash), with the aliases the server accepts. */
    static const char *const unsafe[] = {
        "sjis",   "shiftjis",   "mskanji",    "win932",  "windows932", "big5",
        "win950", "windows950", "gbk",        "win936",  "windows936", "cp936",
        "uhc",    "win949",     "windows949", "gb18030", "johab",      nullptr};
    char key[32];
    size_t k = 0;
    for (const char *p = name; *p != '\0' && k < sizeof key - 1; p++) {
        unsigned char c = (unsigned char)*p;
        if (c == '_' || c == '-')
            continue;
        key[k++] = (char)lx_lower(c);
    }
    key[k] = '\0';
    for (const char *const *u = unsafe; *u != nullptr; u++)
        if (strcmp(key, *u) == 0)
            return 0;
    return 1;
}

namespace
{

/* The next word of a statement, lower-cased into w: letters, digits and
 * '_', or a quoted '...' without its quotes, or one other byte. */
size_t next_word(const char *t, size_t n, size_t i, char *w, size_t size)
{
    while (i < n && lx_is_space((unsigned char)t[i]))
        i++;
    size_t k = 0;
    if (i < n && t[i] == '\'') {
        for (i++; i < n && t[i] != '\''; i++)
            if (k + 1 < size)
                w[k++] = (char)lx_lower((unsigned char)t[i]);
        w[k] = '\0';
        return i < n ? i + 1 : i;
    }
    while (i < n && (lx_is_alpha((unsigned char)t[i]) || lx_is_digit((unsigned char)t[i]))) {
        if (k + 1 < size)
            w[k++] = (char)lx_lower((unsigned char)t[i]);
        i++;
    }
    if (k == 0 && i < n)
        w[k++] = t[i++];
    w[k] = '\0';
    return i;
}

bool prefix_of(const char *word, const char *full, size_t least)
{
    size_t n = strlen(word);
    return n >= least && n <= strlen(full) && strncmp(word, full, n) == 0;
}

/* The server's boolean words: 1, 0, or -1 for anything else. */
int bool_word(const char *w)
{
    if (strcmp(w, "on") == 0 || strcmp(w, "1") == 0 || strcmp(w, "default") == 0 ||
        prefix_of(w, "true", 1) || prefix_of(w, "yes", 1))
        return 1;
    if (prefix_of(w, "off", 2) || strcmp(w, "0") == 0 || prefix_of(w, "false", 1) ||
        prefix_of(w, "no", 1))
        return 0;
    return -1;
}

} // namespace

int lx_statement_std_strings(const char *text, size_t n)
{
    char w[40];
    size_t i = next_word(text, n, 0, w, sizeof w);
    bool reset = strcmp(w, "reset") == 0;
    if (!reset && strcmp(w, "set") != 0)
        return -1;
    i = next_word(text, n, i, w, sizeof w);
    if (!reset && (strcmp(w, "session") == 0 || strcmp(w, "local") == 0))
        i = next_word(text, n, i, w, sizeof w);
    if (reset)
        return strcmp(w, "standard_conforming_strings") == 0 || strcmp(w, "all") == 0 ? 1 : -1;
    if (strcmp(w, "standard_conforming_strings") != 0)
        return -1;
    i = next_word(text, n, i, w, sizeof w);
    if (strcmp(w, "to") != 0 && strcmp(w, "=") != 0)
        return -1;
    next_word(text, n, i, w, sizeof w);
    return bool_word(w);
}

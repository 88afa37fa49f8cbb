/*
 * Inertness of a text pasted into a script: lexed alone with the same
 * scanner as a whole script, it must leave nothing open that could move a
 * cut of the script around it.
 */
#include "script/psql_lexer.h"

#include "script/lexer_internal.h"

/* Whether text, lexed alone, is free of everything that could move a cut
 * of the script around it. */
int lx_inert(const char *text, size_t n, bool allow_body_semicolon, int std_strings,
             bool no_variables)
{
    lx_scanner s;
    lx_init(&s);
    s.std_strings = std_strings;
    size_t used = 0;
    if (lx_scan(&s, text, n, &used) != LX_EV_NEED_MORE)
        return 0;
    /* The script's next byte must not be able to change what the last
     * bytes mean: nothing held back, no quote, comment, dollar tag or E
     * string continuation open. */
    if (s.mode != M_NORMAL || s.pend != P_NONE)
        return 0;
    int open = lx_finish(&s);
    if (open != LX_OPEN_NONE && open != LX_OPEN_STATEMENT)
        return 0;
    if (s.body_semicolon && !allow_body_semicolon)
        return 0;
    /* A psql variable reference is let through: array slices such as
     * a[1:n] in a view's body read as one, and psql substitutes only
     * variables the person replaying has set, quoted in the :'x' and :"x"
     * forms; it never runs a command. */
    const uint32_t bad = (uint32_t)(LX_F_AMBIGUOUS | LX_F_FORCED | LX_F_NUL) |
                         (no_variables ? (uint32_t)LX_F_VARIABLE : 0u);
    return s.paren_depth == 0 && s.begin_depth == 0 && !s.underflow && (s.flags & bad) == 0;
}

int lx_fragment_is_inert(const char *text, size_t n)
{
    return lx_inert(text, n, false, 1, false);
}

int lx_statement_is_inert(const char *text, size_t n)
{
    return lx_inert(text, n, true, 1, false);
}

/*
 * The modes of the script lexer inside things: quoted strings and
 * identifiers, dollar quotes, the look-ahead after an E string, slash-star
 * comments and COPY data.  Each reads one byte; normal text is read by
 * psql_lexer.cpp.
 */
#include "script/lexer_internal.h"

void lx_dollar_byte(lx_scanner *s, unsigned char c)
{
    if (s->tag_match != 0xff) {
        if (s->tag_match == s->tag_len && c == '$') {
            s->mode = M_NORMAL;
            s->word = W_NONE;
            return;
        }
        if (s->tag_match < s->tag_len && c == (unsigned char)s->tag[s->tag_match]) {
            s->tag_match++;
            return;
        }
        s->tag_match = 0xff;
    }
    if (c == '$')
        s->tag_match = 0;
}

/* After the closing quote of an E string: blanks holding a newline (and
 * -- comments) then a quote continue the same string.  psql lexes a file
 * line by line without the line's "\n", so only a "\r" inside a line
 * counts as that newline, and a look-ahead under way ends at the line's
 * end; a quote that ends its line keeps looking on the next one. */
int lx_xqs_byte(lx_scanner *s, unsigned char c)
{
    if (c == '\n') {
        if (s->xqs_seen == 0 && s->pend == P_NONE)
            return CONTINUE;
        if (s->pend == P_COMMENT)
            s->pend = P_NONE;
        s->mode = M_NORMAL; /* a held dash is settled by the newline */
        return lx_normal_byte(s, c);
    }
    s->xqs_seen = 1;
    if (s->pend == P_COMMENT) {
        if (c == '\r') {
            s->pend = P_NONE;
            s->xqs_newline = 1;
        }
        return CONTINUE;
    }
    if (s->pend == P_DASH) {
        if (c == '-') {
            s->pend = P_COMMENT;
            return CONTINUE;
        }
        s->mode = M_NORMAL; /* the dash stays held back */
        return lx_normal_byte(s, c);
    }
    if (c == '\r') {
        s->xqs_newline = 1;
        return CONTINUE;
    }
    if (c == ' ' || c == '\t' || c == '\f')
        return CONTINUE;
    if (c == '-') {
        lx_hold(s, P_DASH);
        return CONTINUE;
    }
    if (c == '\'' && s->xqs_newline) {
        s->flags |= LX_F_CONTINUED;
        s->mode = M_EQ;
        return CONTINUE;
    }
    s->mode = M_NORMAL;
    return lx_normal_byte(s, c);
}

int lx_quote_byte(lx_scanner *s, unsigned char c)
{
    if (s->mode == M_EQ) {
        if (s->pend == P_ESC) {
            s->pend = P_NONE;
            return CONTINUE;
        }
        if (s->pend == P_QUOTE) {
            s->pend = P_NONE;
            if (c == '\'')
                return CONTINUE;
            s->mode = M_XQS;
            s->xqs_newline = 0;
            s->xqs_seen = 0;
            return lx_xqs_byte(s, c);
        }
        if (c == '\\')
            s->pend = P_ESC;
        else if (c == '\'')
            s->pend = P_QUOTE;
        return CONTINUE;
    }
    unsigned char close = s->mode == M_SQ ? '\'' : '"';
    if (c == close) {
        /* A doubled quote reads the same as a closed and reopened one. */
        if (s->colon_quote == 2)
            s->flags |= LX_F_VARIABLE;
        s->colon_quote = 0;
        s->mode = M_NORMAL;
        return CONTINUE;
    }
    if (s->colon_quote && (lx_is_alpha(c) || lx_is_digit(c)))
        s->colon_quote = 2;
    else
        s->colon_quote = 0;
    return CONTINUE;
}

int lx_block_byte(lx_scanner *s, unsigned char c)
{
    if (s->pend == P_STAR) {
        s->pend = P_NONE;
        if (c == '/') {
            if (s->comment_depth <= 0)
                s->mode = M_NORMAL;
            else
                s->comment_depth--;
            return CONTINUE;
        }
    } else if (s->pend == P_SLASH) {
        s->pend = P_NONE;
        if (c == '*') {
            s->comment_depth++;
            return CONTINUE;
        }
    }
    if (c == '*')
        s->pend = P_STAR;
    else if (c == '/')
        s->pend = P_SLASH;
    return CONTINUE;
}

/* COPY data: lines up to one that is exactly "\." ("\n" or "\r\n"). */
int lx_copy_byte(lx_scanner *s, unsigned char c)
{
    uint8_t col = s->copy_col;
    if (c == '\n') {
        s->copy_col = 0;
        if (col == 2 || col == 3) {
            s->mode = M_NORMAL;
            s->word = W_NONE;
            lx_end_statement_words(s);
            int ev = lx_event(s, LX_EV_COPY_END, s->offset, s->line);
            lx_resume_statement(s);
            return ev;
        }
        return CONTINUE;
    }
    if (col == 0 && c == '\\')
        s->copy_col = 1;
    else if (col == 1 && c == '.')
        s->copy_col = 2;
    else if (col == 2 && c == '\r')
        s->copy_col = 3;
    else
        s->copy_col = 0xff; /* not at line start any more */
    return CONTINUE;
}

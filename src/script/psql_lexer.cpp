/*
 * The script lexer: one byte at a time, so that chunks may end anywhere.
 * Where psql's rules look ahead (a dash that may start a comment, an E
 * that may start a string, a dollar that may open a quote), the byte is
 * held back in s->pend until the next byte decides.  Token-level rules
 * (keywords of CREATE FUNCTION bodies, COPY ... FROM stdin) are kept in a
 * few fixed fields.
 */
#include "script/psql_lexer.h"

#include <cstdio>
#include <cstring>

#include "script/lexer_internal.h"

static bool word_is(const lx_scanner *s, const char *kw)
{
    size_t n = strlen(kw);
    return s->word_len == n && n <= sizeof s->word_buf && memcmp(s->word_buf, kw, n) == 0;
}

static void fail(lx_scanner *s, const char *what)
{
    snprintf(s->error, sizeof s->error, "%s at line %llu", what, (unsigned long long)s->line);
    s->mode = M_FAILED;
}

/* A significant byte at off (not blank, not comment). */
static void significant(lx_scanner *s, uint64_t off, uint64_t line, bool ident)
{
    if (s->stmt_start == LX_NO_STATEMENT) {
        s->stmt_start = off;
        s->stmt_line = line;
    }
    if (!ident) {
        if (s->copy_words == CP_FIRST)
            s->copy_words = CP_NO;
        else if (s->copy_words == CP_FROM)
            s->copy_words = CP_COPY;
    }
}

static void start_word(lx_scanner *s, unsigned char c, bool after_num)
{
    s->word = W_IDENT;
    s->word_len = 1;
    s->word_buf[0] = (char)lx_lower(c);
    s->after_num = after_num ? 1 : 0;
}

/* psql's heuristic for bodies of CREATE [OR REPLACE] FUNCTION/PROCEDURE:
 * the first letters of the leading keywords, then BEGIN/CASE/END counted
 * at parenthesis depth 0. */
static void count_identifier(lx_scanner *s)
{
    if (s->ident_count == 0)
        memset(s->idents, 0, sizeof s->idents);
    if (word_is(s, "create") || word_is(s, "function") || word_is(s, "procedure") ||
        word_is(s, "or") || word_is(s, "replace")) {
        if (s->ident_count < sizeof s->idents)
            s->idents[s->ident_count] = s->word_buf[0];
    }
    if (s->ident_count < 255)
        s->ident_count++;
    const char *k = s->idents;
    bool in_create = k[0] == 'c' && (k[1] == 'f' || k[1] == 'p' ||
                                     (k[1] == 'o' && k[2] == 'r' && (k[3] == 'f' || k[3] == 'p')));
    if (in_create && s->paren_depth == 0) {
        if (word_is(s, "begin"))
            s->begin_depth++;
        else if (word_is(s, "case")) {
            if (s->begin_depth >= 1)
                s->begin_depth++;
        } else if (word_is(s, "end")) {
            if (s->begin_depth > 0)
                s->begin_depth--;
        }
    }
    if (s->copy_words == CP_FIRST)
        s->copy_words = word_is(s, "copy") ? CP_COPY : CP_NO;
    else if (s->copy_words == CP_COPY && s->paren_depth == 0 && word_is(s, "from"))
        s->copy_words = CP_FROM;
    else if (s->copy_words == CP_FROM)
        s->copy_words = word_is(s, "stdin") ? CP_STDIN : word_is(s, "from") ? CP_FROM : CP_COPY;
}

/* The identifier under way ends before byte c; returns 1 when c turns it
 * into a string prefix (E'): the caller then opens an E string. */
static int end_word(lx_scanner *s, unsigned char c)
{
    int e_string = 0;
    if (s->word == W_IDENT) {
        char first = s->word_buf[0];
        if (s->word_len == 1 && c == '\'' && first == 'e') {
            e_string = 1;
            if (s->after_num)
                s->flags |= LX_F_AMBIGUOUS;
        } else if (s->word_len == 1 && c == '\'' && (first == 'b' || first == 'x')) {
            s->raw_prefix = 1; /* bits and hex: no backslash escapes */
        } else if (s->word_len == 1 && c == '&' && first == 'u') {
            s->raw_prefix = 2; /* U&'' never takes backslash escapes in psql */
        } else if (s->word_len == 1 && c == '\'' && first == 'n') {
            /* N'': read as a plain literal */
        } else if (!s->after_num) {
            count_identifier(s); /* a number's junk is no identifier for psql */
        }
    }
    s->word = W_NONE;
    return e_string;
}

void lx_end_statement_words(lx_scanner *s)
{
    s->ident_count = 0;
}

int lx_event(lx_scanner *s, int ev, uint64_t off, uint64_t line)
{
    s->mark = off;
    s->mark_line = line;
    return ev;
}

/* After a backslash command or COPY data that cut a statement, the rest
 * of the statement counts from here. */
void lx_resume_statement(lx_scanner *s)
{
    if (s->stmt_start != LX_NO_STATEMENT) {
        s->stmt_start = s->offset + 1;
        s->stmt_line = s->line + 1;
    }
}

/* The byte after a held ':' of normal text: a cast, psql's variable
 * forms, or nothing of note. */
static int settle_colon(lx_scanner *s, unsigned char c, bool at_end, uint64_t off, uint64_t line)
{
    significant(s, off, line, false);
    if (at_end)
        return CONTINUE;
    if (c == ':' || c == '=') {
        significant(s, s->offset, s->line, false);
        return 1;
    }
    if (lx_is_var_char(c)) {
        /* psql's variable: a name without '$', never a keyword */
        s->flags |= LX_F_VARIABLE;
        s->word = W_VAR;
        significant(s, s->offset, s->line, false);
        return 1;
    }
    if (c == '{')
        s->flags |= LX_F_VARIABLE;
    if (c == '\'' || c == '"')
        s->colon_quote = 1;
    return CONTINUE;
}

/* Settles the held-back byte of normal text before c (or before the end
 * when at_end).  Returns an event, CONTINUE, or 1 when c was consumed. */
static int settle(lx_scanner *s, unsigned char c, bool at_end)
{
    uint8_t p = s->pend;
    s->pend = P_NONE;
    uint64_t off = s->pend_offset, line = s->pend_line;
    switch (p) {
    case P_DASH:
        if (!at_end && c == '-') {
            s->mode = M_LINE;
            return 1;
        }
        significant(s, off, line, false);
        return CONTINUE;
    case P_SLASH:
        if (!at_end && c == '*') {
            s->mode = M_BLOCK;
            s->comment_depth = 0;
            return 1;
        }
        significant(s, off, line, false);
        return CONTINUE;
    case P_BACKSLASH:
        if (!at_end && (c == ';' || c == ':')) {
            s->flags |= LX_F_FORCED;
            significant(s, off, line, false);
            if (c == ';')
                lx_end_statement_words(s);
            return 1;
        }
        s->mode = M_META;
        return lx_event(s, LX_EV_BACKSLASH, off, line);
    case P_COLON:
        return settle_colon(s, c, at_end, off, line);
    case P_NUM_E:
        if (!at_end && lx_is_digit(c)) {
            s->word = W_NUM;
            s->num_exp = 1;
            return CONTINUE;
        }
        if (!at_end && (c == '+' || c == '-')) {
            s->pend = P_NUM_SIGN;
            s->sign = c;
            return 1;
        }
        /* psql 15 gives the E back: it starts an identifier or E'' */
        start_word(s, 'e', true);
        return CONTINUE;
    case P_NUM_SIGN:
        if (!at_end && lx_is_digit(c)) {
            s->word = W_NUM;
            s->num_exp = 0;
            return CONTINUE;
        }
        start_word(s, 'e', true);
        end_word(s, s->sign);
        significant(s, off + 1, line, false);
        if (s->sign == '-') {
            if (!at_end && c == '-')
                s->flags |= LX_F_AMBIGUOUS; /* psql 16 reads "1e-" as one token */
            s->pend = P_DASH;
            s->pend_offset = off + 1;
            return settle(s, c, at_end);
        }
        return CONTINUE;
    default:
        return CONTINUE;
    }
}

void lx_hold(lx_scanner *s, uint8_t p)
{
    s->pend = p;
    s->pend_offset = s->offset;
    s->pend_line = s->line;
}

static int normal_word_byte(lx_scanner *s, unsigned char c)
{
    if (s->word == W_IDENT && lx_is_ident_cont(c)) {
        if (s->word_len < sizeof s->word_buf)
            s->word_buf[s->word_len] = (char)lx_lower(c);
        if (s->word_len < 255)
            s->word_len++;
        significant(s, s->offset, s->line, true);
        return 1;
    }
    if (s->word == W_VAR) {
        if (!lx_is_var_char(c))
            return 0;
        significant(s, s->offset, s->line, false);
        return 1;
    }
    if (s->word == W_NUM) {
        if (lx_is_digit(c) || c == '.') {
            significant(s, s->offset, s->line, false);
            return 1;
        }
        if (c == '$' && s->num_exp) {
            /* "1e1$": psql 15 reads the number and the identifier "e1$..."
             * after its first digits as one junk token, not a dollar quote */
            start_word(s, c, true);
            significant(s, s->offset, s->line, true);
            return 1;
        }
        if ((c == 'e' || c == 'E') && !s->num_param) {
            lx_hold(s, P_NUM_E);
            return 1;
        }
        if (lx_is_alpha(c)) {
            start_word(s, c, true);
            significant(s, s->offset, s->line, true);
            return 1;
        }
    }
    return 0;
}

/* Punctuation of normal text at offset off: quotes, dollar tags, held
 * bytes, parentheses and the ';' that ends a statement. */
static int normal_punct(lx_scanner *s, unsigned char c, uint64_t off, uint8_t raw_before)
{
    switch (c) {
    case '-':
        lx_hold(s, P_DASH);
        return CONTINUE;
    case '/':
        lx_hold(s, P_SLASH);
        return CONTINUE;
    case '\\':
        lx_hold(s, P_BACKSLASH);
        return CONTINUE;
    case ':':
        lx_hold(s, P_COLON);
        return CONTINUE;
    case '$':
        significant(s, off, s->line, false);
        s->mode = M_TAG;
        s->tag_seen = 0;
        s->tag_len = 0;
        return CONTINUE;
    case '\'': {
        significant(s, off, s->line, false);
        bool raw = s->raw_prefix == 1 || raw_before == 2;
        s->raw_prefix = 0;
        /* standard_conforming_strings off: psql reads '' as E'' */
        s->mode = s->std_strings || raw ? M_SQ : M_EQ;
        return CONTINUE;
    }
    case '"':
        significant(s, off, s->line, false);
        s->mode = M_DQ;
        return CONTINUE;
    case '(':
        s->paren_depth++;
        break;
    case ')':
        if (s->paren_depth > 0)
            s->paren_depth--;
        else
            s->underflow = 1;
        break;
    case ';':
        significant(s, off, s->line, false);
        if (s->paren_depth == 0 && s->begin_depth == 0) {
            s->copy_from_stdin = s->copy_words == CP_STDIN;
            lx_end_statement_words(s);
            return lx_event(s, LX_EV_STATEMENT, off, s->line);
        }
        if (s->paren_depth == 0)
            s->body_semicolon = 1;
        return CONTINUE;
    default:
        break;
    }
    significant(s, off, s->line, false);
    return CONTINUE;
}

int lx_normal_byte(lx_scanner *s, unsigned char c)
{
    if (s->pend != P_NONE) {
        int r = settle(s, c, false);
        if (r != CONTINUE)
            return r == 1 ? CONTINUE : r;
    }
    uint8_t raw_before = s->raw_prefix;
    s->raw_prefix = 0;
    if (normal_word_byte(s, c))
        return CONTINUE;
    if (end_word(s, c)) {
        significant(s, s->offset, s->line, false);
        s->mode = M_EQ;
        return CONTINUE;
    }
    uint64_t off = s->offset;
    if (lx_is_space(c))
        return CONTINUE;
    if (lx_is_alpha(c)) {
        start_word(s, c, false);
        significant(s, off, s->line, true);
        return CONTINUE;
    }
    if (lx_is_digit(c)) {
        s->word = W_NUM;
        s->num_param = 0;
        s->num_exp = 0;
        significant(s, off, s->line, false);
        return CONTINUE;
    }
    return normal_punct(s, c, off, raw_before);
}

/* Collecting $tag after a '$' of normal text. */
static int tag_byte(lx_scanner *s, unsigned char c)
{
    if (s->tag_seen == 0 && lx_is_digit(c)) {
        s->mode = M_NORMAL; /* $1: a parameter */
        s->word = W_NUM;
        s->num_param = 1;
        s->num_exp = 0;
        return CONTINUE;
    }
    if (c == '$') {
        if (s->tag_seen > LX_MAX_TAG) {
            fail(s, "dollar-quote tag too long");
            return LX_EV_ERROR;
        }
        s->tag_len = (uint8_t)s->tag_seen;
        s->tag_match = 0xff;
        s->mode = M_DOLLAR;
        return CONTINUE;
    }
    if (lx_is_tag_cont(c)) {
        if (s->tag_seen < LX_MAX_TAG)
            s->tag[s->tag_seen] = (char)c;
        if (s->tag_seen <= LX_MAX_TAG)
            s->tag_seen++;
        return CONTINUE;
    }
    /* Not a quote: the '$' alone, then the tag's bytes as an identifier. */
    s->mode = M_NORMAL;
    if (s->tag_seen > 0) {
        s->word = W_IDENT;
        s->after_num = 0;
        uint32_t n = s->tag_seen < sizeof s->word_buf ? s->tag_seen : sizeof s->word_buf;
        for (uint32_t i = 0; i < n; i++)
            s->word_buf[i] = (char)lx_lower((unsigned char)s->tag[i]);
        s->word_len = (uint8_t)(s->tag_seen < 255 ? s->tag_seen : 255);
    }
    return lx_normal_byte(s, c);
}

static int step(lx_scanner *s, unsigned char c)
{
    if (c == 0)
        s->flags |= LX_F_NUL;
    switch (s->mode) {
    case M_NORMAL:
        return lx_normal_byte(s, c);
    case M_SQ:
    case M_DQ:
    case M_EQ:
        return lx_quote_byte(s, c);
    case M_XQS:
        return lx_xqs_byte(s, c);
    case M_TAG:
        return tag_byte(s, c);
    case M_DOLLAR:
        lx_dollar_byte(s, c);
        return CONTINUE;
    case M_LINE:
        if (c == '\n' || c == '\r')
            s->mode = M_NORMAL;
        return CONTINUE;
    case M_BLOCK:
        return lx_block_byte(s, c);
    case M_META:
        if (c == '\n') {
            s->mode = M_NORMAL;
            int ev = lx_event(s, LX_EV_META_END, s->offset, s->line);
            lx_resume_statement(s);
            return ev;
        }
        return CONTINUE;
    case M_COPY:
        return lx_copy_byte(s, c);
    default:
        return LX_EV_ERROR;
    }
}

/* The statement reported by the last event is over once the caller
 * scans on. */
static void forget_statement(lx_scanner *s)
{
    if (s->stmt_done) {
        s->stmt_done = 0;
        s->stmt_start = LX_NO_STATEMENT;
        s->copy_from_stdin = 0;
    }
}

void lx_init(lx_scanner *s)
{
    memset(s, 0, sizeof *s);
    s->line = 1;
    s->stmt_start = LX_NO_STATEMENT;
    s->stmt_line = 0;
    s->tag_match = 0xff;
    s->std_strings = 1;
}

void lx_set_std_strings(lx_scanner *s, int on)
{
    s->std_strings = on ? 1 : 0;
}

int lx_scan(lx_scanner *s, const char *data, size_t n, size_t *used)
{
    *used = 0;
    if (s->mode == M_FAILED)
        return LX_EV_ERROR;
    forget_statement(s);
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)data[i];
        bool was_backslash = s->mode == M_NORMAL && s->pend == P_BACKSLASH;
        int ev = step(s, c);
        if (ev == LX_EV_BACKSLASH && was_backslash) {
            /* c decided it and is read again as the command's first byte */
            *used = i;
            return ev;
        }
        s->offset++;
        if (c == '\n')
            s->line++;
        if (ev == LX_EV_STATEMENT) {
            s->copy_words = CP_FIRST;
            s->stmt_done = 1;
        }
        if (ev != CONTINUE) {
            *used = i + 1;
            return ev;
        }
        if (c == '\n' && s->copy_pending && s->pend == P_NONE &&
            (s->mode == M_NORMAL || s->mode == M_LINE)) {
            s->copy_pending = 0;
            s->mode = M_COPY;
            s->copy_col = 0;
            *used = i + 1;
            return lx_event(s, LX_EV_COPY_START, s->offset - 1, s->line - 1);
        }
    }
    *used = n;
    return LX_EV_NEED_MORE;
}

void lx_begin_copy(lx_scanner *s)
{
    if (s->mode != M_FAILED)
        s->copy_pending = 1;
}

int lx_finish(lx_scanner *s)
{
    if (s->mode == M_FAILED)
        return -1;
    forget_statement(s);
    if (s->mode == M_NORMAL && s->pend != P_NONE) {
        if (settle(s, 0, true) == LX_EV_BACKSLASH)
            return LX_OPEN_META;
    }
    if (s->mode == M_TAG)
        tag_byte(s, ' ');
    if (s->mode == M_EQ && s->pend == P_QUOTE) {
        s->pend = P_NONE;
        s->mode = M_NORMAL;
    }
    if (s->mode == M_XQS || s->mode == M_LINE) {
        if (s->pend == P_DASH)
            significant(s, s->pend_offset, s->pend_line, false);
        s->pend = P_NONE;
        s->mode = M_NORMAL;
    }
    switch (s->mode) {
    case M_SQ:
    case M_EQ:
        return LX_OPEN_QUOTE;
    case M_DQ:
        return LX_OPEN_IDENT;
    case M_DOLLAR:
        return LX_OPEN_DOLLAR;
    case M_BLOCK:
        return LX_OPEN_COMMENT;
    case M_META:
        return LX_OPEN_META;
    case M_COPY:
        return LX_OPEN_COPY;
    default:
        break;
    }
    end_word(s, ' ');
    return s->stmt_start == LX_NO_STATEMENT ? LX_OPEN_NONE : LX_OPEN_STATEMENT;
}

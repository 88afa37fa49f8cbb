/*
 * What the files of the script lexer share: the modes a byte is read in,
 * the bytes held back, the character classes of psql's rules, and the
 * steps of one mode that another mode hands a byte to.  Not for callers:
 * they use psql_lexer.h.
 */
#ifndef PGDUMP_LEXER_INTERNAL_H
#define PGDUMP_LEXER_INTERNAL_H

#include <cstdint>

#include "script/psql_lexer.h"

enum {
    M_NORMAL = 0,
    M_SQ,     /* '...' (also B'', X'', N'', U&'') */
    M_EQ,     /* E'...' */
    M_XQS,    /* after an E string: looking for its continuation */
    M_DQ,     /* "..." */
    M_TAG,    /* after '$' in normal text: collecting a tag */
    M_DOLLAR, /* inside $tag$ ... */
    M_LINE,   /* -- comment */
    M_BLOCK,  /* slash-star comment */
    M_META,   /* backslash command */
    M_COPY,   /* COPY data */
    M_FAILED
};

enum {
    P_NONE = 0,
    P_DASH,      /* '-' */
    P_SLASH,     /* '/' */
    P_STAR,      /* '*' in a comment */
    P_BACKSLASH, /* '\' in normal text */
    P_COLON,     /* ':' */
    P_NUM_E,     /* [eE] right after a number */
    P_NUM_SIGN,  /* [eE][+-] right after a number */
    P_ESC,       /* '\' in an E string */
    P_QUOTE,     /* "'" in an E string: '' or the end */
    P_COMMENT    /* a -- comment while looking for an E string continuation */
};

enum { W_NONE = 0, W_IDENT, W_NUM, W_VAR /* psql variable name after ':' */ };

enum { CP_FIRST = 0, CP_COPY, CP_FROM, CP_STDIN, CP_NO };

const int CONTINUE = -1; /* step result: no event */

inline bool lx_is_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

inline bool lx_is_alpha(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}

inline bool lx_is_digit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

inline bool lx_is_ident_cont(unsigned char c)
{
    return lx_is_alpha(c) || lx_is_digit(c) || c == '$';
}

/* psql's variable_char: the bytes of a variable name after ':'. */
inline bool lx_is_var_char(unsigned char c)
{
    return lx_is_alpha(c) || lx_is_digit(c);
}

inline bool lx_is_tag_cont(unsigned char c)
{
    return lx_is_alpha(c) || lx_is_digit(c);
}

inline unsigned char lx_lower(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? (unsigned char)(c + 32) : c;
}

/* Reads byte c of normal text (outside quotes and comments): an event,
 * or CONTINUE. */
int lx_normal_byte(lx_scanner *s, unsigned char c);

/* Holds byte p back at the current offset until the next byte decides. */
void lx_hold(lx_scanner *s, uint8_t p);

/* Records the byte an event names and returns ev. */
int lx_event(lx_scanner *s, int ev, uint64_t off, uint64_t line);

/* After a backslash command or COPY data cut a statement, the rest of it
 * counts from the next byte. */
void lx_resume_statement(lx_scanner *s);

/* Forgets the words of the statement that ended. */
void lx_end_statement_words(lx_scanner *s);

/* Whether text, lexed alone from the start of a statement with
 * standard_conforming_strings std_strings, may sit in a statement without
 * moving any cut (see lx_fragment_is_inert); allow_body_semicolon for a
 * whole statement, no_variables to refuse psql variable references too. */
int lx_inert(const char *text, size_t n, bool allow_body_semicolon, int std_strings,
             bool no_variables);

/* The modes inside quotes, comments and COPY data (psql_quotes.cpp):
 * each reads byte c and returns an event or CONTINUE. */
void lx_dollar_byte(lx_scanner *s, unsigned char c);
int lx_xqs_byte(lx_scanner *s, unsigned char c);
int lx_quote_byte(lx_scanner *s, unsigned char c);
int lx_block_byte(lx_scanner *s, unsigned char c);
int lx_copy_byte(lx_scanner *s, unsigned char c);

#endif

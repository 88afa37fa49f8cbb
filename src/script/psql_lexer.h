/*
 * A lexer of SQL scripts that cuts them where psql does: into statements
 * ended by a top-level semicolon, backslash (meta-)commands, and the data
 * lines of COPY ... FROM stdin.  It knows the quoting rules psql knows
 * (standard_conforming_strings on; with it off, set through std_strings,
 * a plain '...' and N'...' read like E'...', as psql reads them):
 *
 *   '...'   with '' inside; a backslash is an ordinary byte
 *   E'...'  backslash escapes the next byte; '' inside; psql continues an
 *           E string after blanks holding a "\r" ('a'<CR>'b'), never
 *           across a line break (it reads line by line; the server
 *           would join them, psql does not)
 *   B'' X'' N'' U&''  ordinary quotes (backslash literal)
 *   "..."   identifiers (also U&"..."), with "" inside
 *   $tag$...$tag$  dollar quotes; the tag is an identifier without "$"
 *           (not starting with a digit); $1 is a parameter, not a quote
 *   -- to the end of the line; nested slash-star comments
 *
 * A semicolon ends a statement only at parenthesis depth 0 and outside
 * the BEGIN ... END body of CREATE [OR REPLACE] FUNCTION/PROCEDURE (psql's
 * own keyword heuristic).  A backslash outside all quotes and comments
 * starts a backslash command that runs to the end of its line; "\;" and
 * "\:" are psql's forced semicolon/colon and stay inside the statement.
 * Lines are counted by "\n" from 1.
 *
 * Where psql versions disagree (a number glued to E'...', "1e--"), the
 * lexer follows psql 15 and raises LX_F_AMBIGUOUS.  As psql 15 does, a
 * number glued to an identifier is one junk token ("1e1$a$" opens no
 * dollar quote), and ":name" outside quotes is a psql variable whose name
 * holds no "$" (":x$a$" opens one; ":begin" is no BEGIN).  Client
 * encodings that psql treats as unsafe (SJIS, BIG5, GBK, ...) are not
 * modelled: the text is taken as UTF-8 or another ASCII-safe encoding
 * (lx_encoding_is_safe tells them apart).
 *
 * Two ways to use it.  lx_scan() is incremental: feed chunks of any size
 * (one byte at a time works), get one event per call; the scanner record
 * keeps all state in fixed fields (no heap, no limit on statement length),
 * and the caller keeps the bytes it wants.  lx_split() cuts a whole text
 * into items for tests and oracles, into an array the caller supplies.
 */
#ifndef PGDUMP_PSQL_LEXER_H
#define PGDUMP_PSQL_LEXER_H

#include <cstddef>
#include <cstdint>

/* Longest dollar-quote tag accepted (bytes between the two "$").  psql has
 * no limit; no script this library reads or writes comes near it. */
#define LX_MAX_TAG 63

/* stmt_start when no statement is under way. */
#define LX_NO_STATEMENT UINT64_MAX

/* Events of lx_scan().  Each names one byte: s->mark is its offset since
 * lx_init and s->mark_line its line. */
enum {
    LX_EV_NEED_MORE = 0, /* every byte given was consumed; feed more or lx_finish() */
    LX_EV_STATEMENT,     /* a statement ended; mark is its ';' (data[*used - 1]) */
    LX_EV_BACKSLASH,     /* a backslash command starts at mark (perhaps in an
                            earlier chunk: the byte after it decides) */
    LX_EV_META_END,      /* the backslash command ended; mark is its '\n' */
    LX_EV_COPY_START,    /* COPY data starts after mark (a '\n') */
    LX_EV_COPY_END,      /* COPY data ended; mark ends the "\." line */
    LX_EV_ERROR          /* text in s->error; the scanner stays failed */
};

/* Flags gathered since lx_init (lx_scanner.flags, lx_split_result.flags). */
enum {
    LX_F_AMBIGUOUS = 1, /* psql 15 and 16+ would lex a spot differently */
    LX_F_VARIABLE = 2,  /* ":name", ":'name'", ":\"name\"" or ":{?name}" outside
                           quotes: psql would substitute a variable there */
    LX_F_FORCED = 4,    /* "\;" or "\:" outside quotes */
    LX_F_NUL = 8,       /* a NUL byte anywhere (psql cuts its line there) */
    LX_F_CONTINUED = 16 /* an E'' string continued across a newline */
};

/* What is still open at the end of the input (lx_finish). */
enum {
    LX_OPEN_NONE = 0,      /* nothing: the text ended between statements */
    LX_OPEN_STATEMENT = 1, /* statement text without its ';' (quotes all closed) */
    LX_OPEN_QUOTE = 2,     /* inside '...' or E'...' */
    LX_OPEN_IDENT = 3,     /* inside "..." */
    LX_OPEN_DOLLAR = 4,    /* inside $tag$... */
    LX_OPEN_COMMENT = 5,   /* inside a slash-star comment */
    LX_OPEN_META = 6,      /* a backslash command without its newline */
    LX_OPEN_COPY = 7       /* COPY data without its "\." line */
};

/* The scanner.  Callers read the fields of the first group; the rest is
 * the lexer's own.  Zeroing is not initialising: call lx_init(). */
struct lx_scanner {
    uint64_t offset;     /* bytes consumed since lx_init */
    uint64_t line;       /* line of the next byte, from 1 */
    uint64_t mark;       /* offset of the byte the last event named */
    uint64_t mark_line;  /* its line */
    uint64_t stmt_start; /* offset of the first byte of the statement under
                            way (after leading blanks and comments), or
                            LX_NO_STATEMENT; after LX_EV_STATEMENT it still
                            names the statement that ended.  Text after a
                            backslash command or COPY data that cut a
                            statement counts from the end of the cut. */
    uint64_t stmt_line;  /* line of stmt_start */
    int32_t paren_depth;
    int32_t begin_depth;     /* BEGIN ... END nesting in a function body */
    int32_t copy_from_stdin; /* after LX_EV_STATEMENT: 1 when it was
                                COPY ... FROM stdin (by its words) */
    uint32_t flags;          /* LX_F_* */
    int32_t std_strings;     /* 1 (lx_init): standard_conforming_strings on;
                                0: off.  Change it between statements only
                                (lx_set_std_strings). */
    char error[96];

    /* Private. */
    uint8_t mode;           /* what the next byte is read in (quote, comment, ...) */
    uint8_t pend;           /* a byte held back until the next one decides */
    uint8_t word;           /* kind of the token the last byte belonged to */
    uint8_t word_len;       /* bytes of the identifier so far (saturates) */
    uint8_t after_num;      /* the identifier follows a number directly */
    uint8_t num_param;      /* the number is a parameter ($1) */
    uint8_t sign;           /* the sign after a number's E, held back */
    uint8_t colon_quote;    /* a quote right after ':' (psql variable?) */
    uint8_t raw_prefix;     /* 1: b'' or x'' prefix; 2: "u&" just read */
    uint8_t num_exp;        /* the number has an unsigned exponent (1e1) */
    char word_buf[10];      /* the identifier's first bytes, lower-cased */
    uint8_t ident_count;    /* identifiers in this statement (saturates) */
    char idents[4];         /* first letters of CREATE/OR/REPLACE/FUNCTION/PROCEDURE */
    uint8_t copy_words;     /* progress of the COPY ... FROM stdin word match */
    uint8_t copy_pending;   /* lx_begin_copy called: data starts at the next line */
    uint8_t copy_col;       /* bytes of the current COPY data line matched to "\." */
    uint8_t xqs_newline;    /* E'' continuation: a "\r" was seen */
    uint8_t xqs_seen;       /* E'' continuation: bytes seen on this line */
    uint8_t underflow;      /* a ')' came at depth 0 */
    uint8_t stmt_done;      /* the last event ended the statement */
    uint8_t body_semicolon; /* a ';' at depth 0 inside a BEGIN ... END body */
    uint8_t tag_len;        /* bytes of the opening dollar tag */
    uint8_t tag_match;      /* closing-tag bytes matched so far; 0xff: none */
    uint32_t tag_seen;      /* bytes collected for an opening tag (may pass LX_MAX_TAG) */
    int32_t comment_depth;
    uint64_t pend_offset; /* offset of the held-back byte */
    uint64_t pend_line;
    char tag[LX_MAX_TAG + 1];
};

/* Sets s to the start of a script. */
void lx_init(lx_scanner *s);

/* Sets how the rest of the script reads plain '...' literals, as psql
 * does when the server reports a new standard_conforming_strings: on is 1,
 * off 0.  Call it between statements. */
void lx_set_std_strings(lx_scanner *s, int on);

/* 1 when psql can lex text in client encoding name (the server's spelling,
 * any case) byte by byte as this lexer does; 0 for the encodings whose
 * multi-byte characters may hold ASCII bytes (SJIS, BIG5, GBK, UHC,
 * GB18030, JOHAB and their aliases). */
int lx_encoding_is_safe(const char *name);

/* What a whole statement does to standard_conforming_strings by its words:
 * 1 "SET [SESSION|LOCAL] standard_conforming_strings TO|= on" (true, yes,
 * 1, quoted or not), DEFAULT and RESET (ALL too); 0 for off; -1 when the
 * statement is none of these.  For oracles without a server (lx_split);
 * a replay follows the server's own reports instead. */
int lx_statement_std_strings(const char *text, size_t n);

/* Scans data[0..n) from where s stands and stops after the first event.
 * *used (never null) receives the bytes consumed; call again with the
 * rest.  Returns an LX_EV_* value.  data may be null when n is 0. */
int lx_scan(lx_scanner *s, const char *data, size_t n, size_t *used);

/* The statement just reported by LX_EV_STATEMENT is COPY ... FROM stdin
 * (the caller may know it from the server's answer): the rest of its line
 * is scanned as usual, then the lines up to one that is exactly "\." (with
 * "\n" or "\r\n") are COPY data, reported by LX_EV_COPY_START and
 * LX_EV_COPY_END. */
void lx_begin_copy(lx_scanner *s);

/* The input has ended: settles any held-back byte and returns LX_OPEN_*,
 * or -1 when the scanner had failed. */
int lx_finish(lx_scanner *s);

/* Kinds of lx_item. */
enum {
    LX_ITEM_SPACE = 0,     /* blanks and comments between items */
    LX_ITEM_STATEMENT = 1, /* from its first byte through its ';' */
    LX_ITEM_META = 2,      /* a backslash command through its '\n' (or the end) */
    LX_ITEM_COPY_DATA = 3, /* COPY data lines through the "\." line (or the end) */
    LX_ITEM_INCOMPLETE = 4 /* statement text cut by a backslash command or the end */
};

struct lx_item {
    int32_t kind;   /* LX_ITEM_* */
    uint64_t start; /* offset in the text */
    uint64_t len;
    uint64_t line; /* line of start, from 1 */
};

struct lx_split_result {
    size_t count;   /* items of the text; only the first cap were written */
    uint32_t flags; /* LX_F_* */
    int32_t open;   /* LX_OPEN_* at the end */
    char error[96];
};

/* Cuts text[0..n) into items that tile it in order.  A statement that is
 * COPY ... FROM stdin by its words is followed by its data item; one that
 * sets standard_conforming_strings by its words (lx_statement_std_strings)
 * changes how the rest is read, as the server's report would.  Returns
 * 0, or -1 on a lexing error (r->error; the items up to it are written).
 * items may be null when cap is 0.  Nothing is allocated. */
int lx_split(const char *text, size_t n, lx_item *items, size_t cap, lx_split_result *r);

/* 1 when text[0..n), lexed from the start of a script, could sit inside a
 * statement without changing where psql cuts it: it ends outside every
 * quote and comment (a "--" comment too) with nothing held back, at
 * parenthesis depth 0 (never below) and BEGIN depth 0, and holds no ';' at
 * parenthesis depth 0 (not even in what looks like a function body: the
 * words before it decide that), no backslash (commands or "\;"), no NUL
 * and nothing psql versions read differently (psql variable references
 * are let through: array slices look like them).
 * 0 otherwise.  The writer still places it between token boundaries
 * (after a blank or punctuation, before one).  For server texts written
 * inside a statement: defaults, expressions, view bodies. */
int lx_fragment_is_inert(const char *text, size_t n);

/* The same for a text written as a whole statement of its own, at the
 * start of a statement and followed directly by its ';' (the output of
 * pg_get_functiondef, say): a ';' inside the BEGIN ATOMIC ... END body of
 * CREATE [OR REPLACE] FUNCTION/PROCEDURE is allowed, since psql keeps it
 * inside the statement. */
int lx_statement_is_inert(const char *text, size_t n);

/* Server text made safe to paste into a script replayed by psql, whatever
 * the replay sets on the way (lx_rewrite_pasted):
 *   - a plain '...' literal that holds a backslash becomes E'...' with the
 *     backslashes doubled, so it reads the same with
 *     standard_conforming_strings on or off;
 *   - a ':' outside quotes (not one of a "::" pair) followed by a letter,
 *     digit, '_', a quote or '{' gets a blank after it, so psql never
 *     substitutes a variable there ("a[1:n]" becomes "a[1: n]"), and a
 *     bare word "begin" right after it is written "begin" in quotes,
 *     which psql does not count as a BEGIN.
 * out has room for cap bytes (3 * n + 16 always suffices); *out_len gets
 * the length.  0, or -1 when the text does not lex as one inert piece
 * (see above; whole picks the statement or fragment rule) in both
 * readings, or is a b''/x''/n''/U&'' literal holding a backslash. */
int lx_rewrite_pasted(const char *text, size_t n, int whole, char *out, size_t cap,
                      size_t *out_len);

#endif

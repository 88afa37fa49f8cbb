/*
 * The whole-text splitter: a text cut into items that tile it, for tests
 * and oracles, into the caller's array.
 */
#include "script/psql_lexer.h"

#include <cstring>

namespace
{

struct splitter {
    lx_item *items;
    size_t cap;
    size_t count;
    uint64_t pos;      /* end of the last item */
    uint64_t pos_line; /* line of pos */
};

void emit(splitter *sp, int32_t kind, uint64_t start, uint64_t end, uint64_t line)
{
    if (end <= start)
        return;
    if (sp->count < sp->cap) {
        lx_item *it = &sp->items[sp->count];
        it->kind = kind;
        it->start = start;
        it->len = end - start;
        it->line = line;
    }
    sp->count++;
}

/* Emits the text from sp->pos to end: blanks, then (when a statement is
 * under way) its text so far as `kind`. */
void cut(splitter *sp, const lx_scanner *s, uint64_t end, uint64_t end_line, int32_t kind)
{
    uint64_t st = s->stmt_start;
    if (st != LX_NO_STATEMENT && st >= sp->pos && st < end) {
        emit(sp, LX_ITEM_SPACE, sp->pos, st, sp->pos_line);
        emit(sp, kind, st, end, s->stmt_line);
    } else if (st != LX_NO_STATEMENT && st < sp->pos) {
        emit(sp, kind, sp->pos, end, sp->pos_line);
    } else {
        emit(sp, LX_ITEM_SPACE, sp->pos, end, sp->pos_line);
    }
    sp->pos = end;
    sp->pos_line = end_line;
}

void finish(splitter *sp, lx_scanner *s, uint64_t n, lx_split_result *r)
{
    int open = lx_finish(s);
    r->open = open < 0 ? LX_OPEN_NONE : open;
    if (open == LX_OPEN_META) {
        cut(sp, s, s->mark > sp->pos ? s->mark : sp->pos, s->mark_line, LX_ITEM_INCOMPLETE);
        emit(sp, LX_ITEM_META, sp->pos, n, sp->pos_line);
    } else if (open == LX_OPEN_COPY) {
        emit(sp, LX_ITEM_COPY_DATA, sp->pos, n, sp->pos_line);
    } else {
        cut(sp, s, n, s->line, LX_ITEM_INCOMPLETE);
    }
}

} // namespace

int lx_split(const char *text, size_t n, lx_item *items, size_t cap, lx_split_result *r)
{
    memset(r, 0, sizeof *r);
    splitter sp = {items, cap, 0, 0, 1};
    lx_scanner s;
    lx_init(&s);
    size_t off = 0;
    int rc = 0;
    for (;;) {
        size_t used = 0;
        int ev = lx_scan(&s, text + off, n - off, &used);
        off += used;
        if (ev == LX_EV_NEED_MORE) {
            finish(&sp, &s, n, r);
            break;
        }
        if (ev == LX_EV_ERROR) {
            memcpy(r->error, s.error, sizeof r->error);
            rc = -1;
            break;
        }
        switch (ev) {
        case LX_EV_STATEMENT: {
            cut(&sp, &s, s.mark + 1, s.line, LX_ITEM_STATEMENT);
            /* Without a server to report it, the statement's own words
             * say what psql would learn from the server. */
            uint64_t st = s.stmt_start != LX_NO_STATEMENT ? s.stmt_start : s.mark;
            int std = lx_statement_std_strings(text + st, (size_t)(s.mark + 1 - st));
            if (std >= 0)
                lx_set_std_strings(&s, std);
            if (s.copy_from_stdin)
                lx_begin_copy(&s);
            break;
        }
        case LX_EV_BACKSLASH:
            cut(&sp, &s, s.mark, s.mark_line, LX_ITEM_INCOMPLETE);
            break;
        case LX_EV_META_END:
            emit(&sp, LX_ITEM_META, sp.pos, s.mark + 1, sp.pos_line);
            sp.pos = s.mark + 1;
            sp.pos_line = s.mark_line + 1;
            break;
        case LX_EV_COPY_START:
            cut(&sp, &s, s.mark + 1, s.mark_line + 1, LX_ITEM_INCOMPLETE);
            break;
        case LX_EV_COPY_END:
            emit(&sp, LX_ITEM_COPY_DATA, sp.pos, s.mark + 1, sp.pos_line);
            sp.pos = s.mark + 1;
            sp.pos_line = s.mark_line + 1;
            break;
        default:
            break;
        }
    }
    r->count = sp.count;
    r->flags = s.flags;
    return rc;
}

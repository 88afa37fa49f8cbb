/*
 * Runs the script lexer over a text cut into chunks and records every
 * event with the scanner fields it publishes, so that two cuttings of the
 * same text can be compared (the unit tests and the lexer fuzz target).
 * A statement that is COPY ... FROM stdin by its words switches the
 * scanner to COPY data, as lx_split does.
 */
#ifndef PGDUMP_TEST_LEXER_EVENTS_H
#define PGDUMP_TEST_LEXER_EVENTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "script/psql_lexer.h"

struct lexer_event {
    int ev;
    uint64_t mark, mark_line, stmt_start, stmt_line;
    int copy;
    bool operator==(const lexer_event &o) const
    {
        return ev == o.ev && mark == o.mark && mark_line == o.mark_line &&
               stmt_start == o.stmt_start && stmt_line == o.stmt_line && copy == o.copy;
    }
};

struct lexer_run {
    std::vector<lexer_event> events;
    int open = 0;
    uint32_t flags = 0;
    uint64_t end_line = 0;
};

/* Feeds text in chunks of the given lengths (cycled; 0 counts as 1). */
inline lexer_run lexer_events(const std::string &text, const std::vector<size_t> &chunks)
{
    lexer_run run;
    lx_scanner s;
    lx_init(&s);
    size_t pos = 0, k = 0;
    bool failed = false;
    while (pos < text.size() && !failed) {
        size_t len = chunks.empty() ? text.size() : chunks[k++ % chunks.size()];
        if (len == 0)
            len = 1;
        if (len > text.size() - pos)
            len = text.size() - pos;
        size_t off = 0;
        while (off < len) {
            size_t used = 0;
            int ev = lx_scan(&s, text.data() + pos + off, len - off, &used);
            off += used;
            if (ev == LX_EV_NEED_MORE)
                break;
            run.events.push_back(
                {ev, s.mark, s.mark_line, s.stmt_start, s.stmt_line, s.copy_from_stdin});
            if (ev == LX_EV_ERROR) {
                failed = true;
                break;
            }
            if (ev == LX_EV_STATEMENT && s.copy_from_stdin)
                lx_begin_copy(&s);
        }
        pos += len;
    }
    run.open = lx_finish(&s);
    run.flags = s.flags;
    run.end_line = s.line;
    return run;
}

#endif

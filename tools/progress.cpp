/*
 * The progress line of a running dump or restore: a live line redrawn in place on a
 * terminal, or plain lines every few seconds.
 */
#include "progress.h"

#include "cli.h"
#include "terminal.h"
#include "text_format.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace
{

/* Rows against the planner's estimates; with no estimate (never analysed,
 * or --no-data) the share of tables done stands in.  Never 100% before
 * the end: estimates are often low. */
int progress_percent(const progress_view &pv, const json &p)
{
    long long pct;
    if (pv.restore) {
        long long total = jnum(p, "bytes_total");
        pct = total > 0 ? jnum(p, "bytes_read") * 100 / total : 0;
    } else if (pv.estimate > 0) {
        pct = jnum(p, "rows_written") * 100 / pv.estimate;
    } else {
        long long total = jnum(p, "tables_total");
        pct = total > 0 ? jnum(p, "tables_done") * 100 / total : 0;
    }
    return (int)(pct < 0 ? 0 : (pct > 99 ? 99 : pct));
}

/* The counters of the line: the work done, rows and bytes. */
struct counters {
    std::string done;
    long long rows, bytes;
};

counters counters_of(const progress_view &pv, const json &p)
{
    char buf[64];
    if (pv.restore) {
        snprintf(buf, sizeof buf, "%lld stmts", jnum(p, "statements_done"));
        return {buf, jnum(p, "rows_copied"), jnum(p, "bytes_read")};
    }
    snprintf(buf, sizeof buf, "%lld/%lld tables", jnum(p, "tables_done"), jnum(p, "tables_total"));
    return {buf, jnum(p, "rows_written"), jnum(p, "bytes_written")};
}

std::string progress_text(const progress_view &pv, const json &p, int pct, long long now,
                          size_t columns, bool cancelling)
{
    long long elapsed = now - pv.started;
    counters n = counters_of(pv, p);
    long long bytes = n.bytes;
    long long rate = elapsed > 0 ? bytes * 1000 / elapsed : 0;
    std::string table = printable(jstr(p, "table"));
    if (cancelling)
        table = "cancelling";
    else if (jnum(p, "state") <= 1)
        table = "connecting";

    /* Segments in display order with a rank: on a narrow terminal the
     * highest rank goes first.  Fixed widths keep the line steady. */
    struct segment {
        std::string text;
        int rank;
    };
    char buf[64];
    std::vector<segment> seg;
    snprintf(buf, sizeof buf, "%3d%%", pct);
    seg.push_back({buf, 0});
    seg.push_back({"", 5}); /* the bar, sized below */
    seg.push_back({"", 2}); /* the table name, fitted below */
    seg.push_back({n.done, 1});
    snprintf(buf, sizeof buf, "%6s rows", human_count(n.rows).c_str());
    seg.push_back({buf, 1});
    snprintf(buf, sizeof buf, "%7s", human_bytes(bytes).c_str());
    seg.push_back({buf, 3});
    snprintf(buf, sizeof buf, "%7s/s", human_bytes(rate).c_str());
    seg.push_back({buf, 6});
    snprintf(buf, sizeof buf, "%5s", human_duration(elapsed).c_str());
    seg.push_back({buf, 4});

    const size_t table_min = 10, table_max = 32, bar_min = 12, bar_max = 30;
    size_t limit = columns - 1;
    for (;;) {
        size_t width = 0;
        int worst = -1;
        for (size_t i = 0; i < seg.size(); i++) {
            size_t w = seg[i].rank == 2   ? table_min
                       : seg[i].rank == 5 ? bar_min + 2
                                          : display_width(seg[i].text);
            width += (i > 0 ? 1 : 0) + w;
            if (worst < 0 || seg[i].rank > seg[(size_t)worst].rank)
                worst = (int)i;
        }
        if (width <= limit || seg.size() == 1) {
            /* Spare room widens the table name first, then the bar. */
            size_t extra = width <= limit ? limit - width : 0;
            size_t table_w = table_min + std::min(extra, table_max - table_min);
            extra -= table_w - table_min;
            size_t bar_w = bar_min + std::min(extra, bar_max - bar_min);
            for (segment &sg : seg) {
                if (sg.rank == 2)
                    sg.text = pad(fit_middle(table, table_w), table_w, false);
                if (sg.rank == 5) {
                    size_t filled = (size_t)pct * bar_w / 100;
                    sg.text =
                        "[" + std::string(filled, '#') + std::string(bar_w - filled, '.') + "]";
                }
            }
            break;
        }
        seg.erase(seg.begin() + worst);
    }
    std::string line;
    for (size_t i = 0; i < seg.size(); i++)
        line += (i > 0 ? " " : "") + seg[i].text;
    return fit_width(line, limit);
}

} // namespace

void show_progress(progress_view &pv, const json &p, bool cancelling)
{
    long long now = monotonic_ms();
    int pct = progress_percent(pv, p);
    if (pv.mode == 1) {
        std::string line = progress_text(pv, p, pct, now, terminal_columns(2), cancelling);
        /* \r and erase-to-end keep one line even when it gets shorter. */
        fprintf(stderr, "\r%s\x1b[K", line.c_str());
        fflush(stderr);
        pv.drawn = true;
    } else if (pv.mode == 2 && now - pv.last_plain >= 5000) {
        pv.last_plain = now;
        if (pv.restore)
            fprintf(stderr, "%s: %d%%, %lld statements, %s rows, %s of %s, %s\n", g_prog, pct,
                    jnum(p, "statements_done"), grouped(jnum(p, "rows_copied")).c_str(),
                    human_bytes(jnum(p, "bytes_read")).c_str(),
                    human_bytes(jnum(p, "bytes_total")).c_str(),
                    human_duration(now - pv.started).c_str());
        else
            fprintf(stderr, "%s: %d%%, table %s (%lld/%lld done), %s rows, %s, %s\n", g_prog, pct,
                    fit_middle(printable(jstr(p, "table")), 60).c_str(), jnum(p, "tables_done"),
                    jnum(p, "tables_total"), grouped(jnum(p, "rows_written")).c_str(),
                    human_bytes(jnum(p, "bytes_written")).c_str(),
                    human_duration(now - pv.started).c_str());
    }
}

void note_table(progress_view &pv, const json &p)
{
    std::string table = jstr(p, "table");
    if (pv.verbose == nullptr || table.empty() || table == pv.last_table)
        return;
    clear_progress(pv);
    fprintf(stderr, "%s: %s \"%s\"\n", g_prog, pv.verbose, printable(table).c_str());
    pv.last_table = table;
}

void clear_progress(progress_view &pv)
{
    if (pv.drawn) {
        fprintf(stderr, "\r\x1b[K");
        fflush(stderr);
        pv.drawn = false;
    }
}

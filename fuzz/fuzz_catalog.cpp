/*
 * The catalogue model against a lying server: the input is read as rows
 * of every catalogue list (any kinds, OIDs that collide or point nowhere,
 * unordered owners, cycles, missing texts), then selected, ordered and
 * written as a complete script.  Nothing may crash, read out of bounds or
 * loop; refusals are fine.
 *
 * Input: records separated by '\n'; a record is a byte choosing the
 * catalogue query (and so the list and the record kind), then the
 * columns of that query in order, separated by 0x1f.  Numbers come from
 * their first byte: OIDs below 16 so that records refer to each other
 * often, or from 0xf0 on a catalogue class.  Texts are taken as they are,
 * 0x1e alone for NULL.  The first record with byte 'C' sets the
 * configuration: texts name tables to dump, schemas to exclude and tables
 * to exclude, in that order.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalog/catalog.h"
#include "catalog/catalog_query.h"
#include "config/config.h"
#include "dump/complete/complete_write.h"
#include "dump/run/dump_run.h"
#include "sink/dump_sink.h"
#include "sink/dump_writer.h"

static void read_config(const char *p, const char *end, dump_config *cfg)
{
    int field = 0;
    while (p < end && field < 3) {
        const char *q = static_cast<const char *>(memchr(p, 0x1f, (size_t)(end - p)));
        const char *stop = q ? q : end;
        char(*list)[128] = field == 0 ? cfg->tables : cfg->exclude_tables;
        int32_t *count = field == 0 ? &cfg->table_count : &cfg->exclude_count;
        if (field == 1) {
            list = cfg->exclude_schemas;
            count = &cfg->exclude_schema_count;
        }
        if (stop > p && *count < 8) {
            size_t n = (size_t)(stop - p) < 127 ? (size_t)(stop - p) : 127;
            memcpy(list[*count], p, n);
            list[(*count)++][n] = '\0';
        }
        field++;
        p = q ? q + 1 : end;
    }
}

/* One column's text from the input, as the server would send it. */
static int fill_column(catalog *cat, void *record, const cat_column_def *col, const char *p,
                       const char *stop)
{
    char num[8];
    size_t n = (size_t)(stop - p);
    unsigned char first = n > 0 ? (unsigned char)p[0] : 0;
    if (n == 1 && first == 0x1e)
        return cat_fill_field(cat, record, col, nullptr, 0);
    if (col->type == CF_OID || col->type == CF_INT) {
        static const unsigned classes[] = {CLASS_PG_CLASS, CLASS_PG_TYPE, CLASS_PG_PROC,
                                           CLASS_PG_NAMESPACE, CLASS_PG_EXTENSION};
        long v = col->type == CF_INT ? (signed char)first
                 : first >= 0xf0     ? (long)classes[first % 5]
                                     : first % 16;
        n = (size_t)snprintf(num, sizeof num, "%ld", v);
        return cat_fill_field(cat, record, col, num, n);
    }
    if (col->type == CF_BOOL)
        return cat_fill_field(cat, record, col, (first & 1) ? "t" : "f", 1);
    return cat_fill_field(cat, record, col, p, n);
}

static void read_record(catalog *cat, const cat_source *src, uint32_t count, const char *p,
                        const char *end)
{
    if (p == end)
        return;
    const cat_source *s = &src[(unsigned char)*p++ % count];
    void *r = s->append(cat, s->list);
    for (uint32_t i = 0; r != nullptr && i < s->q->column_count && p < end; i++) {
        const char *q = static_cast<const char *>(memchr(p, 0x1f, (size_t)(end - p)));
        const char *stop = q ? q : end;
        if (fill_column(cat, r, &s->q->columns[i], p, stop) != 0)
            return;
        p = q ? q + 1 : end;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *sink = tmpfile();
    if (sink == nullptr || size > 65536)
        return 0;
    catalog cat = {};
    static dump_config cfg;
    parse_config("{}", &cfg);
    cfg.include_owners = cfg.include_privileges = cfg.include_drop = 1;
    const char *p = reinterpret_cast<const char *>(data);
    const char *end = p + size;
    bool configured = false;
    cat_source src[CAT_SOURCES + 1];
    uint32_t count = cat_item_sources(&cat, src);
    count += cat_part_sources(&cat, src + count);
    src[count++] = cat_seqval_source(&cat);
    while (p < end) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', (size_t)(end - p)));
        const char *stop = nl ? nl : end;
        if (!configured && stop > p && *p == 'C') {
            read_config(p + 1, stop, &cfg);
            configured = true;
        } else {
            read_record(&cat, src, count, p, stop);
        }
        p = nl ? nl + 1 : end;
    }
    if (catalog_select(&cat, &cfg) == 0 && catalog_sort(&cat) == 0) {
        static run_session s;
        unsigned char buf[4096];
        rewind(sink);
        dw_sink out = {};
        sink_open(&out, sink, &s.dump.bytes_written, SINK_FILE, 0);
        dump_writer w = {&out, buf, sizeof buf, 0, 0};
        cw_ctx c = {s.error, sizeof s.error, &s.fail, &s.dump, &w, &cat, &cfg, 0, {0}};
        write_drops(&c);
        write_predata(&c);
        write_postdata(&c);
        write_comments(&c);
        write_owners_and_grants(&c);
        for (uint32_t i = 0; i < cat.items.n; i++) {
            char *columns = nullptr;
            int overriding = 0;
            if (cw_insert_columns(&c, &cat.items.v[i], &columns, &overriding) == 0)
                free(columns);
        }
        dw_flush(&w);
    }
    cat_free(&cat);
    return 0;
}

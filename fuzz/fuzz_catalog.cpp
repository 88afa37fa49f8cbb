/*
 * The catalogue model against a lying server: the input is read as rows
 * of every catalogue list (any kinds, OIDs that collide or point nowhere,
 * unordered owners, cycles, missing texts), then selected, ordered and
 * written as a complete script.  Nothing may crash, read out of bounds or
 * loop; refusals are fine.
 *
 * Input: records separated by '\n'; a record is a list byte, oid, owner,
 * ref, kind and num bytes, then texts separated by 0x1f.  The first record
 * with list byte 'C' sets the configuration: texts name tables to dump,
 * schemas to exclude and tables to exclude, in that order.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "catalog/catalog.h"
#include "dump/complete_write.h"
#include "dump/dump_run.h"
#include "dump/dump_sink.h"
#include "dump/dump_writer.h"

static cat_list *pick_list(catalog *cat, unsigned char b)
{
    cat_list *lists[] = {&cat->items,       &cat->columns, &cat->constraints, &cat->indexes,
                         &cat->triggers,    &cat->rules,   &cat->labels,      &cat->inherits,
                         &cat->deps,        &cat->seqvals, &cat->grants,      &cat->policies,
                         &cat->policy_roles};
    return lists[b % (sizeof lists / sizeof lists[0])];
}

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

static void read_record(catalog *cat, const char *p, const char *end)
{
    if (end - p < 6)
        return;
    cat_row *r = cat_append(cat, pick_list(cat, (unsigned char)p[0]));
    if (r == nullptr)
        return;
    /* Small OIDs so that rows refer to each other often. */
    r->oid = (unsigned char)p[1] % 16;
    r->owner = (unsigned char)p[2] % 16;
    r->ref = (unsigned char)p[3] % 16;
    r->kind = (unsigned char)p[4];
    r->num = (signed char)p[5];
    p += 6;
    for (int i = 0; i < CAT_TEXTS && p < end; i++) {
        const char *q = static_cast<const char *>(memchr(p, 0x1f, (size_t)(end - p)));
        const char *stop = q ? q : end;
        if (cat_store(cat, p, (uint64_t)(stop - p), &r->t[i]) != 0)
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
    while (p < end) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', (size_t)(end - p)));
        const char *stop = nl ? nl : end;
        if (!configured && stop > p && *p == 'C') {
            read_config(p + 1, stop, &cfg);
            configured = true;
        } else {
            read_record(&cat, p, stop);
        }
        p = nl ? nl + 1 : end;
    }
    if (catalog_select(&cat, &cfg) == 0 && catalog_sort(&cat) == 0) {
        static run_session s;
        unsigned char buf[4096];
        rewind(sink);
        dw_sink out = {};
        sink_open(&out, sink, &s.dump.bytes_written, SINK_FILE, 0);
        dump_writer w = {&out, buf, sizeof buf, 0};
        cw_ctx c = {&s, &w, &cat, &cfg, 0};
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

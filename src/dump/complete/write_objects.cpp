/*
 * CREATE statements of the objects that are neither types, routines nor
 * relations: collations.
 */
#include <cstring>

#include "dump/complete/complete_write.h"

static void option(cw_ctx *c, const char *name, const char *value)
{
    cw_put(c, ", ");
    cw_put(c, name);
    cw_put(c, " = ");
    cw_lit(c, value);
}

void write_collation(cw_ctx *c, const cat_item *r)
{
    const cat_collation_info *k = &r->coll;
    if (k->provider != 'c' && k->provider != 'i') {
        cw_fail(c, "unexpected collation provider in catalogue");
        return;
    }
    cw_put(c, "CREATE COLLATION ");
    cw_qname(c, r);
    cw_put(c, k->provider == 'i' ? " (provider = icu" : " (provider = libc");
    if (!k->deterministic)
        cw_put(c, ", deterministic = false");
    const char *collate = cw_text(c, k->collate), *ctype = cw_text(c, k->ctype);
    if (k->provider == 'i') {
        option(c, "locale", cw_text(c, k->locale));
    } else if (strcmp(collate, ctype) == 0) {
        option(c, "locale", collate);
    } else {
        option(c, "lc_collate", collate);
        option(c, "lc_ctype", ctype);
    }
    cw_put(c, ");\n\n");
}

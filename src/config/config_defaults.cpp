/*
 * The keys whose defaults depend on other keys or on whether they were
 * given at all: owners and privileges (on with "complete"), and the
 * fence key (random when not given, none when given as "").
 */
#include <cstring>

#include "config/config.h"

/* Marks of keys whose default depends on others, set before the walk and
 * settled after it. */
static const char KEY_UNSET[] = "\x01";

void config_mark_unset(dump_config *cfg)
{
    cfg->include_owners = -1;
    cfg->include_privileges = -1;
    memcpy(cfg->restrict_key, KEY_UNSET, sizeof KEY_UNSET);
}

/* Owners and privileges come with a complete dump unless refused; a
 * fence key is letters and digits, as psql reads it.  -1 for a bad key. */
int config_settle_unset(dump_config *cfg)
{
    if (cfg->include_owners < 0)
        cfg->include_owners = cfg->complete;
    if (cfg->include_privileges < 0)
        cfg->include_privileges = cfg->complete;
    cfg->restrict_key_given = strcmp(cfg->restrict_key, KEY_UNSET) != 0 ? 1 : 0;
    if (!cfg->restrict_key_given)
        cfg->restrict_key[0] = '\0';
    for (const char *p = cfg->restrict_key; *p != '\0'; p++) {
        char c = *p;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return -1;
    }
    return 0;
}

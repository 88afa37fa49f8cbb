#include "api/host_config.h"

#include <cstdlib>

#include "api/reply.h"
#include "config/config.h"

dump_config *host_config_take(const char *config_json)
{
    if (config_json == nullptr) {
        set_last_error(FAIL_CONFIG, "invalid config json");
        return nullptr;
    }
    if (config_text_check(config_json) != 0)
        return nullptr;
    dump_config *cfg = static_cast<dump_config *>(malloc(sizeof(dump_config)));
    if (cfg == nullptr) {
        set_last_error(FAIL_MEMORY, "out of memory");
        return nullptr;
    }
    if (parse_config(config_json, cfg) != 0) {
        set_last_error(FAIL_CONFIG, "invalid config json");
        host_config_drop(cfg);
        return nullptr;
    }
    return cfg;
}

void host_config_drop(dump_config *cfg)
{
    if (cfg == nullptr)
        return;
    config_wipe_password(cfg);
    free(cfg);
}

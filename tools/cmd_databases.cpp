/*
 * The databases command: the databases that are not templates.
 */
#include "commands.h"

#include "cli.h"
#include "text_format.h"

#include "veltrano-pgdump.h"

#include <cstdio>

int cmd_databases(const options &o, const target &t)
{
    const char *reply = pgdump_list_databases(t.config.c_str());
    if (o.json)
        return json_exit(reply);
    jvalue doc;
    if (!reply_ok(t, reply, doc))
        return EXIT_FAIL;
    std::vector<std::vector<std::string>> rows;
    const jvalue *list = doc.get("databases");
    if (list != nullptr)
        for (const jvalue &v : list->items)
            rows.push_back({printable(v.text)});
    print_table({"Database"}, {false}, rows);
    printf("(%zu database%s)\n", rows.size(), rows.size() == 1 ? "" : "s");
    return EXIT_OK;
}

/*
 * The databases command: the databases that are not templates.
 */
#include "commands.h"

#include "cli.h"
#include "text_format.h"

#include "veltrano-pgdump.h"

#include <cstdio>

namespace
{

const char g_usage[] = "Usage: veltrano-pgdump databases [CONNECTION OPTION]... [--json]\n"
                       "\n"
                       "Lists the databases of the server that are not templates, in name order.\n";

int run(const options &o, const target &t)
{
    const char *reply = pgdump_list_databases(t.config.c_str());
    if (o.json)
        return json_exit(reply);
    json doc;
    if (!reply_ok(t, reply, doc))
        return EXIT_FAIL;
    std::vector<std::vector<std::string>> rows;
    for (const std::string &name : jstrings(doc, "databases"))
        rows.push_back({printable(name)});
    print_table({"Database"}, {false}, rows);
    printf("(%zu database%s)\n", rows.size(), rows.size() == 1 ? "" : "s");
    return EXIT_OK;
}

} // namespace

const command_def g_cmd_databases = {"databases", g_usage, nullptr, nullptr, run};

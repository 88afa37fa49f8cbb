/*
 * The tables command: tables with row estimates and sizes.
 */
#include "commands.h"

#include "cli.h"
#include "text_format.h"

#include "veltrano-pgdump.h"

#include <cstdio>

namespace
{

const char g_usage[] =
    "Usage: veltrano-pgdump tables -d DBNAME [CONNECTION OPTION]... [--json]\n"
    "\n"
    "Lists the ordinary tables of schema public of DBNAME with the planner's row\n"
    "estimate (0 until the table has been analysed) and the size on disk,\n"
    "indexes and TOAST data included.\n";

int run(const options &o, const target &t)
{
    const char *reply = pgdump_list_tables(t.config.c_str());
    if (o.json)
        return json_exit(reply);
    json doc;
    if (!reply_ok(t, reply, doc))
        return EXIT_FAIL;
    std::vector<std::vector<std::string>> rows;
    long long total_rows = 0, total_bytes = 0;
    const json *list = jget(doc, "tables");
    if (list != nullptr && list->is_array())
        for (const json &v : *list) {
            long long r = jnum(v, "rows"), b = jnum(v, "data_bytes");
            total_rows += r;
            total_bytes += b;
            rows.push_back({printable(jstr(v, "name")), human_count(r), human_bytes(b)});
        }
    print_table({"Table", "Rows (est.)", "Size"}, {false, true, true}, rows);
    printf("(%zu table%s, about %s rows, %s)\n", rows.size(), rows.size() == 1 ? "" : "s",
           human_count(total_rows).c_str(), human_bytes(total_bytes).c_str());
    return EXIT_OK;
}

} // namespace

const command_def g_cmd_tables = {"tables", g_usage, nullptr, nullptr, run};

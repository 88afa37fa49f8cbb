/*
 * The tables command: tables with row estimates and sizes.
 */
#include "commands.h"

#include "cli.h"
#include "text_format.h"

#include "veltrano-pgdump.h"

#include <cstdio>

int cmd_tables(const options &o, const target &t)
{
    const char *reply = pgdump_list_tables(t.config.c_str());
    if (o.json)
        return json_exit(reply);
    jvalue doc;
    if (!reply_ok(t, reply, doc))
        return EXIT_FAIL;
    std::vector<std::vector<std::string>> rows;
    long long total_rows = 0, total_bytes = 0;
    const jvalue *list = doc.get("tables");
    if (list != nullptr)
        for (const jvalue &v : list->items) {
            long long r = v.num("rows"), b = v.num("data_bytes");
            total_rows += r;
            total_bytes += b;
            rows.push_back({printable(v.str("name")), human_count(r), human_bytes(b)});
        }
    print_table({"Table", "Rows (est.)", "Size"}, {false, true, true}, rows);
    printf("(%zu table%s, about %s rows, %s)\n", rows.size(), rows.size() == 1 ? "" : "s",
           human_count(total_rows).c_str(), human_bytes(total_bytes).c_str());
    return EXIT_OK;
}

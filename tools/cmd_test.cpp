/*
 * The test command: log in and show the server version.
 */
#include "commands.h"

#include "cli.h"
#include "text_format.h"

#include "veltrano-pgdump.h"

#include <cstdio>

namespace
{

const char g_usage[] = "Usage: veltrano-pgdump test [CONNECTION OPTION]... [--json]\n"
                       "\n"
                       "Logs in to the server and shows its version.  Without -d the\n"
                       "login goes to the database \"postgres\".\n";

int run(const options &o, const target &t)
{
    const char *reply = pgdump_test_connection(t.config.c_str());
    if (o.json)
        return json_exit(reply);
    json doc;
    if (!reply_ok(t, reply, doc))
        return EXIT_FAIL;
    std::string version = jstr(doc, "server_version");
    version = version.empty() ? std::string("(version not reported)") : printable(version);
    if (t.server.empty())
        printf("OK: PostgreSQL %s\n", version.c_str());
    else
        printf("OK: PostgreSQL %s at %s, logged in as %s to database %s\n", version.c_str(),
               printable(t.server).c_str(), printable(t.user).c_str(),
               t.dbname.empty() ? "postgres" : printable(t.dbname).c_str());
    return EXIT_OK;
}

} // namespace

const command_def g_cmd_test = {"test", g_usage, nullptr, nullptr, run};

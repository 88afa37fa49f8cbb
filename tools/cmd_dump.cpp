/*
 * The dump command: the dump's configuration keys, then a session
 * followed to its end, and the result for people.
 */
#include "commands.h"

#include "cli.h"
#include "session_wait.h"
#include "stdio_file.h"
#include "terminal.h"
#include "text_format.h"

#include "veltrano-pgdump.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const char g_usage[] =
    "Usage: veltrano-pgdump dump -d DBNAME [-f FILE] [OPTION]...\n"
    "\n"
    "Dumps the database into one plain SQL script inside one read-only snapshot:\n"
    "schemas, types, functions, sequences with their values, tables and their\n"
    "rows, constraints, indexes, views, triggers, comments, in dependency order.\n"
    "Replay it into an empty database with\n"
    "  veltrano-pgdump restore -d NEWDB -f FILE --single-transaction\n"
    "or psql -X -v ON_ERROR_STOP=1 -1 -f FILE -d NEWDB\n"
    "\n"
    "Dump options:\n"
    "  -f, --file=FILE          output file (default: DBNAME.sql, with .gz or .zst\n"
    "                           when compressed; \"-\" for standard output)\n"
    "  -n, --schema=SCHEMA      dump only this schema (repeatable)\n"
    "  -N, --exclude-schema=SCHEMA  leave this schema out (repeatable)\n"
    "  -t, --table=TABLE        dump only this table, as schema.table or a table\n"
    "                           of schema public (repeatable)\n"
    "  -T, --exclude-table=TABLE  leave this table out, as schema.table or a table\n"
    "                           name in any schema (repeatable)\n"
    "  -a, --data-only          only the rows (same as --no-schema)\n"
    "  -s, --schema-only        only the definitions (same as --no-data)\n"
    "  -c, --clean              drop each object before creating it (same as --drop)\n"
    "  -O, --no-owner           no owners (ALTER ... OWNER TO is written by default)\n"
    "  -x, --no-privileges      no privileges (GRANT/REVOKE are written by default)\n"
    "      --role=ROLE          SET ROLE to ROLE before dumping\n"
    "      --restrict-key=KEY   the key of the script's \\restrict fence (letters and\n"
    "                           digits; \"\" for no fence, for psql before 15.14)\n"
    "      --rows-per-insert=N  rows per INSERT statement, 1 to 1000 (default 100)\n"
    "      --format=FORMAT      the rows as \"inserts\" (the default) or as \"copy\"\n"
    "                           (COPY ... FROM stdin, faster to write and replay)\n"
    "      --copy, --inserts    same as --format=copy, --format=inserts\n"
    "  -Z, --compress=METHOD[:LEVEL]  compress the script: none, gzip (level 1-9)\n"
    "                           or zstd (level 1-22); a bare 0-9 is a gzip level\n"
    "  -j, --jobs=N             dump the rows of N tables at a time, 1 to 8, on\n"
    "                           one snapshot\n"
    "      --table-only         the older, smaller script: the tables of schema\n"
    "                           public only, with primary keys, their sequences and\n"
    "                           rows (at most 512 tables)\n"
    "      --progress           plain progress lines every 5 s even without a terminal\n"
    "      --no-progress        no progress output\n"
    "\n"
    "The script is written beside FILE and put in place only when done.  A\n"
    "progress line is drawn on standard error while it is a terminal.  Ctrl-C\n"
    "cancels the dump, leaving what was written in FILE.partial, and the exit\n"
    "status is 130.  With --json the final result reply is printed on standard\n"
    "output.\n"
    "\n"
    "Connection options as for the other commands (see veltrano-pgdump --help).\n";

const char *const g_own[] = {
    "file",        "table",        "schema",   "exclude-schema", "exclude-table",   "data-only",
    "schema-only", "clean",        "no-owner", "no-privileges",  "owners",          "privileges",
    "table-only",  "no-schema",    "no-data",  "drop",           "rows-per-insert", "progress",
    "no-progress", "format",       "copy",     "inserts",        "compress",        "jobs",
    "role",        "restrict-key", nullptr};

/* Options that only the complete script knows. */
const char *const g_complete_only[] = {"schema",     "exclude-schema", "exclude-table", "owners",
                                       "privileges", "restrict-key",   nullptr};

const char g_table_only_warning[] =
    "%s: warning: --table-only writes only the tables of schema public, their\n"
    "primary keys, sequences and rows; it leaves out other schemas, types,\n"
    "constraints other than primary keys, indexes, views, functions, triggers,\n"
    "sequence values and comments\n";

/* The output path, or "" after printing why there is none. */
std::string output_path(const options &o, const std::string &db, target &t)
{
    if (o.file_set && o.file == "-") {
        if (o.json) {
            error_msg("--json and -f - would both write to standard output");
            return "";
        }
        std::string err;
        if (temp_dir_make(t.temp_dir, err) != 0) {
            error_msg(err);
            return "";
        }
        t.via_stdio = true;
        return t.temp_dir + "/dump.sql";
    }
    if (o.file_set) {
        if (o.file.empty())
            error_msg("the output file name is empty");
        return o.file;
    }
    /* The default name must stay in the current directory. */
    std::string out = db;
    for (char &ch : out)
        if (ch == '/')
            ch = '_';
    if (o.compression == "gzip")
        return out + ".sql.gz";
    return out + (o.compression == "zstd" ? ".sql.zst" : ".sql");
}

int configure(const options &o, config_doc &c, target &t)
{
    if (t.dbname.empty()) {
        error_msg("no database: give -d DBNAME or set PGDATABASE");
        return EXIT_FAIL;
    }
    if (o.no_schema && o.no_data) {
        error_msg("--no-schema and --no-data together leave nothing to dump");
        return EXIT_FAIL;
    }
    for (const own_option &opt : o.own)
        for (const char *const *name = g_complete_only; o.table_only && *name != nullptr; name++)
            if (opt.long_name == *name) {
                error_msg("option " + opt.shown + " cannot be combined with --table-only");
                return EXIT_FAIL;
            }
    t.file = output_path(o, t.dbname, t);
    if (t.file.empty())
        return EXIT_FAIL;
    cd_text(c, "out_path", t.file, LIMIT_OUT_PATH, "the output path");
    if (!o.table_only)
        cd_flag(c, "complete", true);
    cd_list(c, "tables", o.tables, MAX_TABLES, "table name");
    cd_list(c, "schemas", o.schemas, MAX_SCHEMAS, "schema name");
    cd_list(c, "exclude_schemas", o.exclude_schemas, MAX_SCHEMAS, "schema name");
    cd_list(c, "exclude_tables", o.exclude_tables, MAX_TABLES, "table name");
    if (o.no_schema)
        cd_flag(c, "include_schema", false);
    if (o.no_data)
        cd_flag(c, "include_data", false);
    if (o.drop)
        cd_flag(c, "include_drop", true);
    if (o.owners >= 0)
        cd_flag(c, "include_owners", o.owners == 1);
    if (o.privileges >= 0)
        cd_flag(c, "include_privileges", o.privileges == 1);
    if (o.role_set)
        cd_text(c, "role", o.role, LIMIT_ROLE, "the role");
    if (o.restrict_key_set)
        cd_text(c, "restrict_key", o.restrict_key, LIMIT_RESTRICT_KEY, "the restrict key");
    if (o.rows_per_insert > 0)
        cd_number(c, "rows_per_insert", o.rows_per_insert);
    if (!o.data_format.empty())
        cd_text(c, "data_format", o.data_format, LIMIT_SSLMODE, "the data format");
    if (!o.compression.empty())
        cd_text(c, "compression", o.compression, LIMIT_SSLMODE, "the compression");
    if (o.compression_level > 0)
        cd_number(c, "compression_level", o.compression_level);
    if (o.jobs > 0)
        cd_number(c, "jobs", o.jobs);
    if (o.table_only && !c.failed)
        fprintf(stderr, g_table_only_warning, g_prog);
    t.tables = o.tables;
    t.exclude_tables = o.exclude_tables;
    t.include_data = !o.no_data;
    t.complete = !o.table_only;
    return 0;
}

/* A table name of the configuration against one of schema public. */
bool names_public_table(const std::string &configured, const std::string &name)
{
    return configured == name || configured == "public." + name;
}

/* The sum of the planner's row estimates of the tables of schema public
 * that the dump takes (the listing knows no other schema). */
long long row_estimate(const target &t)
{
    if (!t.include_data)
        return 0;
    json doc = reply_parse(pgdump_list_tables(t.config.c_str()));
    const json *list = jget(doc, "tables");
    if (!jflag(doc, "ok") || list == nullptr || !list->is_array())
        return 0;
    long long sum = 0;
    for (const json &v : *list) {
        std::string name = jstr(v, "name");
        bool wanted = t.tables.empty();
        for (const std::string &x : t.tables)
            wanted = wanted || names_public_table(x, name);
        for (const std::string &x : t.exclude_tables)
            wanted = wanted && !names_public_table(x, name);
        if (wanted)
            sum += jnum(v, "rows");
    }
    return sum;
}

/* Where the script is after a failed or cancelled run: the library writes
 * beside the output file and puts the script in place only when done, so
 * an earlier file there stays as it was.  A device or pipe is written in
 * place.  "" when nothing is left. */
std::string leftover_note(const target &t, const session_outcome &r)
{
    if (t.via_stdio)
        return "nothing was written to standard output";
    struct stat st;
    std::string partial = jstr(r.result, "partial_path");
    if (!partial.empty() && partial != t.file && stat(partial.c_str(), &st) == 0)
        return "the partial script stays in " + printable(partial);
    if (stat(t.file.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return "the partial script went to " + printable(t.file);
    return "";
}

int report(const options &o, const target &t, const session_outcome &r)
{
    const json &p = r.progress;
    std::vector<std::string> warnings =
        r.state == 3 ? jstrings(r.result, "warnings") : std::vector<std::string>();
    int done = warnings.empty() ? EXIT_OK : EXIT_WARNINGS;
    if (o.json) {
        printf("%s\n", r.reply.c_str());
        return r.state == 3 ? done : (r.cancelled ? EXIT_CANCELLED : EXIT_FAIL);
    }
    if (r.state == 3) {
        for (const std::string &w : warnings)
            fprintf(stderr, "%s: warning: %s\n", g_prog, printable(w).c_str());
        std::string err;
        if (t.via_stdio) {
            if (copy_file_to_fd(t.file, STDOUT_FILENO, err) != 0) {
                error_msg(err);
                return g_interrupts > 0 ? EXIT_CANCELLED : EXIT_FAIL;
            }
            return done;
        }
        long long bytes = jnum(r.result, "bytes"), ms = jnum(r.result, "elapsed_ms");
        long long tables = jnum(r.result, "tables");
        long long rate = ms > 0 ? bytes * 1000 / ms : 0;
        printf("Dumped %lld table%s, %s rows, %s in %.1f s (%s/s) to %s\n", tables,
               tables == 1 ? "" : "s", grouped(jnum(r.result, "rows")).c_str(),
               human_bytes(bytes).c_str(), (double)ms / 1000.0, human_bytes(rate).c_str(),
               printable(jstr(r.result, "out_path")).c_str());
        return done;
    }
    if (r.cancelled) {
        std::string note = leftover_note(t, r);
        fprintf(stderr, "%s: cancelled after %s: %lld of %lld tables done, %s rows%s%s\n", g_prog,
                human_duration(r.elapsed_ms).c_str(), jnum(p, "tables_done"),
                jnum(p, "tables_total"), grouped(jnum(p, "rows_written")).c_str(),
                note.empty() ? "" : "; ", note.c_str());
        return EXIT_CANCELLED;
    }
    error_msg(r.error.empty() ? std::string("dump failed (no reason given; a write to the "
                                            "output file may have failed)")
                              : r.error);
    password_hint(t, r.error);
    std::string note = leftover_note(t, r);
    if (!note.empty())
        fprintf(stderr, "%s: %s\n", g_prog, note.c_str());
    return EXIT_FAIL;
}

int run(const options &o, const target &t)
{
    progress_view pv;
    if (o.progress == 0)
        pv.mode = 0;
    else if (isatty(STDERR_FILENO))
        pv.mode = 1;
    else
        pv.mode = o.progress == 1 ? 2 : 0;
    /* Without a strict reading of a --config document the table list is
     * unknown; the estimate then covers every table, a fair guess. */
    if (pv.mode != 0)
        pv.estimate = row_estimate(t);

    catch_interrupts();
    pv.started = monotonic_ms();
    pv.last_plain = pv.started;
    int32_t s = pgdump_start(t.config.c_str());
    if (s < 0) {
        error_msg(pgdump_last_error());
        return EXIT_FAIL;
    }
    session_outcome r;
    session_wait(s, pv, "the dump", r);
    return report(o, t, r);
}

} // namespace

const command_def g_cmd_dump = {"dump", g_usage, g_own, configure, run};

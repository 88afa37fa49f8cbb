/*
 * The dump command: the dump's configuration keys, then a session
 * followed to its end, and the result for people.
 */
#include "commands.h"

#include "cli.h"
#include "session_wait.h"
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
    "The script goes to standard output unless -f names a file.  Replay it into\n"
    "an empty database with\n"
    "  veltrano-pgdump restore -d NEWDB -f FILE -1\n"
    "or psql -X -v ON_ERROR_STOP=1 -1 -f FILE -d NEWDB\n"
    "\n"
    "Dump options:\n"
    "  -f, --file=FILE          output file (default, and \"-\": standard output,\n"
    "                           written as the dump goes)\n"
    "  -F, --format=p           plain SQL, the only format (the archive formats c,\n"
    "                           d and t are not supported yet)\n"
    "  -n, --schema=PATTERN     dump only the schemas matching PATTERN (repeatable)\n"
    "  -N, --exclude-schema=PATTERN  leave the matching schemas out (repeatable)\n"
    "  -t, --table=PATTERN      dump only the matching tables, views and sequences\n"
    "                           (repeatable)\n"
    "  -T, --exclude-table=PATTERN  leave the matching tables out (repeatable)\n"
    "      --exclude-table-data=PATTERN  the matching tables without their rows\n"
    "                           Patterns as PostgreSQL's dump reads them: * and ?\n"
    "                           wildcards, [...] sets, letters folded to lower case\n"
    "                           unless in double quotes, SCHEMA.TABLE (a bare TABLE\n"
    "                           is looked for in schema public).  A -n or -t\n"
    "                           pattern that matches nothing fails the dump (as\n"
    "                           --strict-names, which is the default here)\n"
    "      --strict-names       accepted for PostgreSQL's habits: always on\n"
    "  -a, --data-only          only the rows (same as --no-schema)\n"
    "  -s, --schema-only        only the definitions (same as --no-data)\n"
    "  -c, --clean              drop each object before creating it (same as --drop)\n"
    "      --disable-triggers   with --data-only: turn each table's triggers off\n"
    "                           while its rows load (a superuser's restore)\n"
    "      --if-exists          with -c: the drops use IF EXISTS (they always do)\n"
    "      --no-comments        no COMMENT ON statements\n"
    "  -O, --no-owner           no owners (ALTER ... OWNER TO is written by default)\n"
    "  -x, --no-privileges      no privileges (GRANT/REVOKE are written by default)\n"
    "      --role=ROLE          SET ROLE to ROLE before dumping\n"
    "      --restrict-key=KEY   the key of the script's \\restrict fence (letters and\n"
    "                           digits; \"\" for no fence, for psql before 15.14)\n"
    "      --rows-per-insert=N  rows per INSERT statement, 1 to 1000 (default 100)\n"
    "      --copy               the rows as COPY ... FROM stdin (faster to write and\n"
    "                           replay)\n"
    "      --inserts            the rows as INSERT statements (the default);\n"
    "                           --format=copy and --format=inserts say the same\n"
    "  -Z, --compress=METHOD[:LEVEL]  compress the script: none, gzip (level 1-9)\n"
    "                           or zstd (level 1-22); a bare 0-9 is a gzip level\n"
    "  -j, --jobs=N             dump the rows of N tables at a time, 1 to 8, on\n"
    "                           one snapshot; needs -f FILE (the parts are written\n"
    "                           beside it); the script is the same as with -j 1\n"
    "      --section=SECTION    pre-data and post-data (the definitions) or data\n"
    "                           (the rows); repeatable; pre-data and post-data go\n"
    "                           together\n"
    "      --snapshot=ID        dump inside the snapshot another session exported\n"
    "      --serializable-deferrable  wait for a snapshot no serializable\n"
    "                           transaction can disturb\n"
    "      --lock-wait-timeout=MS  fail instead of waiting longer than MS\n"
    "                           milliseconds for a table's lock\n"
    "      --no-sync            do not wait for the file to reach the disk\n"
    "      --table-only         the older, smaller script: the tables of schema\n"
    "                           public only, with primary keys, their sequences and\n"
    "                           rows (at most 512 tables)\n"
    "  -v, --verbose            name each table on standard error as its rows are\n"
    "                           written\n"
    "      --progress           plain progress lines every 5 s even without a terminal\n"
    "      --no-progress        no progress output\n"
    "\n"
    "A FILE is written beside it as FILE.<random>.partial and put in place only\n"
    "when the dump is done, so an earlier FILE is never destroyed; standard\n"
    "output gets the script as it is written.  The summary, the progress line\n"
    "(while standard error is a terminal) and warnings go to standard error.\n"
    "Ctrl-C cancels the dump, leaving what was written in the partial file\n"
    "(named on standard error), and the exit status is 130.  With --json (and\n"
    "-f FILE) the final result reply is printed on standard output.\n"
    "\n"
    "Connection options as for the other commands (see veltrano-pgdump --help).\n";

const char *const g_own[] = {"file",
                             "table",
                             "schema",
                             "exclude-schema",
                             "exclude-table",
                             "data-only",
                             "schema-only",
                             "clean",
                             "no-owner",
                             "no-privileges",
                             "owners",
                             "privileges",
                             "table-only",
                             "no-schema",
                             "no-data",
                             "drop",
                             "rows-per-insert",
                             "progress",
                             "no-progress",
                             "format",
                             "copy",
                             "inserts",
                             "compress",
                             "jobs",
                             "verbose",
                             "exclude-table-data",
                             "strict-names",
                             "if-exists",
                             "no-comments",
                             "no-sync",
                             "snapshot",
                             "serializable-deferrable",
                             "lock-wait-timeout",
                             "section",
                             "role",
                             "restrict-key",
                             "disable-triggers",
                             nullptr};

/* Options that only the complete script knows. */
const char *const g_complete_only[] = {"schema",
                                       "exclude-schema",
                                       "exclude-table",
                                       "owners",
                                       "privileges",
                                       "exclude-table-data",
                                       "no-comments",
                                       "snapshot",
                                       "serializable-deferrable",
                                       "lock-wait-timeout",
                                       "restrict-key",
                                       "disable-triggers",
                                       nullptr};

const char g_table_only_warning[] =
    "%s: warning: --table-only writes only the tables of schema public, their\n"
    "primary keys, sequences and rows; it leaves out other schemas, types,\n"
    "constraints other than primary keys, indexes, views, functions, triggers,\n"
    "sequence values and comments\n";

/* The output path ("-" for standard output), or "" after printing why
 * there is none. */
std::string output_path(const options &o, target &t)
{
    if (!o.file_set || o.file == "-") {
        if (o.json) {
            error_msg("--json prints the result on standard output: give -f FILE for the "
                      "script");
            return "";
        }
        if (o.jobs > 1) {
            error_msg("-j needs -f FILE: the parts read in parallel are written beside the "
                      "output file");
            return "";
        }
        t.via_stdio = true;
        return "-";
    }
    if (o.file.empty())
        error_msg("the output file name is empty");
    return o.file;
}

/* --section as the parts of the script; 0, or EXIT_FAIL after saying why. */
int section_keys(const options &o, config_doc &c)
{
    if (!o.section_set)
        return 0;
    if (o.section_pre != o.section_post) {
        error_msg(std::string("--section=") + (o.section_pre ? "pre-data" : "post-data") +
                  " without --section=" + (o.section_pre ? "post-data" : "pre-data") +
                  " is not supported yet: the definitions are written as one part");
        return EXIT_FAIL;
    }
    if (!o.section_data)
        cd_flag(c, "include_data", false);
    if (!o.section_pre)
        cd_flag(c, "include_schema", false);
    return 0;
}

/* The pattern lists of the complete script, or the older table list. */
void selection_keys(const options &o, config_doc &c)
{
    if (o.table_only) {
        cd_list(c, "tables", o.tables, MAX_TABLES, "table name");
        return;
    }
    cd_list(c, "table_patterns", o.tables, MAX_PATTERNS, "table pattern");
    cd_list(c, "exclude_table_patterns", o.exclude_tables, MAX_PATTERNS, "table pattern");
    cd_list(c, "schema_patterns", o.schemas, MAX_PATTERNS, "schema pattern");
    cd_list(c, "exclude_schema_patterns", o.exclude_schemas, MAX_PATTERNS, "schema pattern");
    cd_list(c, "exclude_table_data_patterns", o.exclude_table_data, MAX_PATTERNS, "table pattern");
}

/* The keys of PostgreSQL's dump habits. */
void habit_keys(const options &o, config_doc &c)
{
    if (o.no_comments)
        cd_flag(c, "no_comments", true);
    if (o.no_sync)
        cd_flag(c, "no_sync", true);
    if (o.serializable_deferrable)
        cd_flag(c, "serializable_deferrable", true);
    if (!o.snapshot.empty())
        cd_text(c, "snapshot", o.snapshot, 63, "the snapshot id");
    if (o.lock_wait_timeout > 0)
        cd_number(c, "lock_wait_timeout", o.lock_wait_timeout);
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
    if (o.if_exists && !o.drop) {
        error_msg("option --if-exists requires option -c/--clean");
        return EXIT_FAIL;
    }
    for (const own_option &opt : o.own)
        for (const char *const *name = g_complete_only; o.table_only && *name != nullptr; name++)
            if (opt.long_name == *name) {
                error_msg("option " + opt.shown + " cannot be combined with --table-only");
                return EXIT_FAIL;
            }
    t.file = output_path(o, t);
    if (t.file.empty())
        return EXIT_FAIL;
    cd_text(c, "out_path", t.file, LIMIT_OUT_PATH, "the output path");
    if (t.via_stdio)
        cd_flag(c, "to_stdout", true);
    if (!o.table_only)
        cd_flag(c, "complete", true);
    selection_keys(o, c);
    if (section_keys(o, c) != 0)
        return EXIT_FAIL;
    if (o.no_schema)
        cd_flag(c, "include_schema", false);
    if (o.no_data)
        cd_flag(c, "include_data", false);
    if (o.drop)
        cd_flag(c, "include_drop", true);
    if (o.disable_triggers)
        cd_flag(c, "disable_triggers", true);
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
    habit_keys(o, c);
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
    /* Patterns are matched by the library; only literal names count here. */
    if (!t.include_data || (t.complete && !t.tables.empty()))
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
    if (t.via_stdio && jnum(r.progress, "bytes_written") == 0)
        return "nothing was written to standard output";
    if (t.via_stdio)
        return "the script went to standard output as far as it got: it is incomplete";
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
        /* The run's own time, waits for locks and logins included. */
        long long bytes = jnum(r.result, "bytes"), ms = r.elapsed_ms;
        long long tables = jnum(r.result, "tables");
        long long rate = ms > 0 ? bytes * 1000 / ms : 0;
        std::string to =
            t.via_stdio ? std::string("standard output") : printable(jstr(r.result, "out_path"));
        fprintf(stderr, "Dumped %lld table%s, %s rows, %s in %.1f s (%s/s) to %s\n", tables,
                tables == 1 ? "" : "s", grouped(jnum(r.result, "rows")).c_str(),
                human_bytes(bytes).c_str(), (double)ms / 1000.0, human_bytes(rate).c_str(),
                to.c_str());
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
    pv.verbose = o.verbose ? "dumping contents of table" : nullptr;

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

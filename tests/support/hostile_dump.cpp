#include "hostile_dump.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "dump_wait.h"
#include "fake_server.h"
#include "script/psql_lexer.h"
#include "veltrano-pgdump.h"

namespace
{

/* ---- The server's side: which query is answered how ------------------ */

/* Every query of the dump is recognised by one distinctive piece of its
 * text; the first rule whose needle occurs answers.  Queries nobody
 * recognises (SET, BEGIN, LOCK TABLE, ...) get a bare CommandComplete.
 * When the dump's queries change, this table is the one place to follow. */
enum answer_kind { A_TABLE_LIST, A_SEQUENCES, A_COLUMNS, A_PRIMARY_KEY, A_ROWS };

struct query_rule {
    const char *needle;
    answer_kind answer;
};

const query_rule QUERY_RULES[] = {
    {"SELECT c.oid, c.relname FROM pg_catalog.pg_class c", A_TABLE_LIST},
    {"FROM pg_catalog.pg_attrdef ad", A_SEQUENCES},
    {"FROM information_schema.columns", A_COLUMNS},
    {"i.indisprimary", A_PRIMARY_KEY},
    {" FROM ONLY ", A_ROWS},
};

bool holds_number(const std::string &sql, uint32_t n)
{
    std::string d = std::to_string(n);
    for (size_t at = sql.find(d); at != std::string::npos; at = sql.find(d, at + 1)) {
        bool before = at > 0 && isdigit((unsigned char)sql[at - 1]);
        bool after = at + d.size() < sql.size() && isdigit((unsigned char)sql[at + d.size()]);
        if (!before && !after)
            return true;
    }
    return false;
}

/* The table a per-table query is about: by its marker, else by its OID. */
const hostile_table *table_of(const hostile_catalogue &cat, const std::string &sql)
{
    for (size_t i = 0; i < cat.tables.size(); i++)
        if (sql.find(hostile_table_marker(i)) != std::string::npos)
            return &cat.tables[i];
    for (const auto &t : cat.tables)
        if (holds_number(sql, t.oid))
            return &t;
    return nullptr;
}

std::string rows_answer(const std::vector<std::pair<std::string, uint32_t>> &columns,
                        const std::vector<std::vector<opt_text>> &rows)
{
    std::string out = be_row_description(columns);
    for (const auto &r : rows)
        out += be_data_row(r);
    return out + be_complete("SELECT " + std::to_string(rows.size())) + be_ready();
}

std::string tf(bool b)
{
    return b ? "t" : "f";
}

/* What quote_ident(x) = x says: a plain lower-case word. */
bool plain_word(const std::string &x)
{
    if (x.empty() || !(islower((unsigned char)x[0]) || x[0] == '_'))
        return false;
    for (unsigned char c : x)
        if (!(islower(c) || isdigit(c) || c == '_'))
            return false;
    return true;
}

std::string columns_answer(const hostile_table &t)
{
    std::vector<std::vector<opt_text>> rows;
    for (const auto &c : t.columns) {
        std::string base =
            c.data_type == "ARRAY" && !c.udt_name.empty() ? c.udt_name.substr(1) : c.udt_name;
        rows.push_back({c.name, c.data_type, c.char_len, c.precision, c.scale, c.udt_schema,
                        c.udt_name, tf(c.plain_flags_lie || plain_word(c.udt_schema)),
                        tf(c.plain_flags_lie || plain_word(base)),
                        std::string(c.not_null ? "NO" : "YES"), c.default_text});
    }
    std::vector<std::pair<std::string, uint32_t>> cols;
    for (const char *n : {"column_name", "data_type", "character_maximum_length",
                          "numeric_precision", "numeric_scale", "udt_schema", "udt_name",
                          "?column?", "?column?", "is_nullable", "column_default"})
        cols.push_back({n, 25});
    return rows_answer(cols, rows);
}

std::string answer(const hostile_catalogue &cat, answer_kind kind, const std::string &sql)
{
    if (kind == A_TABLE_LIST) {
        std::vector<std::vector<opt_text>> rows;
        for (const auto &t : cat.tables)
            rows.push_back({std::to_string(t.oid), t.name});
        return rows_answer({{"oid", 26}, {"relname", 19}}, rows);
    }
    const hostile_table *t = table_of(cat, sql);
    if (t == nullptr)
        return be_error("ERROR", "42P01", "relation does not exist") + be_ready();
    switch (kind) {
    case A_SEQUENCES: {
        std::vector<std::vector<opt_text>> rows;
        for (const auto &q : t->sequences)
            rows.push_back({q.schema, q.name, tf(q.visible),
                            tf(q.plain_flags_lie || plain_word(q.schema)),
                            tf(q.plain_flags_lie || plain_word(q.name))});
        return rows_answer({{"nspname", 19}, {"relname", 19}, {"v", 16}, {"p1", 16}, {"p2", 16}},
                           rows);
    }
    case A_COLUMNS:
        return columns_answer(*t);
    case A_PRIMARY_KEY: {
        std::vector<opt_text> names(t->key_columns.begin(), t->key_columns.end());
        return be_single_column("attname", names);
    }
    case A_ROWS: {
        std::vector<std::pair<std::string, uint32_t>> cols;
        for (const auto &c : t->columns)
            cols.push_back({c.name, c.oid});
        return rows_answer(cols, t->rows);
    }
    default:
        return be_complete("SELECT 0") + be_ready();
    }
}

std::string respond(const hostile_catalogue &cat, const std::string &msg)
{
    if (msg.empty() || msg[0] != 'Q')
        return ""; /* Terminate, or nothing the dump sends */
    std::string sql = msg.size() > 5 ? msg.substr(5) : "";
    if (!sql.empty() && sql.back() == '\0')
        sql.pop_back();
    for (const query_rule &r : QUERY_RULES)
        if (sql.find(r.needle) != std::string::npos)
            return answer(cat, r.answer, sql);
    std::string tag = sql.substr(0, sql.find(' '));
    return be_complete(tag) + be_ready();
}

/* ---- Drawing a catalogue from bytes ----------------------------------- */

struct byte_source {
    const uint8_t *p;
    size_t n;
    size_t i;
    uint8_t next() { return i < n ? p[i++] : 0; }
    size_t pick(size_t k) { return next() % k; }
};

const char *const ATOMS[] = {
    "'",        "''",   "\\",       "\\\\",
    "\"",       "\"\"", "\n",       "\r\n",
    "$$",       "$a$",  "$1",       "--",
    "/*",       "*/",   ";",        "\\! id > /tmp/pgdump-hostile\n",
    "\\.",      "\\;",  ":foo",     ":'v'",
    "E'",       "e'",   "\xff\xfe", "\xc3",
    "\xe2\x82", " ",    "(",        ")",
    "1e",       "x",    "abc",      "BEGIN ",
    "END",      ", ",   "\t",       "\nCOPY x FROM stdin;\n",
    "U&'",      "x'",   "\r",
};
const size_t ATOM_COUNT = sizeof ATOMS / sizeof ATOMS[0];

/* Bytes a configuration document can carry in a database name. */
const char *const DB_ATOMS[] = {
    "\n", "\\! id > /tmp/pgdump-hostile", "'", "\"", "\\", "--", "/*", "x", ";", "\r"};

std::string hostile_text(byte_source *src, const char *plain)
{
    if (src->pick(5) < 2)
        return plain;
    std::string s = plain;
    size_t atoms = 1 + src->pick(5);
    for (size_t i = 0; i < atoms; i++) {
        size_t k = src->pick(ATOM_COUNT + 3);
        if (k < ATOM_COUNT)
            s += ATOMS[k];
        else if (k == ATOM_COUNT)
            s += std::string(1, (char)src->next()); /* any byte, NUL included */
        else if (k == ATOM_COUNT + 1)
            s += std::string(1, '\0');
        else
            s += std::string(120 + src->pick(200), src->pick(2) ? '"' : 'n'); /* over-long */
    }
    return s;
}

const char *const TYPE_NAMES[] = {
    "integer", "text", "bytea", "boolean", "numeric", "double precision", "character varying"};

const char *const NUMBERS[] = {"1",  "-5", "2.5", "1--",      "1e--x", "NaN", "-0",
                               "1;", "1)", "1/*", "Infinity", "1e5",   "$1",  "1e'"};
const char *const BYTEAS[] = {"\\x00", "\\x00'); CREATE ROLE e SUPERUSER; --", "\\xdeadbeef", "\\x",
                              "'"};

opt_text hostile_value(byte_source *src, uint32_t oid)
{
    size_t k = src->pick(8);
    if (k == 0)
        return std::nullopt;
    switch (oid) {
    case 23:
    case 1700:
    case 701:
        if (k < 6)
            return std::string(NUMBERS[src->pick(sizeof NUMBERS / sizeof NUMBERS[0])]);
        break;
    case 16:
        if (k < 6)
            return std::string(src->pick(2) ? "t" : "f");
        break;
    case 17:
        if (k < 6)
            return std::string(BYTEAS[src->pick(sizeof BYTEAS / sizeof BYTEAS[0])]);
        break;
    default:
        break;
    }
    return hostile_text(src, "v");
}

/* The column's type as the catalogue describes it, plain or twisted. */
void hostile_type(byte_source *src, hostile_column *c)
{
    size_t n = sizeof TYPE_NAMES / sizeof TYPE_NAMES[0];
    size_t k = src->pick(n + 3);
    if (k < n) {
        hostile_column p = plain_column(c->name, TYPE_NAMES[k]);
        c->data_type = p.data_type;
        c->char_len = p.char_len;
        c->precision = p.precision;
        c->scale = p.scale;
        c->udt_name = p.udt_name;
        c->oid = p.oid;
        if (src->pick(4) == 0) /* lengths and precisions that are no numbers */
            (c->char_len ? c->char_len : c->precision) = hostile_text(src, "40");
        return;
    }
    c->oid = 25;
    if (k == n) {
        c->data_type = hostile_text(src, "integer");
        c->udt_name = "int4";
        return;
    }
    c->data_type = k == n + 1 ? "USER-DEFINED" : "ARRAY";
    c->udt_schema = hostile_text(src, "public");
    c->udt_name = (k == n + 1 ? "" : "_") + hostile_text(src, "mood");
    c->plain_flags_lie = src->pick(3) == 0;
}

hostile_column hostile_col(byte_source *src, size_t index, hostile_table *t)
{
    hostile_column c;
    c.name = hostile_text(src, ("c" + std::to_string(index)).c_str());
    hostile_type(src, &c);
    c.not_null = src->pick(2) == 0;
    switch (src->pick(4)) {
    case 0: {
        hostile_sequence q;
        q.name = hostile_text(src, ("s" + std::to_string(t->sequences.size())).c_str());
        if (src->pick(3) == 0)
            q.schema = hostile_text(src, "app");
        q.visible = src->pick(2) == 0;
        q.plain_flags_lie = src->pick(3) == 0;
        t->sequences.push_back(q);
        std::string lit;
        for (char ch : q.name)
            lit += ch == '\'' ? std::string("''") : std::string(1, ch);
        c.default_text = "nextval('" + lit + "'::regclass)";
        break;
    }
    case 1:
        c.default_text = hostile_text(src, "'d'::text");
        break;
    default:
        break;
    }
    return c;
}

std::string json_string(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char ch : s) {
        if (ch == '"' || ch == '\\')
            out += std::string("\\") + (char)ch;
        else if (ch == '\n')
            out += "\\n";
        else if (ch == '\r')
            out += "\\r";
        else if (ch == '\t')
            out += "\\t";
        else if (ch >= 0x20)
            out += (char)ch;
    }
    return out + "\"";
}

} // namespace

std::string hostile_table_marker(size_t index)
{
    return std::string("zq") + (char)('a' + index) + "q";
}

uint32_t hostile_table_oid(size_t index)
{
    return 90001 + (uint32_t)index;
}

hostile_column plain_column(const std::string &name, const std::string &type)
{
    hostile_column c;
    c.name = name;
    c.data_type = type;
    c.not_null = false;
    const struct {
        const char *type, *udt;
        uint32_t oid;
    } known[] = {{"integer", "int4", 23},
                 {"text", "text", 25},
                 {"bytea", "bytea", 17},
                 {"boolean", "bool", 16},
                 {"numeric", "numeric", 1700},
                 {"double precision", "float8", 701},
                 {"character varying", "varchar", 1043}};
    c.udt_name = "text";
    c.oid = 25;
    for (const auto &k : known)
        if (type == k.type) {
            c.udt_name = k.udt;
            c.oid = k.oid;
        }
    if (type == "numeric") {
        c.precision = std::string("10");
        c.scale = std::string("2");
    } else if (type == "character varying") {
        c.char_len = std::string("40");
    }
    return c;
}

hostile_catalogue hostile_from_bytes(const uint8_t *data, size_t size)
{
    byte_source src = {data, size, 0};
    hostile_catalogue cat;
    if (src.pick(3) == 0)
        cat.server_version = hostile_text(&src, "16.4");
    if (src.pick(3) == 0) {
        cat.database = "db";
        for (size_t i = 0, n = 1 + src.pick(4); i < n; i++)
            cat.database += DB_ATOMS[src.pick(sizeof DB_ATOMS / sizeof DB_ATOMS[0])];
    }
    cat.rows_per_insert = 1 + (int)src.pick(3);
    cat.include_drop = src.pick(2) == 0;
    size_t tables = 1 + src.pick(3);
    for (size_t i = 0; i < tables; i++) {
        hostile_table t;
        t.name = hostile_text(&src, hostile_table_marker(i).c_str());
        if (t.name.compare(0, 4, hostile_table_marker(i)) != 0)
            t.name = hostile_table_marker(i) + t.name;
        size_t cols = 1 + src.pick(3);
        for (size_t k = 0; k < cols; k++)
            t.columns.push_back(hostile_col(&src, k, &t));
        t.oid = hostile_table_oid(i);
        if (src.pick(3) == 0)
            t.key_columns.push_back(src.pick(2) ? t.columns[0].name : hostile_text(&src, "c0"));
        size_t rows = src.pick(5);
        for (size_t r = 0; r < rows; r++) {
            std::vector<opt_text> row;
            for (const auto &c : t.columns)
                row.push_back(hostile_value(&src, c.oid));
            t.rows.push_back(row);
        }
        cat.tables.push_back(t);
    }
    return cat;
}

std::vector<std::string> hostile_expected_statements(const hostile_catalogue &cat)
{
    std::vector<std::string> out = {"SET", "SET"};
    for (const auto &t : cat.tables) {
        if (cat.include_drop)
            out.push_back("DROP TABLE");
        for (size_t i = 0; i < t.sequences.size(); i++)
            out.push_back("CREATE SEQUENCE");
        out.push_back("CREATE TABLE");
        size_t per = (size_t)cat.rows_per_insert;
        for (size_t i = 0; i < (t.rows.size() + per - 1) / per; i++)
            out.push_back("INSERT INTO");
    }
    return out;
}

std::string judge_script(const std::string &script, const std::vector<std::string> &expected)
{
    std::vector<lx_item> items(script.size() + 1);
    lx_split_result r;
    if (lx_split(script.data(), script.size(), items.data(), items.size(), &r) != 0)
        return std::string("does not lex: ") + r.error;
    if (r.flags & LX_F_NUL)
        return "holds a NUL byte";
    if (r.open != LX_OPEN_NONE)
        return "ends inside an open construct (" + std::to_string(r.open) + ")";
    for (size_t i = 0; i < r.count; i++)
        if (items[i].kind == LX_ITEM_META)
            return "backslash command at line " + std::to_string(items[i].line) + ": " +
                   script.substr(items[i].start, items[i].len < 80 ? items[i].len : 80);
    size_t k = 0;
    for (size_t i = 0; i < r.count; i++) {
        const lx_item &it = items[i];
        std::string text = script.substr(it.start, it.len);
        if (it.kind == LX_ITEM_SPACE)
            continue;
        std::string where = " at line " + std::to_string(it.line) + ": " + text.substr(0, 80);
        if (it.kind != LX_ITEM_STATEMENT)
            return "not a statement (kind " + std::to_string(it.kind) + ")" + where;
        if (k >= expected.size())
            return "statement beyond the " + std::to_string(expected.size()) + " expected" + where;
        const std::string &word = expected[k++];
        if (text.compare(0, word.size(), word) != 0 || text.size() <= word.size() ||
            (text[word.size()] != ' ' && text[word.size()] != '\n'))
            return "statement " + std::to_string(k) + " should start with " + word + where;
    }
    if (k != expected.size())
        return std::to_string(k) + " statements, expected " + std::to_string(expected.size());
    return "";
}

hostile_outcome run_hostile_dump(const hostile_catalogue &cat, const std::string &out_path)
{
    hostile_outcome out;
    remove(out_path.c_str());
    fake_server srv;
    srv.read_startup().send(be_trust_login(cat.server_version));
    /* Far more rounds than a dump of three tables asks; the script ends
     * when the dump hangs up. */
    for (int i = 0; i < 400; i++)
        srv.read_message().reply([&cat](const std::vector<std::string> &msgs) {
            return respond(cat, msgs.empty() ? std::string() : msgs.back());
        });
    srv.start();

    std::string cfg =
        "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(srv.port()) +
        ",\"user\":\"u\",\"password\":\"\",\"database\":" + json_string(cat.database) +
        ",\"out_path\":" + json_string(out_path) +
        ",\"rows_per_insert\":" + std::to_string(cat.rows_per_insert) +
        ",\"include_drop\":" + (cat.include_drop ? "true" : "false") + "}";
    int s = pgdump_start(cfg.c_str());
    if (s < 0) {
        out.error = pgdump_last_error();
        srv.join();
        return out;
    }
    out.state = wait_final(s, 30000);
    if (out.state != 3)
        out.error = pgdump_result(s);
    pgdump_free(s);
    srv.join();
    if (srv.script_error() != "client closed the connection")
        out.server_error = srv.script_error();
    if (out.state == 3) {
        out.script = read_file(out_path);
        out.verdict = judge_script(out.script, hostile_expected_statements(cat));
    }
    remove(out_path.c_str());
    return out;
}

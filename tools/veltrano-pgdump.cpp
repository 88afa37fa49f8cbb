/*
 * veltrano-pgdump: the command-line host of the library.
 *
 * It does nothing the library does not do: it turns options and the usual
 * PG* environment variables into a configuration document, calls the
 * exported functions and shows their replies to people (aligned tables,
 * a live progress line) or, with --json, prints the replies unchanged.
 *
 * POSIX only: the terminal handling (isatty, termios, SIGINT, the window
 * size) has no Windows counterpart here.  A Windows host would replace
 * the few functions in the "terminal and signals" section.
 */
#include "veltrano-pgdump.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace
{

const char *const g_prog = "veltrano-pgdump";

/* Limits of the library's configuration fields, counted in bytes of the
 * JSON string as written (an escape pair counts two): a longer value would
 * be cut silently there, so it is refused here. */
const size_t LIMIT_HOST = 255;
const size_t LIMIT_USER = 127;
const size_t LIMIT_PASSWORD = 255;
const size_t LIMIT_DATABASE = 127;
const size_t LIMIT_OUT_PATH = 1023;
const size_t LIMIT_TABLE = 127;
const size_t MAX_TABLES = 512;

const int EXIT_OK = 0;
const int EXIT_FAIL = 1;
const int EXIT_CANCELLED = 130;

/* ------------------------------------------------------------------ */
/* Reading the library's replies                                       */
/* ------------------------------------------------------------------ */

/* The replies are compact, strict JSON; this reader takes exactly that
 * and nothing lenient.  Numbers keep their text so 64-bit counters are
 * not squeezed through a double. */
struct jvalue {
    enum kind_t { NUL, BOOL, NUM, STR, ARR, OBJ } kind = NUL;
    bool b = false;
    std::string text;
    std::vector<std::string> keys; /* OBJ: keys[i] names items[i] */
    std::vector<jvalue> items;

    const jvalue *get(const char *key) const
    {
        if (kind != OBJ)
            return nullptr;
        for (size_t i = 0; i < keys.size(); i++)
            if (keys[i] == key)
                return &items[i];
        return nullptr;
    }
    long long num(const char *key, long long fallback = 0) const
    {
        const jvalue *v = get(key);
        if (v == nullptr || v->kind != NUM)
            return fallback;
        return strtoll(v->text.c_str(), nullptr, 10);
    }
    std::string str(const char *key) const
    {
        const jvalue *v = get(key);
        return (v != nullptr && v->kind == STR) ? v->text : std::string();
    }
    bool flag(const char *key) const
    {
        const jvalue *v = get(key);
        return v != nullptr && v->kind == BOOL && v->b;
    }
};

struct jreader {
    const char *p;
    int depth;
};

void skip_ws(jreader &r)
{
    while (*r.p == ' ' || *r.p == '\t' || *r.p == '\n' || *r.p == '\r')
        r.p++;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool read_hex4(jreader &r, unsigned &out)
{
    out = 0;
    for (int i = 0; i < 4; i++) {
        int d = hex_digit(r.p[i]);
        if (d < 0)
            return false;
        out = out * 16 + (unsigned)d;
    }
    r.p += 4;
    return true;
}

void put_utf8(std::string &s, unsigned cp)
{
    if (cp < 0x80) {
        s += (char)cp;
    } else if (cp < 0x800) {
        s += (char)(0xC0 | (cp >> 6));
        s += (char)(0x80 | (cp & 0x3F));
    } else {
        s += (char)(0xE0 | (cp >> 12));
        s += (char)(0x80 | ((cp >> 6) & 0x3F));
        s += (char)(0x80 | (cp & 0x3F));
    }
}

/* The library escapes only control bytes with \u, so code points beyond
 * the first plane (surrogate pairs) never come up. */
bool read_string(jreader &r, std::string &out)
{
    static const char plain[] = "\"\\/bfnrt";
    static const char decoded[] = "\"\\/\b\f\n\r\t";
    if (*r.p != '"')
        return false;
    r.p++;
    out.clear();
    for (;;) {
        char c = *r.p++;
        if (c == '\0')
            return false;
        if (c == '"')
            return true;
        if (c != '\\') {
            out += c;
            continue;
        }
        char e = *r.p++;
        const char *hit = e != '\0' ? strchr(plain, e) : nullptr;
        unsigned cp;
        if (hit != nullptr)
            out += decoded[hit - plain];
        else if (e == 'u' && read_hex4(r, cp))
            put_utf8(out, cp);
        else
            return false;
    }
}

bool read_value(jreader &r, jvalue &v)
{
    /* Replies are flat; the bound only guards against a runaway input. */
    if (++r.depth > 32)
        return false;
    skip_ws(r);
    bool ok = true;
    if (*r.p == '{') {
        v.kind = jvalue::OBJ;
        r.p++;
        skip_ws(r);
        if (*r.p == '}') {
            r.p++;
        } else {
            for (;;) {
                std::string key;
                skip_ws(r);
                if (!read_string(r, key))
                    return false;
                skip_ws(r);
                if (*r.p++ != ':')
                    return false;
                jvalue item;
                if (!read_value(r, item))
                    return false;
                v.keys.push_back(key);
                v.items.push_back(item);
                skip_ws(r);
                if (*r.p == ',') {
                    r.p++;
                    continue;
                }
                if (*r.p++ != '}')
                    return false;
                break;
            }
        }
    } else if (*r.p == '[') {
        v.kind = jvalue::ARR;
        r.p++;
        skip_ws(r);
        if (*r.p == ']') {
            r.p++;
        } else {
            for (;;) {
                jvalue item;
                if (!read_value(r, item))
                    return false;
                v.items.push_back(item);
                skip_ws(r);
                if (*r.p == ',') {
                    r.p++;
                    continue;
                }
                if (*r.p++ != ']')
                    return false;
                break;
            }
        }
    } else if (*r.p == '"') {
        v.kind = jvalue::STR;
        ok = read_string(r, v.text);
    } else if (strncmp(r.p, "true", 4) == 0) {
        v.kind = jvalue::BOOL;
        v.b = true;
        r.p += 4;
    } else if (strncmp(r.p, "false", 5) == 0) {
        v.kind = jvalue::BOOL;
        r.p += 5;
    } else if (strncmp(r.p, "null", 4) == 0) {
        r.p += 4;
    } else {
        const char *s = r.p;
        if (*r.p == '-')
            r.p++;
        while ((*r.p >= '0' && *r.p <= '9') || *r.p == '.' || *r.p == 'e' || *r.p == 'E' ||
               *r.p == '+' || *r.p == '-')
            r.p++;
        if (r.p == s)
            return false;
        v.kind = jvalue::NUM;
        v.text.assign(s, (size_t)(r.p - s));
    }
    r.depth--;
    return ok;
}

bool json_parse(const char *text, jvalue &out)
{
    out = jvalue();
    if (text == nullptr)
        return false;
    jreader r = {text, 0};
    if (!read_value(r, out))
        return false;
    skip_ws(r);
    return *r.p == '\0';
}

/* ------------------------------------------------------------------ */
/* Building the configuration document                                 */
/* ------------------------------------------------------------------ */

/* The library's scanner decodes only \" \\ \n \t \r inside strings and
 * takes every other byte as it stands (a \u escape would reach it as the
 * letter u and four digits), so other bytes are written raw and control
 * bytes that have no such escape cannot be carried at all. */
bool json_string(const std::string &value, std::string &out, std::string &err, const char *what)
{
    static const char special[] = "\"\\\n\t\r";
    static const char letter[] = "\"\\ntr";
    out += '"';
    for (unsigned char c : value) {
        const char *hit = c != 0 ? strchr(special, c) : nullptr;
        if (hit != nullptr) {
            out += '\\';
            out += letter[hit - special];
        } else if (c < 0x20) {
            char buf[160];
            snprintf(buf, sizeof buf,
                     "%s contains the control byte 0x%02x, which the configuration cannot carry",
                     what, c);
            err = buf;
            return false;
        } else {
            out += (char)c;
        }
    }
    out += '"';
    return true;
}

struct config_doc {
    std::string text = "{";
    std::string err;
    bool failed = false;

    void sep()
    {
        if (text.size() > 1)
            text += ',';
    }
    /* The value as a JSON string, or false with err set. */
    bool quote(const std::string &value, size_t limit, const char *what, std::string &quoted)
    {
        if (failed || !json_string(value, quoted, err, what)) {
            failed = true;
            return false;
        }
        if (quoted.size() - 2 > limit) {
            char buf[200];
            snprintf(buf, sizeof buf,
                     "%s is too long: at most %zu bytes (a quote, backslash, tab, line feed "
                     "or carriage return counts twice)",
                     what, limit);
            err = buf;
            failed = true;
            return false;
        }
        return true;
    }
    void add_text(const char *key, const std::string &value, size_t limit, const char *what)
    {
        std::string quoted;
        if (!quote(value, limit, what, quoted))
            return;
        sep();
        text += std::string("\"") + key + "\":" + quoted;
    }
    void add_number(const char *key, long long value)
    {
        sep();
        text += std::string("\"") + key + "\":" + std::to_string(value);
    }
    void add_flag(const char *key, bool value)
    {
        sep();
        text += std::string("\"") + key + "\":" + (value ? "true" : "false");
    }
    void add_tables(const std::vector<std::string> &tables)
    {
        if (failed || tables.empty())
            return;
        if (tables.size() > MAX_TABLES) {
            err = "too many tables: at most " + std::to_string(MAX_TABLES);
            failed = true;
            return;
        }
        std::string list = "\"tables\":[";
        for (size_t i = 0; i < tables.size(); i++) {
            std::string quoted;
            if (!quote(tables[i], LIMIT_TABLE, "a table name", quoted))
                return;
            list += (i > 0 ? "," : "") + quoted;
        }
        sep();
        text += list + "]";
    }
    std::string finish() { return text + "}"; }
};

/* ------------------------------------------------------------------ */
/* Output for people                                                   */
/* ------------------------------------------------------------------ */

/* Names and server texts reach the terminal: control bytes are shown as
 * \xNN so a crafted table name cannot move the cursor or retitle it. */
std::string printable(const std::string &s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += (char)c;
        }
    }
    return out;
}

/* Terminal columns taken by a UTF-8 text: East Asian wide characters and
 * most emoji take two, combining marks none.  Enough to align tables. */
size_t display_width(const std::string &s)
{
    size_t w = 0;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        unsigned cp;
        size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            n = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            n = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            n = 4;
        } else {
            w++;
            i++;
            continue;
        }
        if (i + n > s.size()) {
            w++;
            break;
        }
        for (size_t k = 1; k < n; k++)
            cp = (cp << 6) | ((unsigned char)s[i + k] & 0x3F);
        i += n;
        if ((cp >= 0x300 && cp < 0x370) || cp == 0x200D || (cp >= 0xFE00 && cp <= 0xFE0F))
            continue;
        if ((cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
            (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
            (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
            (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1FAFF) ||
            (cp >= 0x20000 && cp <= 0x3FFFD))
            w += 2;
        else
            w += 1;
    }
    return w;
}

/* Cuts a UTF-8 text to at most max columns, never inside a character. */
std::string fit_width(const std::string &s, size_t max)
{
    if (display_width(s) <= max)
        return s;
    std::string out;
    for (size_t i = 0; i < s.size();) {
        size_t n = 1;
        unsigned char c = (unsigned char)s[i];
        if ((c & 0xE0) == 0xC0)
            n = 2;
        else if ((c & 0xF0) == 0xE0)
            n = 3;
        else if ((c & 0xF8) == 0xF0)
            n = 4;
        std::string next = out + s.substr(i, n);
        if (display_width(next) + 1 > max)
            break;
        out = next;
        i += n;
    }
    return out + "~";
}

std::string pad(const std::string &s, size_t width, bool right)
{
    size_t w = display_width(s);
    std::string fill(w < width ? width - w : 0, ' ');
    return right ? fill + s : s + fill;
}

/* 1.2 MB style: one decimal below ten units, whole numbers above. */
std::string human_bytes(long long n)
{
    static const char *const units[] = {"B", "kB", "MB", "GB", "TB", "PB"};
    double v = (double)(n < 0 ? 0 : n);
    int u = 0;
    while (v >= 1024.0 && u < 5) {
        v /= 1024.0;
        u++;
    }
    char buf[32];
    if (u == 0)
        snprintf(buf, sizeof buf, "%lld B", n < 0 ? 0 : n);
    else if (v < 9.95)
        snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    else
        snprintf(buf, sizeof buf, "%.0f %s", v, units[u]);
    return buf;
}

/* 350k style for row counts. */
std::string human_count(long long n)
{
    static const char *const units[] = {"", "k", "M", "G", "T"};
    if (n < 1000)
        return std::to_string(n < 0 ? 0 : n);
    double v = (double)n;
    int u = 0;
    while (v >= 999.5 && u < 4) {
        v /= 1000.0;
        u++;
    }
    char buf[32];
    if (v < 9.95)
        snprintf(buf, sizeof buf, "%.1f%s", v, units[u]);
    else
        snprintf(buf, sizeof buf, "%.0f%s", v, units[u]);
    return buf;
}

std::string grouped(long long n)
{
    std::string digits = std::to_string(n < 0 ? -n : n);
    std::string out;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return n < 0 ? "-" + out : out;
}

std::string human_duration(long long ms)
{
    long long s = ms / 1000;
    char buf[32];
    if (s >= 3600)
        snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
    else
        snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
    return buf;
}

/* psql's aligned format: a header, a rule, the rows, no outer frame. */
void print_table(const std::vector<std::string> &head, const std::vector<bool> &right,
                 const std::vector<std::vector<std::string>> &rows)
{
    std::vector<size_t> width(head.size());
    for (size_t c = 0; c < head.size(); c++) {
        width[c] = display_width(head[c]);
        for (const auto &row : rows)
            width[c] = std::max(width[c], display_width(row[c]));
    }
    auto emit = [&](const std::vector<std::string> &cells, bool is_head) {
        std::string out;
        for (size_t c = 0; c < cells.size(); c++) {
            if (c > 0)
                out += "|";
            out += " " + pad(cells[c], width[c], right[c] && !is_head) + " ";
        }
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
        printf("%s\n", out.c_str());
    };
    emit(head, true);
    std::string rule;
    for (size_t c = 0; c < head.size(); c++) {
        if (c > 0)
            rule += "+";
        rule += std::string(width[c] + 2, '-');
    }
    printf("%s\n", rule.c_str());
    for (const auto &row : rows)
        emit(row, false);
}

void error_msg(const std::string &text)
{
    fprintf(stderr, "%s: error: %s\n", g_prog, printable(text).c_str());
}

/* ------------------------------------------------------------------ */
/* Terminal and signals                                                */
/* ------------------------------------------------------------------ */

volatile sig_atomic_t g_interrupts = 0;

void on_interrupt(int)
{
    g_interrupts = g_interrupts + 1;
}

/* Ctrl-C and SIGTERM only count; the code that waits decides.  No
 * SA_RESTART: a blocking read of the password prompt must return. */
void catch_interrupts(struct sigaction *old_int = nullptr, struct sigaction *old_term = nullptr)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, old_int);
    sigaction(SIGTERM, &sa, old_term);
}

long long monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(int ms)
{
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

size_t terminal_columns(int fd)
{
    struct winsize ws;
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20)
        return ws.ws_col;
    return 80;
}

std::string login_name()
{
    struct passwd *pw = getpwuid(geteuid());
    if (pw != nullptr && pw->pw_name != nullptr && *pw->pw_name)
        return pw->pw_name;
    const char *u = getenv("USER");
    if (u == nullptr || *u == '\0')
        u = getenv("LOGNAME");
    return u != nullptr ? u : "";
}

/* Reads a password from the controlling terminal with echo off.  Returns
 * 0, -1 when there is no terminal, or 1 when interrupted (Ctrl-C). */
int prompt_password(const char *prompt, std::string &out)
{
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    /* Ctrl-C must not end the process with echo still off. */
    struct sigaction old_int, old_term;
    catch_interrupts(&old_int, &old_term);
    struct termios saved, quiet;
    bool have_termios = tcgetattr(fd, &saved) == 0;
    if (have_termios) {
        quiet = saved;
        quiet.c_lflag &= ~(tcflag_t)(ECHO | ECHONL);
        quiet.c_lflag |= ICANON;
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    ssize_t ignored = write(fd, prompt, strlen(prompt));
    (void)ignored;
    out.clear();
    int rc = 0;
    for (;;) {
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            if (g_interrupts > 0) {
                rc = 1;
                break;
            }
            continue;
        }
        if (n <= 0 || c == '\n' || c == '\r')
            break;
        out += c;
    }
    if (have_termios)
        tcsetattr(fd, TCSAFLUSH, &saved);
    ignored = write(fd, "\n", 1);
    close(fd);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    return rc;
}

/* ------------------------------------------------------------------ */
/* Options                                                             */
/* ------------------------------------------------------------------ */

enum command_t { CMD_NONE, CMD_TEST, CMD_DATABASES, CMD_TABLES, CMD_DUMP, CMD_HELP };

struct options {
    command_t command = CMD_NONE;
    std::string help_topic;
    bool help = false;
    bool version = false;
    bool json = false;

    std::string host, port, user, dbname;
    bool host_set = false, port_set = false, user_set = false, dbname_set = false;
    bool ask_password = false;
    std::string config_file;
    bool config_set = false;

    std::string out_file;
    bool out_set = false;
    std::vector<std::string> tables;
    bool no_schema = false, no_data = false, drop = false;
    long rows_per_insert = 0;           /* 0: the library's default */
    int progress = -1;                  /* -1 when stderr is a terminal, 0 never, 1 plain lines */
    std::vector<std::string> only_dump; /* dump-only options met, for the message */
};

const char *const g_usage_main =
    "veltrano-pgdump inspects PostgreSQL databases and dumps the tables of schema\n"
    "public into a plain SQL script.\n"
    "\n"
    "Usage:\n"
    "  veltrano-pgdump [OPTION]... COMMAND [OPTION]...\n"
    "\n"
    "Commands:\n"
    "  test        log in and show the server version\n"
    "  databases   list the databases that are not templates\n"
    "  tables      list the tables of schema public, with row estimates and sizes\n"
    "  dump        write the tables of schema public into one SQL script\n"
    "  help [CMD]  show help for a command\n"
    "\n"
    "Connection options:\n"
    "  -h, --host=HOST          server host name or address (default: $PGHOST, then\n"
    "                           127.0.0.1)\n"
    "  -p, --port=PORT          server port (default: $PGPORT, then 5432)\n"
    "  -U, --username=USER      user name (default: $PGUSER, then the login name)\n"
    "  -d, --dbname=DBNAME      database (default: $PGDATABASE; test and databases\n"
    "                           use \"postgres\" without one)\n"
    "  -W, --password           prompt for the password (default: $PGPASSWORD)\n"
    "      --config=FILE        take the whole configuration JSON from FILE (\"-\" for\n"
    "                           standard input) as it is; the connection and dump\n"
    "                           options above and below are then refused\n"
    "\n"
    "Other options:\n"
    "      --json               print the library's JSON replies as they are\n"
    "  -V, --version            show the version and exit\n"
    "  -?, --help               show this help and exit\n"
    "\n"
    "Exit status: 0 on success, 1 on failure, 130 when a dump was cancelled.\n";

const char *const g_usage_test = "Usage: veltrano-pgdump test [CONNECTION OPTION]... [--json]\n"
                                 "\n"
                                 "Logs in to the server and shows its version.  Without -d the\n"
                                 "login goes to the database \"postgres\".\n";

const char *const g_usage_databases =
    "Usage: veltrano-pgdump databases [CONNECTION OPTION]... [--json]\n"
    "\n"
    "Lists the databases of the server that are not templates, in name order.\n";

const char *const g_usage_tables =
    "Usage: veltrano-pgdump tables -d DBNAME [CONNECTION OPTION]... [--json]\n"
    "\n"
    "Lists the ordinary tables of schema public of DBNAME with the planner's row\n"
    "estimate (0 until the table has been analysed) and the size on disk,\n"
    "indexes and TOAST data included.\n";

const char *const g_usage_dump =
    "Usage: veltrano-pgdump dump -d DBNAME [-f FILE] [OPTION]...\n"
    "\n"
    "Dumps the ordinary tables of schema public (at most 512) into one SQL script\n"
    "inside one read-only snapshot.  The script holds sequences, CREATE TABLE with\n"
    "the primary key, and INSERT statements; replay it with\n"
    "  psql -X -v ON_ERROR_STOP=1 -f FILE -d NEWDB\n"
    "\n"
    "Dump options:\n"
    "  -f, --file=FILE          output file (default: DBNAME.sql)\n"
    "  -t, --table=TABLE        dump only this table, exactly as named (repeatable)\n"
    "      --no-schema          leave out DROP/CREATE statements\n"
    "      --no-data            leave out the rows\n"
    "      --drop               write DROP TABLE IF EXISTS ... CASCADE before each table\n"
    "      --rows-per-insert=N  rows per INSERT statement, 1 to 1000 (default 100)\n"
    "      --progress           plain progress lines every 5 s even without a terminal\n"
    "      --no-progress        no progress output\n"
    "\n"
    "A progress line is drawn on standard error while it is a terminal.  Ctrl-C\n"
    "cancels the dump; the partial script stays on disk and the exit status is 130.\n"
    "With --json the final result reply is printed on standard output.\n"
    "\n"
    "Connection options as for the other commands (see veltrano-pgdump --help).\n";

void print_usage(const std::string &topic)
{
    if (topic == "test")
        fputs(g_usage_test, stdout);
    else if (topic == "databases")
        fputs(g_usage_databases, stdout);
    else if (topic == "tables")
        fputs(g_usage_tables, stdout);
    else if (topic == "dump")
        fputs(g_usage_dump, stdout);
    else
        fputs(g_usage_main, stdout);
}

int usage_error(const std::string &text)
{
    fprintf(stderr, "%s: error: %s\n", g_prog, printable(text).c_str());
    fprintf(stderr, "Try \"%s --help\" for more information.\n", g_prog);
    return EXIT_FAIL;
}

bool parse_command(const std::string &word, command_t &out)
{
    if (word == "test")
        out = CMD_TEST;
    else if (word == "databases")
        out = CMD_DATABASES;
    else if (word == "tables")
        out = CMD_TABLES;
    else if (word == "dump")
        out = CMD_DUMP;
    else if (word == "help")
        out = CMD_HELP;
    else
        return false;
    return true;
}

/* Options may come before or after the command word, in the forms -xVALUE,
 * -x VALUE, --long=VALUE and --long VALUE; "--" ends them. */
int parse_args(int argc, char **argv, options &o)
{
    struct spec {
        char short_name;
        const char *long_name;
        bool has_arg;
    };
    static const spec specs[] = {
        {'h', "host", true},    {'p', "port", true},       {'U', "username", true},
        {'d', "dbname", true},  {'W', "password", false},  {0, "config", true},
        {0, "json", false},     {'V', "version", false},   {'?', "help", false},
        {'f', "file", true},    {'t', "table", true},      {0, "no-schema", false},
        {0, "no-data", false},  {0, "drop", false},        {0, "rows-per-insert", true},
        {0, "progress", false}, {0, "no-progress", false},
    };
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            if (o.command == CMD_NONE) {
                if (!parse_command(arg, o.command))
                    return usage_error("unknown command \"" + arg + "\"");
            } else if (o.command == CMD_HELP && o.help_topic.empty()) {
                o.help_topic = arg;
            } else {
                return usage_error("unexpected argument \"" + arg + "\"");
            }
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        const spec *sp = nullptr;
        std::string value;
        bool have_value = false;
        std::string shown;
        if (arg[1] == '-') {
            std::string name = arg.substr(2);
            size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                have_value = true;
                name = name.substr(0, eq);
            }
            for (const spec &s : specs)
                if (name == s.long_name)
                    sp = &s;
            shown = "--" + name;
            if (sp == nullptr)
                return usage_error("unknown option \"" + shown + "\"");
            if (have_value && !sp->has_arg)
                return usage_error("option " + shown + " takes no value");
        } else {
            for (const spec &s : specs)
                if (s.short_name != 0 && arg[1] == s.short_name)
                    sp = &s;
            shown = std::string("-") + arg[1];
            if (sp == nullptr)
                return usage_error("unknown option \"" + shown + "\"");
            if (arg.size() > 2) {
                if (!sp->has_arg)
                    return usage_error("option " + shown +
                                       " takes no value (options are not "
                                       "bundled)");
                value = arg.substr(2);
                have_value = true;
            }
        }
        if (sp->has_arg && !have_value) {
            if (i + 1 >= argc)
                return usage_error("option " + shown + " needs a value");
            value = argv[++i];
        }
        std::string name = sp->long_name;
        if (name == "host") {
            o.host = value;
            o.host_set = true;
        } else if (name == "port") {
            o.port = value;
            o.port_set = true;
        } else if (name == "username") {
            o.user = value;
            o.user_set = true;
        } else if (name == "dbname") {
            o.dbname = value;
            o.dbname_set = true;
        } else if (name == "password") {
            o.ask_password = true;
        } else if (name == "config") {
            o.config_file = value;
            o.config_set = true;
        } else if (name == "json") {
            o.json = true;
        } else if (name == "version") {
            o.version = true;
        } else if (name == "help") {
            o.help = true;
        } else {
            o.only_dump.push_back(shown);
            if (name == "file") {
                o.out_file = value;
                o.out_set = true;
            } else if (name == "table") {
                o.tables.push_back(value);
            } else if (name == "no-schema") {
                o.no_schema = true;
            } else if (name == "no-data") {
                o.no_data = true;
            } else if (name == "drop") {
                o.drop = true;
            } else if (name == "rows-per-insert") {
                char *end = nullptr;
                errno = 0;
                long n = strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || errno != 0 || n < 1 || n > 1000)
                    return usage_error("--rows-per-insert takes a number from 1 to 1000");
                o.rows_per_insert = n;
            } else if (name == "progress") {
                o.progress = 1;
            } else if (name == "no-progress") {
                o.progress = 0;
            }
        }
    }
    return -1;
}

/* ------------------------------------------------------------------ */
/* From options to a configuration                                     */
/* ------------------------------------------------------------------ */

struct target {
    std::string config; /* the document handed to the library */
    std::string server; /* host:port, for messages; empty for a --config document */
    std::string user;
    std::string dbname;              /* empty when unknown (a --config document) */
    std::vector<std::string> tables; /* configured tables, when known */
    bool include_data = true;
    bool no_password = false; /* none given: a refused login earns a hint */
};

bool read_file(const std::string &path, std::string &out, std::string &err)
{
    FILE *f = path == "-" ? stdin : fopen(path.c_str(), "rb");
    if (f == nullptr) {
        err = "cannot read configuration file \"" + path + "\": " + strerror(errno);
        return false;
    }
    char chunk[4096];
    size_t n;
    out.clear();
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) {
        out.append(chunk, n);
        /* The library's token pool holds far less than this. */
        if (out.size() > (1u << 20)) {
            err = "configuration file \"" + path + "\" is larger than 1 MiB";
            if (f != stdin)
                fclose(f);
            return false;
        }
    }
    if (f != stdin)
        fclose(f);
    if (memchr(out.data(), '\0', out.size()) != nullptr) {
        err = "configuration file \"" + path + "\" holds a NUL byte";
        return false;
    }
    return true;
}

const char *env_or_null(const char *name)
{
    const char *v = getenv(name);
    return (v != nullptr && *v != '\0') ? v : nullptr;
}

/* Returns 0 with t filled, EXIT_FAIL after printing the reason, or
 * EXIT_CANCELLED when the password prompt was interrupted. */
int resolve_target(options &o, target &t)
{
    if (o.config_set) {
        std::string clash;
        if (o.host_set)
            clash = "-h";
        else if (o.port_set)
            clash = "-p";
        else if (o.user_set)
            clash = "-U";
        else if (o.dbname_set)
            clash = "-d";
        else if (o.ask_password)
            clash = "-W";
        for (const std::string &opt : o.only_dump)
            if (clash.empty() && opt != "--progress" && opt != "--no-progress")
                clash = opt;
        if (!clash.empty()) {
            error_msg("--config cannot be combined with " + clash +
                      ": the document is passed as it is");
            return EXIT_FAIL;
        }
        std::string err;
        if (!read_file(o.config_file, t.config, err)) {
            error_msg(err);
            return EXIT_FAIL;
        }
        /* A strict reading, when it succeeds, tells the progress display
         * which tables the dump will take; the library reads the document
         * leniently and stays the judge of it. */
        jvalue doc;
        if (json_parse(t.config.c_str(), doc) && doc.kind == jvalue::OBJ) {
            t.dbname = doc.str("database");
            const jvalue *list = doc.get("tables");
            if (list != nullptr && list->kind == jvalue::ARR) {
                for (const jvalue &v : list->items)
                    if (v.kind == jvalue::STR)
                        t.tables.push_back(v.text);
            }
            const jvalue *data = doc.get("include_data");
            /* The library turns the rows off for the word false, quoted or not. */
            bool off = data != nullptr && ((data->kind == jvalue::BOOL && !data->b) ||
                                           (data->kind == jvalue::STR && data->text == "false"));
            t.include_data = !off;
        }
        return 0;
    }

    const char *v;
    std::string host = o.host_set ? o.host : ((v = env_or_null("PGHOST")) ? v : "");
    std::string port = o.port_set ? o.port : ((v = env_or_null("PGPORT")) ? v : "");
    std::string user = o.user_set ? o.user : ((v = env_or_null("PGUSER")) ? v : login_name());
    std::string db = o.dbname_set ? o.dbname : ((v = env_or_null("PGDATABASE")) ? v : "");

    if (!host.empty() && host[0] == '/') {
        error_msg("host \"" + host +
                  "\" is a Unix-domain socket directory; only TCP is supported, give a host "
                  "name or address");
        return EXIT_FAIL;
    }
    long port_number = 0;
    if (!port.empty()) {
        char *end = nullptr;
        errno = 0;
        port_number = strtol(port.c_str(), &end, 10);
        if (*end != '\0' || errno != 0 || port_number < 1 || port_number > 65535) {
            error_msg("invalid port \"" + port + "\"");
            return EXIT_FAIL;
        }
    }
    if (user.empty()) {
        error_msg("no user name: give -U USER or set PGUSER");
        return EXIT_FAIL;
    }

    std::string password;
    if (o.ask_password) {
        int rc = prompt_password("Password: ", password);
        if (rc == 1)
            return EXIT_CANCELLED;
        if (rc < 0) {
            error_msg("cannot prompt for a password: no terminal");
            return EXIT_FAIL;
        }
    } else if ((v = getenv("PGPASSWORD")) != nullptr) {
        password = v;
    }

    config_doc c;
    if (!host.empty())
        c.add_text("host", host, LIMIT_HOST, "the host name");
    if (port_number != 0)
        c.add_number("port", port_number);
    c.add_text("user", user, LIMIT_USER, "the user name");
    if (!password.empty())
        c.add_text("password", password, LIMIT_PASSWORD, "the password");
    if (!db.empty())
        c.add_text("database", db, LIMIT_DATABASE, "the database name");

    if (o.command == CMD_DUMP) {
        if (db.empty()) {
            error_msg("no database: give -d DBNAME or set PGDATABASE");
            return EXIT_FAIL;
        }
        if (o.no_schema && o.no_data) {
            error_msg("--no-schema and --no-data together leave nothing to dump");
            return EXIT_FAIL;
        }
        std::string out = o.out_file;
        if (!o.out_set) {
            /* The default name must stay in the current directory. */
            out = db;
            for (char &ch : out)
                if (ch == '/')
                    ch = '_';
            out += ".sql";
        }
        if (out.empty()) {
            error_msg("the output file name is empty");
            return EXIT_FAIL;
        }
        c.add_text("out_path", out, LIMIT_OUT_PATH, "the output path");
        c.add_tables(o.tables);
        if (o.no_schema)
            c.add_flag("include_schema", false);
        if (o.no_data)
            c.add_flag("include_data", false);
        if (o.drop)
            c.add_flag("include_drop", true);
        if (o.rows_per_insert > 0)
            c.add_number("rows_per_insert", o.rows_per_insert);
    }
    if (c.failed) {
        error_msg(c.err);
        return EXIT_FAIL;
    }
    t.config = c.finish();
    t.dbname = db;
    t.tables = o.tables;
    t.include_data = !o.no_data;
    t.user = user;
    t.no_password = password.empty();
    t.server = (host.empty() ? "127.0.0.1" : host) + ":" + (port.empty() ? "5432" : port);
    return 0;
}

/* ------------------------------------------------------------------ */
/* Commands                                                            */
/* ------------------------------------------------------------------ */

/* Like psql, point at the password options when a login without one was
 * refused for it. */
void password_hint(const target &t, const std::string &error)
{
    if (t.no_password && error.find("password") != std::string::npos)
        fprintf(stderr, "%s: hint: no password was given; use -W or set PGPASSWORD\n", g_prog);
}

/* Parses a catalogue reply; prints the failure for people.  Returns true
 * for an "ok" reply. */
bool reply_ok(const target &t, const char *reply, jvalue &doc)
{
    if (!json_parse(reply, doc) || doc.kind != jvalue::OBJ) {
        error_msg(std::string("unreadable reply from the library: ") + (reply ? reply : "(null)"));
        return false;
    }
    if (!doc.flag("ok")) {
        std::string text = doc.str("error");
        error_msg(text.empty() ? std::string("failed without a reason") : text);
        password_hint(t, text);
        return false;
    }
    return true;
}

int json_exit(const char *reply)
{
    printf("%s\n", reply);
    jvalue doc;
    return json_parse(reply, doc) && doc.flag("ok") ? EXIT_OK : EXIT_FAIL;
}

int cmd_test(const options &o, const target &t)
{
    const char *reply = pgdump_test_connection(t.config.c_str());
    if (o.json)
        return json_exit(reply);
    jvalue doc;
    if (!reply_ok(t, reply, doc))
        return EXIT_FAIL;
    std::string version = doc.str("server_version");
    version = version.empty() ? std::string("(version not reported)") : printable(version);
    if (t.server.empty())
        printf("OK: PostgreSQL %s\n", version.c_str());
    else
        printf("OK: PostgreSQL %s at %s, logged in as %s to database %s\n", version.c_str(),
               printable(t.server).c_str(), printable(t.user).c_str(),
               t.dbname.empty() ? "postgres" : printable(t.dbname).c_str());
    return EXIT_OK;
}

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

struct progress_view {
    int mode = 0;           /* 0 none, 1 live line on a terminal, 2 plain lines */
    long long estimate = 0; /* sum of the row estimates of the dumped tables */
    long long started = 0;  /* monotonic ms */
    long long last_plain = 0;
    bool drawn = false;
};

/* Rows against the planner's estimates; with no estimate (never analysed,
 * or --no-data) the share of tables done stands in.  Never 100% before
 * the end: estimates are often low. */
int progress_percent(const progress_view &pv, const jvalue &p)
{
    long long pct;
    if (pv.estimate > 0) {
        pct = p.num("rows_written") * 100 / pv.estimate;
    } else {
        long long total = p.num("tables_total");
        pct = total > 0 ? p.num("tables_done") * 100 / total : 0;
    }
    return (int)(pct < 0 ? 0 : (pct > 99 ? 99 : pct));
}

std::string progress_text(const progress_view &pv, const jvalue &p, int pct, long long now,
                          size_t columns, bool cancelling)
{
    long long elapsed = now - pv.started;
    long long bytes = p.num("bytes_written");
    long long rate = elapsed > 0 ? bytes * 1000 / elapsed : 0;
    std::string table = printable(p.str("table"));
    if (cancelling)
        table = "cancelling";
    else if (p.num("state") <= 1)
        table = "connecting";

    /* Segments in display order with a rank: on a narrow terminal the
     * highest rank goes first.  Fixed widths keep the line steady. */
    struct segment {
        std::string text;
        int rank;
    };
    char buf[64];
    std::vector<segment> seg;
    snprintf(buf, sizeof buf, "%3d%%", pct);
    seg.push_back({buf, 0});
    seg.push_back({"", 5}); /* the bar, sized below */
    seg.push_back({"", 2}); /* the table name, fitted below */
    snprintf(buf, sizeof buf, "%lld/%lld tables", p.num("tables_done"), p.num("tables_total"));
    seg.push_back({buf, 1});
    snprintf(buf, sizeof buf, "%6s rows", human_count(p.num("rows_written")).c_str());
    seg.push_back({buf, 1});
    snprintf(buf, sizeof buf, "%7s", human_bytes(bytes).c_str());
    seg.push_back({buf, 3});
    snprintf(buf, sizeof buf, "%7s/s", human_bytes(rate).c_str());
    seg.push_back({buf, 6});
    snprintf(buf, sizeof buf, "%5s", human_duration(elapsed).c_str());
    seg.push_back({buf, 4});

    const size_t table_min = 10, table_max = 32, bar_min = 12, bar_max = 30;
    size_t limit = columns - 1;
    for (;;) {
        size_t width = 0;
        int worst = -1;
        for (size_t i = 0; i < seg.size(); i++) {
            size_t w = seg[i].rank == 2   ? table_min
                       : seg[i].rank == 5 ? bar_min + 2
                                          : display_width(seg[i].text);
            width += (i > 0 ? 1 : 0) + w;
            if (worst < 0 || seg[i].rank > seg[(size_t)worst].rank)
                worst = (int)i;
        }
        if (width <= limit || seg.size() == 1) {
            /* Spare room widens the table name first, then the bar. */
            size_t extra = width <= limit ? limit - width : 0;
            size_t table_w = table_min + std::min(extra, table_max - table_min);
            extra -= table_w - table_min;
            size_t bar_w = bar_min + std::min(extra, bar_max - bar_min);
            for (segment &sg : seg) {
                if (sg.rank == 2)
                    sg.text = pad(fit_width(table, table_w), table_w, false);
                if (sg.rank == 5) {
                    size_t filled = (size_t)pct * bar_w / 100;
                    sg.text =
                        "[" + std::string(filled, '#') + std::string(bar_w - filled, '.') + "]";
                }
            }
            break;
        }
        seg.erase(seg.begin() + worst);
    }
    std::string line;
    for (size_t i = 0; i < seg.size(); i++)
        line += (i > 0 ? " " : "") + seg[i].text;
    return fit_width(line, limit);
}

void show_progress(progress_view &pv, const jvalue &p, bool cancelling)
{
    long long now = monotonic_ms();
    int pct = progress_percent(pv, p);
    if (pv.mode == 1) {
        std::string line = progress_text(pv, p, pct, now, terminal_columns(2), cancelling);
        /* \r and erase-to-end keep one line even when it gets shorter. */
        fprintf(stderr, "\r%s\x1b[K", line.c_str());
        fflush(stderr);
        pv.drawn = true;
    } else if (pv.mode == 2 && now - pv.last_plain >= 5000) {
        pv.last_plain = now;
        fprintf(stderr, "%s: %d%%, table %s (%lld/%lld done), %s rows, %s, %s\n", g_prog, pct,
                printable(p.str("table")).c_str(), p.num("tables_done"), p.num("tables_total"),
                grouped(p.num("rows_written")).c_str(), human_bytes(p.num("bytes_written")).c_str(),
                human_duration(now - pv.started).c_str());
    }
}

void clear_progress(progress_view &pv)
{
    if (pv.drawn) {
        fprintf(stderr, "\r\x1b[K");
        fflush(stderr);
        pv.drawn = false;
    }
}

/* The sum of the planner's row estimates of the tables the dump takes. */
long long row_estimate(const target &t)
{
    if (!t.include_data)
        return 0;
    jvalue doc;
    const char *reply = pgdump_list_tables(t.config.c_str());
    if (!json_parse(reply, doc) || !doc.flag("ok"))
        return 0;
    const jvalue *list = doc.get("tables");
    if (list == nullptr)
        return 0;
    long long sum = 0;
    for (const jvalue &v : list->items) {
        bool wanted = t.tables.empty();
        for (const std::string &name : t.tables)
            if (name == v.str("name"))
                wanted = true;
        if (wanted)
            sum += v.num("rows");
    }
    return sum;
}

int cmd_dump(const options &o, const target &t)
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

    bool cancel_sent = false;
    int32_t state = 0;
    jvalue p;
    for (;;) {
        if (g_interrupts > 0 && !cancel_sent) {
            pgdump_cancel(s);
            cancel_sent = true;
        }
        if (g_interrupts > 1) {
            /* A second Ctrl-C: the worker may be stuck in a read from a
             * server that stopped answering; leave without waiting. */
            clear_progress(pv);
            fprintf(stderr, "%s: interrupted again, leaving without waiting for the dump\n",
                    g_prog);
            fflush(stderr);
            _exit(EXIT_CANCELLED);
        }
        state = pgdump_status(s);
        if (state >= 3 || state < 0)
            break;
        if (json_parse(pgdump_progress(s), p))
            show_progress(pv, p, cancel_sent);
        sleep_ms(100);
    }
    json_parse(pgdump_progress(s), p);
    clear_progress(pv);

    const char *reply = pgdump_result(s);
    jvalue r;
    json_parse(reply, r);
    std::string error = r.str("error");
    long long elapsed = monotonic_ms() - pv.started;
    /* A cancel that reaches the worker while it waits for the server ends
     * the run as failed with "cancelled"; for the user both are the same. */
    bool cancelled = state == 4 || (cancel_sent && state == 5 && error == "cancelled");
    std::string out_path = r.str("out_path");
    int rc;
    if (o.json) {
        printf("%s\n", reply);
        rc = state == 3 ? EXIT_OK : (cancelled ? EXIT_CANCELLED : EXIT_FAIL);
    } else if (state == 3) {
        long long bytes = r.num("bytes");
        long long ms = r.num("elapsed_ms");
        long long rate = ms > 0 ? bytes * 1000 / ms : 0;
        printf("Dumped %lld table%s, %s rows, %s in %.1f s (%s/s) to %s\n", r.num("tables"),
               r.num("tables") == 1 ? "" : "s", grouped(r.num("rows")).c_str(),
               human_bytes(bytes).c_str(), (double)ms / 1000.0, human_bytes(rate).c_str(),
               printable(out_path).c_str());
        rc = EXIT_OK;
    } else if (cancelled) {
        fprintf(stderr,
                "%s: cancelled after %s: %lld of %lld tables done, %s rows; the partial "
                "script stays on disk\n",
                g_prog, human_duration(elapsed).c_str(), p.num("tables_done"),
                p.num("tables_total"), grouped(p.num("rows_written")).c_str());
        rc = EXIT_CANCELLED;
    } else {
        error_msg(error.empty() ? std::string("dump failed (no reason given; a write to the "
                                              "output file may have failed)")
                                : error);
        password_hint(t, error);
        if (p.num("bytes_written") > 0)
            fprintf(stderr, "%s: the partial script stays on disk\n", g_prog);
        rc = EXIT_FAIL;
    }
    pgdump_free(s);
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    /* A reader of our output that goes away must not kill a dump midway. */
    signal(SIGPIPE, SIG_IGN);

    options o;
    int rc = parse_args(argc, argv, o);
    if (rc >= 0)
        return rc;
    if (o.version) {
        printf("%s\n", pgdump_version());
        return EXIT_OK;
    }
    if (o.command == CMD_HELP) {
        if (!o.help_topic.empty()) {
            command_t c;
            if (!parse_command(o.help_topic, c))
                return usage_error("no help for \"" + o.help_topic + "\"");
        }
        print_usage(o.help_topic);
        return EXIT_OK;
    }
    if (o.help) {
        const char *names[] = {"", "test", "databases", "tables", "dump", ""};
        print_usage(names[o.command]);
        return EXIT_OK;
    }
    if (o.command == CMD_NONE)
        return usage_error("no command given");
    if (o.command != CMD_DUMP) {
        if (!o.only_dump.empty())
            return usage_error("option " + o.only_dump[0] + " belongs to the dump command");
    }

    target t;
    rc = resolve_target(o, t);
    if (rc != 0)
        return rc;
    switch (o.command) {
    case CMD_TEST:
        return cmd_test(o, t);
    case CMD_DATABASES:
        return cmd_databases(o, t);
    case CMD_TABLES:
        return cmd_tables(o, t);
    case CMD_DUMP:
        return cmd_dump(o, t);
    default:
        return EXIT_FAIL;
    }
}

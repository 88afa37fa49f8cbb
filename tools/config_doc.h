/*
 * The configuration document: a JSON object built key by key, refusing
 * values the library would cut.
 */
#ifndef PGDUMP_CLI_CONFIG_DOC_H
#define PGDUMP_CLI_CONFIG_DOC_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

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

/* Appends value as a JSON string to out; false with err set when it holds
 * a byte the configuration cannot carry.  what names the value. */
bool json_string(const std::string &value, std::string &out, std::string &err, const char *what);

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

#endif

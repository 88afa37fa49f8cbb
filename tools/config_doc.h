/*
 * The configuration document: a JSON object built key by key with
 * nlohmann-json (keys in the order added, standard escapes), refusing the
 * values the library would cut or could not carry.
 *
 * The library copies each text into a fixed field, reading at most the
 * field's size in bytes of the JSON text as written, so a limit here counts
 * the escaped form: a quote or a backslash takes two bytes, a control byte
 * two (\n \t ...) or six (\u0007).  A longer value would be cut silently
 * there (a cut output path writes another file), so it is refused here.
 * A NUL cannot pass through the library's C strings; text that is not
 * UTF-8 cannot be JSON.
 */
#ifndef PGDUMP_CLI_CONFIG_DOC_H
#define PGDUMP_CLI_CONFIG_DOC_H

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <vector>

const size_t LIMIT_HOST = 255;
const size_t LIMIT_USER = 127;
const size_t LIMIT_PASSWORD = 255;
const size_t LIMIT_DATABASE = 127;
const size_t LIMIT_OUT_PATH = 1023;
const size_t LIMIT_NAME = 127; /* a table or schema name */
const size_t LIMIT_REQUIRE_AUTH = 127;
const size_t LIMIT_SSLMODE = 15; /* also channel_binding */
const size_t LIMIT_ROLE = 127;
const size_t LIMIT_RESTRICT_KEY = 63;
const size_t LIMIT_FILE = 1023; /* certificate and key files */
const size_t MAX_TABLES = 512;  /* "tables" and "exclude_tables" */
const size_t MAX_SCHEMAS = 64;  /* "schemas" and "exclude_schemas" */
const size_t MAX_PATTERNS = 64; /* each pattern list */

struct config_doc {
    nlohmann::ordered_json doc = nlohmann::ordered_json::object();
    std::string err; /* why the first refused value was refused */
    bool failed = false;
};

/* Each adder does nothing once the document has failed; a refused value
 * sets failed and err, naming the value by what ("the password"). */
void cd_text(config_doc &c, const char *key, const std::string &value, size_t limit,
             const char *what);
void cd_number(config_doc &c, const char *key, long long value);
void cd_flag(config_doc &c, const char *key, bool value);
/* An array of names; nothing is added for an empty list. */
void cd_list(config_doc &c, const char *key, const std::vector<std::string> &items,
             size_t max_items, const char *what);
/* The compact document text. */
std::string cd_text_of(const config_doc &c);

/* True when s is well-formed UTF-8 (no overlongs, no surrogates). */
bool utf8_valid(const std::string &s);

#endif

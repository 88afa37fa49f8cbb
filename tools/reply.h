/*
 * Reading the library's replies (and, leniently, a --config document):
 * whole JSON texts parsed with nlohmann-json, looked at through accessors
 * that never fail.  A missing key or a value of another type reads as the
 * fallback, so a reply of an unexpected shape cannot end the program.
 * 64-bit counters stay integers all the way.
 */
#ifndef PGDUMP_CLI_REPLY_H
#define PGDUMP_CLI_REPLY_H

#include <nlohmann/json.hpp>

#include <string>

using json = nlohmann::json;

/* The parsed text; a discarded value (is_discarded()) when text is null
 * or not one whole JSON value. */
json reply_parse(const char *text);

/* obj[key] when obj is an object holding key, else null. */
const json *jget(const json &obj, const char *key);
/* An integer (a number with a fraction is cut toward zero), else fallback. */
long long jnum(const json &obj, const char *key, long long fallback = 0);
/* A string value, else "". */
std::string jstr(const json &obj, const char *key);
/* True only for the value true. */
bool jflag(const json &obj, const char *key);
/* The string items of an array value, in order; other items are skipped. */
std::vector<std::string> jstrings(const json &obj, const char *key);

#endif

/*
 * Connection strings: the URI form and the key=value form, both into one
 * list of keyword and value.
 */
#include "conninfo.h"

#include <cstring>

namespace
{

const char *const g_taken[] = {"host",
                               "port",
                               "user",
                               "password",
                               "dbname",
                               "passfile",
                               "sslmode",
                               "sslrootcert",
                               "sslcert",
                               "sslkey",
                               "sslsni",
                               "channel_binding",
                               "connect_timeout",
                               "require_auth",
                               nullptr};
/* Keywords libpq knows that change nothing a dump depends on. */
const char *const g_ignored[] = {"application_name", "fallback_application_name", nullptr};

bool listed(const char *const *list, const std::string &key)
{
    for (; *list != nullptr; list++)
        if (key == *list)
            return true;
    return false;
}

int fail(conninfo &ci, const std::string &text)
{
    ci.error = text;
    return -1;
}

/* Shown in messages: control bytes would garble the terminal. */
std::string shown(const std::string &s)
{
    std::string out;
    for (char ch : s)
        out += (unsigned char)ch < 0x20 || ch == 0x7f ? '?' : ch;
    return out.size() > 64 ? out.substr(0, 64) + "..." : out;
}

int set_item(conninfo &ci, const std::string &key, const std::string &value)
{
    if (listed(g_ignored, key))
        return 0;
    if (!listed(g_taken, key))
        return fail(ci, "unsupported connection option \"" + shown(key) + "\"");
    /* A host or port list names several servers to try in turn; the
     * library connects to one. */
    if ((key == "host" || key == "port") && value.find(',') != std::string::npos)
        return fail(ci, "several hosts or ports in a connection string are not supported");
    for (conninfo_item &it : ci.items)
        if (it.key == key) {
            it.value = value;
            return 0;
        }
    ci.items.push_back({key, value});
    return 0;
}

int hex_digit(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

/* Percent-decodes one part of a URI into out. */
int decode(conninfo &ci, const std::string &part, std::string &out)
{
    out.clear();
    for (size_t i = 0; i < part.size(); i++) {
        if (part[i] != '%') {
            out += part[i];
            continue;
        }
        int hi = i + 2 < part.size() ? hex_digit(part[i + 1]) : -1;
        int lo = hi >= 0 ? hex_digit(part[i + 2]) : -1;
        if (lo < 0)
            return fail(ci, "invalid percent-encoded token in URI part \"" + shown(part) + "\"");
        if (hi == 0 && lo == 0)
            return fail(ci, "forbidden value %00 in URI part \"" + shown(part) + "\"");
        out += (char)(hi * 16 + lo);
        i += 2;
    }
    return 0;
}

int set_decoded(conninfo &ci, const char *key, const std::string &part)
{
    std::string value;
    if (decode(ci, part, value) != 0)
        return -1;
    return set_item(ci, key, value);
}

/* The query of a URI: key=value pairs joined by '&'. */
int uri_query(conninfo &ci, const std::string &query)
{
    size_t at = 0;
    while (at <= query.size()) {
        size_t end = query.find('&', at);
        if (end == std::string::npos)
            end = query.size();
        std::string pair = query.substr(at, end - at), key, value;
        at = end + 1;
        /* "?" alone, "&&" and a trailing "&" add nothing, as in libpq. */
        if (pair.empty())
            continue;
        size_t eq = pair.find('=');
        if (eq == std::string::npos || pair.find('=', eq + 1) != std::string::npos)
            return fail(ci, "parameter \"" + shown(pair) + "\" of the URI needs one \"=\"");
        if (decode(ci, pair.substr(0, eq), key) != 0 || decode(ci, pair.substr(eq + 1), value) != 0)
            return -1;
        /* libpq's JDBC-style alias. */
        if (key == "ssl") {
            if (value != "true")
                return fail(ci, "URI parameter ssl takes only \"true\"");
            key = "sslmode", value = "require";
        }
        if (set_item(ci, key, value) != 0)
            return -1;
    }
    return 0;
}

/* host[:port] of a URI, the host maybe an IPv6 literal in brackets. */
int uri_host_port(conninfo &ci, const std::string &hp)
{
    std::string host, port;
    size_t colon;
    if (!hp.empty() && hp[0] == '[') {
        size_t close = hp.find(']');
        if (close == std::string::npos)
            return fail(ci,
                        "missing \"]\" after the IPv6 host address in URI \"" + shown(hp) + "\"");
        if (close == 1)
            return fail(ci, "empty IPv6 host address in URI");
        host = hp.substr(1, close - 1);
        std::string rest = hp.substr(close + 1);
        if (!rest.empty() && rest[0] != ':')
            return fail(ci,
                        "unexpected \"" + shown(rest) + "\" after the IPv6 host address in URI");
        port = rest.empty() ? "" : rest.substr(1);
        colon = rest.empty() ? std::string::npos : 0;
    } else {
        colon = hp.find(':');
        host = hp.substr(0, colon);
        port = colon == std::string::npos ? "" : hp.substr(colon + 1);
    }
    if (hp.find(',') != std::string::npos)
        return fail(ci, "several hosts or ports in a connection string are not supported");
    if (!host.empty() && set_decoded(ci, "host", host) != 0)
        return -1;
    if (colon != std::string::npos && port.empty())
        return fail(ci, "empty port after \":\" in URI");
    if (!port.empty() && set_decoded(ci, "port", port) != 0)
        return -1;
    return 0;
}

int parse_uri(const std::string &text, size_t prefix, conninfo &ci)
{
    std::string rest = text.substr(prefix);
    size_t q = rest.find('?');
    std::string query = q == std::string::npos ? "" : rest.substr(q + 1);
    bool has_query = q != std::string::npos;
    rest = rest.substr(0, q);

    /* user[:password]@ comes before the first '/', as libpq reads it. */
    size_t at = rest.find_first_of("@/");
    if (at != std::string::npos && rest[at] == '@') {
        std::string cred = rest.substr(0, at);
        size_t colon = cred.find(':');
        if (!cred.substr(0, colon).empty() && set_decoded(ci, "user", cred.substr(0, colon)) != 0)
            return -1;
        if (colon != std::string::npos && set_decoded(ci, "password", cred.substr(colon + 1)) != 0)
            return -1;
        rest = rest.substr(at + 1);
    }
    size_t slash = rest.find('/');
    if (uri_host_port(ci, rest.substr(0, slash)) != 0)
        return -1;
    if (slash != std::string::npos && slash + 1 < rest.size() &&
        set_decoded(ci, "dbname", rest.substr(slash + 1)) != 0)
        return -1;
    return has_query ? uri_query(ci, query) : 0;
}

bool is_space(char ch)
{
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\v';
}

/* One value of the key=value form from text[i]: quoted or bare, with
 * backslash escaping the next byte in both. */
int kv_value(conninfo &ci, const std::string &text, size_t &i, const std::string &key,
             std::string &value)
{
    bool quoted = i < text.size() && text[i] == '\'';
    if (quoted)
        i++;
    for (;;) {
        if (i >= text.size()) {
            if (quoted)
                return fail(ci, "unterminated quoted value of \"" + shown(key) +
                                    "\" in connection string");
            return 0;
        }
        char ch = text[i];
        if (quoted && ch == '\'') {
            i++;
            return 0;
        }
        if (!quoted && is_space(ch))
            return 0;
        if (ch == '\\' && i + 1 < text.size())
            ch = text[++i];
        value += ch;
        i++;
    }
}

int parse_kv(const std::string &text, conninfo &ci)
{
    size_t i = 0;
    for (;;) {
        while (i < text.size() && is_space(text[i]))
            i++;
        if (i >= text.size())
            return 0;
        size_t start = i;
        while (i < text.size() && text[i] != '=' && !is_space(text[i]))
            i++;
        std::string key = text.substr(start, i - start);
        while (i < text.size() && is_space(text[i]))
            i++;
        if (i >= text.size() || text[i] != '=')
            return fail(ci, "missing \"=\" after \"" + shown(key) + "\" in connection string");
        if (key.empty())
            return fail(ci, "missing keyword before \"=\" in connection string");
        i++;
        while (i < text.size() && is_space(text[i]))
            i++;
        std::string value;
        if (kv_value(ci, text, i, key, value) != 0 || set_item(ci, key, value) != 0)
            return -1;
    }
}

size_t uri_prefix(const std::string &text)
{
    for (const char *p : {"postgresql://", "postgres://"})
        if (text.compare(0, strlen(p), p) == 0)
            return strlen(p);
    return 0;
}

} // namespace

bool ci_is_conninfo(const std::string &text)
{
    return uri_prefix(text) > 0 || text.find('=') != std::string::npos;
}

int ci_parse(const std::string &text, conninfo &ci)
{
    ci.items.clear();
    ci.error.clear();
    if (text.find('\0') != std::string::npos)
        return fail(ci, "the connection string contains a NUL byte");
    size_t prefix = uri_prefix(text);
    return prefix > 0 ? parse_uri(text, prefix, ci) : parse_kv(text, ci);
}

const std::string *ci_get(const conninfo &ci, const char *key)
{
    for (const conninfo_item &it : ci.items)
        if (it.key == key)
            return &it.value;
    return nullptr;
}

/*
 * Building the configuration document handed to the library.
 */
#include "config_doc.h"

#include <cstdio>

namespace
{

void refuse(config_doc &c, const std::string &text)
{
    c.err = text;
    c.failed = true;
}

/* The value as the JSON text would carry it, or false with c refused. */
bool checked(config_doc &c, const std::string &value, size_t limit, const char *what)
{
    if (c.failed)
        return false;
    if (value.find('\0') != std::string::npos) {
        refuse(c, std::string(what) + " contains a NUL byte, which the configuration cannot carry");
        return false;
    }
    if (!utf8_valid(value)) {
        refuse(c, std::string(what) + " is not valid UTF-8, which the configuration needs");
        return false;
    }
    /* The escaped form without its two quotes. */
    size_t written = nlohmann::json(value).dump().size() - 2;
    if (written > limit) {
        char buf[240];
        snprintf(buf, sizeof buf,
                 "%s is too long: at most %zu bytes as written in JSON (a quote, backslash or "
                 "control byte counts two to six)",
                 what, limit);
        refuse(c, buf);
        return false;
    }
    return true;
}

} // namespace

bool utf8_valid(const std::string &s)
{
    size_t i = 0, n = s.size();
    while (i < n) {
        unsigned char c = (unsigned char)s[i];
        size_t len;
        unsigned cp, min;
        if (c < 0x80) {
            i++;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (i + len > n)
            return false;
        for (size_t k = 1; k < len; k++) {
            unsigned char cc = (unsigned char)s[i + k];
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

void cd_text(config_doc &c, const char *key, const std::string &value, size_t limit,
             const char *what)
{
    if (checked(c, value, limit, what))
        c.doc[key] = value;
}

void cd_number(config_doc &c, const char *key, long long value)
{
    if (!c.failed)
        c.doc[key] = value;
}

void cd_flag(config_doc &c, const char *key, bool value)
{
    if (!c.failed)
        c.doc[key] = value;
}

void cd_list(config_doc &c, const char *key, const std::vector<std::string> &items,
             size_t max_items, const char *what)
{
    if (c.failed || items.empty())
        return;
    if (items.size() > max_items) {
        refuse(c, std::string("too many ") + what + "s: at most " + std::to_string(max_items));
        return;
    }
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    std::string one = std::string("a ") + what;
    for (const std::string &item : items) {
        if (!checked(c, item, LIMIT_NAME, one.c_str()))
            return;
        list.push_back(item);
    }
    c.doc[key] = list;
}

std::string cd_text_of(const config_doc &c)
{
    /* Every string was checked to be UTF-8, so the strict handler never
     * fires; replace keeps that true without exceptions. */
    return c.doc.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

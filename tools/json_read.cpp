/*
 * A strict reader of the library's replies (compact JSON).
 */
#include "json_read.h"

#include <cstdlib>
#include <cstring>

namespace
{

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

} // namespace

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

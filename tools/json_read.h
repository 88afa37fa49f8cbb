/*
 * A strict reader of the library's replies.
 */
#ifndef PGDUMP_CLI_JSON_READ_H
#define PGDUMP_CLI_JSON_READ_H

#include <cstdlib>
#include <string>
#include <vector>

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

/* Parses text, which must be one whole JSON value; false when it is not. */
bool json_parse(const char *text, jvalue &out);

#endif

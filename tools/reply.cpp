/*
 * Reading the library's replies through accessors that never fail.
 */
#include "reply.h"

json reply_parse(const char *text)
{
    if (text == nullptr)
        return json(json::value_t::discarded);
    /* No callback, no exceptions: a bad text gives a discarded value. */
    return json::parse(text, nullptr, false);
}

const json *jget(const json &obj, const char *key)
{
    if (!obj.is_object())
        return nullptr;
    auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
}

long long jnum(const json &obj, const char *key, long long fallback)
{
    const json *v = jget(obj, key);
    if (v == nullptr)
        return fallback;
    if (v->is_number_unsigned())
        return (long long)v->get<unsigned long long>();
    if (v->is_number_integer())
        return v->get<long long>();
    if (v->is_number_float()) {
        double d = v->get<double>();
        /* Outside the range a conversion would be undefined. */
        if (d > -9.2e18 && d < 9.2e18)
            return (long long)d;
    }
    return fallback;
}

std::string jstr(const json &obj, const char *key)
{
    const json *v = jget(obj, key);
    return (v != nullptr && v->is_string()) ? v->get<std::string>() : std::string();
}

bool jflag(const json &obj, const char *key)
{
    const json *v = jget(obj, key);
    return v != nullptr && v->is_boolean() && v->get<bool>();
}

std::vector<std::string> jstrings(const json &obj, const char *key)
{
    std::vector<std::string> out;
    const json *v = jget(obj, key);
    if (v == nullptr || !v->is_array())
        return out;
    for (const json &item : *v)
        if (item.is_string())
            out.push_back(item.get<std::string>());
    return out;
}

/*
 * Fuzz target for the command-line host's connection strings: any bytes
 * are parsed without fault; what parses has only known keywords, each
 * once, and written back in the key=value form with every value quoted
 * and escaped it parses to the same list.
 */
#include "../tools/conninfo.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace
{

void check(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

std::string quoted(const std::string &value)
{
    std::string out = "'";
    for (char ch : value) {
        if (ch == '\'' || ch == '\\') {
            out += '\\';
        }
        out += ch;
    }
    return out + "'";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    conninfo ci;
    bool is_ci = ci_is_conninfo(text);
    if (ci_parse(text, ci) != 0) {
        check(!ci.error.empty());
        return 0;
    }
    check(is_ci || ci.items.empty() || text.find('=') != std::string::npos);
    std::string again;
    for (size_t i = 0; i < ci.items.size(); i++) {
        for (size_t k = 0; k < i; k++) {
            check(ci.items[k].key != ci.items[i].key);
        }
        check(ci_get(ci, ci.items[i].key.c_str()) == &ci.items[i].value);
        again += " " + ci.items[i].key + "=" + quoted(ci.items[i].value);
    }
    conninfo back;
    check(ci_parse(again, back) == 0);
    check(back.items.size() == ci.items.size());
    for (size_t i = 0; i < back.items.size(); i++) {
        check(back.items[i].key == ci.items[i].key && back.items[i].value == ci.items[i].value);
    }
    return 0;
}

/*
 * Fuzz target for name patterns: the input up to the first 0xff byte is a
 * pattern, the rest a name.  Compiling must end with 0 or an error text;
 * a compiled pattern must match without reading past either text, and a
 * pattern made only of the name's characters, each quoted, must match it.
 */
#include "catalog/pattern.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *cut = static_cast<const uint8_t *>(memchr(data, 0xff, size));
    size_t plen = cut != nullptr ? (size_t)(cut - data) : size;
    std::string pattern(reinterpret_cast<const char *>(data), plen);
    std::string name = cut != nullptr
                           ? std::string(reinterpret_cast<const char *>(cut + 1), size - plen - 1)
                           : std::string();
    pattern = pattern.c_str(); /* up to the first NUL, as a C string */
    name = name.c_str();
    name_pattern p;
    char err[300];
    if (pattern_compile(pattern.c_str(), 3, &p, err, sizeof err) == 0) {
        if (p.count < 1 || p.count > 3)
            abort();
        pattern_match_relation(&p, name.c_str(), name.c_str(), name.c_str());
        pattern_match_schema(&p, name.c_str(), name.c_str());
    } else if (err[0] == '\0') {
        abort();
    }
    /* The name quoted whole is matched literally. */
    std::string quoted = "\"";
    for (char ch : name)
        quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    quoted += "\"";
    if (name.size() < 200 && pattern_compile(quoted.c_str(), 1, &p, err, sizeof err) == 0 &&
        !pattern_part_match(&p.parts[0], name.c_str()))
        abort();
    return 0;
}

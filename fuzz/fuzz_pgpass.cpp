/*
 * Fuzz target for the password file's lines: any text is matched without
 * fault against a key taken from the input itself; a found password is
 * never empty and never holds a line break; and a line written for the
 * key with every field escaped, put first, is always the one found.
 */
#include "../tools/pgpass.h"

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

std::string escaped(const std::string &field)
{
    std::string out;
    for (char ch : field) {
        if (ch == ':' || ch == '\\') {
            out += '\\';
        }
        out += ch;
    }
    return out;
}

/* Up to the next NUL of the input, without line breaks. */
std::string take(const std::string &text, size_t &at)
{
    std::string out;
    for (; at < text.size() && text[at] != '\0'; at++) {
        if (text[at] != '\n' && text[at] != '\r') {
            out += text[at];
        }
    }
    at++;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t at = 0;
    pgpass_key key;
    key.host = take(text, at);
    key.port = take(text, at);
    key.dbname = take(text, at);
    key.user = take(text, at);
    std::string file = at < text.size() ? text.substr(at) : "";

    std::string password;
    if (pgpass_match(file, key, password) == 1) {
        check(!password.empty());
        check(password.find('\n') == std::string::npos);
    }
    /* A trailing backslash would escape the line's end. */
    std::string host = key.host.empty() ? "localhost" : key.host;
    if (host[0] == '#' || host.back() == '\\' || key.port.empty() || key.port.back() == '\\' ||
        key.dbname.empty() || key.user.empty()) {
        return 0;
    }
    std::string line = escaped(host) + ":" + escaped(key.port) + ":" + escaped(key.dbname) + ":" +
                       escaped(key.user) + ":se\\:cret\n";
    std::string found;
    check(pgpass_match(line + file, key, found) == 1);
    check(found == "se:cret");
    return 0;
}

/*
 * The password file: matching its lines, and finding and reading it.
 */
#include "pgpass.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <vector>

namespace
{

/* Splits one line into its fields at unescaped colons, the escapes kept
 * (a field of "\*" is a literal star, not the wildcard).  The fifth field
 * is the rest of the line up to the next unescaped colon, as libpq reads
 * it. */
std::vector<std::string> split_fields(const std::string &line)
{
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < line.size(); i++) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            fields.back() += line.substr(i, 2);
            i++;
        } else if (line[i] == ':') {
            if (fields.size() == 5)
                break;
            fields.emplace_back();
        } else {
            fields.back() += line[i];
        }
    }
    return fields;
}

std::string unescaped(const std::string &field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); i++) {
        if (field[i] == '\\' && i + 1 < field.size())
            i++;
        out += field[i];
    }
    return out;
}

bool field_matches(const std::string &field, const std::string &value)
{
    return field == "*" || unescaped(field) == value;
}

bool host_matches(const std::string &field, const std::string &host)
{
    if (!host.empty())
        return field_matches(field, host);
    return field_matches(field, "localhost") || field_matches(field, "127.0.0.1");
}

} // namespace

int pgpass_match(const std::string &text, const pgpass_key &key, std::string &password)
{
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> f = split_fields(line);
        if (f.size() < 5 || !host_matches(f[0], key.host) || !field_matches(f[1], key.port) ||
            !field_matches(f[2], key.dbname) || !field_matches(f[3], key.user))
            continue;
        std::string pw = unescaped(f[4]);
        if (pw.empty())
            continue;
        password = pw;
        return 1;
    }
    return 0;
}

int pgpass_read(const std::string &path_given, std::string &text, std::string &warning)
{
    std::string path = path_given;
    if (path.empty()) {
        const char *home = getenv("HOME");
        if (home == nullptr || *home == '\0')
            return -1;
        path = std::string(home) + "/.pgpass";
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        warning = "password file \"" + path + "\" is not a plain file";
        return -1;
    }
    /* libpq's rule: a file others may read holds no secret worth trusting. */
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        warning = "password file \"" + path +
                  "\" has group or world access; permissions should be u=rw (0600) or less";
        return -1;
    }
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        warning = "cannot read password file \"" + path + "\": " + strerror(errno);
        return -1;
    }
    char chunk[4096];
    size_t n;
    text.clear();
    /* A password file is small; a huge one is read only this far. */
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0 && text.size() < (1u << 20))
        text.append(chunk, n);
    fclose(f);
    return 0;
}

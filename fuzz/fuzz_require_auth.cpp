/*
 * Fuzz target for the require_auth list: any bytes (up to the first NUL)
 * must be judged exactly as a slow reference reading of libpq's rules
 * judges them, with the error text always terminated.
 */
#include "pg_client/pg_require_auth.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

void check(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

/* The rules, item by item over a copy: -1 or 0 with the allowed bits. */
int reference(const std::string &list, uint32_t *allowed)
{
    *allowed = PG_AUTH_ALL;
    if (list.empty()) {
        return 0;
    }
    if (list.size() > PG_REQUIRE_AUTH_MAX) {
        return -1;
    }
    const char *names[] = {"password", "md5", "scram-sha-256", "none"};
    bool negative = list[0] == '!';
    uint32_t seen = 0;
    size_t from = 0;
    for (;;) {
        size_t comma = list.find(',', from);
        std::string item =
            list.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        if (item.empty() || (item[0] == '!') != negative) {
            return -1;
        }
        std::string name = negative ? item.substr(1) : item;
        uint32_t bit = 0;
        for (int k = 0; k < 4; k++) {
            if (name == names[k]) {
                bit = 1u << k;
            }
        }
        if (bit == 0 || (seen & bit) != 0) {
            return -1;
        }
        seen |= bit;
        if (comma == std::string::npos) {
            break;
        }
        from = comma + 1;
    }
    *allowed = negative ? PG_AUTH_ALL & ~seen : seen;
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string list(reinterpret_cast<const char *>(data), size);
    list = list.substr(0, strnlen(list.c_str(), list.size()));
    pg_auth_policy policy;
    char err[64];
    memset(err, 'x', sizeof err);
    int rc = pg_parse_require_auth(list.c_str(), &policy, err, sizeof err);
    check(memchr(err, 0, sizeof err) != nullptr);
    uint32_t allowed = 0;
    check(rc == reference(list, &allowed));
    if (rc == 0) {
        check(policy.allowed == allowed);
        check(policy.limited == (list.empty() ? 0 : 1));
    } else {
        check(err[0] != '\0');
        check(policy.allowed == PG_AUTH_ALL && policy.limited == 0);
    }
    return 0;
}

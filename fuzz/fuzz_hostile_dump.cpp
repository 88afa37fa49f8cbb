/*
 * Fuzz target for the dump against a lying server: the input draws a
 * hostile catalogue (names, types, defaults, values, server version and
 * database name full of quotes, backslashes, newlines, comment starts,
 * NULs, over-long names and invalid UTF-8), a fake loopback server answers
 * the dump's queries from it, and the script must either not be written
 * (the run fails with a text) or cut, as psql cuts it, into exactly the
 * statements the dump meant, with no backslash command.
 */
#include <cstdint>
#include <cstdio>

#include "support/dump_wait.h"
#include "support/hostile_dump.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string out = temp_path("fuzz-hostile.sql");
    hostile_catalogue cat = hostile_from_bytes(data, size);
    hostile_outcome o = run_hostile_dump(cat, out);
    bool clean_failure = (o.state == -1 || o.state == 5) && !o.error.empty();
    bool sound = o.state == 3 && o.verdict.empty();
    if (!o.server_error.empty() || !(clean_failure || sound)) {
        fprintf(stderr, "state %d, error \"%s\", verdict \"%s\", server \"%s\"\n%s\n", o.state,
                o.error.c_str(), o.verdict.c_str(), o.server_error.c_str(), o.script.c_str());
        __builtin_trap();
    }
    return 0;
}

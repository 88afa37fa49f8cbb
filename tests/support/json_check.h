/*
 * Strict JSON checks by an outside oracle: Python's json module, fed the
 * bytes exactly as the library returned them (strict UTF-8, no control
 * characters in strings, no lone surrogates).
 */
#ifndef PGDUMP_TEST_JSON_CHECK_H
#define PGDUMP_TEST_JSON_CHECK_H

#include <string>
#include <vector>

/* True when python3 can be run here; tests skip otherwise. */
bool json_oracle_available();

/* Checks every text as one JSON document.  Returns "" when all are valid,
 * else the first failures, one per line, with their index. */
std::string json_invalid_documents(const std::vector<std::string> &texts);

/* Checks json_escape: for each case, out must be the escape of src made
 * with the given capacity: shorter than capacity, valid inside a JSON
 * string, and decoding to a prefix of src decoded as UTF-8 with U+FFFD
 * for each maximal ill-formed subsequence; the whole of it when
 * capacity >= 6 * src.size() + 7.  Returns "" or the failures. */
struct escape_case {
    std::string src;
    size_t capacity;
    std::string out;
};
std::string json_escape_mismatches(const std::vector<escape_case> &cases);

#define REQUIRE_JSON_ORACLE()                                                                      \
    do {                                                                                           \
        if (!json_oracle_available())                                                              \
            GTEST_SKIP() << "python3 is not available as a JSON oracle";                           \
    } while (0)

#endif

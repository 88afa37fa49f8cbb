/*
 * Name patterns as PostgreSQL's dump reads them, one table of cases; the
 * selection they make is checked against pg_dump itself in the
 * command-line tests.
 */
#include "catalog/pattern.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{

TEST(NamePattern, MatchesAsPostgresDumpReadsPatterns)
{
    struct {
        const char *pattern;
        const char *schema, *name;
        bool match;
    } cases[] = {
        {"film", "public", "film", true},
        {"FILM", "public", "film", true},        /* folded */
        {"FILM", "public", "FILM", false},       /* not the upper-case name */
        {"\"FILM\"", "public", "FILM", true},    /* quoted: literal */
        {"\"FILM\"", "public", "film", false},   /* and not folded */
        {"film", "other", "film", false},        /* bare: schema public */
        {"film*", "public", "film_actor", true}, /* any run */
        {"film*", "public", "film", true},       /* also an empty one */
        {"film*", "public", "afilm", false},     /* anchored at the start */
        {"fil?", "public", "film", true},        /* one character */
        {"fil?", "public", "fil", false},        /* exactly one */
        {"caf?", "public", "café", true},        /* one character, not one byte */
        {"*.t?", "arch1", "t1", true},           /* schema.table */
        {"public.film*", "public", "film_x", true},
        {"public.film*", "publicx", "film", false},
        {"\"a.b\"", "public", "a.b", true},     /* a quoted dot is no separator */
        {"\"x\"\"y\"", "public", "x\"y", true}, /* "" in quotes: one quote */
        {"\"*\"", "public", "*", true},         /* quoted wildcard: literal */
        {"\"*\"", "public", "a", false},
        {"[ab]*", "public", "bcd", true}, /* a set */
        {"[ab]*", "public", "cd", false},
        {"[^ab]x", "public", "cx", true},      /* a negated set */
        {"[A-C]x", "public", "bx", true},      /* folded in sets too */
        {"a$", "public", "a$", true},          /* $ is literal */
        {"*a*b*", "public", "xxaxxbxx", true}, /* backtracking */
        {"*a*b", "public", "xxaxxbxxc", false},
        {"db.public.t", "public", "t", true}, /* database part */
        {"other.public.t", "public", "t", false},
    };
    for (const auto &c : cases) {
        name_pattern p;
        char err[300] = "";
        ASSERT_EQ(0, pattern_compile(c.pattern, 3, &p, err, sizeof err)) << c.pattern << err;
        EXPECT_EQ(c.match, pattern_match_relation(&p, "db", c.schema, c.name))
            << c.pattern << " against " << c.schema << "." << c.name;
    }
}

TEST(NamePattern, RefusesWhatPostgresDumpRefuses)
{
    struct {
        const char *pattern;
        int max_parts;
        const char *error;
    } cases[] = {
        {"a.b.c.d", 3, "improper qualified name (too many dotted names): a.b.c.d"},
        {"a.b.c", 2, "improper qualified name (too many dotted names): a.b.c"},
        {"\"open", 3, "unterminated quoted name in pattern: \"open"},
        {"[ab", 3, "unterminated [ in pattern: [ab"},
    };
    for (const auto &c : cases) {
        name_pattern p;
        char err[300] = "";
        EXPECT_EQ(-1, pattern_compile(c.pattern, c.max_parts, &p, err, sizeof err));
        EXPECT_STREQ(c.error, err);
    }
    name_pattern p;
    char err[300];
    EXPECT_EQ(0, pattern_compile(std::string(300, '*').c_str(), 3, &p, err, sizeof err));
    EXPECT_EQ(-1, pattern_compile(std::string(600, 'x').c_str(), 3, &p, err, sizeof err));
    EXPECT_EQ(0, strncmp(err, "pattern too long: xxx", 21)) << err;
    ASSERT_EQ(0, pattern_compile("arch*", 2, &p, err, sizeof err));
    EXPECT_TRUE(pattern_match_schema(&p, "db", "arch1"));
    EXPECT_FALSE(pattern_match_schema(&p, "db", "other"));
}

} // namespace

/*
 * The fixture shared by the configuration tests: a record to parse into,
 * a hand-built default record, and helpers that expect a document to be
 * accepted or refused (a refusal must leave the defaults).
 */
#ifndef PGDUMP_TEST_CONFIG_FIXTURE_H
#define PGDUMP_TEST_CONFIG_FIXTURE_H

#include "config/config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

class Config : public ::testing::Test
{
  protected:
    dump_config cfg;

    int parse(const std::string &text) { return parse_config(text.c_str(), &cfg); }

    /* A record built by hand, so a wrong reset cannot hide behind itself. */
    static void make_defaults(dump_config *d)
    {
        memset(d, 0, sizeof *d);
        strcpy(d->host, "127.0.0.1");
        d->port = 5432;
        d->include_schema = 1;
        d->include_data = 1;
        d->include_drop = 0;
        d->rows_per_insert = 100;
        d->jobs = 1;

        d->sslsni = 1;
    }

    bool at_defaults() const
    {
        static dump_config defaults;
        make_defaults(&defaults);
        return memcmp(&cfg, &defaults, sizeof cfg) == 0;
    }

    /* Fills every field with something else first, so a refusal that
     * forgets to reset shows. */
    void dirty()
    {
        memset(&cfg, 'x', sizeof cfg);
        cfg.table_count = 7;
    }

    void expect_refused(const std::string &text)
    {
        dirty();
        EXPECT_EQ(parse(text), -1) << text;
        EXPECT_TRUE(at_defaults()) << text;
    }

    void expect_accepted(const std::string &text) { EXPECT_EQ(parse(text), 0) << text; }
};

#endif

/*
 * The throwaway PostgreSQL server that scripts/sandbox starts for the test
 * run.  Its address comes from PGDUMP_TEST_HOST / PGDUMP_TEST_PORT; without
 * them the tests that need a server skip, unless PGDUMP_REQUIRE_SERVER=1
 * (set by scripts/test), in which case they fail.
 *
 * Roles, one per login method of pg_hba.conf:
 *   vpg_trust  trust                 superuser, no password
 *   vpg_plain  password (cleartext)  "plain-secret"
 *   vpg_md5    md5                   "md5-secret"
 *   vpg_scram  scram-sha-256         "scram-secret"
 */
#ifndef PGDUMP_TEST_SANDBOX_H
#define PGDUMP_TEST_SANDBOX_H

#include <gtest/gtest.h>
#include <string>

#define SANDBOX_TRUST_USER "vpg_trust"
#define SANDBOX_PLAIN_USER "vpg_plain"
#define SANDBOX_PLAIN_PASSWORD "plain-secret"
#define SANDBOX_MD5_USER "vpg_md5"
#define SANDBOX_MD5_PASSWORD "md5-secret"
#define SANDBOX_SCRAM_USER "vpg_scram"
#define SANDBOX_SCRAM_PASSWORD "scram-secret"

struct sandbox_info {
    std::string host;
    int port;
};

/* The sandbox server, or null when none is configured. */
const sandbox_info *sandbox_server();
bool sandbox_required();

#define REQUIRE_SANDBOX()                                                                  \
    do {                                                                                   \
        if (sandbox_server() == nullptr) {                                                 \
            if (sandbox_required())                                                        \
                FAIL() << "PGDUMP_REQUIRE_SERVER is set but no sandbox server is known";   \
            GTEST_SKIP() << "no sandbox server (run scripts/test)";                        \
        }                                                                                  \
    } while (0)

/* Runs sql with psql as the trust superuser in database db (ON_ERROR_STOP);
 * returns psql's exit status.  Output is discarded. */
int sandbox_psql(const std::string &db, const std::string &sql);

/* Same, returning psql's unaligned, tuples-only output (-XAtq). */
std::string sandbox_psql_output(const std::string &db, const std::string &sql);

/* Drops (if present) and creates database name, owned by the superuser;
 * extra is appended to CREATE DATABASE (e.g. "ENCODING 'LATIN1' ..."). */
void sandbox_fresh_db(const std::string &name, const std::string &extra = "");

/* A configuration document for the sandbox: host, port, user, password,
 * database, followed by extra members (without leading comma) if given. */
std::string sandbox_config(const std::string &user, const std::string &password,
                           const std::string &db, const std::string &extra = "");

/* Runs a shell command, returns its exit status (-1 when it could not run). */
int run_command(const std::string &cmd);

#endif

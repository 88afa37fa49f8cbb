/*
 * A hostile catalogue and the check that no dump of it can carry code.
 *
 * A hostile_catalogue is what a malicious (or broken) server claims to
 * hold: tables whose names, column names, types, defaults, key lists,
 * sequence names and values hold quotes, backslashes, newlines, "$$",
 * "--", slash-star, NULs, over-long names and invalid UTF-8.  serve_hostile() answers
 * the dump's queries from it on a fake loopback server; run_hostile_dump()
 * runs the dump against that server and judges the script with the psql
 * lexer: either the run failed cleanly, or the file cuts into exactly the
 * statements the dump meant to write (header SETs, then per table the
 * sequences, the table and its INSERTs, each starting with its keyword)
 * with no backslash command, no NUL and nothing left open.
 *
 * Used by tests/hostile_dump_test.cpp and fuzz/fuzz_hostile_dump.cpp; no
 * GoogleTest here.
 */
#ifndef PGDUMP_TEST_HOSTILE_DUMP_H
#define PGDUMP_TEST_HOSTILE_DUMP_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using opt_text = std::optional<std::string>;

struct hostile_column {
    std::string name;
    std::string type; /* the type text the catalogue query returns */
    uint32_t oid;     /* the type OID of the column in the row query */
    bool not_null;
    opt_text default_text;
};

struct hostile_table {
    std::string name;
    std::vector<hostile_column> columns;
    std::vector<std::string> sequences; /* sequence names the server reports */
    opt_text key_list;                  /* primary key column list, if any */
    std::vector<std::vector<opt_text>> rows;
};

struct hostile_catalogue {
    std::string server_version = "16.4";
    std::string database = "db";
    std::vector<hostile_table> tables;
    int rows_per_insert = 100;
    bool include_drop = false;
};

/* The marker every table name starts with, so that the fake server finds
 * the table a query is about whatever quoting the dump applied. */
std::string hostile_table_marker(size_t index);

/* Draws a catalogue from fuzz bytes (any bytes give some catalogue). */
hostile_catalogue hostile_from_bytes(const uint8_t *data, size_t size);

/* The statements the dump should write for the catalogue, as the words
 * each one starts with ("SET", "CREATE SEQUENCE", "INSERT INTO", ...). */
std::vector<std::string> hostile_expected_statements(const hostile_catalogue &cat);

/* Judges a script: "" when it lexes into exactly the expected statements
 * with no backslash command, NUL or open construct; else what is wrong. */
std::string judge_script(const std::string &script, const std::vector<std::string> &expected);

struct hostile_outcome {
    int state = -1;           /* final session state, or -1 when the start was refused */
    std::string error;        /* the run's reply when it did not finish */
    std::string script;       /* the file, when the run finished */
    std::string verdict;      /* judge_script() of a finished run; "" when sound */
    std::string server_error; /* what the fake server saw go wrong */
};

/* Runs one dump against a fake server answering from cat, into out_path. */
hostile_outcome run_hostile_dump(const hostile_catalogue &cat, const std::string &out_path);

#endif

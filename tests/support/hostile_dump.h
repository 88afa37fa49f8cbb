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
    std::string data_type; /* information_schema's data_type */
    opt_text char_len;     /* character_maximum_length */
    opt_text precision;    /* numeric_precision */
    opt_text scale;        /* numeric_scale */
    std::string udt_schema = "pg_catalog";
    std::string udt_name;
    uint32_t oid; /* the type OID of the column in the row query */
    bool not_null;
    opt_text default_text;
    bool plain_flags_lie = false; /* claim every udt name needs no quotes */
};

struct hostile_sequence {
    std::string schema = "public";
    std::string name;
    bool visible = true;
    bool plain_flags_lie = false; /* claim the names need no quotes */
};

struct hostile_table {
    std::string name;
    uint32_t oid = 0; /* set by the catalogue's order */
    std::vector<hostile_column> columns;
    std::vector<hostile_sequence> sequences; /* what the dependency query finds */
    std::vector<std::string> key_columns;    /* primary key column names */
    std::vector<std::vector<opt_text>> rows;
};

struct hostile_catalogue {
    std::string server_version = "16.4";
    std::string database = "db";
    std::vector<hostile_table> tables;
    int rows_per_insert = 100;
    bool include_drop = false;
};

/* A column of one of the catalogue's plain types ("integer", "text",
 * "bytea", "boolean", "numeric", "double precision", "character varying"). */
hostile_column plain_column(const std::string &name, const std::string &type);

/* The marker every table name starts with, so that the fake server finds
 * the table a query names whatever quoting the dump applied; queries by
 * OID find it by hostile_table_oid(). */
std::string hostile_table_marker(size_t index);
uint32_t hostile_table_oid(size_t index);

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

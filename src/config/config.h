/*
 * The configuration document: one JSON object per call, scanned by a
 * lenient tokenizer into a fixed pool of tokens (no heap) and walked into a
 * dump_config with defaults for everything absent and fixed cuts for every
 * text.
 */
#ifndef PGDUMP_CONFIG_H
#define PGDUMP_CONFIG_H

#include <cstdint>

#include "config/json_text.h"

#define CONFIG_MAX_TABLES 512
#define CONFIG_MAX_TOKENS 1600
#define CONFIG_MAX_SCHEMAS 64

struct dump_config {
    char host[256]; /* default "127.0.0.1" */
    int32_t port;   /* default 5432; not range-checked */
    char user[128];
    char password[256];
    char database[128];
    char out_path[1024];
    char tables[CONFIG_MAX_TABLES][128]; /* empty list: every table of public */
    int32_t table_count;                 /* 0..512 */
    int32_t include_schema;              /* 0/1, default 1 */
    int32_t include_data;                /* 0/1, default 1 */
    int32_t include_drop;                /* 0/1, default 0 */
    int32_t rows_per_insert;             /* 1..1000, default 100 */

    /* Keys beyond the base set; a host that does not send them gets the
     * table-only script above, byte for byte. */
    int32_t complete;                              /* 0/1, default 0 */
    char schemas[CONFIG_MAX_SCHEMAS][128];         /* empty: see dump engine */
    int32_t schema_count;                          /* 0..64 */
    char exclude_schemas[CONFIG_MAX_SCHEMAS][128]; /* schemas left out */
    int32_t exclude_schema_count;                  /* 0..64 */
    char exclude_tables[CONFIG_MAX_TABLES][128];   /* "schema.table" or "table" */
    int32_t exclude_count;                         /* 0..512 */
    int32_t include_owners;                        /* 0/1, default "complete" */
    int32_t include_privileges;                    /* 0/1, default "complete" */
    char require_auth[128];                        /* libpq's list; "" allows all */
    int32_t data_format;       /* CONFIG_DATA_INSERTS (default) or CONFIG_DATA_COPY */
    int32_t compression;       /* CONFIG_COMPRESS_NONE (default), _GZIP or _ZSTD */
    int32_t compression_level; /* 0: the method's default; else 1..22, cut per method */
    int32_t jobs;              /* data connections, 1..8, default 1 */

    char sslmode[16];         /* libpq's values; "": no TLS, the base client */
    char sslrootcert[1024];   /* PEM file or "system"; "": none */
    char sslcert[1024];       /* client certificate, PEM file */
    char sslkey[1024];        /* its key, PEM file without passphrase */
    int32_t sslsni;           /* 0/1, default 1 */
    char channel_binding[16]; /* disable, prefer ("" too), require */
    int32_t connect_timeout;  /* seconds, 0..86400; 0 (default) waits */
    /* The key of a complete script's \restrict fence: letters and digits;
     * not given, a random one per dump; given as "", no fence. */
    char restrict_key[64];
    int32_t restrict_key_given; /* 0/1 */
    char role[128];             /* SET ROLE first (dump and restore); "": none */
};

/* "data_format": rows as INSERT statements or as COPY ... FROM stdin. */
enum { CONFIG_DATA_INSERTS = 0, CONFIG_DATA_COPY = 1 };
/* "compression": the script as it is, or as one gzip or zstd stream. */
enum { CONFIG_COMPRESS_NONE = 0, CONFIG_COMPRESS_GZIP = 1, CONFIG_COMPRESS_ZSTD = 2 };
#define CONFIG_MAX_JOBS 8

enum { JSON_OBJECT = 1, JSON_ARRAY = 2, JSON_STRING = 4, JSON_PRIMITIVE = 8 };

struct json_token {
    int32_t kind;  /* JSON_OBJECT, JSON_ARRAY, JSON_STRING or JSON_PRIMITIVE */
    int32_t start; /* offset of the raw text (after the quote for strings) */
    int32_t end;   /* offset just past the raw text; -1 while still open */
    int32_t size;  /* tokens counted directly under this one */
};

/* Scans text (NUL-terminated) into tokens.  Returns the number of tokens
 * made, or -1 when the text is refused by the scanner rules (a bad byte, a
 * bad escape, a \u0000 or a surrogate outside a pair, an unterminated
 * string, a mismatched bracket, more than max_tokens tokens).  Open objects
 * at the end are not refused here. */
int json_scan(const char *text, json_token *tokens, int max_tokens);

/* Fills cfg from text.  0 when accepted; -1 when refused, with cfg at its
 * defaults.  text must not be null.  Beyond the scanner's refusals, a
 * "require_auth" value longer than 127 bytes or one pg_parse_require_auth
 * refuses refuses the document; so does an "sslmode" or "channel_binding"
 * libpq would not know, and an ssl* path too long to hold whole. */
int parse_config(const char *text, dump_config *cfg);

/* parse_config's steps around the walk of the keys (config_defaults.cpp):
 * marks the keys whose default depends on others, then settles them;
 * -1 when a value refuses the document (a fence key that is not letters
 * and digits). */
void config_mark_unset(dump_config *cfg);
int config_settle_unset(dump_config *cfg);

/* tok_copy, the value copy of a token: see json_text.h. */

/* The connection parameters and options of cfg for database (pointers
 * into cfg and database), for pg_connect_opts(). */
struct pg_conn_params;
struct pg_conn_options;
void config_conn_params(const dump_config *cfg, const char *database, pg_conn_params *p,
                        pg_conn_options *o);

/* Overwrites the password of cfg with zeros (see plat_secure_zero): for a
 * record kept after its connection is open, such as a dump session's. */
void config_wipe_password(dump_config *cfg);

#endif

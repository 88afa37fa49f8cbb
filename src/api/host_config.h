/*
 * The host's configuration text as the exports take it: checked (not
 * null, valid UTF-8) and parsed into a record on the heap, since with
 * every list at its cap the record is too large for a host thread's
 * stack.
 */
#ifndef PGDUMP_HOST_CONFIG_H
#define PGDUMP_HOST_CONFIG_H

struct dump_config;

/* The parsed record, owned by the caller (release it with
 * host_config_drop), or null with the thread's last error set: "invalid
 * config json" for a null or refused text, the UTF-8 check's text, or
 * "out of memory". */
dump_config *host_config_take(const char *config_json);

/* Wipes the password held in cfg and frees it; null is fine. */
void host_config_drop(dump_config *cfg);

#endif

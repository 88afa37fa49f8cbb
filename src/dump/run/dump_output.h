/*
 * The script file of a run.  The script is written beside out_path under
 * an unpredictable temporary name, in a file created new with mode 0600,
 * and put in place, replacing whatever was there, only when the run ends
 * done (keeping its mode): a run that fails or is cancelled leaves an
 * earlier file at out_path untouched and its partial script beside it.
 */
#ifndef PGDUMP_DUMP_OUTPUT_H
#define PGDUMP_DUMP_OUTPUT_H

#include <cstdio>

#include "sink/dump_writer.h"

struct run_session;

/* Opens the temporary file beside s->cfg.out_path and sets up w with its
 * buffer.  0, or -1 with s->error naming the path and the reason. */
int dump_output_open(run_session *s, dump_writer *w);

/* Ends the file.  With outcome SESSION_DONE: flush, sync, close, rename
 * over out_path; a failure on the way turns the outcome into
 * SESSION_FAILED with s->error set.  Otherwise: the held bytes are tried
 * once more, the file is closed and kept, and s->dump.partial_path names it.
 * Returns the outcome to publish. */
int dump_output_close(run_session *s, dump_writer *w, int outcome);

#endif

/*
 * Warnings of a complete dump: a comment line in the script where the
 * thing warned about is.
 */
#include "dump/complete_write.h"
#include "dump/dump_run.h"
#include "dump/dump_writer.h"

void cw_warn(cw_ctx *c, const char *text)
{
    cw_put(c, "-- WARNING: ");
    if (!c->bad && dw_put_comment_text(c->w, text) != 0)
        cw_fail(c, WRITE_FAILED_TEXT);
    cw_put(c, "\n");
}

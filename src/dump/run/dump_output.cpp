/*
 * The script file: written under a temporary name, put in place at the end.
 */
#include "dump/run/dump_output.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "session/session.h"
#include "sink/dump_sink.h"

/* The file the run writes: beside out_path under a name nobody can guess
 * ("out_path.<16 hex digits>.partial"), or out_path itself when that is a
 * device or a pipe, which cannot be replaced by a rename.  -1 when the
 * system has no random bytes to give. */
static int temp_path(const run_session *s, char *dst, size_t size)
{
    if (plat_path_is_special(s->cfg.out_path)) {
        snprintf(dst, size, "%s", s->cfg.out_path);
        return 0;
    }
    unsigned char r[8];
    if (plat_random(r, sizeof r) != 0)
        return -1;
    char hex[17];
    for (int i = 0; i < 8; i++)
        snprintf(hex + 2 * i, 3, "%02x", r[i]);
    snprintf(dst, size, "%s.%s.partial", s->cfg.out_path, hex);
    return 0;
}

/* The sink that writes the configured compression. */
static int sink_kind(int32_t compression)
{
    switch (compression) {
    case CONFIG_COMPRESS_GZIP:
        return SINK_GZIP;
    case CONFIG_COMPRESS_ZSTD:
        return SINK_ZSTD;
    default:
        return SINK_FILE;
    }
}

int dump_output_open(run_session *s, dump_writer *w)
{
    char *path = s->dump.partial_path; /* cleared again when the run ends done */
    if (temp_path(s, path, sizeof s->dump.partial_path) != 0) {
        path[0] = '\0';
        session_set_error(s, FAIL_SYSTEM, "no random bytes for the output file's name");
        return -1;
    }
    /* Created new, for the dumping user alone: a link or a file another
     * user planted there is never written through or kept. */
    bool special = strcmp(path, s->cfg.out_path) == 0;
    FILE *file = special ? plat_fopen_wb(path) : plat_create_private(path);
    if (file == nullptr) {
        char why[200];
        plat_file_error_text(why, sizeof why);
        snprintf(s->error, sizeof s->error, "cannot open output file %s: %s", path, why);
        fail_set(&s->fail, FAIL_IO);
        path[0] = '\0';
        return -1;
    }
    /* The writer does its own buffering; unbuffered, a refused write is
     * reported by the very call that made it. */
    setvbuf(file, nullptr, _IONBF, 0);
    dw_sink *sink = static_cast<dw_sink *>(calloc(1, sizeof(dw_sink)));
    const char *why = "out of memory";
    if (sink != nullptr && dw_open(w, sink) == 0) {
        if (sink_open(sink, file, &s->dump.bytes_written, sink_kind(s->cfg.compression),
                      s->cfg.compression_level) == 0)
            return 0;
        why = sink->error;
    }
    session_set_error(s, FAIL_IO, why);
    dw_close(w);
    free(sink);
    *w = dump_writer{};
    fclose(file);
    plat_remove(path);
    path[0] = '\0';
    return -1;
}

static int finish_done(run_session *s, dump_writer *w)
{
    if (dw_flush(w) != 0) {
        session_set_error(s, FAIL_IO, "final flush failed");
        return SESSION_FAILED;
    }
    if (sink_finish(w->sink) != 0) {
        session_set_error(s, FAIL_IO, w->sink->error);
        return SESSION_FAILED;
    }
    if (plat_file_sync(w->sink->file) != 0 && !plat_path_is_special(s->cfg.out_path)) {
        session_set_error(s, FAIL_IO, "cannot write output file to disk (disk full?)");
        return SESSION_FAILED;
    }
    return SESSION_DONE;
}

int dump_output_close(run_session *s, dump_writer *w, int outcome)
{
    char path[sizeof s->dump.partial_path];
    memcpy(path, s->dump.partial_path, sizeof path);
    if (outcome == SESSION_DONE)
        outcome = finish_done(s, w);
    /* Bytes the file refused once are tried a second time; a run that
     * stopped early still leaves its text so far in the partial file, a
     * compressed one as a complete stream. */
    if (outcome != SESSION_DONE && dw_retry(w) == 0)
        sink_finish(w->sink);
    dw_close(w);
    FILE *file = w->sink->file;
    sink_free(w->sink);
    free(w->sink);
    w->sink = nullptr;
    /* The close finishes the C library's own buffering: a failure there
     * means the file may lack its tail, which must not pass as done. */
    if (fclose(file) != 0 && outcome == SESSION_DONE) {
        session_set_error(s, FAIL_IO, "cannot close output file (disk full?)");
        outcome = SESSION_FAILED;
    }
    bool in_place = strcmp(path, s->cfg.out_path) == 0;
    if (outcome == SESSION_DONE && !in_place && plat_rename_replace(path, s->cfg.out_path) != 0) {
        char why[200];
        plat_file_error_text(why, sizeof why);
        snprintf(s->error, sizeof s->error, "cannot put output file in place at %s: %s",
                 s->cfg.out_path, why);
        fail_set(&s->fail, FAIL_IO);
        outcome = SESSION_FAILED;
    }
    if (outcome == SESSION_DONE || in_place)
        s->dump.partial_path[0] = '\0';
    return outcome;
}

/*
 * Script file input: plain bytes straight from the file, or gzip / zstd
 * decoded block by block.  Concatenated gzip members and zstd frames are
 * read as one stream, as gzip -d and zstd -d do.  Input that ends inside a
 * member or frame is a truncated file, never a clean end.
 */
#include "restore/script_input.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

#ifdef PGDUMP_HAVE_COMPRESSION
#include <zlib.h>
#include <zstd.h>
#endif

static void si_set_error(script_input *in, const char *text)
{
    snprintf(in->error, sizeof in->error, "%s", text);
}

const char *si_kind_name(int32_t kind)
{
    return kind == SI_GZIP ? "gzip" : kind == SI_ZSTD ? "zstd" : "plain";
}

/* What the first bytes say; -1 (error set) for files that are no script. */
static int classify(script_input *in, const unsigned char *p, size_t n)
{
    if (n >= 2 && p[0] == 0x1f && p[1] == 0x8b)
        return SI_GZIP;
    if (n >= 4 && p[0] == 0x28 && p[1] == 0xb5 && p[2] == 0x2f && p[3] == 0xfd)
        return SI_ZSTD;
    if (n >= 5 && memcmp(p, "PGDMP", 5) == 0) {
        si_set_error(in, "not a script: a custom-format archive (use pg_restore)");
        return -1;
    }
    /* Text never holds NUL bytes; most binary files do early on. */
    if (memchr(p, 0, n) != nullptr) {
        si_set_error(in, "not a script: the file holds binary data");
        return -1;
    }
    return SI_PLAIN;
}

#ifdef PGDUMP_HAVE_COMPRESSION
static int start_decoder(script_input *in)
{
    if (in->kind == SI_GZIP) {
        z_stream *z = static_cast<z_stream *>(calloc(1, sizeof(z_stream)));
        /* 15 + 16: a gzip header only, the largest window. */
        if (z == nullptr || inflateInit2(z, 15 + 16) != Z_OK) {
            free(z);
            si_set_error(in, "cannot start the gzip decoder");
            return -1;
        }
        in->decoder = z;
    } else {
        ZSTD_DStream *z = ZSTD_createDStream();
        if (z == nullptr || ZSTD_isError(ZSTD_initDStream(z))) {
            ZSTD_freeDStream(z);
            si_set_error(in, "cannot start the zstd decoder");
            return -1;
        }
        in->decoder = z;
    }
    return 0;
}
#endif

int si_open(script_input *in, const char *path)
{
    FILE *f = plat_fopen_rb(path);
    if (f == nullptr) {
        memset(in, 0, sizeof *in);
        snprintf(in->error, sizeof in->error, "cannot open %s", path);
        return -1;
    }
    return si_attach(in, f);
}

int si_attach(script_input *in, FILE *file)
{
    memset(in, 0, sizeof *in);
    in->file = file;
    in->file_size = plat_file_size(in->file);
    in->raw = static_cast<unsigned char *>(malloc(SI_BLOCK));
    if (in->raw == nullptr) {
        si_set_error(in, "out of memory");
        si_close(in);
        return -1;
    }
    /* The first block stays in raw: a plain script hands it out first. */
    in->raw_len = fread(in->raw, 1, SI_BLOCK, in->file);
    in->file_read = (int64_t)in->raw_len;
    if (in->raw_len < SI_BLOCK) {
        if (ferror(in->file)) {
            si_set_error(in, "cannot read the script file");
            si_close(in);
            return -1;
        }
        in->file_eof = 1;
    }
    int kind = classify(in, in->raw, in->raw_len);
    if (kind < 0) {
        si_close(in);
        return -1;
    }
    in->kind = kind;
    if (kind == SI_PLAIN)
        return 0;
#ifdef PGDUMP_HAVE_COMPRESSION
    if (start_decoder(in) != 0) {
        si_close(in);
        return -1;
    }
    return 0;
#else
    snprintf(in->error, sizeof in->error, "%s input: not built with %s support", si_kind_name(kind),
             si_kind_name(kind));
    si_close(in);
    return -1;
#endif
}

#ifdef PGDUMP_HAVE_COMPRESSION
/* Refills raw from the file when it is used up.  0, or -1 (error set). */
static int refill(script_input *in)
{
    if (in->raw_pos < in->raw_len || in->file_eof)
        return 0;
    in->raw_pos = 0;
    in->raw_len = fread(in->raw, 1, SI_BLOCK, in->file);
    in->file_read += (int64_t)in->raw_len;
    if (in->raw_len < SI_BLOCK) {
        if (ferror(in->file)) {
            si_set_error(in, "cannot read the script file");
            return -1;
        }
        in->file_eof = 1;
    }
    return 0;
}
#endif

static long read_plain(script_input *in, unsigned char *dst, size_t cap)
{
    if (in->raw_pos < in->raw_len) {
        size_t n = in->raw_len - in->raw_pos;
        if (n > cap)
            n = cap;
        memcpy(dst, in->raw + in->raw_pos, n);
        in->raw_pos += n;
        return (long)n;
    }
    if (in->file_eof)
        return 0;
    size_t n = fread(dst, 1, cap, in->file);
    in->file_read += (int64_t)n;
    if (n < cap) {
        if (ferror(in->file)) {
            si_set_error(in, "cannot read the script file");
            return -1;
        }
        in->file_eof = 1;
    }
    return (long)n;
}

#ifdef PGDUMP_HAVE_COMPRESSION
/* One decoding step over what raw holds: bytes written to dst, or -1. */
static long decode_step(script_input *in, unsigned char *dst, size_t cap)
{
    if (in->kind == SI_GZIP) {
        z_stream *z = static_cast<z_stream *>(in->decoder);
        if (!in->frame_open && inflateReset(z) != Z_OK)
            return -1;
        z->next_in = in->raw + in->raw_pos;
        z->avail_in = (uInt)(in->raw_len - in->raw_pos);
        z->next_out = dst;
        z->avail_out = cap > 0x40000000u ? 0x40000000u : (uInt)cap;
        uInt out_before = z->avail_out;
        int rc = inflate(z, Z_NO_FLUSH);
        in->raw_pos = in->raw_len - z->avail_in;
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
            si_set_error(in, "corrupt gzip data");
            return -1;
        }
        in->frame_open = rc != Z_STREAM_END;
        return (long)(out_before - z->avail_out);
    }
    ZSTD_inBuffer src = {in->raw, in->raw_len, in->raw_pos};
    ZSTD_outBuffer out = {dst, cap, 0};
    size_t rc = ZSTD_decompressStream(static_cast<ZSTD_DStream *>(in->decoder), &out, &src);
    in->raw_pos = src.pos;
    if (ZSTD_isError(rc)) {
        si_set_error(in, "corrupt zstd data");
        return -1;
    }
    in->frame_open = rc != 0;
    return (long)out.pos;
}

static long read_compressed(script_input *in, unsigned char *dst, size_t cap)
{
    for (;;) {
        if (refill(in) != 0)
            return -1;
        if (in->raw_pos == in->raw_len && in->file_eof) {
            if (in->frame_open) {
                snprintf(in->error, sizeof in->error,
                         "truncated %s data: the file ends after %lld bytes",
                         si_kind_name(in->kind), (long long)in->file_read);
                return -1;
            }
            return 0;
        }
        long n = decode_step(in, dst, cap);
        if (n != 0)
            return n;
    }
}
#endif

long si_read(script_input *in, unsigned char *dst, size_t cap)
{
    if (in->file == nullptr) {
        si_set_error(in, "script file not open");
        return -1;
    }
    if (in->kind == SI_PLAIN)
        return read_plain(in, dst, cap);
#ifdef PGDUMP_HAVE_COMPRESSION
    return read_compressed(in, dst, cap);
#else
    return -1;
#endif
}

void si_close(script_input *in)
{
#ifdef PGDUMP_HAVE_COMPRESSION
    if (in->decoder != nullptr) {
        if (in->kind == SI_GZIP) {
            inflateEnd(static_cast<z_stream *>(in->decoder));
            free(in->decoder);
        } else {
            ZSTD_freeDStream(static_cast<ZSTD_DStream *>(in->decoder));
        }
    }
#endif
    in->decoder = nullptr;
    if (in->file != nullptr)
        fclose(in->file);
    in->file = nullptr;
    free(in->raw);
    in->raw = nullptr;
}

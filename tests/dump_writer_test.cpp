#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "dump/run/dump_run.h"
#include "sink/dump_sink.h"
#include "sink/dump_writer.h"
#include "support/dump_wait.h"

#include <zlib.h>
#include <zstd.h>

namespace
{

/* A writer over a temporary file with a small or full-size buffer. */
struct writer_fixture {
    run_session *session;
    dump_writer w;
    dw_sink sink;
    std::vector<unsigned char> buf;
    FILE *file;

    explicit writer_fixture(uint64_t cap, const char *path = nullptr, int kind = SINK_FILE)
    {
        session = static_cast<run_session *>(calloc(1, sizeof(run_session)));
        buf.resize(cap);
        file = path ? fopen(path, "wb") : tmpfile();
        setvbuf(file, nullptr, _IONBF, 0);
        EXPECT_EQ(0, sink_open(&sink, file, &session->dump.bytes_written, kind, 0)) << sink.error;
        w = {};
        w.sink = &sink;
        w.buf = buf.data();
        w.cap = cap;
    }
    ~writer_fixture()
    {
        sink_free(&sink);
        fclose(file);
        free(session);
    }
    int64_t counted() const { return session->dump.bytes_written.load(); }
    std::string contents()
    {
        fflush(file);
        long end = ftell(file);
        std::string s((size_t)end, '\0');
        rewind(file);
        EXPECT_EQ((size_t)end, fread(&s[0], 1, (size_t)end, file));
        fseek(file, 0, SEEK_END);
        return s;
    }
};

} // namespace

TEST(DumpWriter, BlockThatExactlyFillsTheRoomIsHeldNotWritten)
{
    writer_fixture f(64);
    std::string a(59, 'a');
    ASSERT_EQ(0, dw_put(&f.w, a.data(), a.size()));
    ASSERT_EQ(0, dw_put(&f.w, "bbbbb", 5));
    EXPECT_EQ(64u, f.w.used);
    EXPECT_EQ(0, f.counted());
    EXPECT_EQ("", f.contents());

    ASSERT_EQ(0, dw_put(&f.w, "c", 1));
    EXPECT_EQ(64, f.counted());
    EXPECT_EQ(1u, f.w.used);
    EXPECT_EQ(a + "bbbbb", f.contents());
    EXPECT_EQ(0, dw_put(&f.w, "", 0));
}

TEST(DumpWriter, BlockLargerThanTheBufferGoesStraightToTheFileAfterHeldBytes)
{
    writer_fixture f(DW_BUFFER_SIZE);
    std::string big(2 * 1024 * 1024, 'x');
    ASSERT_EQ(0, dw_put(&f.w, "0123456789", 10));
    ASSERT_EQ(0, dw_put(&f.w, big.data(), big.size()));
    EXPECT_EQ(2097162, f.counted());
    EXPECT_EQ(0u, f.w.used);
    EXPECT_EQ("0123456789" + big, f.contents());
}

TEST(DumpWriter, PrintfCutsAt2047BytesAndFlushesHeldBytesFirst)
{
    writer_fixture f(4096);
    std::string long_text(3000, 'q');
    ASSERT_EQ(0, dw_printf(&f.w, "%s", long_text.c_str()));
    EXPECT_EQ(2047u, f.w.used);

    writer_fixture g(64);
    std::string fill(59, 'f');
    ASSERT_EQ(0, dw_put(&g.w, fill.data(), fill.size()));
    ASSERT_EQ(0, dw_printf(&g.w, "%s-%d", "abcd", 12345));
    EXPECT_EQ(59, g.counted());
    EXPECT_EQ(10u, g.w.used);
    EXPECT_EQ(0, memcmp(g.w.buf, "abcd-12345", 10));
}

TEST(DumpWriter, RefusedFlushKeepsHeldBytesAndCount)
{
    writer_fixture f(16, "/dev/full");
    ASSERT_EQ(0, dw_put(&f.w, "0123456789", 10));
    EXPECT_EQ(-1, dw_put(&f.w, "0123456789", 10));
    EXPECT_EQ(10u, f.w.used);
    EXPECT_EQ(0, f.counted());
    EXPECT_EQ(-1, dw_flush(&f.w));
    EXPECT_EQ(10u, f.w.used);

    writer_fixture g(16, "/dev/full");
    std::string big(100, 'b');
    EXPECT_EQ(-1, dw_put(&g.w, big.data(), big.size()));
    EXPECT_EQ(0, g.counted());
}

TEST(DumpWriter, FirstRefusalIsStickyUntilTheFinalRetry)
{
    writer_fixture f(8);
    ASSERT_EQ(0, dw_put(&f.w, "01234567", 8));
    sink_fail_once_at(1);
    EXPECT_EQ(-1, dw_put(&f.w, "89", 2)); /* the held block is refused once */
    /* The file would take bytes again, but nothing passes the hole. */
    EXPECT_EQ(-1, dw_put(&f.w, "", 0));
    EXPECT_EQ(-1, dw_printf(&f.w, "%d", 1));
    EXPECT_EQ(-1, dw_put_ident(&f.w, "x"));
    EXPECT_EQ(-1, dw_put_literal(&f.w, "x", 1));
    EXPECT_EQ(-1, dw_put_comment_text(&f.w, ""));
    EXPECT_EQ(-1, dw_flush(&f.w));
    EXPECT_EQ("", f.contents());
    EXPECT_EQ(0, dw_retry(&f.w));
    EXPECT_EQ("01234567", f.contents());
    EXPECT_EQ(0, dw_put(&f.w, "89", 2));
    sink_fail_once_at(0);
}

/* What a .gz or .zst file holds, decompressed the way gzip -d and zstd -d
 * read it (every stream or frame in turn); "!" when it is not whole. */
std::string decompressed(int kind, const std::string &packed)
{
    std::string out;
    std::vector<char> chunk(1 << 16);
    if (kind == SINK_GZIP) {
        z_stream z = {};
        if (inflateInit2(&z, 15 + 16) != Z_OK)
            return "!";
        z.next_in = (Bytef *)packed.data();
        z.avail_in = (uInt)packed.size();
        int rc;
        do {
            z.next_out = (Bytef *)chunk.data();
            z.avail_out = (uInt)chunk.size();
            rc = inflate(&z, Z_NO_FLUSH);
            out.append(chunk.data(), chunk.size() - z.avail_out);
        } while (rc == Z_OK);
        inflateEnd(&z);
        return rc == Z_STREAM_END && z.avail_in == 0 ? out : "!";
    }
    ZSTD_DStream *d = ZSTD_createDStream();
    ZSTD_inBuffer in = {packed.data(), packed.size(), 0};
    size_t rc = 1;
    while (in.pos < in.size && !ZSTD_isError(rc)) {
        ZSTD_outBuffer o = {chunk.data(), chunk.size(), 0};
        rc = ZSTD_decompressStream(d, &o, &in);
        out.append(chunk.data(), o.pos);
    }
    ZSTD_freeDStream(d);
    return rc == 0 ? out : "!";
}

/* The compressed sinks: whatever the writer hands over, in pieces small
 * and large, reads back byte for byte as one standard stream, the counter
 * equals the file's length, and a refused write breaks the sink for good
 * instead of compressing the same bytes twice.  (The replay test runs the
 * standard tools themselves.) */
TEST(DumpSink, CompressedStreamsReadBackWholeAndCountTheFile)
{
    std::string text;
    for (int i = 0; i < 40000; i++)
        text += "INSERT INTO t VALUES (" + std::to_string(i * 7919 % 100003) + ",'x');\n";
    text += std::string(3 * 1024 * 1024, 'z'); /* a block larger than the buffer */
    for (int kind : {SINK_GZIP, SINK_ZSTD}) {
        SCOPED_TRACE(kind);
        std::string path = temp_path("sink" + std::to_string(kind));
        {
            writer_fixture f(4096, path.c_str(), kind);
            for (size_t at = 0; at < text.size();) {
                size_t n = std::min<size_t>(text.size() - at, at % 3 == 0 ? 1 : 5000);
                ASSERT_EQ(0, dw_put(&f.w, text.data() + at, n));
                at += n;
            }
            ASSERT_EQ(0, dw_flush(&f.w));
            ASSERT_EQ(0, sink_finish(&f.sink));
            ASSERT_EQ(0, sink_finish(&f.sink)); /* a second end adds nothing */
            fflush(f.file);
            EXPECT_EQ(ftell(f.file), f.counted());
            EXPECT_LT(f.counted(), (int64_t)text.size() / 4);
        }
        std::string packed = read_file(path);
        EXPECT_TRUE(decompressed(kind, packed) == text);

        FILE *probe = fopen("/dev/full", "wb");
        if (probe == nullptr)
            continue; /* no /dev/full on this system */
        fclose(probe);
        writer_fixture full(16, "/dev/full", kind);
        std::string noise;
        uint32_t x = 2463534242u; /* xorshift: bytes no compressor can shrink */
        for (int i = 0; i < 400000; i++) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            noise += (char)x;
        }
        EXPECT_EQ(-1, dw_put(&full.w, noise.data(), noise.size()));
        EXPECT_EQ(1, full.sink.broken);
        EXPECT_EQ(-1, sink_finish(&full.sink));
        EXPECT_EQ(0, full.counted());
    }
}

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "dump/dump_run.h"
#include "dump/dump_writer.h"

namespace
{

/* A writer over a temporary file with a small or full-size buffer. */
struct writer_fixture {
    dump_session *session;
    dump_writer w;
    std::vector<unsigned char> buf;
    FILE *file;

    explicit writer_fixture(uint64_t cap, const char *path = nullptr)
    {
        session = static_cast<dump_session *>(calloc(1, sizeof(dump_session)));
        buf.resize(cap);
        file = path ? fopen(path, "wb") : tmpfile();
        setvbuf(file, nullptr, _IONBF, 0);
        w = {};
        w.file = file;
        w.session = session;
        w.buf = buf.data();
        w.cap = cap;
    }
    ~writer_fixture()
    {
        fclose(file);
        free(session);
    }
    int64_t counted() const { return session->bytes_written.load(); }
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

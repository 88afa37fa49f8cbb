/*
 * Reply escaping, the error reply and the two constant-storage exports.
 */
#include "api/reply.h"
#include "veltrano-pgdump.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{

/* Taken during static initialisation, before any test can have failed a
 * call: the only moment "no failure yet" can be observed in this process. */
const char *const last_error_at_load = pgdump_last_error();
const std::string last_error_text_at_load = last_error_at_load ? last_error_at_load : "(null)";

std::string escape(const std::string &src, size_t capacity = 1024)
{
    std::string dst(capacity + 8, '#');
    json_escape(src.c_str(), &dst[0], capacity);
    EXPECT_EQ(dst[capacity], '#') << "wrote past capacity";
    return std::string(dst.c_str());
}

TEST(JsonEscape, EmptySourceWritesOnlyTheNul)
{
    char dst[8];
    memset(dst, '#', sizeof dst);
    json_escape("", dst, sizeof dst);
    EXPECT_EQ(dst[0], '\0');
    EXPECT_EQ(dst[1], '#');
}

TEST(JsonEscape, ShortEscapesForQuoteBackslashAndWhiteSpace)
{
    EXPECT_EQ(escape("a\"b\\c\td\re\nf"), "a\\\"b\\\\c\\td\\re\\nf");
}

TEST(JsonEscape, OtherControlBytesBecomeLowerCaseUnicodeEscapes)
{
    EXPECT_EQ(escape("\x01"), "\\u0001");
    EXPECT_EQ(escape("\x08"), "\\u0008");
    EXPECT_EQ(escape("\x0c"), "\\u000c");
    EXPECT_EQ(escape("\x1b"), "\\u001b");
    EXPECT_EQ(escape("\x1f"), "\\u001f");
}

TEST(JsonEscape, EverythingElsePassesUnchanged)
{
    EXPECT_EQ(escape("/ \x7f caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 ~"),
              "/ \x7f caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 ~");
}

TEST(JsonEscape, EachByteNeedsSevenBytesOfRoom)
{
    EXPECT_EQ(escape("abcdefghij", 10), "abcd");
    EXPECT_EQ(escape("abcdefghij", 7), "a");
    EXPECT_EQ(escape("abcdefghij", 6), "");
    EXPECT_EQ(escape("abcdefghij", 1), "");
}

TEST(JsonEscape, EscapesAreNeverSplit)
{
    EXPECT_EQ(escape("\x01", 7), "\\u0001");
    EXPECT_EQ(escape("a\x01", 7), "a");
    EXPECT_EQ(escape("ab\"", 9), "ab\\\"");

    std::string controls(400, '\x02');
    std::string out = escape(controls, 1024);
    EXPECT_EQ(out.size(), 1020u);
    for (size_t i = 0; i < out.size(); i += 6) {
        ASSERT_EQ(out.substr(i, 6), "\\u0002") << "at " << i;
    }
}

TEST(FormatErrorReply, TextIsEscapedIntoTheReply)
{
    char reply[256];
    format_error_reply(reply, sizeof reply, "bad \"user\"\n");
    EXPECT_STREQ(reply, "{\"ok\":false,\"error\":\"bad \\\"user\\\"\\n\"}");
}

TEST(FormatErrorReply, LongTextIsCutToTheEscapeBuffer)
{
    static char reply[4096];
    std::string text(3000, 'e');
    format_error_reply(reply, sizeof reply, text.c_str());
    /* 1024 bytes of room hold 1018 plain bytes under the seven-byte rule. */
    EXPECT_EQ(std::string(reply), "{\"ok\":false,\"error\":\"" + std::string(1018, 'e') + "\"}");
}

TEST(FormatErrorReply, SmallDestinationIsCutAndTerminated)
{
    char reply[16];
    memset(reply, '#', sizeof reply);
    format_error_reply(reply, 10, "whatever");
    EXPECT_STREQ(reply, "{\"ok\":fal");
    EXPECT_EQ(reply[10], '#');
}

TEST(Version, IsTheSameConstantOnEveryCall)
{
    const char *first = pgdump_version();
    EXPECT_STREQ(first, "veltrano-pgdump 1.0.0");
    EXPECT_EQ(pgdump_version(), first);
    EXPECT_STREQ(pgdump_version(), "veltrano-pgdump 1.0.0");
}

class LastError : public ::testing::Test
{
  protected:
    char saved[ERR_TEXT_SIZE];
    void SetUp() override { memcpy(saved, thread_replies()->err, sizeof saved); }
    void TearDown() override { memcpy(thread_replies()->err, saved, sizeof saved); }
};

TEST_F(LastError, IsEmptyNotNullBeforeAnyFailure)
{
    ASSERT_NE(last_error_at_load, nullptr);
    EXPECT_EQ(last_error_text_at_load, "");
    EXPECT_EQ(pgdump_last_error(), thread_replies()->err);
}

TEST_F(LastError, ReturnsTheLastTextSetAndKeepsIt)
{
    set_last_error("first failure");
    set_last_error("user required");
    EXPECT_STREQ(pgdump_last_error(), "user required");
    /* Reading never clears. */
    EXPECT_STREQ(pgdump_last_error(), "user required");
}

TEST_F(LastError, LongTextIsCutTo511Bytes)
{
    std::string text(2000, 'x');
    set_last_error(text.c_str());
    EXPECT_EQ(std::string(pgdump_last_error()), std::string(511, 'x'));
}

} // namespace

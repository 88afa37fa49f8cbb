/*
 * Reply escaping, the error reply and the two constant-storage exports.
 */
#include "api/reply.h"
#include "support/json_check.h"
#include "veltrano-pgdump.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

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

TEST(Utf8Cut, NeverEndsInsideAWellFormedCharacter)
{
    const char *euro = "a\xe2\x82\xac"
                       "b";
    for (size_t max : {0, 1, 2, 3, 4, 100})
        EXPECT_EQ(utf8_cut(euro, max), max < 1 ? 0u : max < 4 ? 1u : max < 5 ? 4u : 5u) << max;
    EXPECT_EQ(utf8_cut("\xff\xfe", 1), 1u) << "ill-formed bytes are cut anywhere";
    EXPECT_EQ(utf8_cut(nullptr, 10), 0u);
    EXPECT_EQ(utf8_cut_bytes("a\xe2\x82\xac", 3, 3), 3u) << "the data ends ill-formed";
    EXPECT_EQ(utf8_cut_bytes("a\xe2\x82\xac", 4, 3), 1u);
    EXPECT_EQ(utf8_cut_bytes("a\xe2\x82\xac", 4, 4), 4u);
}

/* A random text built from the pieces a hostile server could send,
 * listed between bars: controls, valid characters, truncated ones, stray
 * continuation bytes, overlong forms, surrogates, beyond U+10FFFF. */
std::string hostile_text(std::mt19937 &rng)
{
    static const std::string list =
        "a|Z| |\"|\\|/|\n|\r|\t|\x01|\x08|\x0c|\x1f|\x7f|\xc3\xa9|\xe2\x82\xac|\xf0\x9f\x98\x80|"
        "\xef\xbf\xbd|\xc3|\xe2\x82|\xf0\x9f\x98|\x80|\xbf|\xc0\xaf|\xc1\x81|\xe0\x80\xaf|"
        "\xed\xa0\x80|\xed\xbf\xbf|\xf4\x90\x80\x80|\xf5|\xfe|\xff|\xf8\x88\x80\x80\x80";
    static std::vector<std::string> pieces;
    if (pieces.empty()) {
        for (size_t at = 0, bar; at <= list.size(); at = bar + 1) {
            bar = std::min(list.find('|', at), list.size());
            pieces.push_back(list.substr(at, bar - at));
        }
    }
    std::string text;
    for (size_t n = rng() % 24; n > 0; n--)
        text += pieces[rng() % pieces.size()];
    return text;
}

TEST(JsonEscape, HostileTextsDecodeAsStrictUtf8WithReplacements)
{
    REQUIRE_JSON_ORACLE();
    std::mt19937 rng(20261209);
    std::vector<escape_case> cases;
    for (int i = 0; i < 3000; i++) {
        std::string src = hostile_text(rng);
        size_t capacity = i % 3 == 0 ? 6 * src.size() + 7 : 1 + rng() % 80;
        cases.push_back({src, capacity, escape(src, capacity)});
    }
    EXPECT_EQ("", json_escape_mismatches(cases));
}

TEST(FormatErrorReply, TextIsEscapedIntoTheReply)
{
    char reply[256];
    fail_info f;
    fail_set(&f, FAIL_CONFIG);
    format_error_reply(reply, sizeof reply, "bad \"user\"\n", &f);
    EXPECT_STREQ(reply, "{\"ok\":false,\"error\":\"bad \\\"user\\\"\\n\",\"code\":\"config\"}");
}

TEST(FormatErrorReply, LongTextIsCutToTheEscapeBuffer)
{
    static char reply[4096];
    std::string text(3000, 'e');
    format_error_reply(reply, sizeof reply, text.c_str(), nullptr);
    /* 1024 bytes of room hold 1018 plain bytes under the seven-byte rule. */
    EXPECT_EQ(std::string(reply),
              "{\"ok\":false,\"error\":\"" + std::string(1018, 'e') + "\",\"code\":\"internal\"}");
}

TEST(FormatErrorReply, SmallDestinationIsCutAndTerminated)
{
    char reply[16];
    memset(reply, '#', sizeof reply);
    format_error_reply(reply, 10, "whatever", nullptr);
    EXPECT_STREQ(reply, "{\"ok\":fal");
    EXPECT_EQ(reply[10], '#');
}

TEST(FormatErrorReply, DestinationSmallerThanTheEscapeRoomStillGetsAWholeReply)
{
    REQUIRE_JSON_ORACLE();
    std::vector<std::string> replies;
    std::mt19937 rng(7);
    for (size_t size = 31; size < 1200; size += 37) {
        std::string reply(size, '#');
        std::string text = hostile_text(rng) + std::string(1500, '\x02') + hostile_text(rng);
        fail_info f;
        fail_set(&f, FAIL_SERVER);
        memcpy(f.sqlstate, "42P01", 6);
        std::string side = hostile_text(rng).substr(0, 200);
        snprintf(f.detail, sizeof f.detail, "%s", side.c_str());
        snprintf(f.hint, sizeof f.hint, "%s", side.c_str());
        format_error_reply(&reply[0], size, text.c_str(), &f);
        replies.push_back(reply.c_str());
        EXPECT_EQ(replies.back().substr(replies.back().size() - 2), "\"}") << size;
    }
    EXPECT_EQ("", json_invalid_documents(replies));
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
    set_last_error(FAIL_CONFIG, "first failure");
    set_last_error(FAIL_CONFIG, "user required");
    EXPECT_STREQ(pgdump_last_error(), "user required");
    /* Reading never clears. */
    EXPECT_STREQ(pgdump_last_error(), "user required");
}

TEST_F(LastError, LongTextIsCutTo511Bytes)
{
    std::string text(2000, 'x');
    set_last_error(FAIL_CONFIG, text.c_str());
    EXPECT_EQ(std::string(pgdump_last_error()), std::string(511, 'x'));
    std::string accents = "ab";
    for (int i = 0; i < 300; i++)
        accents += "\xc3\xa9";
    set_last_error(FAIL_CONFIG, accents.c_str());
    EXPECT_EQ(std::string(pgdump_last_error()), accents.substr(0, 510)) << "cut at a character";
}

} // namespace

TEST(FormatErrorReply, MembersFollowTheErrorAndGiveWayHintFirst)
{
    fail_info f;
    fail_set(&f, FAIL_SERVER);
    memcpy(f.sqlstate, "23505", 6);
    snprintf(f.detail, sizeof f.detail, "%s", "Key (id)=(1) already \"exists\".");
    snprintf(f.hint, sizeof f.hint, "%s", "Pick another.");
    const std::string all = "{\"ok\":false,\"error\":\"ERROR: dup\",\"code\":\"server\","
                            "\"sqlstate\":\"23505\",\"detail\":\"Key (id)=(1) already "
                            "\\\"exists\\\".\",\"hint\":\"Pick another.\"}";
    const std::string no_hint = all.substr(0, all.find(",\"hint\"")) + "}";
    const std::string no_detail = all.substr(0, all.find(",\"detail\"")) + "}";
    struct {
        size_t size;
        std::string expected;
    } cases[] = {
        {all.size() + 1, all},
        {all.size(), no_hint},
        {no_hint.size(), no_detail},
    };
    for (auto &k : cases) {
        std::string reply(k.size + 8, '#');
        format_error_reply(&reply[0], k.size, "ERROR: dup", &f);
        EXPECT_EQ(k.expected, reply.c_str()) << k.size;
    }
    /* Every kind has a word of its own; none is the fallback's. */
    std::set<std::string> words;
    for (int32_t k = FAIL_NONE + 1; k < FAIL_KIND_COUNT; k++)
        words.insert(fail_code(k));
    EXPECT_EQ((size_t)(FAIL_KIND_COUNT - 1), words.size());
    EXPECT_EQ(0u, words.count("internal"));
    EXPECT_STREQ("internal", fail_code(FAIL_KIND_COUNT));
}

/*
 * The reference page against the code: every configuration key the
 * readers know is documented, and nothing documented is unknown; every
 * failure code has its row.  Texts that are not UTF-8 are refused before
 * anything is sent.
 */
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "error/fail.h"
#include "support/test_socket.h"
#include "veltrano-pgdump.h"

namespace
{

std::string source(const std::string &path)
{
    std::ifstream f(std::string(PGDUMP_SOURCE_DIR) + "/" + path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::set<std::string> matches(const std::string &text, const std::string &pattern)
{
    std::set<std::string> out;
    std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it)
        out.insert((*it)[1]);
    return out;
}

/* The first column of the rows of the table under `heading`. */
std::set<std::string> table_keys(const std::string &doc, const std::string &heading)
{
    size_t from = doc.find("\n" + heading + "\n");
    size_t to = doc.find("\n#", from + 1);
    return matches(doc.substr(from, to - from), "\\n\\| `([a-z_]+)` \\|");
}

} // namespace

TEST(ApiDoc, EveryConfigurationKeyIsDocumentedAndNoOther)
{
    std::string doc = source("docs/api.md");
    ASSERT_FALSE(doc.empty());
    /* The reader's key table, and the restore's own keys. */
    std::set<std::string> known =
        matches(source("src/config/config.cpp"), "\\{\"([a-z_]+)\", KIND_");
    for (const std::string &k :
         matches(source("src/api/restore_api.cpp"), "memcmp\\(k, \"([a-z_]+)\""))
        known.insert(k);
    ASSERT_GT(known.size(), 30u);
    EXPECT_EQ(known, table_keys(doc, "## Configuration"));
}

TEST(ApiDoc, EveryFailureCodeIsDocumented)
{
    std::set<std::string> codes;
    for (int32_t k = FAIL_NONE; k < FAIL_KIND_COUNT; k++)
        codes.insert(fail_code(k));
    EXPECT_EQ(codes, table_keys(source("docs/api.md"), "### Failures"));
}

TEST(ApiDoc, ConfigurationsThatAreNotUtf8AreRefusedBeforeAnythingIsSent)
{
    /* A listener nothing may connect to. */
    ts_net_start();
    int fd = (int)socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(0, bind(fd, (sockaddr *)&a, sizeof a));
    ASSERT_EQ(0, listen(fd, 4));
    ASSERT_EQ(0, getsockname(fd, (sockaddr *)&a, &len));
    std::string port = std::to_string(ntohs(a.sin_port));
    const std::string head = "{\"port\":" + port + ",\"user\":\"";
    struct {
        std::string config;
        std::string bad; /* the first ill-formed bytes */
    } cases[] = {
        /* "Jürgen" in Latin-1, as a host's ANSI marshalling sends it. */
        {head + "J\xfcrgen\"}", "\xfc"},
        {head + "u\",\"password\":\"\xc3\"}", "\xc3\""},
        {head + "u\",\"password\":\"\xed\xa0\x80\"}", "\xed\xa0"},
        {head + "u\",\"password\":\"\xf0\x9f\x98\"}", "\xf0\x9f\x98\""},
    };
    for (auto &k : cases) {
        std::string cfg = k.config;
        std::string error =
            "configuration is not valid UTF-8 (byte " + std::to_string(cfg.find(k.bad) + 1) + ")";
        std::string with_paths =
            cfg.substr(0, cfg.size() - 1) +
            ",\"database\":\"d\",\"out_path\":\"x.sql\",\"in_path\":\"x.sql\"}";
        std::string expected =
            std::string("{\"ok\":false,\"error\":\"") + error + "\",\"code\":\"config\"}";
        EXPECT_EQ(expected, pgdump_test_connection(cfg.c_str()));
        EXPECT_EQ(expected, pgdump_list_databases(cfg.c_str()));
        EXPECT_EQ(-1, pgdump_start(with_paths.c_str()));
        EXPECT_EQ(error, pgdump_last_error());
        EXPECT_EQ(-1, pgdump_restore_start(with_paths.c_str()));
        EXPECT_EQ(error, pgdump_last_error());
    }
    bool ready = false;
    EXPECT_EQ(0, ts_wait_readable(&fd, &ready, 1, 100)) << "a connection was attempted";
    ts_close(fd);
    /* The same names in UTF-8 pass the check (and fail later, on login). */
    std::string good = "{\"port\":1,\"user\":\"J\xc3\xbcrgen\"}";
    EXPECT_EQ(std::string::npos, std::string(pgdump_test_connection(good.c_str())).find("UTF-8"));
}

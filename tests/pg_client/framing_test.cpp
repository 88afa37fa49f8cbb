#include "client_fixture.h"

#include <atomic>
#include <vector>

namespace
{

std::string header(char type, uint32_t length)
{
    return std::string(1, type) + be_i32((int32_t)length);
}

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)((i * 131 + seed * 7) & 0xFF);
    return s;
}

/* parse_error works on the payload alone; no socket needed. */
std::string decode_error(const std::string &payload)
{
    pg_conn conn;
    memset(&conn, 0, sizeof conn);
    std::vector<unsigned char> buf(payload.begin(), payload.end());
    buf.push_back(0);
    conn.buf = buf.data();
    conn.len = payload.size();
    parse_error(&conn);
    return conn.error;
}

std::string field(char code, const std::string &text)
{
    return std::string(1, code) + text + '\0';
}

} // namespace

TEST(MsgRead, EmptyPayloadGetsFirstBufferAndTerminator)
{
    fake_server srv;
    srv.send(header('I', 4));
    srv.start();
    pg_conn conn;
    ASSERT_TRUE(attach_raw(&conn, srv.port()));
    EXPECT_EQ(msg_read(&conn), 'I');
    EXPECT_EQ(conn.len, 0u);
    EXPECT_EQ(conn.cap, 65536u);
    EXPECT_EQ(conn.buf[0], 0);
    pg_close(&conn);
    srv.join();
}

TEST(MsgRead, LengthFieldBelowFourIsRefused)
{
    for (uint32_t length : {0u, 3u}) {
        fake_server srv;
        srv.send(header('D', length) + "xxxx");
        srv.start();
        pg_conn conn;
        ASSERT_TRUE(attach_raw(&conn, srv.port()));
        EXPECT_EQ(msg_read(&conn), -1) << length;
        EXPECT_STREQ(conn.error, "bad message length");
        pg_close(&conn);
        srv.join();
    }
}

TEST(MsgRead, OneGiBLengthIsAcceptedAndOneMoreRefused)
{
    {
        fake_server srv;
        srv.send(header('D', 0x40000001u));
        srv.start();
        pg_conn conn;
        ASSERT_TRUE(attach_raw(&conn, srv.port()));
        EXPECT_EQ(msg_read(&conn), -1);
        EXPECT_STREQ(conn.error, "bad message length");
        EXPECT_EQ(conn.cap, 0u);
        pg_close(&conn);
        srv.join();
    }
    fake_server srv;
    srv.send(header('D', 0x40000000u)).send_zeros(0x3FFFFFFCu).send(header('Z', 5) + "I");
    srv.start();
    pg_conn conn;
    ASSERT_TRUE(attach_raw(&conn, srv.port()));
    ASSERT_EQ(msg_read(&conn), 'D') << conn.error;
    EXPECT_EQ(conn.len, 0x3FFFFFFCu);
    EXPECT_EQ(conn.cap, 0x40000000u);
    EXPECT_EQ(conn.buf[conn.len], 0);
    /* The huge payload must not swallow the message behind it. */
    EXPECT_EQ(msg_read(&conn), 'Z');
    EXPECT_EQ(payload_of(conn), "I");
    pg_close(&conn);
    srv.join();
}

TEST(MsgRead, BufferDoublesFrom64KiBAndNeverShrinks)
{
    fake_server srv;
    std::string script;
    for (size_t n : {65535u, 65536u, 200000u, 10u})
        script += header('d', (uint32_t)n + 4) + pattern(n, (unsigned)n);
    srv.send(script);
    srv.start();
    pg_conn conn;
    ASSERT_TRUE(attach_raw(&conn, srv.port()));
    const uint64_t caps[] = {65536, 131072, 262144, 262144};
    const size_t sizes[] = {65535, 65536, 200000, 10};
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(msg_read(&conn), 'd') << conn.error;
        EXPECT_EQ(conn.cap, caps[i]);
        EXPECT_EQ(payload_of(conn), pattern(sizes[i], (unsigned)sizes[i]));
        EXPECT_EQ(conn.buf[conn.len], 0);
    }
    pg_close(&conn);
    srv.join();
}

TEST(MsgRead, MixedSizesAcrossReadAheadBlocksArriveIntact)
{
    /* Sizes around the read-ahead block and its halves, so that headers
     * and payloads straddle block ends in every possible way. */
    std::vector<size_t> sizes;
    unsigned x = 12345;
    for (int i = 0; i < 600; i++) {
        x = x * 1103515245u + 12345u;
        size_t n = (x >> 8) % 7 == 0 ? (x >> 4) % 150000 : (x >> 4) % 300;
        sizes.push_back(n);
    }
    sizes.push_back(PG_READ_AHEAD - 5);
    sizes.push_back(PG_READ_AHEAD);
    sizes.push_back(PG_READ_AHEAD + 1);
    std::string script;
    for (size_t i = 0; i < sizes.size(); i++)
        script += header('D', (uint32_t)sizes[i] + 4) + pattern(sizes[i], (unsigned)i);
    fake_server srv;
    srv.send(script);
    srv.start();
    pg_conn conn;
    ASSERT_TRUE(attach_raw(&conn, srv.port()));
    for (size_t i = 0; i < sizes.size(); i++) {
        ASSERT_EQ(msg_read(&conn), 'D') << i << ": " << conn.error;
        ASSERT_EQ(payload_of(conn), pattern(sizes[i], (unsigned)i)) << i;
        ASSERT_EQ(conn.buf[conn.len], 0);
    }
    pg_close(&conn);
    srv.join();
}

TEST(MsgRead, MessageDeliveredOneBytePerRecvIsAssembled)
{
    fake_server srv;
    srv.send_bytewise(header('S', 10) + std::string("ab\0cd\0", 6) + header('Z', 5) + "T", 1);
    srv.start();
    pg_conn conn;
    ASSERT_TRUE(attach_raw(&conn, srv.port()));
    ASSERT_EQ(msg_read(&conn), 'S') << conn.error;
    EXPECT_EQ(payload_of(conn), std::string("ab\0cd\0", 6));
    ASSERT_EQ(msg_read(&conn), 'Z') << conn.error;
    EXPECT_EQ(payload_of(conn), "T");
    pg_close(&conn);
    srv.join();
}

TEST(MsgRead, PeerClosingMidMessageIsAReadFailure)
{
    const std::string cuts[] = {header('D', 104).substr(0, 3), header('D', 104) + "only part",
                                header('D', 70004) + std::string(70000 - 1, 'x')};
    for (const std::string &sent : cuts) {
        fake_server srv;
        srv.send(sent).close();
        srv.start();
        pg_conn conn;
        ASSERT_TRUE(attach_raw(&conn, srv.port()));
        EXPECT_EQ(msg_read(&conn), -1);
        EXPECT_STREQ(conn.error, "socket read failed");
        pg_close(&conn);
        srv.join();
    }
}

TEST(MsgRead, CancelFlagStopsReadsWithoutConsumingBytes)
{
    fake_server srv;
    srv.send(header('C', 9) + "BEGIN" + header('Z', 5) + "I").pause(200).send(header('Z', 5) + "T");
    srv.start();
    pg_conn conn;
    ASSERT_TRUE(attach_raw(&conn, srv.port()));
    std::atomic<int32_t> flag{1};
    conn.cancel = &flag;
    EXPECT_EQ(msg_read(&conn), -1);
    EXPECT_STREQ(conn.error, "cancelled");
    EXPECT_EQ(conn.ra, nullptr) << "nothing may be received once cancelled";

    flag = 0;
    ASSERT_EQ(msg_read(&conn), 'C') << conn.error;
    /* The ReadyForQuery is already read ahead: the flag still counts. */
    flag = 1;
    EXPECT_EQ(msg_read(&conn), -1);
    EXPECT_STREQ(conn.error, "cancelled");
    flag = 0;
    EXPECT_EQ(msg_read(&conn), 'Z');
    EXPECT_EQ(payload_of(conn), "I");
    pg_close(&conn);
    srv.join();
}

TEST(MsgWrite, FramesPayloadAndEmptyMessage)
{
    fake_server srv;
    srv.read(5).read(9);
    srv.start();
    pg_conn conn;
    ASSERT_TRUE(attach_raw(&conn, srv.port()));
    EXPECT_EQ(msg_write(&conn, nullptr, 0), 0);
    EXPECT_EQ(msg_write(&conn, "abcd", 4), 0);
    srv.join();
    EXPECT_EQ(srv.received(), std::string("p\0\0\0\4", 5) + std::string("p\0\0\0\x08"
                                                                        "abcd",
                                                                        9));
    pg_close(&conn);
}

TEST(MsgWrite, WriteToClosedPeerFails)
{
    fake_server srv;
    srv.close();
    srv.start();
    pg_conn conn;
    ASSERT_TRUE(attach_raw(&conn, srv.port()));
    srv.join();
    std::string big(1 << 20, 'x');
    int rc = 0;
    for (int i = 0; i < 50 && rc == 0; i++)
        rc = msg_write(&conn, big.data(), big.size());
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(conn.error, "socket write failed");
    pg_close(&conn);
}

TEST(ParseError, SeverityAndMessageOnly)
{
    EXPECT_EQ(decode_error(field('S', "FATAL") + field('V', "FATAL") + field('C', "28P01") +
                           field('M', "password authentication failed") + '\0'),
              "FATAL: password authentication failed");
    /* Later fields replace earlier ones. */
    EXPECT_EQ(decode_error(field('M', "one") + field('S', "WARNING") + field('M', "two") + '\0'),
              "WARNING: two");
}

TEST(ParseError, MissingOrOversizedSeverityBecomesERROR)
{
    EXPECT_EQ(decode_error(std::string(1, '\0')), "ERROR: ");
    EXPECT_EQ(decode_error(""), "ERROR: ");
    EXPECT_EQ(decode_error(field('S', "") + field('M', "m") + '\0'), "ERROR: m");
    EXPECT_EQ(decode_error(field('S', std::string(64, 'S')) + field('M', "m") + '\0'), "ERROR: m");
    EXPECT_EQ(decode_error(field('S', std::string(63, 'S')) + field('M', "m") + '\0'),
              std::string(63, 'S') + ": m");
}

TEST(ParseError, LongMessageCutAndUnterminatedFieldBounded)
{
    std::string m(1000, 'm');
    EXPECT_EQ(decode_error(field('S', "ERROR") + field('M', m) + '\0'),
              "ERROR: " + m.substr(0, 399));
    /* A field running to the end of the payload without its NUL. */
    EXPECT_EQ(decode_error(field('S', "ERROR") + "Mtail"), "ERROR: tail");
}

TEST(PgClose, SendsTerminateOnceAndFreesBuffers)
{
    fake_server srv;
    srv.send(header('Z', 5) + "I").read_until_closed();
    srv.start();
    pg_conn conn;
    ASSERT_TRUE(attach_raw(&conn, srv.port()));
    ASSERT_EQ(msg_read(&conn), 'Z');
    snprintf(conn.error, sizeof conn.error, "%s", "kept");
    pg_close(&conn);
    EXPECT_EQ(conn.sock, PLAT_INVALID_SOCKET);
    EXPECT_EQ(conn.buf, nullptr);
    EXPECT_EQ(conn.ra, nullptr);
    EXPECT_EQ(conn.cap, 0u);
    EXPECT_STREQ(conn.error, "kept");
    pg_close(&conn);
    ASSERT_TRUE(srv.join()) << srv.script_error();
    EXPECT_EQ(srv.received(), fe_terminate());
}

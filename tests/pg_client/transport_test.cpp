/*
 * The reader over a byte-fed transport: no socket, no server thread.  One
 * result stream is read at every read size from one byte up, and must
 * give the rows and the sent bytes of the unsplit read.
 */
#include "client_fixture.h"
#include "pg_client/pg_internal.h"
#include "support/byte_transport.h"

#include <string>
#include <vector>

namespace
{

/* Rows as "v1|v2|NULL" lines plus the final status, for comparison. */
std::string read_result(byte_source *src)
{
    pg_conn conn;
    byte_conn(&conn, src);
    pg_meta meta = {};
    std::string out;
    int rc = pg_query(&conn, "SELECT x", &meta);
    out += "rc=" + std::to_string(rc) + ";";
    if (rc == 1) {
        pg_value v[8];
        int r;
        while ((r = pg_read_row(&conn, &meta, v)) == 1) {
            for (uint32_t i = 0; i < meta.count; i++)
                out += v[i].data == nullptr ? std::string("NULL|")
                                            : std::string((const char *)v[i].data, v[i].len) + "|";
            out += "\n";
        }
        out += "end=" + std::to_string(r) + ";";
        pg_meta_free(&meta);
    }
    out += conn.error;
    pg_release_buffers(&conn);
    return out;
}

} // namespace

TEST(Transport, EveryReadSizeGivesTheSameRows)
{
    std::string stream = be_row_description({{"a", 25}, {"b", 17}});
    for (int i = 0; i < 300; i++)
        stream += be_data_row(
            {std::string(i, 'x'), i % 7 == 0 ? std::nullopt : std::optional<std::string>("b")});
    stream += be_complete("SELECT 300") + be_ready();
    byte_source whole;
    whole.bytes = stream;
    std::string want = read_result(&whole);
    ASSERT_EQ(want.find("end=0;"), want.size() - 6) << want.substr(want.size() - 80);
    EXPECT_EQ(whole.sent, fe_query("SELECT x"));
    for (size_t chunk : {1, 2, 3, 5, 7, 4096, 65535, 65536, 70000}) {
        byte_source src;
        src.bytes = stream;
        src.chunk = chunk;
        EXPECT_EQ(read_result(&src), want) << "read size " << chunk;
    }
    /* Cut anywhere: the reader fails, never reads past the end. */
    for (size_t cut = 0; cut < stream.size(); cut += 97) {
        byte_source src;
        src.bytes = stream.substr(0, cut);
        EXPECT_NE(read_result(&src).find("socket read failed"), std::string::npos) << cut;
    }
}

TEST(Transport, BeforeTheLoginOnlyPostgresMessagesPass)
{
    const struct {
        std::string bytes;
        const char *error;
    } cases[] = {
        {"HTTP/1.1 400 Bad Request\r\n", "it sent 0x48 first"},
        {"SSH-2.0-OpenSSH\r\n", "it sent 0x53 first"},
        {std::string("\x15\x03\x03\x00\x02\x02\x46", 7), "it sent 0x15 first"},
        {be_auth_ok(), nullptr},
        {be_error("FATAL", "28000", "no"), nullptr},
    };
    for (const auto &c : cases) {
        byte_source src;
        src.bytes = c.bytes;
        pg_conn conn;
        byte_conn(&conn, &src);
        conn.in_auth = 1;
        int type = msg_read(&conn);
        if (c.error == nullptr) {
            EXPECT_EQ(type, (unsigned char)c.bytes[0]);
        } else {
            EXPECT_EQ(type, -1);
            EXPECT_NE(std::string(conn.error).find(c.error), std::string::npos) << conn.error;
        }
        pg_release_buffers(&conn);
    }
}

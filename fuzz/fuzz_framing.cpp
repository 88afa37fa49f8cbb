/*
 * The message reader and the query decoder fed bytes directly through a
 * memory transport: no socket, no thread, so each input runs in
 * microseconds.  The first byte picks the phase (before or after the
 * login) and the most bytes one read returns; the rest is the server's
 * stream.  After the login the stream answers one query, read to its end.
 */
#include "pg_client/pg_internal.h"
#include "support/byte_transport.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    byte_source src;
    src.chunk = (size_t)(data[0] & 0x7F) + 1;
    src.bytes.assign(reinterpret_cast<const char *>(data + 1), size - 1);
    pg_conn conn;
    byte_conn(&conn, &src);
    if ((data[0] & 0x80) != 0) {
        conn.in_auth = 1;
        for (int i = 0; i < 64; i++) {
            int type = msg_read(&conn);
            if (type < 0)
                break;
            if (type == 'E')
                parse_error(&conn);
        }
    } else {
        pg_meta meta = {};
        if (pg_query(&conn, "SELECT 1", &meta) == 1) {
            pg_value values[4096];
            while (pg_read_row(&conn, &meta, values) == 1) {
            }
            pg_meta_free(&meta);
        }
    }
    pg_release_buffers(&conn);
    return 0;
}

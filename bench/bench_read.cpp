/*
 * Times streaming one table through the client (pg_query / pg_read_row,
 * every byte of every value looked at) against psql copying the same table
 * out with COPY TO STDOUT, alternating within one run so that both see the
 * same machine and the same warm cache.  COPY is the fastest way a server
 * hands out a table, so the ratio says what the client costs on top.
 *
 *   bench_read HOST PORT USER DB TABLE ROUNDS
 */
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "pg_client/pg_client.h"

namespace
{

double now_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct read_result {
    long long rows;
    long long bytes;
    unsigned checksum;
};

int client_read(const char *host, int port, const char *user, const char *db,
                const std::string &table, read_result *out)
{
    pg_conn conn;
    if (pg_connect(&conn, host, port, user, "", db) != 0) {
        fprintf(stderr, "connect: %s\n", conn.error);
        return -1;
    }
    std::string sql = "SELECT * FROM " + table;
    pg_meta meta;
    if (pg_query(&conn, sql.c_str(), &meta) != 1) {
        fprintf(stderr, "query: %s\n", conn.error);
        pg_close(&conn);
        return -1;
    }
    std::vector<pg_value> values(meta.count);
    read_result r = {0, 0, 0};
    int rc;
    while ((rc = pg_read_row(&conn, &meta, values.data())) == 1) {
        for (const pg_value &v : values) {
            if (v.data == nullptr) {
                r.checksum += 1;
                continue;
            }
            for (uint64_t k = 0; k < v.len; k++)
                r.checksum += v.data[k];
            r.bytes += (long long)v.len;
        }
        r.rows++;
    }
    pg_meta_free(&meta);
    if (rc != 0)
        fprintf(stderr, "rows: %s\n", conn.error);
    pg_close(&conn);
    *out = r;
    return rc == 0 ? 0 : -1;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 7) {
        fprintf(stderr, "usage: bench_read HOST PORT USER DB TABLE ROUNDS\n");
        return 2;
    }
    const char *host = argv[1];
    int port = atoi(argv[2]);
    const char *user = argv[3];
    const char *db = argv[4];
    std::string table = argv[5];
    int rounds = atoi(argv[6]);
    std::string copy_cmd = std::string("psql -X -q -h ") + host + " -p " + argv[2] + " -U " + user +
                           " -d " + db + " -c 'COPY " + table + " TO STDOUT' >/dev/null";

    std::vector<double> client_s, copy_s;
    read_result res = {0, 0, 0};
    for (int round = 0; round < rounds; round++) {
        /* Alternate who goes first so neither always meets the other's
         * leftovers (cache, server backend start-up). */
        for (int turn = 0; turn < 2; turn++) {
            bool client_turn = (turn == 0) == (round % 2 == 0);
            double t0 = now_s();
            if (client_turn) {
                if (client_read(host, port, user, db, table, &res) != 0)
                    return 1;
                client_s.push_back(now_s() - t0);
            } else {
                if (system(copy_cmd.c_str()) != 0) {
                    fprintf(stderr, "psql COPY failed\n");
                    return 1;
                }
                copy_s.push_back(now_s() - t0);
            }
        }
        printf("round %d: client %.3f s, psql COPY %.3f s\n", round + 1, client_s.back(),
               copy_s.back());
        fflush(stdout);
    }
    double c = median(client_s), p = median(copy_s);
    printf("rows %lld, value bytes %lld (checksum %u)\n", res.rows, res.bytes, res.checksum);
    printf("median: client %.3f s, psql COPY %.3f s, ratio %.2f\n", c, p, c / p);
    return 0;
}

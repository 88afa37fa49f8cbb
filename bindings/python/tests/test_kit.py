"""The Python kit against a live server: a non-ASCII login, the listings,
a dump with progress, a cancelled dump, a restore and a refused login.
Needs PGDUMP_TEST_HOST / PGDUMP_TEST_PORT (scripts/sandbox); exits 77
(skipped) without them."""

import os
import subprocess
import sys
import tempfile

import veltrano_pgdump as vp

HOST = os.environ.get("PGDUMP_TEST_HOST")
PORT = os.environ.get("PGDUMP_TEST_PORT")
USER = "jürgen_ünïcode_py"
PASSWORD = "pässwörd-€-😀"


def psql(db, sql):
    subprocess.run(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", HOST, "-p", PORT,
                    "-U", "vpg_trust", "-d", db, "-c", sql], check=True,
                   stdout=subprocess.DEVNULL)


def main():
    if not HOST or not PORT:
        print("no sandbox server: skipped")
        return 1 if os.environ.get("PGDUMP_REQUIRE_SERVER") == "1" else 77
    psql("postgres", 'DROP DATABASE IF EXISTS vpg_pykit')
    psql("postgres", 'DROP DATABASE IF EXISTS vpg_pykit_copy')
    psql("postgres", 'DROP ROLE IF EXISTS "%s"' % USER)
    psql("postgres", "CREATE ROLE \"%s\" LOGIN SUPERUSER PASSWORD '%s'" % (USER, PASSWORD))
    psql("postgres", 'CREATE DATABASE vpg_pykit OWNER "%s"' % USER)
    psql("postgres", 'CREATE DATABASE vpg_pykit_copy OWNER "%s"' % USER)
    psql("vpg_pykit", "CREATE TABLE größe (id int PRIMARY KEY, t text); "
                      "INSERT INTO größe SELECT g, 'zeile ' || g FROM generate_series(1, 50000) g; "
                      "ANALYZE größe")

    lib = vp.Library()
    assert lib.version().startswith("veltrano-pgdump "), lib.version()
    cfg = {"host": HOST, "port": int(PORT), "user": USER, "password": PASSWORD,
           "database": "vpg_pykit"}

    version = lib.test_connection(cfg)
    assert version[:2].isdigit(), version
    databases, cut = lib.list_databases(cfg)
    assert "vpg_pykit" in databases and not cut, databases
    tables, cut = lib.list_tables(cfg)
    assert [t.name for t in tables] == ["größe"] and tables[0].rows == 50000, tables

    out = os.path.join(tempfile.mkdtemp(), "pykit.sql")
    seen = []
    with lib.start_dump(dict(cfg, out_path=out, complete=True)) as dump:
        result = dump.wait(on_progress=seen.append, interval=0.01)
    assert result["rows"] == 50000 and seen, (result, seen[:1])
    assert all(p["state"] in (1, 2, 3) for p in seen), seen

    with lib.start_dump(dict(cfg, out_path=out + ".2")) as dump:
        dump.cancel()
        try:
            dump.wait()
            raise AssertionError("a cancelled dump succeeded")
        except vp.PgDumpError as e:
            assert e.code == "cancelled" and dump.status() == 4, e.reply

    with lib.start_restore(dict(cfg, database="vpg_pykit_copy", in_path=out)) as restore:
        done = restore.wait()
    assert done["errors"] == 0 and done["statements"] > 0, done
    copied, _ = lib.list_tables(dict(cfg, database="vpg_pykit_copy"))
    assert [t.name for t in copied] == ["größe"], copied

    # The same script again: every CREATE fails, and the result says so.
    with lib.start_restore(dict(cfg, database="vpg_pykit_copy", in_path=out,
                                stop_on_error=False)) as restore:
        try:
            restore.wait()
            raise AssertionError("a restore with failed statements succeeded")
        except vp.PgDumpError as e:
            assert e.code == "server" and e.sqlstate and e.reply["errors"] > 0, e.reply

    try:
        lib.test_connection(dict(cfg, password="wrong"))
        raise AssertionError("a wrong password logged in")
    except vp.PgDumpError as e:
        assert e.code == "auth" and e.sqlstate == "28P01", e.reply
    print("python kit: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())

// The C# kit against a live server: a non-ASCII login, the listings, a
// dump with progress, a cancelled dump, a restore and a refused login.
// run.sh creates the role and the database and passes them in the
// environment.
using System;
using Veltrano.PgDump;

static class KitTest
{
    static int failures;

    static void Check(bool ok, string what)
    {
        if (!ok) { Console.WriteLine("FAILED: " + what); failures++; }
    }

    static string Env(string name) => Environment.GetEnvironmentVariable(name) ?? "";

    static string Config(string database, string password, string extra = "") =>
        "{\"host\":" + PgDump.Quote(Env("PGDUMP_TEST_HOST")) + ",\"port\":" + Env("PGDUMP_TEST_PORT") +
        ",\"user\":" + PgDump.Quote(Env("KIT_USER")) + ",\"password\":" + PgDump.Quote(password) +
        ",\"database\":" + PgDump.Quote(database) + extra + "}";

    static int Main()
    {
        var lib = new PgDump();
        string password = Env("KIT_PASSWORD"), db = Env("KIT_DATABASE"), outPath = Env("KIT_OUT");
        Check(lib.Version.StartsWith("veltrano-pgdump "), "version");

        string reply = lib.TestConnection(Config(db, password));
        Check(PgDump.Member(reply, "server_version") != "", "server version: " + reply);
        reply = lib.ListDatabases(Config(db, password));
        Check(reply.Contains("\"" + db + "\""), "database listed: " + reply);
        reply = lib.ListTables(Config(db, password));
        Check(reply.Contains("\"name\":\"größe\",\"rows\":50000"), "table listed: " + reply);

        int polls = 0;
        int s = lib.StartDump(Config(db, password, ",\"complete\":true,\"out_path\":" + PgDump.Quote(outPath)));
        Check(lib.Wait(s, p => { if (p.StartsWith("{\"state\":")) polls++; }, 5) == SessionState.Done, "dump done");
        reply = lib.Result(s);
        Check(PgDump.Member(reply, "rows") == "50000" && polls > 0, "rows dumped: " + reply);
        lib.Free(s);

        s = lib.StartDump(Config(db, password, ",\"out_path\":" + PgDump.Quote(outPath + ".2")));
        lib.Cancel(s);
        Check(lib.Wait(s) == SessionState.Cancelled, "dump cancelled");
        try { lib.Result(s); Check(false, "a cancelled dump succeeded"); }
        catch (PgDumpException e) { Check(e.Code == "cancelled", "cancel code: " + e.Reply); }
        lib.Free(s);

        s = lib.StartRestore(Config(db + "_copy", password, ",\"in_path\":" + PgDump.Quote(outPath)));
        Check(lib.Wait(s) == SessionState.Done, "restore done");
        reply = lib.Result(s);
        Check(PgDump.Member(reply, "errors") == "0", "restore without errors: " + reply);
        lib.Free(s);
        Check(lib.ListTables(Config(db + "_copy", password)).Contains("\"name\":\"größe\""), "table restored");

        try { lib.TestConnection(Config(db, "wrong")); Check(false, "a wrong password logged in"); }
        catch (PgDumpException e) { Check(e.Code == "auth" && e.SqlState == "28P01", "refusal: " + e.Reply); }

        if (failures > 0) return 1;
        Console.WriteLine("csharp kit: ok");
        return 0;
    }
}

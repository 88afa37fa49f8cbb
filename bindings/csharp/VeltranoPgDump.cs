// veltrano-pgdump for .NET and Mono: the exports as P/Invoke declarations
// and PgDump, a small wrapper class.
//
// Every returned text belongs to the library: the declarations return
// IntPtr, read with Marshal.PtrToStringUTF8 at once (a declaration returning
// string would make the marshaller free the library's buffer and abort the
// process).  Inputs go as NUL-terminated UTF-8 bytes, never in the ANSI
// code page.  Replies stay valid only until the calling thread's next call.
// See docs/api.md for the keys, the replies and the failure codes.
using System;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.RegularExpressions;

namespace Veltrano.PgDump
{
    public static class Native
    {
        // "veltrano-pgdump.dll" on Windows, libveltrano-pgdump.so elsewhere.
        const string Lib = "veltrano-pgdump";

        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr pgdump_version();
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr pgdump_last_error();
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr pgdump_test_connection(byte[] configUtf8);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr pgdump_list_databases(byte[] configUtf8);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr pgdump_list_tables(byte[] configUtf8);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
        public static extern int pgdump_start(byte[] configUtf8);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
        public static extern int pgdump_restore_start(byte[] configUtf8);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
        public static extern int pgdump_status(int session);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr pgdump_progress(int session);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr pgdump_result(int session);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
        public static extern void pgdump_cancel(int session);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
        public static extern void pgdump_free(int session);
    }

    // A failure reply: Code is a word of docs/api.md, SqlState the server's.
    public class PgDumpException : Exception
    {
        public string Code { get; }
        public string SqlState { get; }
        public string Reply { get; }

        public PgDumpException(string reply) : base(PgDump.Member(reply, "error"))
        {
            Reply = reply;
            Code = PgDump.Member(reply, "code");
            SqlState = PgDump.Member(reply, "sqlstate");
        }
    }

    public enum SessionState { Idle = 0, Connecting = 1, Running = 2, Done = 3, Cancelled = 4, Failed = 5 }

    public class PgDump
    {
        static byte[] Utf8(string s) => Encoding.UTF8.GetBytes(s + "\0");
        static string Text(IntPtr p) => p == IntPtr.Zero ? "" : Marshal.PtrToStringUTF8(p);

        static string Checked(string reply)
        {
            if (!reply.StartsWith("{\"ok\":true", StringComparison.Ordinal))
                throw new PgDumpException(reply);
            return reply;
        }

        static int Started(int session)
        {
            if (session < 0)
                throw new PgDumpException("{\"ok\":false,\"error\":" + Quote(Text(Native.pgdump_last_error())) +
                                          ",\"code\":\"" + (session == -2 ? "busy" : "config") + "\"}");
            return session;
        }

        public string Version => Text(Native.pgdump_version());

        // Each returns the whole JSON reply, or throws PgDumpException.
        public string TestConnection(string config) => Checked(Text(Native.pgdump_test_connection(Utf8(config))));
        public string ListDatabases(string config) => Checked(Text(Native.pgdump_list_databases(Utf8(config))));
        public string ListTables(string config) => Checked(Text(Native.pgdump_list_tables(Utf8(config))));

        public int StartDump(string config) => Started(Native.pgdump_start(Utf8(config)));
        public int StartRestore(string config) => Started(Native.pgdump_restore_start(Utf8(config)));
        public SessionState Status(int session) => (SessionState)Native.pgdump_status(session);
        public string Progress(int session) => Text(Native.pgdump_progress(session));
        public string Result(int session) => Checked(Text(Native.pgdump_result(session)));
        public void Cancel(int session) => Native.pgdump_cancel(session);
        public void Free(int session) => Native.pgdump_free(session);

        // Polls until a final state, handing each progress reply to onProgress.
        public SessionState Wait(int session, Action<string> onProgress = null, int intervalMs = 20)
        {
            SessionState st;
            while ((st = Status(session)) < SessionState.Done)
            {
                onProgress?.Invoke(Progress(session));
                System.Threading.Thread.Sleep(intervalMs);
            }
            return st;
        }

        // A JSON string for a text, for building configurations.
        public static string Quote(string s)
        {
            var b = new StringBuilder("\"");
            foreach (char c in s)
            {
                if (c == '"' || c == '\\') b.Append('\\').Append(c);
                else if (c < ' ') b.AppendFormat("\\u{0:x4}", (int)c);
                else b.Append(c);
            }
            return b.Append('"').ToString();
        }

        // A top-level text or number member of a reply ("" when absent).
        // Inside JSON strings every quote is escaped, so "key": outside an
        // escape is a member name.
        public static string Member(string reply, string key)
        {
            var m = Regex.Match(reply, "\"" + Regex.Escape(key) + "\":(\"((?:[^\"\\\\]|\\\\.)*)\"|[^,}\\]]*)");
            if (!m.Success) return "";
            return m.Groups[2].Success ? Regex.Unescape(m.Groups[2].Value) : m.Groups[1].Value;
        }
    }
}

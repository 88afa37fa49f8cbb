{ veltrano-pgdump for Delphi and Free Pascal (mode Delphi).

  The library's functions as declared in veltrano-pgdump.h, and TPgDump, a
  small wrapper that converts every text to and from UTF-8 and raises
  EPgDump for a failure reply.  Replies belong to the library and stay
  valid only until the calling thread's next call: the wrapper copies them
  into strings at once.  See docs/api.md for the configuration keys, the
  replies and the failure codes. }
unit VeltranoPgDump;

{$IFDEF FPC}{$MODE DELPHI}{$H+}{$ENDIF}

interface

uses
  SysUtils;

const
{$IFDEF MSWINDOWS}
  PgDumpLib = 'veltrano-pgdump.dll';
{$ELSE}
  PgDumpLib = 'veltrano-pgdump';
{$ENDIF}

  StateIdle = 0;
  StateConnecting = 1;
  StateRunning = 2;
  StateDone = 3;
  StateCancelled = 4;
  StateFailed = 5;

{ The exports: texts are UTF-8, owned by the library, never freed. }
function pgdump_version: PAnsiChar; cdecl; external PgDumpLib;
function pgdump_last_error: PAnsiChar; cdecl; external PgDumpLib;
function pgdump_test_connection(Config: PAnsiChar): PAnsiChar; cdecl; external PgDumpLib;
function pgdump_list_databases(Config: PAnsiChar): PAnsiChar; cdecl; external PgDumpLib;
function pgdump_list_tables(Config: PAnsiChar): PAnsiChar; cdecl; external PgDumpLib;
function pgdump_start(Config: PAnsiChar): Integer; cdecl; external PgDumpLib;
function pgdump_restore_start(Config: PAnsiChar): Integer; cdecl; external PgDumpLib;
function pgdump_status(Session: Integer): Integer; cdecl; external PgDumpLib;
function pgdump_progress(Session: Integer): PAnsiChar; cdecl; external PgDumpLib;
function pgdump_result(Session: Integer): PAnsiChar; cdecl; external PgDumpLib;
procedure pgdump_cancel(Session: Integer); cdecl; external PgDumpLib;
procedure pgdump_free(Session: Integer); cdecl; external PgDumpLib;

type
  { A failure reply: Code is a word of docs/api.md, SqlState the server's. }
  EPgDump = class(Exception)
  public
    Code: string;
    SqlState: string;
    Reply: string;
    constructor CreateReply(const AReply: string);
  end;

  TPgDump = class
  public
    function Version: string;
    { Each returns the whole JSON reply, or raises EPgDump. }
    function TestConnection(const Config: string): string;
    function ListDatabases(const Config: string): string;
    function ListTables(const Config: string): string;
    { A session number 0..3, or EPgDump (code "config" or "busy"). }
    function StartDump(const Config: string): Integer;
    function StartRestore(const Config: string): Integer;
    function Status(Session: Integer): Integer;
    function Progress(Session: Integer): string;
    { The final reply, or EPgDump for "ok": false. }
    function Result(Session: Integer): string;
    procedure Cancel(Session: Integer);
    procedure FreeSession(Session: Integer);
  end;

{ A JSON string for a text (quotes included), for building configurations. }
function JsonQuote(const S: string): string;
{ The value of a top-level text or number member of a reply, '' when absent. }
function JsonMember(const Reply, Key: string): string;

implementation

function ToUtf8(const S: string): UTF8String;
begin
  Result := UTF8String(S);
end;

function FromUtf8(P: PAnsiChar): string;
var
  U: UTF8String;
begin
  U := UTF8String(P);
{$IFDEF FPC}
  Result := string(U);
{$ELSE}
  Result := UTF8ToString(U);
{$ENDIF}
end;

function JsonQuote(const S: string): string;
var
  I: Integer;
begin
  Result := '"';
  for I := 1 to Length(S) do
    case S[I] of
      '"': Result := Result + '\"';
      '\': Result := Result + '\\';
      #0..#31: Result := Result + '\u' + IntToHex(Ord(S[I]), 4);
    else
      Result := Result + S[I];
    end;
  Result := Result + '"';
end;

{ Inside a JSON string every quote is escaped, so '"key":' found outside an
  escape is a member name. }
function JsonMember(const Reply, Key: string): string;
var
  P, I: Integer;
begin
  Result := '';
  P := Pos('"' + Key + '":', Reply);
  if P = 0 then
    Exit;
  I := P + Length(Key) + 3;
  if (I <= Length(Reply)) and (Reply[I] = '"') then
  begin
    Inc(I);
    while (I <= Length(Reply)) and (Reply[I] <> '"') do
    begin
      if (Reply[I] = '\') and (I < Length(Reply)) then
      begin
        Inc(I);
        case Reply[I] of
          'n': Result := Result + #10;
          'r': Result := Result + #13;
          't': Result := Result + #9;
        else
          Result := Result + Reply[I];
        end;
      end
      else
        Result := Result + Reply[I];
      Inc(I);
    end;
  end
  else
    while (I <= Length(Reply)) and not CharInSet(Reply[I], [',', '}', ']']) do
    begin
      Result := Result + Reply[I];
      Inc(I);
    end;
end;

constructor EPgDump.CreateReply(const AReply: string);
begin
  inherited Create(JsonMember(AReply, 'error'));
  Reply := AReply;
  Code := JsonMember(AReply, 'code');
  SqlState := JsonMember(AReply, 'sqlstate');
end;

function Checked(const Reply: string): string;
begin
  if Pos('{"ok":true', Reply) <> 1 then
    raise EPgDump.CreateReply(Reply);
  Result := Reply;
end;

function TPgDump.Version: string;
begin
  Result := FromUtf8(pgdump_version);
end;

function TPgDump.TestConnection(const Config: string): string;
begin
  Result := Checked(FromUtf8(pgdump_test_connection(PAnsiChar(ToUtf8(Config)))));
end;

function TPgDump.ListDatabases(const Config: string): string;
begin
  Result := Checked(FromUtf8(pgdump_list_databases(PAnsiChar(ToUtf8(Config)))));
end;

function TPgDump.ListTables(const Config: string): string;
begin
  Result := Checked(FromUtf8(pgdump_list_tables(PAnsiChar(ToUtf8(Config)))));
end;

function Started(Session: Integer): Integer;
const
  Codes: array[Boolean] of string = ('config', 'busy');
begin
  if Session < 0 then
    raise EPgDump.CreateReply('{"ok":false,"error":' + JsonQuote(FromUtf8(pgdump_last_error)) +
      ',"code":"' + Codes[Session = -2] + '"}');
  Result := Session;
end;

function TPgDump.StartDump(const Config: string): Integer;
begin
  Result := Started(pgdump_start(PAnsiChar(ToUtf8(Config))));
end;

function TPgDump.StartRestore(const Config: string): Integer;
begin
  Result := Started(pgdump_restore_start(PAnsiChar(ToUtf8(Config))));
end;

function TPgDump.Status(Session: Integer): Integer;
begin
  Result := pgdump_status(Session);
end;

function TPgDump.Progress(Session: Integer): string;
begin
  Result := FromUtf8(pgdump_progress(Session));
end;

function TPgDump.Result(Session: Integer): string;
begin
  Result := Checked(FromUtf8(pgdump_result(Session)));
end;

procedure TPgDump.Cancel(Session: Integer);
begin
  pgdump_cancel(Session);
end;

procedure TPgDump.FreeSession(Session: Integer);
begin
  pgdump_free(Session);
end;

end.

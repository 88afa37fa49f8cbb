{ The Pascal kit against a live server: a non-ASCII login, the listings, a
  dump with progress, a cancelled dump, a restore and a refused login.
  run.sh creates the role and the database and passes them in the
  environment. }
program kit_test;

{$IFDEF FPC}{$MODE DELPHI}{$H+}{$ENDIF}

uses
  SysUtils, VeltranoPgDump;

var
  Lib: TPgDump;
  Failures: Integer = 0;

procedure Check(Ok: Boolean; const What: string);
begin
  if not Ok then
  begin
    WriteLn('FAILED: ', What);
    Inc(Failures);
  end;
end;

function Config(const Database, Password, Extra: string): string;
begin
  Result := '{"host":' + JsonQuote(GetEnvironmentVariable('PGDUMP_TEST_HOST')) + ',"port":' +
    GetEnvironmentVariable('PGDUMP_TEST_PORT') + ',"user":' +
    JsonQuote(GetEnvironmentVariable('KIT_USER')) + ',"password":' + JsonQuote(Password) +
    ',"database":' + JsonQuote(Database) + Extra + '}';
end;

function WaitFinal(Session: Integer; var Polls: Integer): Integer;
begin
  while Lib.Status(Session) < StateDone do
  begin
    if Pos('{"state":', Lib.Progress(Session)) = 1 then
      Inc(Polls);
    Sleep(10);
  end;
  Result := Lib.Status(Session);
end;

var
  Password, Db, OutPath, Reply: string;
  S, Polls: Integer;
begin
  Lib := TPgDump.Create;
  Password := GetEnvironmentVariable('KIT_PASSWORD');
  Db := GetEnvironmentVariable('KIT_DATABASE');
  OutPath := GetEnvironmentVariable('KIT_OUT');
  Check(Pos('veltrano-pgdump ', Lib.Version) = 1, 'version');

  Reply := Lib.TestConnection(Config(Db, Password, ''));
  Check(JsonMember(Reply, 'server_version') <> '', 'server version: ' + Reply);
  Reply := Lib.ListDatabases(Config(Db, Password, ''));
  Check(Pos('"' + Db + '"', Reply) > 0, 'database listed: ' + Reply);
  Reply := Lib.ListTables(Config(Db, Password, ''));
  Check(Pos('"name":"größe","rows":50000', Reply) > 0, 'table listed: ' + Reply);

  Polls := 0;
  S := Lib.StartDump(Config(Db, Password, ',"complete":true,"out_path":' + JsonQuote(OutPath)));
  Check(WaitFinal(S, Polls) = StateDone, 'dump done');
  Reply := Lib.Result(S);
  Check(JsonMember(Reply, 'rows') = '50000', 'rows dumped: ' + Reply);
  Check(Polls > 0, 'progress polled');
  Lib.FreeSession(S);

  S := Lib.StartDump(Config(Db, Password, ',"out_path":' + JsonQuote(OutPath + '.2')));
  Lib.Cancel(S);
  Check(WaitFinal(S, Polls) = StateCancelled, 'dump cancelled');
  try
    Lib.Result(S);
    Check(False, 'a cancelled dump succeeded');
  except
    on E: EPgDump do
      Check(E.Code = 'cancelled', 'cancel code: ' + E.Reply);
  end;
  Lib.FreeSession(S);

  S := Lib.StartRestore(Config(Db + '_copy', Password, ',"in_path":' + JsonQuote(OutPath)));
  Check(WaitFinal(S, Polls) = StateDone, 'restore done');
  Reply := Lib.Result(S);
  Check(JsonMember(Reply, 'errors') = '0', 'restore without errors: ' + Reply);
  Lib.FreeSession(S);
  Reply := Lib.ListTables(Config(Db + '_copy', Password, ''));
  Check(Pos('"name":"größe"', Reply) > 0, 'table restored: ' + Reply);

  try
    Lib.TestConnection(Config(Db, 'wrong', ''));
    Check(False, 'a wrong password logged in');
  except
    on E: EPgDump do
      Check((E.Code = 'auth') and (E.SqlState = '28P01'), 'refusal: ' + E.Reply);
  end;
  Lib.Free;
  if Failures > 0 then
    Halt(1);
  WriteLn('pascal kit: ok');
end.

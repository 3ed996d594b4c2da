{ A small host: connects to a viewer, asks who it is, sends commands, shows
  a refusal with the viewer's message, answers the viewer's calls, then
  takes the server role for one round if asked.
    VxSample [PORT]          client session with a viewer on PORT
    VxSample serve PORT      listen on PORT and answer one viewer's calls }
program VxSample;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}
{$IFDEF MSWINDOWS}{$APPTYPE CONSOLE}{$ENDIF}

uses
  {$IFDEF UNIX}cthreads,{$ENDIF} { first: the library calls OnCall on threads of its own }
  SysUtils, VxBridge;

var
  Calls: Integer = 0;

{ Runs on the library's thread; whatever it leaves in Answer goes back. }
procedure OnCall(Name, Args: PAnsiChar; Answer: PCallAnswer); stdcall;
begin
  WriteLn('viewer calls ', Name, '(', Args, ')');
  StrPLCopy(Answer^.Text, 'seen ' + AnsiString(Name), SizeOf(Answer^.Text) - 1);
  InterlockedIncrement(Calls);
end;

procedure OnBroken; stdcall;
begin
  WriteLn('connection ended');
end;

function Client(Port: UInt32): Integer;
var
  Rc, Id, I: Int32;
  Version, Text: PAnsiChar;
  Length: UInt32;
begin
  Rc := VxConnectA('127.0.0.1', Port, 0, OnCall, OnBroken);
  if Rc <> VX_OK then
  begin
    WriteLn(ErrOutput, VxMessage(Rc, 'eng'), ' (code ', Rc, ')');  { names host and port }
    Exit(1);
  end;
  VxGetRemoteProductId(@Id);
  Version := nil;
  VxGetRemoteProductVersionA(@Version);
  WriteLn('product ', Id, ' version ', VxTakeA(Version));

  Rc := VxSendCmdA('Add', '2,40');
  Text := nil;
  VxGetLastResponseA(@Length, @Text);
  WriteLn('Add -> ', Rc, ' ', VxTakeA(Text));

  Rc := VxSendCmdA('Teleport', '0,0,5');
  WriteLn('Teleport -> ', Rc, ' ', VxMessage(Rc, 'spa'));

  { Give the viewer's own call (if it makes one) a moment to arrive; the
    answer of a handler that has returned leaves before the connection
    closes. }
  I := 0;
  while (Calls = 0) and (I < 200) do
  begin
    Sleep(10);
    Inc(I);
  end;
  VxDisconnect;
  Result := 0;
end;

function Serve(Port: UInt32): Integer;
var
  Waiting: Int32;
  Data: Pointer;
  Size: UInt32;
  Petition: AnsiString;
begin
  if VxConnectAsServer(Port, 0) <> VX_OK then Exit(1);
  WriteLn('listening on port ', Port);
  while VxAccept <> VX_OK do Sleep(20);
  { Each call of the viewer is taken as it came on the wire and answered;
    -1: the viewer has gone. }
  repeat
    Waiting := VxAvailableBytes;
    if Waiting = 0 then Sleep(10);
    if (Waiting > 0) and (VxReadRawPetition(@Data, @Size) = VX_OK) then
    begin
      SetString(Petition, PAnsiChar(Data), Size);  { a copy: the block stays the library's }
      Petition := TrimRight(Petition);
      WriteLn('viewer calls ', Petition);
      VxSendRetStrA(0, 'done');
    end;
  until Waiting < 0;
  WriteLn('viewer disconnected');
  VxDisconnect;
  Result := 0;
end;

var
  LibVersion: UInt32;
begin
  VxGetLibVersion(@LibVersion);
  WriteLn('VxBridge ', LibVersion shr 24, '.', (LibVersion shr 16) and $FF, '.', (LibVersion shr 8) and $FF, '.',
    LibVersion and $FF);
  if (ParamCount = 2) and (ParamStr(1) = 'serve') then
    ExitCode := Serve(StrToInt(ParamStr(2)))
  else if ParamCount = 1 then
    ExitCode := Client(StrToInt(ParamStr(1)))
  else
    ExitCode := Client(27800);
end.

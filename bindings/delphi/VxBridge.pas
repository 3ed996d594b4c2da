(* VxBridge for Delphi and Free Pascal: every export of the library, its two
  records and its handler types, as the 32-bit product DLL has them.

  Windows: vxbridge.dll (__stdcall, single-byte text for the A functions,
  UTF-16 for the W functions), put beside the program. Linux: the shared
  library, linked as -lvxbridge from the folder that -Fl names, and found at
  run time through the rpath that -k-rpath= records (stdcall is the
  platform's one convention there):
    fpc -Mdelphi -Fu<this folder> -Fl<lib folder> -k-rpath=<lib folder> -FE<out folder> Host.dpr

  Texts handed out through a PAnsiChar/PWideChar out parameter belong to the
  caller: release each exactly once with VxFreeA (VxTakeA/VxTakeW below copy
  and release). The petition of VxReadRawPetition stays the library's.

  Threads: the library runs the handlers on threads of its own. A Free
  Pascal program on Unix needs a thread manager for that, so cthreads must
  come first in its uses clause:
    uses {$IFDEF UNIX}cthreads,{$ENDIF} SysUtils, VxBridge;
  Without one, VxConnectA/W and VxLaunchAndConnect refuse with -1 and say
  why on the standard error, instead of letting the program crash later.

  Messages: VxMessage, called on the thread that made the failing call
  right after it, says what happened: a failed connect names its host and
  port, and a command ended by the command time-out
  (VXBRIDGE_COMMAND_TIMEOUT_MS, where the library's code is -6, as for a
  lost connection) says so. *)
unit VxBridge;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}

interface

const
{$IFDEF MSWINDOWS}
  VxLibrary = 'vxbridge.dll';
{$ELSE}
  VxLibrary = 'vxbridge';
{$ENDIF}

  { The library's own result codes; codes above 0 are the viewer's. }
  VX_OK = 0;
  VX_E_INVALID_PARAMETER = -1;
  VX_E_INVALID_ID = -2;
  VX_E_NOT_CONNECTED = -3;
  VX_E_UNSUPPORTED_MODE = -4;
  VX_E_HOST_NOT_FOUND = -5;
  VX_E_COMMUNICATION_BROKEN = -6;
  VX_E_UNSUPPORTED_LANGUAGE = -7;
  VX_E_BUFFER_TOO_SMALL = -8;
  VX_E_BUFFER_TOO_BIG = -9;
  VX_E_INVALID_RESPONSE = -10;
  VX_E_NOT_ENOUGH_MEMORY = -11;
  VX_E_CANNOT_FREE = -12;
  VX_E_FUNCTION_NOT_FOUND = -13;
  VX_E_NOT_INSTALLED = -14;
  VX_E_INVALID_COMMAND = -15;
  VX_E_UNKNOWN_PRODUCT = -16;
  VX_E_CANNOT_CREATE_PROCESS = -17;
  VX_E_INVALID_URL = -18;
  VX_E_NO_DATA = -19;
  VX_E_ALREADY_CONNECTED = -20;
  VX_PRODUCT_AMBER = 1001;
  VX_PRODUCT_COBALT = 1002;

type
  VxResult = Int32;
  PPAnsiChar = ^PAnsiChar;
  PPWideChar = ^PWideChar;

  { What a call handler fills: preset to code 0 and 'OK'. 72 bytes; the
    text must end with a #0 within its 64 bytes. }
  PCallAnswer = ^TCallAnswer;
  TCallAnswer = packed record
    Code: Int32;
    Reserved: Int32;
    Text: array[0..63] of AnsiChar;
  end;

  { One call of the viewer taken with VxRecvCmd. 576 bytes. Client mode pads
    with blanks and no #0, server mode with #0 bytes. }
  PCallRecord = ^TCallRecord;
  TCallRecord = packed record
    Name: array[0..63] of AnsiChar;
    Args: array[0..511] of AnsiChar;
  end;

  { Run on the library's dispatcher thread. }
  TCallHandler = procedure(Name, Args: PAnsiChar; Answer: PCallAnswer); stdcall;
  TBrokenHandler = procedure; stdcall;

{ ---- Library ---- }
function VxGetLibVersion(Version: PUInt32): VxResult; stdcall; external VxLibrary;
function VxGetPtr(Value: Int32): Int32; stdcall; external VxLibrary;
function VxGetIUnknown(Obj: Pointer): Pointer; stdcall; external VxLibrary;
function VxFreeA(Block: Pointer): VxResult; stdcall; external VxLibrary;
function VxFreeW(Block: Pointer): VxResult; stdcall; external VxLibrary;

{ ---- Client connection ---- }
function VxConnectA(Host: PAnsiChar; Port: UInt32; Mode: Int32; OnCall: TCallHandler;
  OnBroken: TBrokenHandler): VxResult; stdcall;
function VxConnectW(Host: PWideChar; Port: UInt32; Mode: Int32; OnCall: TCallHandler;
  OnBroken: TBrokenHandler): VxResult; stdcall;
function VxDisconnect: VxResult; stdcall; external VxLibrary;
function VxIsConnectionBroken: UInt8; stdcall; external VxLibrary;
function VxLaunchAndConnect(ProductId: UInt32; Host: PAnsiChar; Port: UInt32; OnCall: TCallHandler;
  OnBroken: TBrokenHandler): VxResult; stdcall;

{ ---- Commands ---- }
function VxSendCmdA(Command, Arguments: PAnsiChar): VxResult; stdcall;
function VxSendCmdW(Command, Arguments: PWideChar): VxResult; stdcall;
function VxWaitFor: VxResult; stdcall;
function VxCancelAll: VxResult; stdcall;
function VxGetLastResponseA(Length: PUInt32; Text: PPAnsiChar): VxResult; stdcall; external VxLibrary;
function VxGetLastResponseW(Length: PUInt32; Text: PPWideChar): VxResult; stdcall; external VxLibrary;
function VxLastVexaErrorMessageA(Buffer: PAnsiChar; Size: PInt32): VxResult; stdcall; external VxLibrary;
function VxGetRemoteProductId(Id: PInt32): VxResult; stdcall; external VxLibrary;
function VxGetRemoteProductVersionA(Text: PPAnsiChar): VxResult; stdcall;
function VxGetRemoteProductVersionW(Text: PPWideChar): VxResult; stdcall;
function VxSetLanguageA(Code: PAnsiChar): VxResult; stdcall;
function VxSetLanguageW(Code: PWideChar): VxResult; stdcall;

{ ---- Messages ---- }
function VxGetErrorStringA(Language: PAnsiChar; Code: Int32; Text: PPAnsiChar): VxResult; stdcall;
  external VxLibrary;
function VxGetErrorMessageA(Language: PAnsiChar; Code: Int32; Buffer: PAnsiChar; Size: PInt32): VxResult;
  stdcall; external VxLibrary;

{ ---- Server mode ---- }
function VxConnectAsServer(Port: UInt32; Mode: Int32): VxResult; stdcall; external VxLibrary;
function VxAccept: VxResult; stdcall; external VxLibrary;
function VxRecvCmd(Rec: PCallRecord): UInt8; stdcall; external VxLibrary;
function VxAvailableBytes: Int32; stdcall; external VxLibrary;
function VxReadRawPetition(Data: PPointer; Size: PUInt32): VxResult; stdcall; external VxLibrary;
function VxSendRetCmd(Code: Int32; Data: Pointer; Length: Int32): VxResult; stdcall; external VxLibrary;
function VxSendRetStrA(Code: Int32; Text: PAnsiChar): VxResult; stdcall; external VxLibrary;
function VxSendRetStrW(Code: Int32; Text: PWideChar): VxResult; stdcall; external VxLibrary;
function VxSendAck: VxResult; stdcall; external VxLibrary;
function VxSendRaw(Data: Pointer; Length: UInt32): VxResult; stdcall; external VxLibrary;

{ ---- Helpers ---- }

{ Copies a text the library handed out and releases it ('' for nil). }
function VxTakeA(Block: PAnsiChar): AnsiString;
function VxTakeW(Block: PWideChar): UnicodeString;
{ The message of a result code in 'eng', 'spa' or 'cat'; right after a
  failing call on the same thread, in that call's own words (see above). }
function VxMessage(Code: Int32; const Language: AnsiString): AnsiString;
{ The command time-out a connection opened now gets, read as the library
  reads VXBRIDGE_COMMAND_TIMEOUT_MS (up to 15 decimal digits); 0: none. }
function VxCommandTimeoutMs: UInt32;
{ Whether a thread manager runs the library's handler threads (always
  true but on Unix without cthreads). }
function VxThreadsReady: Boolean;
{ A fixed-size record field up to its #0, trailing blanks removed. }
function VxField(const Field: array of AnsiChar): AnsiString;

implementation

uses
  {$IFNDEF FPC}Classes,{$ENDIF} SysUtils;

{ The exports this unit wraps, under their own names. }
function LibConnectA(Host: PAnsiChar; Port: UInt32; Mode: Int32; OnCall: TCallHandler;
  OnBroken: TBrokenHandler): VxResult; stdcall; external VxLibrary name 'VxConnectA';
function LibConnectW(Host: PWideChar; Port: UInt32; Mode: Int32; OnCall: TCallHandler;
  OnBroken: TBrokenHandler): VxResult; stdcall; external VxLibrary name 'VxConnectW';
function LibLaunchAndConnect(ProductId: UInt32; Host: PAnsiChar; Port: UInt32; OnCall: TCallHandler;
  OnBroken: TBrokenHandler): VxResult; stdcall; external VxLibrary name 'VxLaunchAndConnect';
function LibSendCmdA(Command, Arguments: PAnsiChar): VxResult; stdcall; external VxLibrary name 'VxSendCmdA';
function LibSendCmdW(Command, Arguments: PWideChar): VxResult; stdcall; external VxLibrary name 'VxSendCmdW';
function LibWaitFor: VxResult; stdcall; external VxLibrary name 'VxWaitFor';
function LibCancelAll: VxResult; stdcall; external VxLibrary name 'VxCancelAll';
function LibGetRemoteProductVersionA(Text: PPAnsiChar): VxResult; stdcall;
  external VxLibrary name 'VxGetRemoteProductVersionA';
function LibGetRemoteProductVersionW(Text: PPWideChar): VxResult; stdcall;
  external VxLibrary name 'VxGetRemoteProductVersionW';
function LibSetLanguageA(Code: PAnsiChar): VxResult; stdcall; external VxLibrary name 'VxSetLanguageA';
function LibSetLanguageW(Code: PWideChar): VxResult; stdcall; external VxLibrary name 'VxSetLanguageW';

type
  TFailure = (fNone, fConnect, fTimedOut);

{ What this thread's latest wrapped call failed of (no managed types: a
  threadvar is not finalized). }
threadvar
  LastCode: Int32;
  LastFailure: TFailure;
  LastWhere: ShortString;

var
  { The time-out the library took at the latest connect, in ms; 0: none. }
  TakenTimeoutMs: UInt32 = 0;

function Ticks: UInt64;
begin
{$IFDEF FPC}
  Result := GetTickCount64;
{$ELSE}
  Result := TThread.GetTickCount;  { 32 bits: see Elapsed }
{$ENDIF}
end;

function Elapsed(Started: UInt64): UInt64;
begin
{$IFDEF FPC}
  Result := Ticks - Started;
{$ELSE}
  Result := Cardinal(Cardinal(Ticks) - Cardinal(Started));  { across the wrap after 49 days }
{$ENDIF}
end;

function VxCommandTimeoutMs: UInt32;
var
  Text: string;
  Value: UInt64;
  I: Integer;
begin
  Result := 0;
  Text := GetEnvironmentVariable('VXBRIDGE_COMMAND_TIMEOUT_MS');
  if (Length(Text) = 0) or (Length(Text) > 15) then Exit;
  Value := 0;
  for I := 1 to Length(Text) do
  begin
    if (Text[I] < '0') or (Text[I] > '9') then Exit;
    Value := Value * 10 + UInt64(Ord(Text[I]) - Ord('0'));
  end;
  if Value < $FFFFFFFF then Result := UInt32(Value);
end;

function VxThreadsReady: Boolean;
{$IF DEFINED(FPC) AND DEFINED(UNIX)}
var
  Manager: TThreadManager;
begin
  { Without cthreads the RTL's stand-in manager has no InitManager. }
  Result := GetThreadManager(Manager) and Assigned(Manager.InitManager);
end;
{$ELSE}
begin
  Result := True;
end;
{$IFEND}

function Remember(Rc: VxResult; Failure: TFailure; const Where: ShortString): VxResult;
begin
  LastCode := Rc;
  LastFailure := fNone;
  if Rc <> VX_OK then LastFailure := Failure;
  LastWhere := Where;
  Result := Rc;
end;

{ Refuses a connect that would let the library call into a program that
  cannot take calls on other threads; opens it otherwise. }
function Opened(Rc: VxResult; Host: AnsiString; Port: UInt32): VxResult;
begin
  if Rc = VX_OK then TakenTimeoutMs := VxCommandTimeoutMs;
  Result := Remember(Rc, fConnect, ShortString(Host + ':' + AnsiString(IntToStr(Port))));
end;

function Refused: Boolean;
begin
  Result := not VxThreadsReady;
  if Result then
  begin
    WriteLn(ErrOutput, 'VxBridge: connect refused: no thread manager, and the library calls the handlers on ' +
      'threads of its own; put cthreads first in the program''s uses clause ({$IFDEF UNIX}cthreads,{$ENDIF})');
    Remember(VX_E_INVALID_PARAMETER, fNone, '');
  end;
end;

{ A command: -6 once the command time-out has passed is that time-out. }
function Timed(Rc: VxResult; Started: UInt64): VxResult;
var
  Failure: TFailure;
begin
  Failure := fNone;
  if (Rc = VX_E_COMMUNICATION_BROKEN) and (TakenTimeoutMs > 0) and (Elapsed(Started) >= TakenTimeoutMs) then
    Failure := fTimedOut;
  Result := Remember(Rc, Failure, '');
end;

function VxConnectA(Host: PAnsiChar; Port: UInt32; Mode: Int32; OnCall: TCallHandler;
  OnBroken: TBrokenHandler): VxResult; stdcall;
begin
  if Refused then Exit(VX_E_INVALID_PARAMETER);
  Result := Opened(LibConnectA(Host, Port, Mode, OnCall, OnBroken), AnsiString(Host), Port);
end;

function VxConnectW(Host: PWideChar; Port: UInt32; Mode: Int32; OnCall: TCallHandler;
  OnBroken: TBrokenHandler): VxResult; stdcall;
begin
  if Refused then Exit(VX_E_INVALID_PARAMETER);
  Result := Opened(LibConnectW(Host, Port, Mode, OnCall, OnBroken), AnsiString(UnicodeString(Host)), Port);
end;

function VxLaunchAndConnect(ProductId: UInt32; Host: PAnsiChar; Port: UInt32; OnCall: TCallHandler;
  OnBroken: TBrokenHandler): VxResult; stdcall;
begin
  if Refused then Exit(VX_E_INVALID_PARAMETER);
  Result := Opened(LibLaunchAndConnect(ProductId, Host, Port, OnCall, OnBroken), AnsiString(Host), Port);
end;

function VxSendCmdA(Command, Arguments: PAnsiChar): VxResult; stdcall;
var
  Started: UInt64;
begin
  Started := Ticks;
  Result := Timed(LibSendCmdA(Command, Arguments), Started);
end;

function VxSendCmdW(Command, Arguments: PWideChar): VxResult; stdcall;
var
  Started: UInt64;
begin
  Started := Ticks;
  Result := Timed(LibSendCmdW(Command, Arguments), Started);
end;

function VxWaitFor: VxResult; stdcall;
var
  Started: UInt64;
begin
  Started := Ticks;
  Result := Timed(LibWaitFor, Started);
end;

function VxCancelAll: VxResult; stdcall;
var
  Started: UInt64;
begin
  Started := Ticks;
  Result := Timed(LibCancelAll, Started);
end;

function VxGetRemoteProductVersionA(Text: PPAnsiChar): VxResult; stdcall;
var
  Started: UInt64;
begin
  Started := Ticks;
  Result := Timed(LibGetRemoteProductVersionA(Text), Started);
end;

function VxGetRemoteProductVersionW(Text: PPWideChar): VxResult; stdcall;
var
  Started: UInt64;
begin
  Started := Ticks;
  Result := Timed(LibGetRemoteProductVersionW(Text), Started);
end;

function VxSetLanguageA(Code: PAnsiChar): VxResult; stdcall;
var
  Started: UInt64;
begin
  Started := Ticks;
  Result := Timed(LibSetLanguageA(Code), Started);
end;

function VxSetLanguageW(Code: PWideChar): VxResult; stdcall;
var
  Started: UInt64;
begin
  Started := Ticks;
  Result := Timed(LibSetLanguageW(Code), Started);
end;

function VxTakeA(Block: PAnsiChar): AnsiString;
begin
  Result := '';
  if Block = nil then Exit;
  Result := AnsiString(Block);
  VxFreeA(Block);
end;

function VxTakeW(Block: PWideChar): UnicodeString;
begin
  Result := '';
  if Block = nil then Exit;
  Result := UnicodeString(Block);
  VxFreeW(Block);
end;

function VxMessage(Code: Int32; const Language: AnsiString): AnsiString;
var
  Text: PAnsiChar;
begin
  Text := nil;
  if VxGetErrorStringA(PAnsiChar(Language), Code, @Text) = VX_OK then
    Result := VxTakeA(Text)
  else
    Result := '';
  if Code <> LastCode then Exit;
  case LastFailure of
    fTimedOut:
      Result := 'no answer within ' + AnsiString(IntToStr(TakenTimeoutMs)) + ' ms (VXBRIDGE_COMMAND_TIMEOUT_MS): ' +
        'the library gave the command up and closed the connection';
    fConnect:
      begin
        Result := 'connect to ' + AnsiString(LastWhere) + ': ' + Result;
        if Code = VX_E_HOST_NOT_FOUND then
          Result := Result + ' (nothing accepted the connection there, or the name does not resolve)';
      end;
  end;
end;

function VxField(const Field: array of AnsiChar): AnsiString;
var
  N: Integer;
begin
  N := 0;
  while (N <= High(Field)) and (Field[N] <> #0) do Inc(N);
  while (N > 0) and (Field[N - 1] = ' ') do Dec(N);
  SetString(Result, PAnsiChar(@Field[0]), N);
end;

{$IF SizeOf(TCallAnswer) <> 72}
  {$ERROR TCallAnswer must be 72 bytes}
{$IFEND}
{$IF SizeOf(TCallRecord) <> 576}
  {$ERROR TCallRecord must be 576 bytes}
{$IFEND}

end.

{ VxBridge for Delphi and Free Pascal: every export of the library, its two
  records and its handler types, as the 32-bit product DLL has them.

  Windows: vxbridge.dll (__stdcall, single-byte text for the A functions,
  UTF-16 for the W functions), put beside the program. Linux: the shared
  library, linked as -lvxbridge from the folder that -Fl names, and found at
  run time through the rpath that -k-rpath= records (stdcall is the
  platform's one convention there):
    fpc -Mdelphi -Fu<this folder> -Fl<lib folder> -k-rpath=<lib folder> -FE<out folder> Host.dpr

  Texts handed out through a PAnsiChar/PWideChar out parameter belong to the
  caller: release each exactly once with VxFreeA (VxTakeA/VxTakeW below copy
  and release). The petition of VxReadRawPetition stays the library's. }
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
  OnBroken: TBrokenHandler): VxResult; stdcall; external VxLibrary;
function VxConnectW(Host: PWideChar; Port: UInt32; Mode: Int32; OnCall: TCallHandler;
  OnBroken: TBrokenHandler): VxResult; stdcall; external VxLibrary;
function VxDisconnect: VxResult; stdcall; external VxLibrary;
function VxIsConnectionBroken: UInt8; stdcall; external VxLibrary;
function VxLaunchAndConnect(ProductId: UInt32; Host: PAnsiChar; Port: UInt32; OnCall: TCallHandler;
  OnBroken: TBrokenHandler): VxResult; stdcall; external VxLibrary;

{ ---- Commands ---- }
function VxSendCmdA(Command, Arguments: PAnsiChar): VxResult; stdcall; external VxLibrary;
function VxSendCmdW(Command, Arguments: PWideChar): VxResult; stdcall; external VxLibrary;
function VxWaitFor: VxResult; stdcall; external VxLibrary;
function VxCancelAll: VxResult; stdcall; external VxLibrary;
function VxGetLastResponseA(Length: PUInt32; Text: PPAnsiChar): VxResult; stdcall; external VxLibrary;
function VxGetLastResponseW(Length: PUInt32; Text: PPWideChar): VxResult; stdcall; external VxLibrary;
function VxLastVexaErrorMessageA(Buffer: PAnsiChar; Size: PInt32): VxResult; stdcall; external VxLibrary;
function VxGetRemoteProductId(Id: PInt32): VxResult; stdcall; external VxLibrary;
function VxGetRemoteProductVersionA(Text: PPAnsiChar): VxResult; stdcall; external VxLibrary;
function VxGetRemoteProductVersionW(Text: PPWideChar): VxResult; stdcall; external VxLibrary;
function VxSetLanguageA(Code: PAnsiChar): VxResult; stdcall; external VxLibrary;
function VxSetLanguageW(Code: PWideChar): VxResult; stdcall; external VxLibrary;

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
{ The message of a result code in 'eng', 'spa' or 'cat'. }
function VxMessage(Code: Int32; const Language: AnsiString): AnsiString;
{ A fixed-size record field up to its #0, trailing blanks removed. }
function VxField(const Field: array of AnsiChar): AnsiString;

implementation

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

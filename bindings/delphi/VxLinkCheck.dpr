{ Takes the address of every declaration of the unit, so that linking fails
  on a name the library does not export, and checks a few calls that need
  no viewer. Built without cthreads on purpose: on Unix the unit must then
  refuse to connect. Built with -dVX_THREADS (cthreads first) and given the
  port of a vxsim, with VXBRIDGE_COMMAND_TIMEOUT_MS=200: a command past the
  time-out must be reported as one. Run by the build's tests. }
program VxLinkCheck;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}
{$IFDEF MSWINDOWS}{$APPTYPE CONSOLE}{$ENDIF}

uses
  {$IFDEF VX_THREADS}cthreads,{$ENDIF} SysUtils, VxBridge;

const
  Functions: array[0..33] of Pointer = (
    @VxGetLibVersion, @VxGetPtr, @VxGetIUnknown, @VxFreeA, @VxFreeW, @VxConnectA, @VxConnectW,
    @VxDisconnect, @VxIsConnectionBroken, @VxLaunchAndConnect, @VxSendCmdA, @VxSendCmdW, @VxWaitFor,
    @VxCancelAll, @VxGetLastResponseA, @VxGetLastResponseW, @VxLastVexaErrorMessageA,
    @VxGetRemoteProductId, @VxGetRemoteProductVersionA, @VxGetRemoteProductVersionW, @VxSetLanguageA,
    @VxSetLanguageW, @VxGetErrorStringA, @VxGetErrorMessageA, @VxConnectAsServer, @VxAccept, @VxRecvCmd,
    @VxAvailableBytes, @VxReadRawPetition, @VxSendRetCmd, @VxSendRetStrA, @VxSendRetStrW, @VxSendAck,
    @VxSendRaw);

var
  Failures, I: Integer;
  Rec: TCallRecord;

procedure Check(Ok: Boolean; const What: AnsiString);
begin
  if Ok then Exit;
  WriteLn('FAILED: ', What);
  Inc(Failures);
end;

begin
  Failures := 0;
  for I := Low(Functions) to High(Functions) do Check(Functions[I] <> nil, 'an export');
  Check(VxGetPtr(1234) = 1234, 'VxGetPtr');
  Check(VxMessage(-14, 'spa') = 'Vexa3D no est'#$E1' instalado', 'VxGetErrorStringA');
  Check(VxSendCmdW('Add', '1,1') = VX_E_NOT_CONNECTED, 'VxSendCmdW without a connection');
  Check(VxRecvCmd(@Rec) = 0, 'VxRecvCmd with nothing pending');
  Check(VxSendRetCmd(0, nil, -1) = VX_E_INVALID_PARAMETER, 'VxSendRetCmd with a negative length');
{$IF DEFINED(UNIX) AND NOT DEFINED(VX_THREADS)}
  Check(not VxThreadsReady, 'no thread manager without cthreads');
  Check(VxConnectA('127.0.0.1', 1, 0, nil, nil) = VX_E_INVALID_PARAMETER, 'a connect without a thread manager');
{$IFEND}
  if ParamCount = 1 then
  begin
    I := VxConnectA('127.0.0.1', 1, 0, nil, nil);
    Check(VxMessage(I, 'eng') = 'connect to 127.0.0.1:1: Host not found (nothing accepted the connection there, ' +
      'or the name does not resolve)', 'the message of a failed connect');
    Check(VxConnectA('127.0.0.1', StrToInt(ParamStr(1)), 0, nil, nil) = VX_OK, 'connect');
    I := VxSendCmdA('Sleep', '1000');
    Check(VxMessage(I, 'eng') = 'no answer within 200 ms (VXBRIDGE_COMMAND_TIMEOUT_MS): the library gave the ' +
      'command up and closed the connection', 'the message of a command past the time-out');
    VxDisconnect;
  end;
  if Failures = 0 then WriteLn('all checks passed');
  ExitCode := Ord(Failures <> 0);
end.

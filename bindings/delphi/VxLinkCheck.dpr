{ Takes the address of every declaration of the unit, so that linking fails
  on a name the library does not export, and checks a few calls that need
  no viewer. Run by the build's tests. }
program VxLinkCheck;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}
{$IFDEF MSWINDOWS}{$APPTYPE CONSOLE}{$ENDIF}

uses
  VxBridge;

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
  if Failures = 0 then WriteLn('all checks passed');
  ExitCode := Ord(Failures <> 0);
end.

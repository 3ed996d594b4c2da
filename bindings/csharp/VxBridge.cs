// VxBridge for C#: every export of the library, its two records and its
// handler types, declared as the 32-bit product DLL has them (__stdcall,
// single-byte text for the A functions, UTF-16 for the W functions).
//
// "vxbridge" is found as vxbridge.dll on Windows and as libvxbridge.so by
// Mono on Linux (where StdCall means the platform's one convention).
// Build the host for x86 to use the 32-bit product DLL.
//
// Texts handed out through an IntPtr belong to the caller: Vx.TakeA/TakeW
// copy them and release them with VxFreeA. CharSet.Ansi marshals with the
// system's ANSI code page on Windows (Windows-1252 where the library's
// messages are meant to be read) and as UTF-8 under Mono on Linux.
using System;
using System.Runtime.InteropServices;

namespace VxBridge
{
    // What a CallHandler fills: preset to code 0 and "OK". 72 bytes; the text
    // keeps room for its NUL (63 characters at most).
    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
    public struct CallAnswer
    {
        public int Code;
        public int Reserved;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 64)]
        public string Text;
    }

    // One call of the viewer taken with VxRecvCmd. 576 bytes. In client
    // mode the fields are padded with blanks (use TrimEnd()).
    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
    public struct CallRecord
    {
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 64)]
        public string Name;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 512)]
        public string Args;
    }

    // Runs on the library's dispatcher thread for each call of the viewer.
    [UnmanagedFunctionPointer(CallingConvention.StdCall, CharSet = CharSet.Ansi)]
    public delegate void CallHandler(string name, string args, ref CallAnswer answer);

    // Runs once on the dispatcher thread when the connection ends.
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate void BrokenHandler();

    public static class Vx
    {
        const string Dll = "vxbridge";
        const CallingConvention Std = CallingConvention.StdCall;

        // The library's own result codes.
        public const int Ok = 0;
        public const int InvalidParameter = -1;
        public const int NotConnected = -3;
        public const int HostNotFound = -5;
        public const int CommunicationBroken = -6;
        public const int UnsupportedLanguage = -7;
        public const int InvalidResponse = -10;
        public const int NotEnoughMemory = -11;
        public const int NotInstalled = -14;
        public const int UnknownProduct = -16;
        public const int CannotCreateProcess = -17;
        public const int NoData = -19;
        public const int AlreadyConnected = -20;

        public const uint ProductAmber = 1001;
        public const uint ProductCobalt = 1002;

        // ---- Library ----
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxGetLibVersion(out uint version);
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxGetPtr(int value);
        [DllImport(Dll, CallingConvention = Std)] public static extern IntPtr VxGetIUnknown(IntPtr obj);
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxFreeA(IntPtr block);
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxFreeW(IntPtr block);

        // ---- Client connection ----
        [DllImport(Dll, CallingConvention = Std, CharSet = CharSet.Ansi)]
        public static extern int VxConnectA(string host, uint port, int mode, CallHandler onCall, BrokenHandler onBroken);
        [DllImport(Dll, CallingConvention = Std, CharSet = CharSet.Unicode)]
        public static extern int VxConnectW(string host, uint port, int mode, CallHandler onCall, BrokenHandler onBroken);
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxDisconnect();
        [DllImport(Dll, CallingConvention = Std)] public static extern byte VxIsConnectionBroken();
        [DllImport(Dll, CallingConvention = Std, CharSet = CharSet.Ansi)]
        public static extern int VxLaunchAndConnect(uint productId, string host, uint port, CallHandler onCall, BrokenHandler onBroken);

        // ---- Commands ----
        [DllImport(Dll, CallingConvention = Std, CharSet = CharSet.Ansi)]
        public static extern int VxSendCmdA(string command, string arguments);
        [DllImport(Dll, CallingConvention = Std, CharSet = CharSet.Unicode)]
        public static extern int VxSendCmdW(string command, string arguments);
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxWaitFor();
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxCancelAll();
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxGetLastResponseA(out uint length, out IntPtr text);
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxGetLastResponseW(out uint length, out IntPtr text);
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxLastVexaErrorMessageA(byte[] buffer, ref int size);
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxGetRemoteProductId(out int id);
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxGetRemoteProductVersionA(out IntPtr text);
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxGetRemoteProductVersionW(out IntPtr text);
        [DllImport(Dll, CallingConvention = Std, CharSet = CharSet.Ansi)] public static extern int VxSetLanguageA(string code);
        [DllImport(Dll, CallingConvention = Std, CharSet = CharSet.Unicode)] public static extern int VxSetLanguageW(string code);

        // ---- Messages ----
        [DllImport(Dll, CallingConvention = Std, CharSet = CharSet.Ansi)]
        public static extern int VxGetErrorStringA(string language, int code, out IntPtr text);
        [DllImport(Dll, CallingConvention = Std, CharSet = CharSet.Ansi)]
        public static extern int VxGetErrorMessageA(string language, int code, byte[] buffer, ref int size);

        // ---- Server mode ----
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxConnectAsServer(uint port, int mode);
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxAccept();
        [DllImport(Dll, CallingConvention = Std)] public static extern byte VxRecvCmd(out CallRecord record);
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxAvailableBytes();
        // The petition stays the library's: copy it (Vx.Petition), never free it.
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxReadRawPetition(out IntPtr data, out uint size);
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxSendRetCmd(int code, byte[] data, int length);
        [DllImport(Dll, CallingConvention = Std, CharSet = CharSet.Ansi)] public static extern int VxSendRetStrA(int code, string text);
        [DllImport(Dll, CallingConvention = Std, CharSet = CharSet.Unicode)] public static extern int VxSendRetStrW(int code, string text);
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxSendAck();
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxSendRaw(byte[] data, uint length);

        // ---- Helpers ----

        // The delegates handed to the library for the open connection: the
        // garbage collector must not take them while the library may call them.
        // Written, never read: holding them is the point.
#pragma warning disable 414
        static CallHandler keptCall;
        static BrokenHandler keptBroken;
#pragma warning restore 414

        // VxConnectA that keeps the handlers alive (either may be null).
        public static int Connect(string host, uint port, CallHandler onCall, BrokenHandler onBroken)
        {
            keptCall = onCall;
            keptBroken = onBroken;
            return VxConnectA(host, port, 0, onCall, onBroken);
        }

        // VxLaunchAndConnect that keeps the handlers alive.
        public static int LaunchAndConnect(uint productId, string host, uint port, CallHandler onCall, BrokenHandler onBroken)
        {
            keptCall = onCall;
            keptBroken = onBroken;
            return VxLaunchAndConnect(productId, host, port, onCall, onBroken);
        }

        // VxDisconnect; the handlers are let go once it has returned.
        public static int Disconnect()
        {
            int rc = VxDisconnect();
            keptCall = null;
            keptBroken = null;
            return rc;
        }

        // A single-byte text handed out by the library: copied, then released.
        public static string TakeA(IntPtr block)
        {
            if (block == IntPtr.Zero) return "";
            string text = Marshal.PtrToStringAnsi(block);
            VxFreeA(block);
            return text;
        }

        // A UTF-16 text handed out by the library: copied, then released.
        public static string TakeW(IntPtr block)
        {
            if (block == IntPtr.Zero) return "";
            string text = Marshal.PtrToStringUni(block);
            VxFreeW(block);
            return text;
        }

        // The latest answer text ("" when there is none).
        public static string LastResponse()
        {
            uint length;
            IntPtr text;
            return VxGetLastResponseA(out length, out text) == Ok ? TakeA(text) : "";
        }

        // The message of a result code ("eng", "spa" or "cat"); positive codes
        // are asked of the connected viewer.
        public static string Message(int code, string language)
        {
            IntPtr text;
            int rc = VxGetErrorStringA(language, code, out text);
            return rc == Ok ? TakeA(text) : "code " + code;
        }

        // The waiting petition of server mode, copied; null when none waits.
        public static byte[] Petition()
        {
            IntPtr data;
            uint size;
            if (VxReadRawPetition(out data, out size) != Ok) return null;
            byte[] copy = new byte[size];
            Marshal.Copy(data, copy, 0, (int)size);
            return copy;
        }
    }
}

// VxBridge for C#: every export of the library, its two records and its
// handler types, declared as the 32-bit product DLL has them (__stdcall,
// single-byte text for the A functions, UTF-16 for the W functions).
// Connection.cs wraps them in a Connection that throws VxException.
//
// The library ("vxbridge") is found beside the assembly that holds these
// declarations, else through the system's search: vxbridge.dll on Windows;
// on Linux the runtime name libvxbridge.so.1, which Mono takes from the map
// in VxBridge.Net.dll.config (the assembly's name + ".config": rename it
// when these files are compiled into an assembly of another name) and .NET
// from the resolver below (LD_LIBRARY_PATH and ldconfig's folders are the
// system's search there). Where StdCall means the platform's one
// convention (everywhere but 32-bit Windows), nothing else changes. Build
// the host for x86 to use the 32-bit product DLL.
//
// Texts handed out through an IntPtr belong to the caller: Vx.TakeA/TakeW
// copy them and release them with VxFreeA, reading them as Windows-1252
// (the library's and the viewer's code page) on every system. A string
// passed to an A function is marshalled by CharSet.Ansi: the system's ANSI
// code page on Windows, UTF-8 under Mono on Linux; Vx.Cp1252 and the byte[]
// form of VxSendCmdA (which Connection.Send uses) send Windows-1252 there too.
using System;
using System.IO;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;

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

        // The library's own result codes (VX_OK, VX_E_... in vxbridge.h);
        // codes above 0 are the viewer's.
        public const int Ok = 0;
        public const int InvalidParameter = -1;
        public const int InvalidId = -2;
        public const int NotConnected = -3;
        public const int UnsupportedMode = -4;
        public const int HostNotFound = -5;
        public const int CommunicationBroken = -6;
        public const int UnsupportedLanguage = -7;
        public const int BufferTooSmall = -8;
        public const int BufferTooBig = -9;
        public const int InvalidResponse = -10;
        public const int NotEnoughMemory = -11;
        public const int CannotFree = -12;
        public const int FunctionNotFound = -13;
        public const int NotInstalled = -14;
        public const int InvalidCommand = -15;
        public const int UnknownProduct = -16;
        public const int CannotCreateProcess = -17;
        public const int InvalidUrl = -18;
        public const int NoData = -19;
        public const int AlreadyConnected = -20;

        public const uint ProductAmber = 1001;
        public const uint ProductCobalt = 1002;

        // The file the library is loaded from on this system.
        public static readonly string LibraryFile =
            Path.DirectorySeparatorChar == '\\' ? "vxbridge.dll" : "libvxbridge.so.1";

        // The folder of the assembly that holds these declarations: looked
        // at first.
        public static string AssemblyFolder
        {
            get
            {
                string location = typeof(Vx).Assembly.Location;
                return string.IsNullOrEmpty(location) ? AppDomain.CurrentDomain.BaseDirectory
                                                      : Path.GetDirectoryName(location);
            }
        }

#if NETCOREAPP3_0_OR_GREATER
        static Vx()
        {
            try
            {
                NativeLibrary.SetDllImportResolver(typeof(Vx).Assembly, Resolve);
            }
            catch (InvalidOperationException)
            {
                // The host set a resolver of its own for this assembly: it decides.
            }
        }

        // "vxbridge" beside the assembly, else by the runtime name through the
        // system's search; else the default probing (libvxbridge.so and the like).
        static IntPtr Resolve(string name, Assembly assembly, DllImportSearchPath? searchPath)
        {
            IntPtr handle = IntPtr.Zero;
            if (name == Dll && !NativeLibrary.TryLoad(Path.Combine(AssemblyFolder, LibraryFile), out handle))
                NativeLibrary.TryLoad(LibraryFile, assembly, searchPath, out handle);
            return handle;
        }
#endif

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
        // NUL-terminated bytes (Vx.Cp1252).
        [DllImport(Dll, CallingConvention = Std)] public static extern int VxSendCmdA(byte[] command, byte[] arguments);
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

        // The delegates handed to the library: the garbage collector must not
        // take them while the library may still call them. VxDisconnect on a
        // connection that is up returns after its handlers are done, but a
        // connection lost on its own may still be inside its handlers (its
        // BrokenHandler last) after VxDisconnect returned at once. So each
        // connection gets a BrokenHandler of ours that raises a flag as its
        // last step, and a connection's delegates are let go only at the
        // connect after the one that found its flag raised.
        sealed class Kept
        {
            public CallHandler Call;
            public BrokenHandler Broken;
            public volatile bool Ended;  // the BrokenHandler has returned
            public bool Seen;            // an earlier connect saw it ended
        }
        static readonly System.Collections.Generic.List<Kept> kept = new System.Collections.Generic.List<Kept>();

        static int Open(CallHandler onCall, BrokenHandler onBroken, Func<CallHandler, BrokenHandler, int> open)
        {
            var k = new Kept { Call = onCall };
            k.Broken = () => { try { if (onBroken != null) onBroken(); } finally { k.Ended = true; } };
            int rc = open(onCall, k.Broken);
            if (rc != 0) return rc;
            lock (kept)
            {
                foreach (var old in kept) old.Seen |= old.Ended;
                kept.RemoveAll(old => old.Seen && old.Ended);
                kept.Add(k);
            }
            return rc;
        }

        // VxConnectA that keeps the handlers alive (either may be null).
        public static int Connect(string host, uint port, CallHandler onCall, BrokenHandler onBroken)
        {
            return Open(onCall, onBroken, (c, b) => VxConnectA(host, port, 0, c, b));
        }

        // VxLaunchAndConnect that keeps the handlers alive.
        public static int LaunchAndConnect(uint productId, string host, uint port, CallHandler onCall, BrokenHandler onBroken)
        {
            return Open(onCall, onBroken, (c, b) => VxLaunchAndConnect(productId, host, port, c, b));
        }

        // VxDisconnect: on a connection that is up it returns once the
        // handlers are done (the BrokenHandler has run).
        public static int Disconnect()
        {
            return VxDisconnect();
        }

        // A single-byte text handed out by the library: copied up to its NUL
        // (or length bytes), then released.
        public static string TakeA(IntPtr block, int length = -1)
        {
            if (block == IntPtr.Zero) return "";
            if (length < 0)
                for (length = 0; Marshal.ReadByte(block, length) != 0; ++length) {}
            var bytes = new byte[length];
            Marshal.Copy(block, bytes, 0, length);
            VxFreeA(block);
            var text = new StringBuilder(length);
            foreach (byte b in bytes) text.Append(b >= 0x80 && b < 0xA0 ? Cp1252High[b - 0x80] : (char)b);
            return text.ToString();
        }

        // text as NUL-terminated Windows-1252 bytes ('?' for a character it lacks).
        public static byte[] Cp1252(string text)
        {
            var bytes = new byte[text.Length + 1];
            for (int i = 0; i < text.Length; ++i)
            {
                char c = text[i];
                int high = Cp1252High.IndexOf(c);
                bytes[i] = c < 0x80 || (c >= 0xA0 && c <= 0xFF) ? (byte)c : high >= 0 ? (byte)(0x80 + high) : (byte)'?';
            }
            return bytes;
        }

        // Windows-1252's 0x80 .. 0x9F; the five bytes it leaves undefined pass
        // as U+0081 and so on, as Windows converts them.
        const string Cp1252High =
            "\u20AC\u0081\u201A\u0192\u201E\u2026\u2020\u2021\u02C6\u2030\u0160\u2039\u0152\u008D\u017D\u008F" +
            "\u0090\u2018\u2019\u201C\u201D\u2022\u2013\u2014\u02DC\u2122\u0161\u203A\u0153\u009D\u017E\u0178";

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
            return VxGetLastResponseA(out length, out text) == Ok ? TakeA(text, (int)length) : "";
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

// Calls every one of the 34 declarations against vxsim, so a wrong name,
// signature or record layout shows, and the Connection class on top. Run by
// the build's tests:
//   mono VxBridgeBindingTest.exe client PORT   (vxsim listen --keep --call 'Notify(scene)')
//   mono VxBridgeBindingTest.exe server PORT   (then vxsim connect with five calls)
using System;
using System.Linq;
using System.Net;
using System.Net.Sockets;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using VxBridge;

static class BindingTest
{
    static int failures;

    static void Check(bool ok, string what)
    {
        if (ok) return;
        Console.WriteLine("FAILED: " + what);
        ++failures;
    }

    static void Expect(object got, object wanted, string what)
    {
        Check(Equals(got, wanted), what + ": got [" + got + "], wanted [" + wanted + "]");
    }

    static bool WaitUntil(Func<bool> done)
    {
        for (int i = 0; i < 3000; ++i, Thread.Sleep(10))
            if (done()) return true;
        return false;
    }

    static int Main(string[] args)
    {
        Expect(Marshal.SizeOf(typeof(CallAnswer)), 72, "size of CallAnswer");
        Expect(Marshal.SizeOf(typeof(CallRecord)), 576, "size of CallRecord");
        uint port = uint.Parse(args[1]);
        if (args[0] == "server")
        {
            Server(port);
        }
        else
        {
            Client(port);
            Objects(port);
        }
        Console.WriteLine(failures == 0 ? "all checks passed" : failures + " checks failed");
        return failures == 0 ? 0 : 1;
    }

    static void Client(uint port)
    {
        uint version;
        Expect(Vx.VxGetLibVersion(out version), 0, "VxGetLibVersion");
        Expect(version, 0x01000000u, "library version");
        Expect(Vx.VxGetPtr(1234), 1234, "VxGetPtr");
        Expect(Vx.VxGetIUnknown(IntPtr.Zero), IntPtr.Zero, "VxGetIUnknown(null)");
        Expect(Vx.VxFreeA(IntPtr.Zero) + Vx.VxFreeW(IntPtr.Zero), 0, "VxFreeA/W(null)");
        Expect(Vx.VxLaunchAndConnect(1003, "127.0.0.1", port, null, null), Vx.UnknownProduct, "launch of product 1003");

        string seen = null;
        int ended = 0;
        CallHandler onCall = (string name, string arguments, ref CallAnswer answer) =>
        {
            Expect(answer.Code + "/" + answer.Text, "0/OK", "answer preset");
            seen = name + "(" + arguments + ")";
            answer.Code = 7;
            answer.Text = "seen";
        };
        Expect(Vx.Connect("127.0.0.1", port, onCall, () => Interlocked.Increment(ref ended)), 0, "VxConnectA");
        GC.Collect();  // the delegates are held by Vx.Connect
        int id;
        Expect(Vx.VxGetRemoteProductId(out id), 0, "VxGetRemoteProductId");
        Expect(id, 1001, "product id");
        IntPtr text;
        Expect(Vx.VxGetRemoteProductVersionA(out text), 0, "VxGetRemoteProductVersionA");
        Expect(Vx.TakeA(text), "3.1.0.0", "product version A");
        Expect(Vx.VxGetRemoteProductVersionW(out text), 0, "VxGetRemoteProductVersionW");
        Expect(Vx.TakeW(text), "3.1.0.0", "product version W");
        Expect(Vx.VxSetLanguageA("spa") + Vx.VxSetLanguageW("cat"), 0, "VxSetLanguageA/W");
        Expect(Vx.VxSendCmdA("Add", "2,40"), 0, "VxSendCmdA");
        Expect(Vx.LastResponse(), "42", "answer of Add");
        Expect(Vx.VxSendCmdW("Echo", "wide"), 0, "VxSendCmdW");
        uint length;
        Expect(Vx.VxGetLastResponseW(out length, out text), 0, "VxGetLastResponseW");
        Expect(length + " " + Vx.TakeW(text), "4 wide", "answer of Echo, wide");
        Expect(Vx.VxWaitFor() + Vx.VxCancelAll(), 0, "VxWaitFor, VxCancelAll");
        Expect(Vx.VxSendCmdA("Teleport", "1"), 26, "a refused command");
        byte[] buffer = new byte[64];
        int size = buffer.Length;
        Expect(Vx.VxLastVexaErrorMessageA(buffer, ref size), 0, "VxLastVexaErrorMessageA");
        Expect(Encoding.ASCII.GetString(buffer, 0, size), "Ordre desconeguda", "the viewer's message");
        Expect(Vx.Message(26, "eng"), "Unknown command", "VxGetErrorStringA, a viewer code");
        size = buffer.Length;
        Expect(Vx.VxGetErrorMessageA("eng", -19, buffer, ref size), 0, "VxGetErrorMessageA");
        Expect(Encoding.ASCII.GetString(buffer, 0, size), "No data", "message of -19");
        Check(WaitUntil(() => seen != null), "the viewer's call reached the handler");
        Expect(seen, "Notify(scene)", "the call");
        Expect(Vx.Disconnect(), 0, "VxDisconnect");
        Expect(ended, 1, "the broken handler ran once, before VxDisconnect returned");
        Expect(Vx.VxIsConnectionBroken(), (byte)1, "VxIsConnectionBroken");

        // Without a handler the call is kept for VxRecvCmd.
        Expect(Vx.VxConnectW("127.0.0.1", port, 0, null, null), 0, "VxConnectW");
        CallRecord record = new CallRecord();
        Check(WaitUntil(() => Vx.VxRecvCmd(out record) != 0), "VxRecvCmd took the call");
        Expect(record.Name.TrimEnd() + "(" + record.Args.TrimEnd() + ")", "Notify(scene)", "the record");
        Expect(Vx.VxAvailableBytes(), 0, "VxAvailableBytes in client mode");
        Expect(Vx.Disconnect(), 0, "second VxDisconnect");
    }

    // The Connection class: answers as results, failures as exceptions.
    static void Objects(uint port)
    {
        var codes = typeof(Vx).GetFields().Where(f => f.IsLiteral && f.FieldType == typeof(int))
                              .Select(f => (int)f.GetValue(null)).OrderByDescending(c => c);
        Expect(string.Join(",", codes), string.Join(",", Enumerable.Range(0, 21).Select(c => -c)),
               "the codes 0 .. -20");
        Throws<ArgumentOutOfRangeException>(() => Connection.Connect("127.0.0.1", 70000), "port 70000");
        Throws<ArgumentNullException>(() => Connection.Connect(null, port), "no host");
        Throws<ArgumentException>(() => Connection.Connect("127.0.0.1", port, null, null, "fra"), "language fra");
        var nobody = Throws<VxException>(() => Connection.Connect("0.0.0.0", 1), "nobody at 0.0.0.0:1");
        Expect(nobody.Code + " " + nobody.Message, "-5 connect to 0.0.0.0:1: Host not found (nothing accepted the " +
               "connection: is the viewer running and listening on port 1?)", "a failed connect");
        Expect(Throws<VxException>(() => Connection.Connect("no.such.host.invalid", port), "no such name").Message,
               "connect to no.such.host.invalid:" + port + ": Host not found (the name no.such.host.invalid does " +
               "not resolve to an address)", "a name that does not resolve");
        LostAndLate();
        using (var viewer = Connection.Connect("127.0.0.1", port))
        {
            Expect(viewer.ProductId + " " + viewer.ProductVersion, "1001 3.1.0.0", "Connection: who is there");
            Expect(viewer.Send("Add", "2,40"), "42", "Connection.Send");
            Expect(viewer.Send("Echo", "caf\u00e9 \u20ac \u0081"), "caf\u00e9 \u20ac \u0081", "Windows-1252 both ways");
            viewer.SetLanguage("spa");
            var refused = Throws<VxException>(() => viewer.Send("Teleport", "1"), "a refused command");
            Expect(refused.Code + " " + refused.Message + " / " + refused.Response,
                   "26 Comando desconocido / Comando desconocido", "its exception");
            Expect(Throws<VxException>(() => Connection.Connect("127.0.0.1", port, null, null, "spa"),
                                       "a second connection").Message,
                   "connect to 127.0.0.1:" + port + ": El socket ya est\u00e1 conectado", "its message");
        }
        Expect(Vx.VxIsConnectionBroken(), (byte)1, "disposed, the connection has ended");
    }

    // Against a viewer of our own: one that leaves, then one that never
    // answers. The kinds of the failures tell them apart.
    static void LostAndLate()
    {
        var viewer = new TcpListener(IPAddress.Loopback, 0);
        viewer.Start();
        uint port = (uint)((IPEndPoint)viewer.LocalEndpoint).Port;
        var ended = new ManualResetEvent(false);
        using (var host = Connection.Connect("127.0.0.1", port, null, () => ended.Set()))
        {
            viewer.AcceptSocket().Close();
            Check(ended.WaitOne(30000), "the broken handler ran");
            var lost = Throws<ConnectionLostException>(() => host.Send("Add", "1,1"), "after the viewer left");
            Expect(lost.Code + " " + lost.Message, "-3 Not connected: the connection was lost before this call " +
                   "(the viewer left or the link broke)", "the next command after the viewer left");
        }
        Environment.SetEnvironmentVariable("VXBRIDGE_COMMAND_TIMEOUT_MS", "200");
        using (var host = Connection.Connect("127.0.0.1", port))
        {
            Environment.SetEnvironmentVariable("VXBRIDGE_COMMAND_TIMEOUT_MS", null);
            using (var silent = viewer.AcceptSocket())
            {
                var late = Throws<CommandTimeoutException>(() => host.Send("Add", "1,1"), "no answer");
                Expect(late.Code + " " + late.Message, "-6 no answer within 200 ms (VXBRIDGE_COMMAND_TIMEOUT_MS): " +
                       "the library gave the command up and closed the connection", "a command time-out");
            }
        }
        viewer.Stop();
    }

    static T Throws<T>(Action action, string what) where T : Exception
    {
        try
        {
            action();
        }
        catch (T e)
        {
            return e;
        }
        Check(false, what + " throws " + typeof(T).Name);
        return null;
    }

    static void Server(uint port)
    {
        var server = Connection.Serve(port);  // VxConnectAsServer
        Console.WriteLine("listening");
        Check(WaitUntil(() => Vx.VxAccept() == 0), "VxAccept took the viewer");
        Check(WaitUntil(() => Vx.VxAvailableBytes() > 0), "VxAvailableBytes saw Hello");
        Expect(Encoding.ASCII.GetString(Vx.Petition()), "EXE Hello(1,2)\n", "VxReadRawPetition");
        Expect(Vx.VxSendRetStrA(0, "hi"), 0, "VxSendRetStrA");
        CallRecord record = new CallRecord();
        Check(WaitUntil(() => Vx.VxRecvCmd(out record) != 0), "VxRecvCmd took SYS FLUSH");
        Expect(record.Name + " " + record.Args, "SYS FLUSH", "the record, server mode");
        Expect(Encoding.ASCII.GetString(Vx.Petition()), "SYS FLUSH\n", "VxRecvCmd keeps the call as the petition");
        Expect(Vx.VxSendRetStrW(0, "wide"), 0, "VxSendRetStrW");
        Check(WaitUntil(() => Vx.VxAvailableBytes() > 0), "third call");
        Vx.Petition();
        Expect(Vx.VxSendRetCmd(5, new byte[] { 0, 1 }, 2), 0, "VxSendRetCmd");
        Check(WaitUntil(() => Vx.VxAvailableBytes() > 0), "fourth call");
        Vx.Petition();
        Expect(Vx.VxSendAck(), 0, "VxSendAck");
        Check(WaitUntil(() => Vx.VxAvailableBytes() > 0), "fifth call");
        Vx.Petition();
        byte[] frame = Encoding.ASCII.GetBytes("\x0A\0\0\0RET 0,2,OK");
        Expect(Vx.VxSendRaw(frame, (uint)frame.Length), 0, "VxSendRaw");
        Check(WaitUntil(() => Vx.VxAvailableBytes() < 0), "the viewer left");
        server.Dispose();  // VxDisconnect, and the port is closed
        Throws<SocketException>(() => new TcpClient().Connect("127.0.0.1", (int)port), "a connect once disposed");
    }
}

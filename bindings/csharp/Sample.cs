// A small host: connects to a viewer, asks who it is, sends commands, shows
// a refusal with the viewer's message and answers the viewer's calls.
//   mono VxBridgeSample.exe [PORT]
using System;
using System.Threading;
using VxBridge;

static class Sample
{
    static int Main(string[] args)
    {
        uint port = args.Length > 0 ? uint.Parse(args[0]) : 27800;
        int calls = 0;
        // Runs on the library's thread; whatever it leaves in answer goes back.
        CallHandler onCall = (string name, string arguments, ref CallAnswer answer) =>
        {
            Console.WriteLine("viewer calls " + name + "(" + arguments + ")");
            answer.Text = "seen " + name;
            Interlocked.Increment(ref calls);
        };
        BrokenHandler onBroken = () => Console.WriteLine("connection ended");

        int rc = Vx.Connect("127.0.0.1", port, onCall, onBroken);
        if (rc != Vx.Ok)
        {
            Console.Error.WriteLine("connect: " + Vx.Message(rc, "eng") + " (" + rc + ")");
            return 1;
        }
        int id;
        Vx.VxGetRemoteProductId(out id);
        IntPtr version;
        Vx.VxGetRemoteProductVersionA(out version);
        Console.WriteLine("product " + id + " version " + Vx.TakeA(version));

        rc = Vx.VxSendCmdA("Add", "2,40");
        Console.WriteLine("Add -> " + rc + " " + Vx.LastResponse());

        rc = Vx.VxSendCmdA("Teleport", "0,0,5");
        Console.WriteLine("Teleport -> " + rc + " " + Vx.Message(rc, "eng"));

        // Give the viewer's own call (if it makes one) a moment to arrive,
        // and its answer, which leaves just after the handler returns, a
        // moment to go: Disconnect closes the connection at once.
        for (int i = 0; i < 200 && Volatile.Read(ref calls) == 0; ++i) Thread.Sleep(10);
        if (Volatile.Read(ref calls) > 0) Thread.Sleep(100);
        Vx.Disconnect();
        return 0;
    }
}

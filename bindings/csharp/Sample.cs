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
        uint port = args.Length > 0 ? uint.Parse(args[0]) : Connection.DefaultPort;
        int calls = 0;
        // Runs on the library's thread; whatever it leaves in answer goes back.
        CallHandler onCall = (string name, string arguments, ref CallAnswer answer) =>
        {
            Console.WriteLine("viewer calls " + name + "(" + arguments + ")");
            answer.Text = "seen " + name;
            Interlocked.Increment(ref calls);
        };
        BrokenHandler onBroken = () => Console.WriteLine("connection ended");

        Connection viewer;
        try
        {
            viewer = Connection.Connect("127.0.0.1", port, onCall, onBroken);
        }
        catch (VxException e)
        {
            Console.Error.WriteLine("connect: " + e.Message + " (" + e.Code + ")");
            return 1;
        }
        using (viewer)
        {
            Console.WriteLine("product " + viewer.ProductId + " version " + viewer.ProductVersion);
            Console.WriteLine("Add -> " + viewer.Send("Add", "2,40"));
            try
            {
                viewer.Send("Teleport", "0,0,5");
            }
            catch (VxException e)
            {
                Console.WriteLine("Teleport -> " + e.Code + " " + e.Message);
            }

            // Give the viewer's own call (if it makes one) a moment to arrive;
            // the answer of a handler that has returned leaves before the
            // connection closes.
            for (int i = 0; i < 200 && Volatile.Read(ref calls) == 0; ++i) Thread.Sleep(10);
        }
        return 0;
    }
}

// The library's one connection as a C# object: Connect, Launch or Serve,
// then commands that return their answer and throw VxException on failure;
// Dispose disconnects (and, after Serve, stops listening).
//
//   using (var viewer = Connection.Connect("127.0.0.1", 27800))
//       Console.WriteLine(viewer.Send("Add", "2,40"));      // 42
//
// Threads: commands (Send, WaitFor, CancelAll, ProductId, ProductVersion,
// SetLanguage, the message of a viewer's code) may be sent from several
// threads at once; each gets its own answer, as the library pairs answers
// with commands by their order on the wire. The handlers run on the
// library's dispatcher thread, one at a time; they may send commands but
// must not connect, accept or dispose (the library refuses with -1).
using System;
using System.Diagnostics;
using System.Threading;

namespace VxBridge
{
    // A failed call: the library's code (-1 .. -20, the Vx constants) or the
    // viewer's (above 0), with its message; for a viewer's code also the
    // viewer's answer text.
    public class VxException : Exception
    {
        public int Code { get; }
        public string Response { get; }

        public VxException(int code, string message, string response = "") : base(message)
        {
            Code = code;
            Response = response;
        }

        public override string ToString()
        {
            return GetType().FullName + ": " + Message + " (code " + Code + ")" + Environment.NewLine + StackTrace;
        }
    }

    public sealed class Connection : IDisposable
    {
        public const uint DefaultPort = 27800;

        readonly bool server;
        bool disposed;

        // The language of the messages in VxException: "eng", "spa" or "cat".
        public string Language { get; private set; }

        Connection(bool server, string language)
        {
            this.server = server;
            Language = CheckLanguage(language);
        }

        // Connects to a viewer listening on host:port. Without onCall the
        // viewer's calls are answered 0 "OK" at once and kept for RecvCall.
        public static Connection Connect(string host = "127.0.0.1", uint port = DefaultPort,
                                         CallHandler onCall = null, BrokenHandler onBroken = null,
                                         string language = "eng")
        {
            var connection = new Connection(false, language);
            connection.Check(Open(() => Vx.Connect(CheckHost(host), CheckPort(port), onCall, onBroken)));
            return connection;
        }

        // Starts the installed viewer (Vx.ProductAmber, Vx.ProductCobalt)
        // unless it runs, and connects to it (up to six attempts a second apart).
        public static Connection Launch(uint productId = Vx.ProductAmber, string host = "127.0.0.1",
                                        uint port = DefaultPort, CallHandler onCall = null,
                                        BrokenHandler onBroken = null, string language = "eng")
        {
            var connection = new Connection(false, language);
            connection.Check(Open(() => Vx.LaunchAndConnect(productId, CheckHost(host), CheckPort(port), onCall,
                                                             onBroken)));
            return connection;
        }

        // Listens on port; Accept then takes the viewer. Listening ends
        // with Dispose.
        public static Connection Serve(uint port, string language = "eng")
        {
            var connection = new Connection(true, language);
            connection.Check(Open(() => Vx.VxConnectAsServer(CheckPort(port), 0)));
            return connection;
        }

        // Waits until a viewer connects; TimeoutException after timeoutMs
        // (Timeout.Infinite: no limit).
        public void Accept(int timeoutMs = Timeout.Infinite)
        {
            var clock = Stopwatch.StartNew();
            for (;;)
            {
                int rc = Vx.VxAccept();
                if (rc == Vx.Ok) return;
                if (rc != Vx.NotConnected) Check(rc);  // -3: nobody waiting yet
                if (timeoutMs != Timeout.Infinite && clock.ElapsedMilliseconds >= timeoutMs)
                    throw new TimeoutException("no viewer connected within " + timeoutMs + " ms");
                Thread.Sleep(20);
            }
        }

        // Disconnects (without waiting for the BrokenHandler, which runs on
        // the library's thread and may come just after); after
        // Serve the port is closed too, by a connect to no host, which is how
        // the library drops its listening socket.
        public void Dispose()
        {
            if (disposed) return;
            Check(Vx.Disconnect());
            disposed = true;
            if (server) Vx.VxConnectA("0.0.0.0", 0, 0, null, null);
        }

        // A one-shot flag, read and cleared: true the first time it is read
        // after a connection ended, then false until the next end.
        public bool IsBroken { get { return Vx.VxIsConnectionBroken() != 0; } }

        // ---- commands ----

        // Sends command(arguments), waits for the answer and returns its text.
        public string Send(string command, string arguments = "")
        {
            if (command == null) throw new ArgumentNullException("command");
            if (arguments == null) throw new ArgumentNullException("arguments");
            return Command(Vx.VxSendCmdA(Vx.Cp1252(command), Vx.Cp1252(arguments)));
        }

        // SYS FLUSH: waits until the viewer has done its pending work.
        public string WaitFor() { return Command(Vx.VxWaitFor()); }

        // SYS CANCELALL: drops the viewer's pending work.
        public string CancelAll() { return Command(Vx.VxCancelAll()); }

        // 1001 Amber, 1002 Cobalt (0 when the viewer does not say).
        public int ProductId
        {
            get
            {
                int id;
                Check(Vx.VxGetRemoteProductId(out id));
                return id;
            }
        }

        public string ProductVersion
        {
            get
            {
                IntPtr text;
                Check(Vx.VxGetRemoteProductVersionA(out text));
                return Vx.TakeA(text);
            }
        }

        // Sets the viewer's language and the language of the messages.
        public void SetLanguage(string code)
        {
            Command(Vx.VxSetLanguageA(CheckLanguage(code)));
            Language = code;
        }

        // The message of a code in this connection's language; a code above
        // 0 is asked of the viewer.
        public string Message(int code)
        {
            IntPtr text;
            int rc = Vx.VxGetErrorStringA(Language, code, out text);
            return rc == Vx.Ok ? Vx.TakeA(text) : "viewer code " + code;
        }

        // ---- the viewer's calls ----

        // The oldest call of the viewer not yet taken, or null. In server
        // mode answer it (Answer, Ack); Petition gives the next call raw.
        public Tuple<string, string> RecvCall()
        {
            CallRecord record;
            if (Vx.VxRecvCmd(out record) == 0) return null;
            if (server) Vx.Petition();  // taken, so that Petition shows the next call
            return Tuple.Create(record.Name.TrimEnd(), record.Args.TrimEnd());
        }

        // The next call of the viewer as it came (for instance
        // "EXE Hello(1,2)\n"), or null when none waits.
        public byte[] Petition()
        {
            int size = Vx.VxAvailableBytes();
            if (size < 0) Check(Vx.NotConnected);
            return size > 0 ? Vx.Petition() : null;
        }

        // Answers the viewer's current call with a code and any bytes.
        public void Answer(int code, byte[] data)
        {
            if (data == null) throw new ArgumentNullException("data");
            Check(Vx.VxSendRetCmd(code, data, data.Length));
        }

        public void Answer(int code, string text)
        {
            if (text == null) throw new ArgumentNullException("text");
            byte[] bytes = Vx.Cp1252(text);
            Check(Vx.VxSendRetCmd(code, bytes, bytes.Length - 1));
        }

        // Answers the viewer's current call with 0 "OK_ACK".
        public void Ack() { Check(Vx.VxSendAck()); }

        // ---- results ----

        // The first call into the library: when it cannot be loaded, say where
        // it was looked for.
        static int Open(Func<int> open)
        {
            try
            {
                return open();
            }
            catch (DllNotFoundException e)
            {
                throw new DllNotFoundException(Vx.LibraryFile + " was found neither beside " + Vx.AssemblyFolder +
                                               " nor by the system's search (on Linux LD_LIBRARY_PATH and " +
                                               "ldconfig's folders): put it beside the assembly", e);
            }
        }

        static string CheckHost(string host)
        {
            if (host == null) throw new ArgumentNullException("host");
            return host;
        }

        static uint CheckPort(uint port)
        {
            if (port > 65535) throw new ArgumentOutOfRangeException("port", port, "a port is 0 to 65535");
            return port;
        }

        static string CheckLanguage(string language)
        {
            if (language != "eng" && language != "spa" && language != "cat")
                throw new ArgumentException("the language is \"eng\", \"spa\" or \"cat\", not \"" + language + "\"",
                                            "language");
            return language;
        }

        void Check(int rc)
        {
            if (rc != Vx.Ok) throw new VxException(rc, Message(rc));
        }

        string Command(int rc)
        {
            // The answer first: asking the viewer for a message replaces it.
            string response = rc >= 0 ? Vx.LastResponse() : "";
            if (rc != Vx.Ok) throw new VxException(rc, Message(rc), response);
            return response;
        }
    }
}

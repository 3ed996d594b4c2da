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
using System.IO;
using System.Linq;
using System.Net;
using System.Net.Sockets;
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

    // The connection broke while a command waited (-6), or it had ended
    // before the call (-3: the viewer left, the host did not dispose it).
    // It is closed; reconnect to go on.
    public class ConnectionLostException : VxException
    {
        public ConnectionLostException(int code, string message) : base(code, message) {}
    }

    // No answer within VXBRIDGE_COMMAND_TIMEOUT_MS: the library gave the
    // command up with -6 and closed the connection.
    public class CommandTimeoutException : ConnectionLostException
    {
        public CommandTimeoutException(int code, string message) : base(code, message) {}
    }

    public sealed class Connection : IDisposable
    {
        public const uint DefaultPort = 27800;

        readonly bool server;
        bool disposed;
        volatile bool opened;  // connected or accepted, and not disposed since
        long commandTimeoutMs; // the command time-out the library took at the opening; 0: none

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
            connection.Opened(Open(() => Vx.Connect(CheckHost(host), CheckPort(port), onCall, onBroken)), host, port);
            return connection;
        }

        // Starts the installed viewer (Vx.ProductAmber, Vx.ProductCobalt)
        // unless it runs, and connects to it (up to six attempts a second apart).
        public static Connection Launch(uint productId = Vx.ProductAmber, string host = "127.0.0.1",
                                        uint port = DefaultPort, CallHandler onCall = null,
                                        BrokenHandler onBroken = null, string language = "eng")
        {
            var connection = new Connection(false, language);
            connection.Opened(Open(() => Vx.LaunchAndConnect(productId, CheckHost(host), CheckPort(port), onCall,
                                                              onBroken)), host, port);
            return connection;
        }

        // Listens on port; Accept then takes the viewer. Listening ends
        // with Dispose.
        public static Connection Serve(uint port, string language = "eng")
        {
            var connection = new Connection(true, language);
            int rc = Open(() => Vx.VxConnectAsServer(CheckPort(port), 0));
            if (rc != Vx.Ok) throw new VxException(rc, "listen on port " + port + ": " + connection.Message(rc));
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
                if (rc == Vx.Ok)
                {
                    commandTimeoutMs = CommandTimeoutMs();
                    opened = true;
                    return;
                }
                if (rc != Vx.NotConnected) Check(rc);  // -3: nobody waiting yet
                if (timeoutMs != Timeout.Infinite && clock.ElapsedMilliseconds >= timeoutMs)
                    throw new TimeoutException("no viewer connected within " + timeoutMs + " ms");
                Thread.Sleep(20);
            }
        }

        // Disconnects; on a connection that is up this returns once the
        // handlers are done (the BrokenHandler has run), so a handler must
        // never wait for the thread that disposes: it uses BeginInvoke, not
        // Invoke. After Serve the port is closed too, by a connect to no
        // host, which is how the library drops its listening socket.
        public void Dispose()
        {
            if (disposed) return;
            opened = false;
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
            return Command(() => Vx.VxSendCmdA(Vx.Cp1252(command), Vx.Cp1252(arguments)));
        }

        // SYS FLUSH: waits until the viewer has done its pending work.
        public string WaitFor() { return Command(Vx.VxWaitFor); }

        // SYS CANCELALL: drops the viewer's pending work.
        public string CancelAll() { return Command(Vx.VxCancelAll); }

        // 1001 Amber, 1002 Cobalt (0 when the viewer does not say).
        public int ProductId
        {
            get
            {
                int id = 0;
                Timed(() => Vx.VxGetRemoteProductId(out id));
                return id;
            }
        }

        public string ProductVersion
        {
            get
            {
                IntPtr text = IntPtr.Zero;
                Timed(() => Vx.VxGetRemoteProductVersionA(out text));
                return Vx.TakeA(text);
            }
        }

        // Sets the viewer's language and the language of the messages.
        public void SetLanguage(string code)
        {
            Command(() => Vx.VxSetLanguageA(CheckLanguage(code)));
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
                throw new DllNotFoundException(NotLoaded(e), e);
            }
        }

        // Why the library could not be loaded, as far as can be told.
        static string NotLoaded(DllNotFoundException e)
        {
            string beside = Path.Combine(Vx.AssemblyFolder, Vx.LibraryFile);
            string map = typeof(Vx).Assembly.Location + ".config";
            bool mono = Type.GetType("Mono.Runtime") != null;
            if (File.Exists(beside) && mono && Path.DirectorySeparatorChar == '/' && !File.Exists(map))
                return beside + " is there, but Mono loads it only through a map: copy VxBridge.Net.dll.config " +
                       "beside the assembly as " + Path.GetFileName(map) + " (bindings/README.md)";
            if (File.Exists(beside))
                return beside + " is there but could not be loaded (" + e.Message + "); a 32-bit library needs " +
                       "a 32-bit process and the other way round";
            return Vx.LibraryFile + " was found neither beside " + Vx.AssemblyFolder + " nor by the system's " +
                   "search (on Linux LD_LIBRARY_PATH and ldconfig's folders): put it beside the assembly";
        }

        // The command time-out a connection opened now gets, read as the
        // library reads VXBRIDGE_COMMAND_TIMEOUT_MS: up to 15 decimal digits,
        // 0 or anything else meaning none.
        static long CommandTimeoutMs()
        {
            string text = Environment.GetEnvironmentVariable("VXBRIDGE_COMMAND_TIMEOUT_MS") ?? "";
            if (text.Length == 0 || text.Length > 15 || !text.All(c => c >= '0' && c <= '9')) return 0;
            long ms = long.Parse(text);
            return ms < 0xFFFFFFFFL ? ms : 0;
        }

        // A connect or launch: named with host and port when it fails, and
        // for -5 with its likely cause.
        void Opened(int rc, string host, uint port)
        {
            if (rc == Vx.Ok)
            {
                commandTimeoutMs = CommandTimeoutMs();
                opened = true;
                return;
            }
            string message = "connect to " + host + ":" + port + ": " + Message(rc);
            if (rc == Vx.HostNotFound)
                message += Resolves(host)
                    ? " (nothing accepted the connection: is the viewer running and listening on port " + port + "?)"
                    : " (the name " + host + " does not resolve to an address)";
            throw new VxException(rc, message);
        }

        static bool Resolves(string host)
        {
            IPAddress address;
            if (IPAddress.TryParse(host, out address)) return address.AddressFamily == AddressFamily.InterNetwork;
            try
            {
                return Dns.GetHostAddresses(host).Any(a => a.AddressFamily == AddressFamily.InterNetwork);
            }
            catch (Exception e) when (e is SocketException || e is ArgumentException)
            {
                return false;
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
            if (rc != Vx.Ok) throw Failure(rc, "", TimeSpan.Zero);
        }

        // A call that waits for the viewer; -6 after the command time-out is
        // that time-out (only the time tells it from a lost connection).
        void Timed(Func<int> call)
        {
            var clock = Stopwatch.StartNew();
            int rc = call();
            if (rc != Vx.Ok) throw Failure(rc, "", clock.Elapsed);
        }

        string Command(Func<int> call)
        {
            var clock = Stopwatch.StartNew();
            int rc = call();
            // The answer first: asking the viewer for a message replaces it.
            string response = rc >= 0 ? Vx.LastResponse() : "";
            if (rc != Vx.Ok) throw Failure(rc, response, clock.Elapsed);
            return response;
        }

        VxException Failure(int rc, string response, TimeSpan waited)
        {
            if (rc == Vx.CommunicationBroken && commandTimeoutMs > 0 && waited.TotalMilliseconds >= commandTimeoutMs)
                return new CommandTimeoutException(rc, "no answer within " + commandTimeoutMs + " ms " +
                    "(VXBRIDGE_COMMAND_TIMEOUT_MS): the library gave the command up and closed the connection");
            if (rc == Vx.CommunicationBroken) return new ConnectionLostException(rc, Message(rc));
            // -3 on a connection the host has not disposed: it ended on its own.
            if (rc == Vx.NotConnected && opened)
                return new ConnectionLostException(rc, Message(rc) + ": the connection was lost before this call " +
                                                       "(the viewer left or the link broke)");
            return new VxException(rc, Message(rc), response);
        }
    }
}

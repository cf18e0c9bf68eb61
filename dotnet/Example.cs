// Example.cs - a short administration program over Mviahlp.cs: prints what the board holds.
//
//   csc /platform:x86 Example.cs Mviahlp.cs      (Windows; mviahlp.dll beside Example.exe)
//   Example.exe            the board's information, clock, watchdog, configuration and users
//   Example.exe --format   formats the board first, showing the library's progress messages
//
// Copyright (c) The mviahlp developers. MIT License.

using System;
using Mviahlp;

static class Example
{
    static int Main(string[] args)
    {
        bool format = args.Length == 1 && args[0] == "--format";
        if (args.Length > 0 && !format)
        {
            Console.Error.WriteLine("usage: Example [--format]");
            return 2;
        }
        try
        {
            using (Board board = Board.Open())
            {
                if (format)
                    board.Format(0x1234, delegate(string message) { Console.Write(message); });
                InfoRecord info = board.GetInfo();
                Console.WriteLine("board version 0x{0:X3}, {1} users, {2} devices, {3}", info.Version, info.UserCount,
                                  info.Devices, info.Formatted ? "formatted" : "not formatted");
                Console.WriteLine("data area {0} bytes, log {1} of {2} bytes used", info.DataAreaBytes,
                                  info.LogUsedBytes, info.LogAreaBytes);
                DateTime? clock = board.GetClock();
                Console.WriteLine("clock {0}, watchdog {1}", clock.HasValue ? clock.Value.ToString("yyyy-MM-dd HH:mm:ss") : "not set",
                                  board.GetWatchdog());
                ConfigRecord config = board.ReadConfig();
                Console.WriteLine(config == null ? "no configuration record" : "configuration word 0x" + config.Word9.ToString("X4"));
                if (!info.Formatted)
                    return 0;
                for (int user = 1; user <= info.UserCount; user++)
                {
                    UserRecord record = board.ReadUser(user);
                    // A user never written (or deleted) has a logon key of erased memory.
                    if (Array.TrueForAll(record.Data28, b => b == 0xFF) && Array.TrueForAll(record.Data32, b => b == 0xFF))
                        continue;
                    Console.WriteLine("user {0}: {1} (devices 0x{2:X2})", user, record.Name, record.AccessWord & 0xFF);
                }
            }
            return 0;
        }
        catch (MviahlpException error)
        {
            Console.Error.WriteLine("Example: " + error.Message);
            return 1;
        }
        catch (DllNotFoundException error)
        {
            Console.Error.WriteLine("Example: " + error.Message);
            return 1;
        }
    }
}

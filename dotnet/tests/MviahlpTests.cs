// Tests of Mviahlp.cs against the library and the virtual board, run under Mono:
//
//   mono MviahlpTests.exe <include/mviahlp.h> <src/exports/mviahlp.def>
//
// The library keeps one process-wide state, so the tests run in order in one process; the
// first one needs a library that was never bound. Each later test makes its own board.

using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.RegularExpressions;

namespace Mviahlp.Tests
{
    sealed class TestFailure : Exception
    {
        public TestFailure(string message) : base(message) { }
    }

    static class Program
    {
        // 7 users, 20 data pages, 4 log pages of 256 bytes: users in pages 8-14, data area 2 in
        // pages 15-34, the log in pages 35-38.
        const int Users = 7, DataPages = 20, LogPages = 4;
        const int DataFirstPage = Users + 8, LogFirstPage = DataFirstPage + DataPages;
        const int CheckWord = 0x1234;

        static string headerPath, definitionPath;

        static int Main(string[] args)
        {
            if (args.Length != 2)
            {
                Console.Error.WriteLine("usage: MviahlpTests <mviahlp.h> <mviahlp.def>");
                return 2;
            }
            headerPath = args[0];
            definitionPath = args[1];
            var tests = new List<KeyValuePair<string, Action>>
            {
                // Must run first: nothing has bound the library yet.
                Test("calls before binding set BindError and throw without reaching the board", BeforeBinding),
                Test("declarations match the public header and the module definition file", DeclarationsMatchTheHeader),
                Test("every declaration is called through a real session", EveryDeclarationThroughARealSession),
                Test("information record decodes every field", InformationRecord),
                Test("information record reports large sizes in the 32-bit fields", InformationRecordLargeSizes),
                Test("user record is stored byte by byte where the board keeps it", UserRecordLayout),
                Test("user record never written reads as erased", UserRecordErased),
                Test("configuration record is stored as the board's record", ConfigurationRecordLayout),
                Test("hardware step is stored with its tag", HardwareStep),
                Test("clock is set and read as local time", Clock),
                Test("data areas reach the board at the flush, in pieces when long", DataAreas),
                Test("a data request that fails part-way carries its count and bytes", DataRequestFailsPartWay),
                Test("log records are appended and the log cleared", Log),
                Test("logon, current user, password and logout", Logon),
                Test("watchdog, IA result and user identifier reach the board", WatchdogIaResultAndXid),
                Test("progress delegate survives garbage collection during formatting", ProgressSurvivesCollection),
                Test("an exception in the progress procedure waits until formatting has finished", ProgressException),
                Test("a progress procedure that calls the library is stopped", ProgressCallsTheLibrary),
                Test("a failed formatting stage throws with the board's status", FormattingFails),
                Test("a transport failure is reported as such", TransportFailure),
                Test("error codes have klia's words", ErrorWords),
                Test("bad input throws before any board command", BadInput),
                Test("a closed board refuses calls", ClosedBoard),
                Test("a flush refused at Dispose throws and keeps the page for the next flush", DisposeFlushRefused),
            };
            int failed = 0;
            foreach (var test in tests)
            {
                try
                {
                    test.Value();
                    Console.WriteLine("ok   " + test.Key);
                }
                catch (Exception error)
                {
                    failed++;
                    Console.WriteLine("FAIL " + test.Key + "\n     " + error.ToString().Replace("\n", "\n     "));
                }
            }
            Console.WriteLine(failed == 0 ? "all " + tests.Count + " passed" : failed + " of " + tests.Count + " failed");
            return failed == 0 ? 0 : 1;
        }

        static KeyValuePair<string, Action> Test(string name, Action body)
        {
            return new KeyValuePair<string, Action>(name, body);
        }

        // ---- checks ---------------------------------------------------------------------------

        static void Equal<T>(T expected, T actual, string what)
        {
            if (!EqualityComparer<T>.Default.Equals(expected, actual))
                throw new TestFailure(what + ": expected " + expected + ", got " + actual);
        }

        static void True(bool condition, string what)
        {
            if (!condition)
                throw new TestFailure(what);
        }

        static void SameBytes(byte[] expected, byte[] actual, string what)
        {
            if (expected.Length != actual.Length)
                throw new TestFailure(what + ": expected " + expected.Length + " bytes, got " + actual.Length);
            for (int i = 0; i < expected.Length; i++)
                if (expected[i] != actual[i])
                    throw new TestFailure(string.Format("{0}: byte {1} is 0x{2:X2}, expected 0x{3:X2}\n expected {4}\n actual   {5}",
                                                        what, i, actual[i], expected[i], Hex(expected), Hex(actual)));
        }

        static string Hex(byte[] bytes)
        {
            return BitConverter.ToString(bytes).Replace("-", " ");
        }

        static byte[] H(string hex)
        {
            string[] parts = hex.Split(new[] { ' ' }, StringSplitOptions.RemoveEmptyEntries);
            return parts.Select(part => Convert.ToByte(part, 16)).ToArray();
        }

        static byte[] Ascii(string text)
        {
            return Encoding.ASCII.GetBytes(text);
        }

        static T Throws<T>(Action action, string what) where T : Exception
        {
            try
            {
                action();
            }
            catch (T error)
            {
                return error;
            }
            catch (Exception error)
            {
                throw new TestFailure(what + ": expected " + typeof(T).Name + ", got " + error.GetType().Name + ": " + error.Message);
            }
            throw new TestFailure(what + ": expected " + typeof(T).Name + ", nothing was thrown");
        }

        static byte[] Commands()
        {
            return VBoard.Trace().Select(entry => entry.Command).ToArray();
        }

        // ---- boards -----------------------------------------------------------------------------

        /// <summary>A bound board that was never formatted; the trace starts empty.</summary>
        static Board FreshBoard()
        {
            VBoard.Create(Users, DataPages, LogPages);
            Board board = Board.Open();
            VBoard.VBoardTraceClear();
            return board;
        }

        /// <summary>A bound, formatted board; the trace starts empty.</summary>
        static Board FormattedBoard()
        {
            Board board = FreshBoard();
            board.Format(CheckWord, null);
            VBoard.VBoardTraceClear();
            return board;
        }

        static UserRecord User(string name, string key, string password)
        {
            var record = new UserRecord();
            record.Name = name;
            record.SetLogon(Ascii(key), Ascii(password));
            return record;
        }

        // ---- binding ------------------------------------------------------------------------------

        static void BeforeBinding()
        {
            VBoard.Create(Users, DataPages, LogPages);
            VBoard.VBoardTraceClear();
            byte[] info = new byte[NativeMethods.InfoRecordSize];
            Equal(false, NativeMethods.KLIAGetInfo(info), "KLIAGetInfo before binding");
            ErrorState state = Board.GetErrorState();
            Equal((ushort)NativeMethods.ErrNotBound, state.BindError, "BindError");
            Equal("not bound: a function was called before the library was bound", state.BindErrorMeaning, "its words");
            var board = new Board();
            Throws<InvalidOperationException>(() => board.GetInfo(), "a board object not bound");
            Equal(0, Commands().Length, "board commands");
            board.Bind();
            True(board.IsBound, "bound after Bind");
            board.Dispose();
        }

        static void ClosedBoard()
        {
            Board board = FreshBoard();
            board.Dispose();
            board.Dispose();
            Throws<ObjectDisposedException>(() => board.GetInfo(), "GetInfo after Dispose");
            Throws<ObjectDisposedException>(() => board.Bind(), "Bind after Dispose");
            Equal(0, Commands().Length, "board commands");
        }

        static void DisposeFlushRefused()
        {
            Board board = FormattedBoard();
            board.Write(NativeMethods.AreaData, 10, Ascii("kept"));
            VBoard.AddFault(1, VBoard.WriteMemory, 3, false);
            MviahlpException error = Throws<MviahlpException>(() => board.Dispose(), "Dispose");
            Equal(NativeMethods.ErrPageFailed, error.LastError, "LastError");
            Throws<ObjectDisposedException>(() => board.Flush(), "closed all the same");
            using (Board again = Board.Open())
                again.Flush();
            SameBytes(Ascii("kept"), VBoard.Peek(DataFirstPage, 10, 4), "written by the next flush");
        }

        // ---- declarations -----------------------------------------------------------------------

        // The C types of the header and the declarations that pass them.
        static readonly Dictionary<string, string> ArgumentTypes = new Dictionary<string, string>
        {
            { "uint8_t", "Byte" }, { "uint16_t", "UInt16" }, { "int32_t", "Int32" },
            { "const void *", "Byte[] in" }, { "void *", "Byte[] out" },
            { "uint8_t *", "Byte& out" }, { "uint16_t *", "UInt16& out" },
            { "KLIA_PROGRESS_PROC", "ProgressProc" },
        };

        static string Describe(ParameterInfo parameter)
        {
            string text = parameter.ParameterType.Name;
            if (parameter.ParameterType.IsArray || parameter.ParameterType.IsByRef)
                text += parameter.IsOut ? " out" : parameter.IsIn ? " in" : " (no direction)";
            return text;
        }

        static void DeclarationsMatchTheHeader()
        {
            // The export names of the module definition file, by ordinal.
            var ordinals = new SortedDictionary<int, string>();
            foreach (Match match in Regex.Matches(File.ReadAllText(definitionPath), @"^\s+(\w+)@\d+\s+@(\d+)\s*$", RegexOptions.Multiline))
                ordinals.Add(int.Parse(match.Groups[2].Value), match.Groups[1].Value);
            Equal(27, ordinals.Count, "exports in " + definitionPath);

            // The prototypes of the header.
            string header = Regex.Replace(File.ReadAllText(headerPath), @"\s+", " ");
            var prototypes = new Dictionary<string, KeyValuePair<string, string[]>>();
            foreach (Match match in Regex.Matches(header, @"KLIA_EXPORT (\w+) KLIA_CALL (\w+)\(([^)]*)\);"))
            {
                string[] arguments = match.Groups[3].Value == "void" ? new string[0]
                    : match.Groups[3].Value.Split(',').Select(a => Regex.Replace(a.Trim(), @"\w+$", "").Trim()).ToArray();
                prototypes.Add(match.Groups[2].Value, new KeyValuePair<string, string[]>(match.Groups[1].Value, arguments));
            }

            MethodInfo[] methods = typeof(NativeMethods).GetMethods(BindingFlags.Public | BindingFlags.Static)
                .Where(m => (m.Attributes & MethodAttributes.PinvokeImpl) != 0).ToArray();
            Equal(string.Join(" ", ordinals.Values.OrderBy(n => n, StringComparer.Ordinal)),
                  string.Join(" ", methods.Select(m => m.Name).OrderBy(n => n, StringComparer.Ordinal)),
                  "declared functions");
            foreach (MethodInfo method in methods)
            {
                var import = (DllImportAttribute)method.GetCustomAttributes(typeof(DllImportAttribute), false).Single();
                Equal("mviahlp", import.Value, method.Name + ": library");
                Equal(method.Name, import.EntryPoint, method.Name + ": entry point");
                Equal(CallingConvention.StdCall, import.CallingConvention, method.Name + ": calling convention");
                KeyValuePair<string, string[]> prototype;
                True(prototypes.TryGetValue(method.Name, out prototype), method.Name + " is not in the header");
                string expected = string.Join(", ", prototype.Value.Select(a => ArgumentTypes[a]));
                string actual = string.Join(", ", method.GetParameters().Select(p => Describe(p)));
                Equal(expected, actual, method.Name + ": arguments");
                switch (prototype.Key)
                {
                    case "KLIA_BOOL":
                        Equal(typeof(bool), method.ReturnType, method.Name + ": result");
                        var marshal = (MarshalAsAttribute)method.ReturnParameter.GetCustomAttributes(typeof(MarshalAsAttribute), false).Single();
                        Equal(UnmanagedType.U1, marshal.Value, method.Name + ": the result's low byte only");
                        break;
                    case "int32_t":
                        Equal(typeof(int), method.ReturnType, method.Name + ": result");
                        break;
                    default:
                        Equal("void", prototype.Key, method.Name + ": result in the header");
                        Equal(typeof(void), method.ReturnType, method.Name + ": result");
                        break;
                }
            }
            var procedure = typeof(NativeMethods.ProgressProc);
            var convention = (UnmanagedFunctionPointerAttribute)procedure.GetCustomAttributes(typeof(UnmanagedFunctionPointerAttribute), false).Single();
            Equal(CallingConvention.StdCall, convention.CallingConvention, "progress procedure: calling convention");
            Equal("IntPtr", string.Join(", ", procedure.GetMethod("Invoke").GetParameters().Select(p => p.ParameterType.Name)),
                  "progress procedure: arguments");

            // The record sizes the header states.
            foreach (var size in new[] { Tuple.Create("KLIA_INFO_RECORD_SIZE", NativeMethods.InfoRecordSize),
                                         Tuple.Create("KLIA_USER_RECORD_SIZE", NativeMethods.UserRecordSize),
                                         Tuple.Create("KLIA_CONFIG_RECORD_SIZE", NativeMethods.ConfigRecordSize),
                                         Tuple.Create("KLIA_DATETIME_RECORD_SIZE", NativeMethods.DateTimeRecordSize),
                                         Tuple.Create("KLIA_USER_STRING_MAX", NativeMethods.UserStringMax),
                                         Tuple.Create("KLIA_ERR_NOT_BOUND", (int)NativeMethods.ErrNotBound),
                                         Tuple.Create("KLIA_ERR_LOGON_UNKNOWN", (int)NativeMethods.ErrLogonUnknown),
                                         Tuple.Create("KLIA_ERR_LOGON_REFUSED", (int)NativeMethods.ErrLogonRefused),
                                         Tuple.Create("KLIA_ERR_OUT_OF_RANGE", (int)NativeMethods.ErrOutOfRange),
                                         Tuple.Create("KLIA_ERR_PAGE_FAILED", (int)NativeMethods.ErrPageFailed),
                                         Tuple.Create("KLIA_ERR_WRITE_FAILED", (int)NativeMethods.ErrWriteFailed),
                                         Tuple.Create("KLIA_ERR_LOGON_BLOCKED", (int)NativeMethods.ErrLogonBlocked),
                                         Tuple.Create("KLIA_STATUS_TRANSPORT_FAILED", (int)NativeMethods.StatusTransportFailed),
                                         Tuple.Create("KLIA_APPEND_OFFSET", (int)NativeMethods.AppendOffset) })
            {
                Match match = Regex.Match(header, "#define " + size.Item1 + @" (0x[0-9A-Fa-f]+|\d+)");
                True(match.Success, size.Item1 + " is not in the header");
                string text = match.Groups[1].Value;
                int value = text.StartsWith("0x") ? Convert.ToInt32(text.Substring(2), 16) : int.Parse(text);
                Equal(value, size.Item2, size.Item1);
            }
        }

        // Every export, straight through NativeMethods, in one session with the board.
        static void EveryDeclarationThroughARealSession()
        {
            VBoard.Create(Users, DataPages, LogPages);
            Equal(true, NativeMethods.KLIADriverPresent(), "KLIADriverPresent");
            DateTime before = DateTime.Today;
            int today = NativeMethods.Today();
            True(today >= 146097 && today <= 182621, "Today is a day number of 2000-2099: " + today);
            DateTime date = Board.Today();
            True(date == before || date == DateTime.Today, "Board.Today is the host's date: " + date);
            Equal(today, (date - new DateTime(2000, 1, 1)).Days + 146097, "day number of Today");

            byte[] info = new byte[NativeMethods.InfoRecordSize];
            Equal(true, NativeMethods.KLIAGetInfo(info), "KLIAGetInfo");
            Equal(Users, info[26] | info[27] << 8, "user count");

            var messages = new List<string>();
            NativeMethods.ProgressProc progress = message =>
            {
                byte[] text = new byte[Marshal.ReadByte(message)];
                Marshal.Copy(new IntPtr(message.ToInt64() + 1), text, 0, text.Length);
                messages.Add(CodePage866.Decode(text, 0, text.Length));
            };
            Equal(true, NativeMethods.KLIAFormatDatabase(0xBEEF, progress), "KLIAFormatDatabase");
            GC.KeepAlive(progress);
            True(messages.Count > 0, "progress messages");
            Equal(true, NativeMethods.KLIAGetInfo(info), "KLIAGetInfo after formatting");
            Equal(0xBEEF, info[21] | info[22] << 8, "check word");

            byte[] user = User("ops", "KLIA-001", "secret-1").Encode();
            Equal(true, NativeMethods.KLIAWriteUserData(2, user), "KLIAWriteUserData");
            byte[] back = new byte[NativeMethods.UserRecordSize];
            Equal(true, NativeMethods.KLIAReadUserData(2, back), "KLIAReadUserData");
            SameBytes(user, back, "user record read back");
            Equal(true, NativeMethods.KLIALogin(Ascii("KLIA-001"), Ascii("secret-1"), 0xA5), "KLIALogin");
            ushort current;
            byte flag;
            Equal(true, NativeMethods.KLIAGetCurrentUser(out current, out flag), "KLIAGetCurrentUser");
            Equal((ushort)2, current, "current user");
            Equal(true, NativeMethods.KLIAChangeUserPassword(0, Ascii("secret-1secret-2")), "KLIAChangeUserPassword");
            SameBytes(Ascii("secret-2"), VBoard.Peek(2 + 7, 8, 8), "new password on the board");
            NativeMethods.KLIALogout();
            Equal(true, NativeMethods.KLIAGetCurrentUser(out current, out flag), "KLIAGetCurrentUser after logout");
            Equal((ushort)0, current, "nobody after logout");

            Equal(true, NativeMethods.KLIASetIaResult(4, user), "KLIASetIaResult");
            byte[] xid = new byte[4];
            Equal(true, NativeMethods.KLIAMakeUserXID(0, null, xid), "KLIAMakeUserXID");
            SameBytes(H("C5 9D 1C 81"), xid, "identifier of no data (FNV-1a offset basis)");

            byte[] when = new byte[8];
            Equal(true, NativeMethods.KLIAGetRTCDateTime(when), "KLIAGetRTCDateTime");
            Equal(true, NativeMethods.KLIASetRTCDateTime(when), "KLIASetRTCDateTime");
            // 16-bit arguments keep all 16 bits.
            Equal(true, NativeMethods.KLIASetWDTimeout(0xBEEF), "KLIASetWDTimeout");
            Equal((ushort)0xBEEF, VBoard.VBoardGetWatchdog(), "watchdog on the board");
            ushort timeout;
            Equal(true, NativeMethods.KLIAGetWDTimeout(out timeout), "KLIAGetWDTimeout");
            Equal((ushort)0xBEEF, timeout, "watchdog read");

            byte[] config = H("12 01 1E FF 07 01 00 01 00 34 12 01 02 99");
            Equal(true, NativeMethods.KLIAWriteConfigData(config), "KLIAWriteConfigData");
            byte[] configBack = new byte[NativeMethods.ConfigRecordSize];
            Equal(true, NativeMethods.KLIAReadConfigData(configBack), "KLIAReadConfigData");
            SameBytes(H("12 01 1E 14 07 01 00 01 00 34 12 01 02 99"), configBack, "configuration read back");
            Equal(true, NativeMethods.KLIAWriteHwStep(0xAB), "KLIAWriteHwStep");
            byte step;
            Equal(true, NativeMethods.KLIAReadHwStep(out step), "KLIAReadHwStep");
            Equal((byte)0xAB, step, "hardware step");

            // The 16-bit offset form: 0x1200 lies in page 18 of area 2 (beyond 8 bits).
            ushort done;
            Equal(true, NativeMethods.KLIAWriteData(2, Ascii("sixteen"), 0x1200, 7, out done), "KLIAWriteData");
            Equal((ushort)7, done, "bytes written");
            NativeMethods.KLIAFlush();
            SameBytes(Ascii("sixteen"), VBoard.Peek(DataFirstPage + 0x12, 0, 7), "stored by KLIAFlush");
            byte[] read = new byte[7];
            Equal(true, NativeMethods.KLIAReadData(2, read, 0x1200, 7, out done), "KLIAReadData");
            SameBytes(Ascii("sixteen"), read, "KLIAReadData");
            Equal(true, NativeMethods.KLIAWriteDataEx(2, Ascii("ex"), 5000, 2, out done), "KLIAWriteDataEx");
            Equal(true, NativeMethods.KLIAReadDataEx(2, read, 5000, 2, out done), "KLIAReadDataEx");
            Equal((ushort)2, done, "bytes read");
            SameBytes(Ascii("ex"), read.Take(2).ToArray(), "KLIAReadDataEx");
            Equal(true, NativeMethods.KLIAWriteData(3, Ascii("door"), NativeMethods.AppendOffset, 4, out done), "append");
            SameBytes(Ascii("door"), VBoard.Peek(LogFirstPage, 0, 4), "log record");
            Equal(true, NativeMethods.KLIAClearLog(), "KLIAClearLog");
            SameBytes(H("FF FF FF FF"), VBoard.Peek(LogFirstPage, 0, 4), "log cleared");

            ushort bindError, lastError, deviceStatus;
            NativeMethods.KLIAGetErrorState(out bindError, out lastError, out deviceStatus);
            Equal((ushort)0, lastError, "LastError after the session");
        }

        // ---- records --------------------------------------------------------------------------

        static void InformationRecord()
        {
            VBoardGeometry geometry;
            VBoard.VBoardMakeGeometry(Users, DataPages, LogPages, 256, out geometry);
            geometry.ExtInfo = 0x5A3C;
            geometry.DeviceCount = 3;
            VBoard.VBoardCreate(ref geometry);
            using (Board board = Board.Open())
            {
                InfoRecord info = board.GetInfo();
                True(info.SignatureOk, "signature");
                SameBytes(H("0A 80 AA AA AE E0 A4 2D 41 56 52"), info.Signature, "signature bytes");
                Equal(0, info.CheckWord, "check word");
                Equal(1, info.StateClass, "state class");
                Equal(false, info.Formatted, "formatted");
                Equal(Users, info.UserCount, "users");
                Equal(0xFF, info.Byte30, "byte 30");
                Equal(3, info.Devices, "devices");
                Equal(DataPages * 256, info.DataAreaSize, "data area size");
                Equal(0u, info.DataAreaSizeEx, "data area size (32-bit field)");
                Equal(128, info.Word34, "word 34");
                Equal(LogPages * 256, info.LogAreaSize, "log area size");
                Equal(LogPages * 256, info.LogUsed, "log used without a position");
                Equal(0x3C, info.ExtLow, "extension word, low byte");
                Equal(0x5A, info.ExtHigh, "extension word, bits 8-15");
                Equal(0x123, info.Version, "version");
                board.Format(0xBEEF, null);
                VBoard.VBoardSetLogon(5, 1);
                info = board.GetInfo();
                Equal(0xBEEF, info.CheckWord, "check word after formatting");
                Equal(true, info.Formatted, "formatted");
                Equal(4, info.StateClass, "a user logged on");
                Equal(5, info.CurrentUser, "current user");
                Equal(true, info.CurrentUserFlag, "current user's flag");
                Equal(0u, info.LogUsedBytes, "log used");
                CurrentUser current = board.GetCurrentUser();
                Equal(5, current.Number, "GetCurrentUser");
                Equal(true, current.Flag, "GetCurrentUser flag");
            }
        }

        static void InformationRecordLargeSizes()
        {
            VBoard.Create(2, 300, 1);
            using (Board board = Board.Open())
            {
                InfoRecord info = board.GetInfo();
                Equal(0, info.DataAreaSize, "16-bit field");
                Equal(76800u, info.DataAreaSizeEx, "32-bit field");
                Equal(76800u, info.DataAreaBytes, "size");
            }
        }

        static UserRecord EveryFieldSet()
        {
            var record = new UserRecord();
            record.Name = "\u0418\u0432\u0430\u043d\u043e\u0432";
            record.Name2 = "Admin-12345X";
            record.Flag26 = true;
            record.Flag113 = true;
            record.Flag114 = true;
            record.Nibble115 = 9;
            record.Data28 = Ascii("KLIA");
            record.Data32 = Ascii("-001");
            record.Data36 = Ascii("secr");
            record.Data40 = Ascii("et-1");
            record.Data44 = Enumerable.Range(0x40, 64).Select(i => (byte)i).ToArray();
            record.Data108 = H("10 11 12 13");
            record.Data112 = 0x14;
            record.Data116 = 0x16;
            record.Data117 = 0x17;
            record.Data118 = 0x18;
            record.Data119 = Enumerable.Range(0x90, 42).Select(i => (byte)i).ToArray();
            record.Data161 = H("61 62 63 64");
            record.Data165 = H("65 66");
            record.Data167 = 0x67;
            record.Data168 = H("68 69 6A 6B");
            record.AccessWord = 0x8005;
            record.Data174 = 0x74;
            record.Data175 = 0x75;
            record.Flags177 = new[] { true, false, true, false, false, false, false, true };
            record.Data185 = H("85 86 87 88");
            return record;
        }

        static void UserRecordLayout()
        {
            UserRecord record = EveryFieldSet();
            // The caller's record, at the header's offsets.
            byte[] caller = Enumerable.Repeat((byte)0, 189).ToArray();
            H("06 88 A2 A0 AD AE A2").CopyTo(caller, 0); // code page 866
            Ascii("\x0c" + "Admin-12345X").CopyTo(caller, 13);
            caller[26] = 1;
            Ascii("KLIA-001secret-1").CopyTo(caller, 28);
            record.Data44.CopyTo(caller, 44);
            H("10 11 12 13 14 01 01 09 16 17 18").CopyTo(caller, 108);
            record.Data119.CopyTo(caller, 119);
            H("61 62 63 64 65 66 67 68 69 6A 6B 05 80 74 75 00 01 00 01 00 00 00 00 01 85 86 87 88").CopyTo(caller, 161);
            SameBytes(caller, record.Encode(), "the caller's record");

            // The record the board keeps, 256 bytes in page n + 7.
            byte[] stored = Enumerable.Repeat((byte)0xFF, 256).ToArray();
            Ascii("KLIA-001secret-1").CopyTo(stored, 0);
            H("10 11 12 13 14").CopyTo(stored, 16);
            stored[24] = 0x03; // flags at 26 (bit 0) and 113 (bit 1)
            H("06 88 A2 A0 AD AE A2").CopyTo(stored, 25);
            record.Data44.CopyTo(stored, 38);
            H("16 17 18").CopyTo(stored, 102);
            record.Data119.CopyTo(stored, 105);
            H("61 62 63 64 65 66 67 68 69 6A 6B 05 85 74 75").CopyTo(stored, 147);
            stored[163] = 0x80;
            Ascii("\x0c" + "Admin-12345X").CopyTo(stored, 164);
            stored[177] = 0x76; // nibble 9 complemented, bits 4-6 set, bit 7 clear: flag 114 set
            H("85 86 87 88").CopyTo(stored, 178);

            using (Board board = FormattedBoard())
            {
                board.WriteUser(3, record);
                SameBytes(stored, VBoard.Peek(3 + 7, 0, 256), "the board's record of user 3");
                UserRecord back = board.ReadUser(3);
                SameBytes(caller, back.Encode(), "user 3 read back");
                Equal("\u0418\u0432\u0430\u043d\u043e\u0432", back.Name, "name");
                Equal("Admin-12345X", back.Name2, "second name");
                Equal(9, back.Nibble115, "nibble");
            }
        }

        static void UserRecordErased()
        {
            using (Board board = FormattedBoard())
            {
                UserRecord record = board.ReadUser(2);
                True(record.Data44.All(b => b == 0xFF), "DATA bytes of an erased record");
                Equal(false, record.Flag114, "flag 114");
                Equal(0, record.Nibble115, "nibble");
                MviahlpException error = Throws<MviahlpException>(() => board.ReadUser(Users + 1), "user after the last");
                Equal(NativeMethods.ErrOutOfRange, error.LastError, "LastError");
                Equal("out of range: no such user number, or the request lies outside its area", error.LastErrorMeaning,
                      "its words");
                True(error.Message.StartsWith("KLIAReadUserData(8) failed: LastError 7506 (out of range"), error.Message);
            }
        }

        static void ConfigurationRecordLayout()
        {
            var config = new ConfigRecord();
            config.Byte0 = 0x12;
            config.Flag1 = true;
            config.Byte2 = 0x1E;
            config.Byte3 = 0xFF;
            config.Byte4 = 0x07;
            config.Flag5 = true;
            config.Flag7 = true;
            config.Word9 = 0x1234;
            config.Flag11 = true;
            config.Byte12 = 0x02;
            config.Byte13 = 0x99;
            SameBytes(H("12 01 1E FF 07 01 00 01 00 34 12 01 02 99"), config.Encode(), "the caller's record");
            using (Board board = FreshBoard())
            {
                Equal(null, board.ReadConfig(), "no record stored");
                board.WriteConfig(config);
                SameBytes(H("ED 03 1E FF 07 F5 34 12 C0 02 99 1C"), VBoard.Peek(1, 0, 12), "the board's record");
                SameBytes(H("12 01 1E 14 07 01 00 01 00 34 12 01 02 99"), board.ReadConfig().Encode(), "read back");
                board.Read(NativeMethods.AreaData, 0, 1); // the record's page leaves the cache
                VBoard.AddFault(0, VBoard.ReadMemory, 3, false);
                MviahlpException error = Throws<MviahlpException>(() => board.ReadConfig(), "a refused read");
                Equal(NativeMethods.ErrPageFailed, error.LastError, "LastError");
                Equal((ushort)3, error.DeviceStatus, "DeviceStatus");
                Equal("board status 3 (0x03), the board's own code", error.DeviceStatusMeaning, "its words");
            }
        }

        static void HardwareStep()
        {
            using (Board board = FreshBoard())
            {
                Equal(null, board.ReadHwStep(), "no step stored");
                board.WriteHwStep(7);
                Equal(7, board.ReadHwStep(), "step read back");
                SameBytes(Ascii("WH\x07"), VBoard.Peek(0, 8, 3), "the board's record");
            }
        }

        static void Clock()
        {
            using (Board board = FormattedBoard())
            {
                board.SetClock(new DateTime(2024, 2, 29, 13, 45, 6, DateTimeKind.Local));
                VBoardTraceEntry set = VBoard.Trace().Single(entry => entry.Command == 28);
                SameBytes(H("06 45 13 29 02 24"), set.Param.Take(set.ParamLength).ToArray(), "clock block sent");

                // 1 January 2000 is day 146097 (400 Gregorian years); 31 December 2099 day 182621.
                VBoard.VBoardFreezeClock(H("00 00 00 01 01 00"));
                int day, seconds;
                board.GetClockRecord(out day, out seconds);
                Equal(146097, day, "day number of 2000-01-01");
                Equal(0, seconds, "midnight");
                VBoard.VBoardFreezeClock(H("59 59 23 31 12 99"));
                board.GetClockRecord(out day, out seconds);
                Equal(182621, day, "day number of 2099-12-31");
                Equal(86399, seconds, "a second before midnight");
                Equal(new DateTime(2099, 12, 31, 23, 59, 59), board.GetClock().Value, "GetClock");
                Equal(DateTimeKind.Local, board.GetClock().Value.Kind, "local time");
                VBoard.VBoardFreezeClock(H("00 00 00 31 02 24"));
                Equal(null, board.GetClock(), "the board holds no valid date");

                DateTime utc = new DateTime(2030, 6, 1, 12, 0, 0, DateTimeKind.Utc);
                board.SetClock(utc);
                VBoard.VBoardTraceClear();
                DateTime local = utc.ToLocalTime();
                byte[] block = new byte[6];
                VBoard.VBoardGetClock(block);
                Equal((byte)(local.Hour / 10 * 16 + local.Hour % 10), block[2], "a UTC time is set as local time");
                // Day 0 is 1 January 1600: sent as an invalid year, which the board refuses (bad value).
                MviahlpException refused = Throws<MviahlpException>(() => board.SetClockRecord(0, 0), "a date outside 2000-2099");
                Equal((ushort)5, refused.LastError, "LastError");
            }
        }

        static void DataAreas()
        {
            using (Board board = FormattedBoard())
            {
                board.Write(NativeMethods.AreaData, 256 + 44, Ascii("abc"));
                SameBytes(H("FF FF FF"), VBoard.Peek(DataFirstPage + 1, 44, 3), "in the cache until the flush");
                board.Flush();
                SameBytes(Ascii("abc"), VBoard.Peek(DataFirstPage + 1, 44, 3), "on the board after the flush");
                SameBytes(new byte[0], board.Read(NativeMethods.AreaData, 0, 0), "an empty read");
                MviahlpException outside = Throws<MviahlpException>(
                    () => board.Read(NativeMethods.AreaData, DataPages * 256 - 1, 2), "a read past the end");
                Equal(NativeMethods.ErrOutOfRange, outside.LastError, "LastError");
            }
            // 300 data pages: 76800 bytes, more than two calls carry.
            VBoard.Create(2, 300, 1);
            using (Board board = Board.Open())
            {
                byte[] content = Enumerable.Range(0, 76800).Select(i => (byte)(i * 7 + i / 256)).ToArray();
                board.Write(NativeMethods.AreaData, 0, content);
                board.Flush();
                byte[] stored = Enumerable.Range(0, 300).SelectMany(page => VBoard.Peek(10 + page, 0, 256)).ToArray();
                SameBytes(content, stored, "the whole data area on the board");
                VBoard.VBoardTraceClear();
                SameBytes(content, board.Read(NativeMethods.AreaData, 0, content.Length), "the whole data area read");
            }
        }

        static void DataRequestFailsPartWay()
        {
            using (Board board = FormattedBoard())
            {
                byte[] content = Enumerable.Range(0, 1024).Select(i => (byte)i).ToArray();
                board.Write(NativeMethods.AreaData, 0, content);
                board.Flush();
                board.Read(NativeMethods.AreaData, 1024, 1); // moves the cache away
                // The third page read is refused.
                VBoard.AddFault(3, VBoard.ReadMemory, 3, false);
                MviahlpException error = Throws<MviahlpException>(() => board.Read(NativeMethods.AreaData, 0, 1024), "read");
                Equal(512, error.Done.Value, "bytes done");
                SameBytes(content.Take(512).ToArray(), error.BytesRead, "bytes read before the failure");
                Equal(NativeMethods.ErrPageFailed, error.LastError, "LastError");
            }
        }

        static void Log()
        {
            using (Board board = FormattedBoard())
            {
                board.AppendLog(Ascii("door 1"));
                board.AppendLog(Ascii("door 2"));
                SameBytes(Ascii("door 1door 2"), VBoard.Peek(LogFirstPage, 0, 12), "log records");
                SameBytes(Ascii("door 1"), board.Read(NativeMethods.AreaLog, 0, 6), "log read");
                board.ClearLog();
                SameBytes(H("FF FF FF FF FF FF"), VBoard.Peek(LogFirstPage, 0, 6), "log cleared");
                Throws<MviahlpException>(() => board.AppendLog(new byte[LogPages * 256 + 1]), "a record larger than the log");
            }
            using (Board board = FreshBoard())
                Throws<MviahlpException>(() => board.ClearLog(), "a log without a position");
        }

        static void Logon()
        {
            using (Board board = FormattedBoard())
            {
                board.WriteUser(4, User("ops", "KLIA-004", "secret-4"));
                MviahlpException unknown = Throws<MviahlpException>(() => board.Login(Ascii("KLIA-005"), Ascii("secret-4")), "unknown key");
                Equal(NativeMethods.ErrLogonUnknown, unknown.LastError, "LastError");
                Equal((ushort)0x50, unknown.DeviceStatus, "DeviceStatus");
                Equal("board status 0x50: the board knows no such user", unknown.DeviceStatusMeaning, "its words");
                MviahlpException refused = Throws<MviahlpException>(() => board.Login(Ascii("KLIA-004"), Ascii("secret-5")), "wrong password");
                Equal(NativeMethods.ErrLogonRefused, refused.LastError, "LastError");
                board.Login(Ascii("KLIA-004"), Ascii("secret-4"));
                Equal(4, board.GetCurrentUser().Number, "logged on");
                Equal("ops", board.ReadUser(0).Name, "the logged-on user's record");
                MviahlpException blocked = Throws<MviahlpException>(() => board.Login(Ascii("KLIA-004"), Ascii("secret-4")), "again");
                Equal(NativeMethods.ErrLogonBlocked, blocked.LastError, "LastError");
                board.ChangePassword(0, Ascii("secret-4secret-9"));
                SameBytes(Ascii("secret-9"), VBoard.Peek(4 + 7, 8, 8), "new password");
                board.Logout();
                Equal(false, board.GetCurrentUser().LoggedOn, "nobody logged on");
                VBoardTraceEntry logon = VBoard.Trace().First(entry => entry.Command == VBoard.Logon);
                SameBytes(Ascii("KLIA-005secret-4"), VBoard.Out(logon), "credential block sent");
            }
        }

        static void WatchdogIaResultAndXid()
        {
            using (Board board = FormattedBoard())
            {
                board.SetWatchdog(600);
                Equal(600, board.GetWatchdog(), "watchdog");
                Equal((ushort)600, VBoard.VBoardGetWatchdog(), "watchdog on the board");
                UserRecord record = User("ops", "KLIA-001", "secret-1");
                byte[] bytes = record.Encode();
                board.SetIaResult(2, record);
                board.SetIaResult(4, record);
                board.SetIaResult(255, bytes.Take(174).ToArray());
                board.SetIaResult(7, (UserRecord)null);
                VBoardTraceEntry[] sent = VBoard.Trace().Where(entry => entry.Command == VBoard.IaResult).ToArray();
                Equal(2, sent.Length, "IA results sent");
                SameBytes(H("82 20"), sent[0].Param.Take(sent[0].ParamLength).ToArray(), "kind 2 parameters");
                SameBytes(bytes.Take(32).ToArray(), VBoard.Out(sent[0]), "kind 2 data");
                SameBytes(H("84 0D"), sent[1].Param.Take(sent[1].ParamLength).ToArray(), "kind 4 parameters");
                SameBytes(bytes.Take(13).ToArray(), VBoard.Out(sent[1]), "kind 4 data");
                // FNV-1a (32-bit) of the data, little-endian: the virtual board's identifier.
                uint value = 0x811C9DC5;
                foreach (byte b in Ascii("some data"))
                    value = unchecked((value ^ b) * 0x01000193);
                SameBytes(BitConverter.GetBytes(value), board.MakeUserXid(Ascii("some data")), "identifier");
            }
        }

        // ---- formatting ------------------------------------------------------------------------

        static void ProgressSurvivesCollection()
        {
            var messages = new List<string>();
            using (Board board = FreshBoard())
            {
                board.Format(CheckWord, message =>
                {
                    messages.Add(message);
                    // Everything not kept alive goes now, the library's delegate with it if it were.
                    GC.Collect();
                    GC.WaitForPendingFinalizers();
                    GC.Collect();
                });
                Equal(CheckWord, board.GetInfo().CheckWord, "check word");
            }
            int pageCount = LogFirstPage + LogPages - 1;
            True(messages.Count > pageCount, "a message before every page: " + messages.Count);
            True(messages.Any(m => m.StartsWith("\r") && m.Contains(pageCount.ToString())), "page lines begin with CR");
            True(messages.Any(m => m.Any(c => c >= '\u0410' && c <= '\u044F')), "messages in Russian, from code page 866");
        }

        static void ProgressException()
        {
            using (Board board = FreshBoard())
            {
                int calls = 0;
                var error = Throws<FormatException>(() => board.Format(CheckWord, message =>
                {
                    calls++;
                    throw new FormatException("stop");
                }), "the procedure's exception");
                Equal("stop", error.Message, "message");
                Equal(1, calls, "no messages after the exception");
                Equal(CheckWord, board.GetInfo().CheckWord, "formatting finished");
            }
        }

        static void ProgressCallsTheLibrary()
        {
            using (Board board = FreshBoard())
            {
                Throws<InvalidOperationException>(() => board.Format(CheckWord, message => board.GetInfo()), "GetInfo in progress");
                Equal(CheckWord, board.GetInfo().CheckWord, "formatting finished");
            }
        }

        static void FormattingFails()
        {
            using (Board board = FreshBoard())
            {
                VBoard.AddFault(0, 23, 0x07, false); // initialise pages
                var messages = new List<string>();
                MviahlpException error = Throws<MviahlpException>(() => board.Format(CheckWord, messages.Add), "format");
                Equal(NativeMethods.ErrWriteFailed, error.LastError, "LastError");
                Equal((ushort)7, error.DeviceStatus, "DeviceStatus");
                True(messages.Count > 0, "progress until the failure");
            }
        }

        static void TransportFailure()
        {
            using (Board board = FormattedBoard())
            {
                VBoard.AddFault(1, 0, 0, true);
                MviahlpException error = Throws<MviahlpException>(() => board.GetWatchdog(), "watchdog");
                Equal(NativeMethods.StatusTransportFailed, error.LastError, "LastError");
                Equal("the transport call failed: no exchange with the board took place", error.LastErrorMeaning, "its words");
            }
        }

        // ---- words ------------------------------------------------------------------------------

        static void ErrorWords()
        {
            // code: LastError, DeviceStatus, BindError, as klia shows them.
            var words = new[]
            {
                new object[] { 0, "no error", "no board status recorded", "bound" },
                new object[] { 1, "board status 1 (0x01), the board's own code", "board status 1 (0x01), the board's own code", "unknown code" },
                new object[] { 80, "board status 0x50: the board knows no such user", "board status 0x50: the board knows no such user", "unknown code" },
                new object[] { 97, "board status 0x61: the board blocks the logon (a user is already logged on)",
                               "board status 0x61: the board blocks the logon (a user is already logged on)", "unknown code" },
                new object[] { 254, "board status 254 (0xFE), the board's own code", "board status 254 (0xFE), the board's own code", "unknown code" },
                new object[] { 256, "unknown code", "board status 256 (0x100), the board's own code", "unknown code" },
                new object[] { 7500, "unknown code", "board status 7500 (0x1D4C), the board's own code",
                               "not bound: a function was called before the library was bound" },
                new object[] { 7505, "logon refused by the board", "board status 7505 (0x1D51), the board's own code", "unknown code" },
                new object[] { 7507, "the board refused a page read or write", "board status 7507 (0x1D53), the board's own code", "unknown code" },
                new object[] { 7508, "a user write or a formatting step failed", "board status 7508 (0x1D54), the board's own code", "unknown code" },
                new object[] { 7511, "logon blocked by the board", "board status 7511 (0x1D57), the board's own code", "unknown code" },
                new object[] { 65535, "unknown code", "board status 65535 (0xFFFF), the board's own code", "unknown code" },
            };
            foreach (object[] row in words)
            {
                int code = (int)row[0];
                Equal((string)row[1], ErrorMeanings.OfLastError(code), "LastError " + code);
                Equal((string)row[2], ErrorMeanings.OfDeviceStatus(code), "DeviceStatus " + code);
                Equal((string)row[3], ErrorMeanings.OfBindError(code), "BindError " + code);
            }
        }

        // ---- bad input -------------------------------------------------------------------------

        static UserRecord With(Action<UserRecord> change)
        {
            UserRecord record = User("ops", "KLIA-001", "secret-1");
            change(record);
            return record;
        }

        static void BadInput()
        {
            var calls = new List<Tuple<string, Action<Board>, Type>>
            {
                Tuple.Create<string, Action<Board>, Type>("user number above 16 bits", b => b.ReadUser(65536), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("negative user number", b => b.WriteUser(-1, new UserRecord()), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("no user record", b => b.WriteUser(1, null), typeof(ArgumentNullException)),
                Tuple.Create<string, Action<Board>, Type>("short logon key", b => b.Login(Ascii("short"), Ascii("secret-1")), typeof(ArgumentException)),
                Tuple.Create<string, Action<Board>, Type>("no logon key", b => b.Login(null, Ascii("secret-1")), typeof(ArgumentNullException)),
                Tuple.Create<string, Action<Board>, Type>("long password block", b => b.ChangePassword(1, new byte[17]), typeof(ArgumentException)),
                Tuple.Create<string, Action<Board>, Type>("short password block", b => b.ChangePassword(1, new byte[15]), typeof(ArgumentException)),
                Tuple.Create<string, Action<Board>, Type>("password change for user 65536", b => b.ChangePassword(65536, new byte[16]), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("area above 8 bits", b => b.Read(256, 0, 1), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("negative area", b => b.Write(-1, 0, new byte[1]), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("negative offset", b => b.Read(2, -1, 1), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("negative length", b => b.Read(2, 0, -1), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("request past 31 bits", b => b.Read(2, int.MaxValue, 2), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("no data", b => b.Write(2, 0, null), typeof(ArgumentNullException)),
                Tuple.Create<string, Action<Board>, Type>("write at the log's append offset", b => b.Write(3, 0xFFFF, new byte[1]), typeof(ArgumentException)),
                Tuple.Create<string, Action<Board>, Type>("no log record", b => b.AppendLog(null), typeof(ArgumentNullException)),
                Tuple.Create<string, Action<Board>, Type>("log record above 16 bits", b => b.AppendLog(new byte[65536]), typeof(ArgumentException)),
                Tuple.Create<string, Action<Board>, Type>("user name too long", b => b.WriteUser(1, With(r => r.Name = "x234567890123")), typeof(ArgumentException)),
                Tuple.Create<string, Action<Board>, Type>("user name not in code page 866", b => b.WriteUser(1, With(r => r.Name = "\u540d")), typeof(ArgumentException)),
                Tuple.Create<string, Action<Board>, Type>("second name with a euro sign", b => b.WriteUser(1, With(r => r.Name2 = "\u20ac5")), typeof(ArgumentException)),
                Tuple.Create<string, Action<Board>, Type>("no user name", b => b.WriteUser(1, With(r => r.Name = null)), typeof(ArgumentNullException)),
                Tuple.Create<string, Action<Board>, Type>("user DATA field too short", b => b.WriteUser(1, With(r => r.Data28 = new byte[3])), typeof(ArgumentException)),
                Tuple.Create<string, Action<Board>, Type>("user DATA field missing", b => b.WriteUser(1, With(r => r.Data44 = null)), typeof(ArgumentNullException)),
                Tuple.Create<string, Action<Board>, Type>("user nibble above 15", b => b.WriteUser(1, With(r => r.Nibble115 = 16)), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("user flags177 too few", b => b.WriteUser(1, With(r => r.Flags177 = new bool[7])), typeof(ArgumentException)),
                Tuple.Create<string, Action<Board>, Type>("no configuration", b => b.WriteConfig(null), typeof(ArgumentNullException)),
                Tuple.Create<string, Action<Board>, Type>("check word 0", b => b.Format(0, null), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("check word 65535", b => b.Format(0xFFFF, null), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("clock year 2100", b => b.SetClock(new DateTime(2100, 1, 1)), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("clock year 1999", b => b.SetClock(new DateTime(1999, 12, 31, 23, 59, 59)), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("watchdog above 16 bits", b => b.SetWatchdog(65536), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("negative watchdog", b => b.SetWatchdog(-1), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("hardware step above 8 bits", b => b.WriteHwStep(256), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("IA result kind above 8 bits", b => b.SetIaResult(258, (UserRecord)null), typeof(ArgumentOutOfRangeException)),
                Tuple.Create<string, Action<Board>, Type>("IA result without its record", b => b.SetIaResult(2, (UserRecord)null), typeof(ArgumentNullException)),
                Tuple.Create<string, Action<Board>, Type>("IA result record too short", b => b.SetIaResult(255, new byte[173]), typeof(ArgumentException)),
                Tuple.Create<string, Action<Board>, Type>("IA result record too long", b => b.SetIaResult(2, new byte[190]), typeof(ArgumentException)),
                Tuple.Create<string, Action<Board>, Type>("XID data above 255 bytes", b => b.MakeUserXid(new byte[256]), typeof(ArgumentException)),
                Tuple.Create<string, Action<Board>, Type>("no XID data", b => b.MakeUserXid(null), typeof(ArgumentNullException)),
            };
            using (Board board = FormattedBoard())
            {
                foreach (var call in calls)
                {
                    VBoard.VBoardTraceClear();
                    Exception thrown = null;
                    try
                    {
                        call.Item2(board);
                    }
                    catch (Exception error)
                    {
                        thrown = error;
                    }
                    True(thrown != null && thrown.GetType() == call.Item3,
                         call.Item1 + ": expected " + call.Item3.Name + ", got " + (thrown == null ? "nothing" : thrown.GetType().Name + ": " + thrown.Message));
                    Equal(0u, VBoard.VBoardTraceCount(), call.Item1 + ": board commands");
                }
                // Nothing was written on the way.
                SameBytes(Enumerable.Repeat((byte)0xFF, 256).ToArray(), VBoard.Peek(1 + 7, 0, 256), "user 1 untouched");
            }
        }
    }
}

// The virtual board's control interface (vboard/vboard.h), for the tests only. It lives in the
// transport that the library loaded (libhwlink32.so), so it drives the very board the library
// talks to. The control interface has the C calling convention on every platform.

using System;
using System.Runtime.InteropServices;

namespace Mviahlp.Tests
{
    [StructLayout(LayoutKind.Sequential)]
    struct VBoardGeometry
    {
        public ushort Version, UserCount, PageCount, DataPageCount, LogFirstPage, LogPageCount, PageSize;
        public byte DeviceCount, Reserved;
        public uint ExtInfo;
    }

    [StructLayout(LayoutKind.Sequential)]
    struct VBoardFault
    {
        public uint Nth;
        public byte Command, Status, TransportFails, Scribble;
        public uint Times;
    }

    [StructLayout(LayoutKind.Sequential)]
    struct VBoardTraceEntry
    {
        public byte Command, Extended, ParamLength;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 16)] public byte[] Param;
        public ushort OutLength;
        public IntPtr Out;
        public ushort InLength;
        public byte Status, TransportOk;
    }

    static class VBoard
    {
        const string Transport = "hwlink32";

        [DllImport(Transport, CallingConvention = CallingConvention.Cdecl)]
        public static extern void VBoardMakeGeometry(ushort users, ushort dataPages, ushort logPages, ushort pageSize,
                                                     out VBoardGeometry geometry);
        [DllImport(Transport, CallingConvention = CallingConvention.Cdecl)]
        public static extern int VBoardCreate(ref VBoardGeometry geometry);
        [DllImport(Transport, CallingConvention = CallingConvention.Cdecl)]
        public static extern int VBoardPeek(uint page, uint offset, uint length, [Out] byte[] data);
        [DllImport(Transport, CallingConvention = CallingConvention.Cdecl)]
        public static extern int VBoardPoke(uint page, uint offset, uint length, [In] byte[] data);
        [DllImport(Transport, CallingConvention = CallingConvention.Cdecl)]
        public static extern void VBoardGetInfoBlock([Out] byte[] info51);
        [DllImport(Transport, CallingConvention = CallingConvention.Cdecl)]
        public static extern void VBoardSetLogon(ushort user, byte flags);
        [DllImport(Transport, CallingConvention = CallingConvention.Cdecl)]
        public static extern void VBoardFreezeClock([In] byte[] block6);
        [DllImport(Transport, CallingConvention = CallingConvention.Cdecl)]
        public static extern void VBoardGetClock([Out] byte[] block6);
        [DllImport(Transport, CallingConvention = CallingConvention.Cdecl)]
        public static extern ushort VBoardGetWatchdog();
        [DllImport(Transport, CallingConvention = CallingConvention.Cdecl)]
        public static extern void VBoardAddFault(ref VBoardFault fault);
        [DllImport(Transport, CallingConvention = CallingConvention.Cdecl)]
        public static extern uint VBoardTraceCount();
        [DllImport(Transport, CallingConvention = CallingConvention.Cdecl)]
        static extern int VBoardTraceGet(uint index, out VBoardTraceEntry entry);
        [DllImport(Transport, CallingConvention = CallingConvention.Cdecl)]
        public static extern void VBoardTraceClear();

        // Board commands, as the trace shows them.
        public const byte IaResult = 13, Information = 16, Logon = 17, ReadMemory = 21, WriteMemory = 22;

        /// <summary>A fresh in-memory board of the standard layout.</summary>
        public static VBoardGeometry Create(int users, int dataPages, int logPages)
        {
            VBoardGeometry geometry;
            VBoardMakeGeometry((ushort)users, (ushort)dataPages, (ushort)logPages, 256, out geometry);
            if (VBoardCreate(ref geometry) == 0)
                throw new InvalidOperationException("the virtual board refused the geometry");
            return geometry;
        }

        public static byte[] Peek(int page, int offset, int length)
        {
            byte[] data = new byte[length];
            if (VBoardPeek((uint)page, (uint)offset, (uint)length, data) == 0)
                throw new ArgumentOutOfRangeException("page", "peek outside the board's memory");
            return data;
        }

        public static void AddFault(int nth, byte command, byte status, bool transportFails)
        {
            VBoardFault fault = new VBoardFault();
            fault.Nth = (uint)nth;
            fault.Command = command;
            fault.Status = status;
            fault.TransportFails = transportFails ? (byte)1 : (byte)0;
            AddFault(ref fault);
        }

        static void AddFault(ref VBoardFault fault)
        {
            VBoardAddFault(ref fault);
        }

        public static VBoardTraceEntry[] Trace()
        {
            VBoardTraceEntry[] entries = new VBoardTraceEntry[VBoardTraceCount()];
            for (uint i = 0; i < entries.Length; i++)
                VBoardTraceGet(i, out entries[i]);
            return entries;
        }

        /// <summary>The outgoing bytes of a trace entry.</summary>
        public static byte[] Out(VBoardTraceEntry entry)
        {
            byte[] bytes = new byte[entry.OutLength];
            if (bytes.Length > 0)
                Marshal.Copy(entry.Out, bytes, 0, bytes.Length);
            return bytes;
        }
    }
}

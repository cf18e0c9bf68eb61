/*
 * abi_caller.c - an old caller of mviahlp.dll.
 *
 * Written in plain C from the documented binary interface alone (it does not include the
 * library's header): it loads the DLL by name, takes every export by name and by ordinal,
 * calls them through stdcall function pointers whose arguments are all 32-bit, as an old
 * caller's compiler pushes them, and runs a session against the virtual board behind
 * HWLINK32.DLL (whose control API it reaches with GetProcAddress).
 *
 * Narrow arguments carry garbage in their unused high bits: only the low 8 or 16 bits may
 * count. Boolean results must be 1 or 0 in the low byte. Every export must remove exactly
 * its arguments from the stack.
 *
 * Finally it starts itself again as a second process that writes through the data-area cache
 * of a board kept in an image file and exits without KLIAFlush or FreeLibrary: the library's
 * process-detach handler must have written the page to the board by the time the process is
 * gone.
 *
 * A check whose operation the library does not offer yet (it refuses even a call with clean
 * arguments) is reported as "pending" and does not fail; once the operation works, the
 * garbage-argument call must agree with the clean one.
 *
 * Exit status: 0 when every check passed, 1 otherwise.
 */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "vboard.h" /* the virtual board's control API: only its types are used */

/* ---------------------------------------------------------------------------------------
 * The documented exports: name, ordinal, bytes of arguments (4 per argument).
 * ------------------------------------------------------------------------------------- */
struct Export {
  const char *name;
  unsigned ordinal;
  unsigned arg_bytes;
};

static const struct Export kExports[] = {
    {"Today", 1, 0},
    {"KLIAMakeUserXID", 2, 12},
    {"KLIASetRTCDateTime", 3, 4},
    {"KLIAGetRTCDateTime", 4, 4},
    {"KLIASetWDTimeout", 5, 4},
    {"KLIAGetWDTimeout", 6, 4},
    {"KLIAClearLog", 7, 0},
    {"KLIAWriteConfigData", 8, 4},
    {"KLIAReadConfigData", 9, 4},
    {"KLIAReadHwStep", 10, 4},
    {"KLIAWriteHwStep", 11, 4},
    {"KLIASetIaResult", 12, 8},
    {"KLIAChangeUserPassword", 13, 8},
    {"KLIAFormatDatabase", 14, 8},
    {"KLIAFlush", 15, 0},
    {"KLIAWriteDataEx", 16, 20},
    {"KLIAWriteData", 17, 20},
    {"KLIAReadDataEx", 18, 20},
    {"KLIAReadData", 19, 20},
    {"KLIAWriteUserData", 20, 8},
    {"KLIAReadUserData", 21, 8},
    {"KLIALogout", 22, 0},
    {"KLIALogin", 23, 12},
    {"KLIAGetCurrentUser", 24, 8},
    {"KLIAGetInfo", 25, 4},
    {"KLIADriverPresent", 26, 0},
    {"KLIAGetErrorState", 27, 12}, /* extension */
};
#define EXPORT_COUNT (sizeof kExports / sizeof kExports[0])
#define ORDINAL_DRIVER_PRESENT 26
#define ORDINAL_GET_ERROR_STATE 27

typedef uint32_t(__stdcall *Fn0)(void);
typedef uint32_t(__stdcall *Fn1)(uint32_t);
typedef uint32_t(__stdcall *Fn2)(uint32_t, uint32_t);
typedef uint32_t(__stdcall *Fn3)(uint32_t, uint32_t, uint32_t);
typedef uint32_t(__stdcall *Fn5)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t);

/* Exports, by ordinal. */
static FARPROC g_export[28];
#define CALL0(ord) (((Fn0)(void *)g_export[ord])())
#define CALL1(ord, a) (((Fn1)(void *)g_export[ord])(a))
#define CALL2(ord, a, b) (((Fn2)(void *)g_export[ord])(a, b))
#define CALL3(ord, a, b, c) (((Fn3)(void *)g_export[ord])(a, b, c))
#define CALL5(ord, a, b, c, d, e) (((Fn5)(void *)g_export[ord])(a, b, c, d, e))
#define ADDR(p) ((uint32_t)(uintptr_t)(p))

/* Board areas and record offsets of the documented interface. */
#define AREA_DATA 2
#define INFO_SIZE 58
#define INFO_CHECK_WORD 21
#define INFO_USER_COUNT 26
#define INFO_BYTE30 30
#define INFO_DEVICES 31
#define INFO_DATA_SIZE 32
#define INFO_WORD34 34
#define INFO_LOG_SIZE 36
#define INFO_VERSION 42
#define INFO_DATA_SIZE_EX 44
#define INFO_LOG_SIZE_EX 48
#define SIZE_PAIR_LIMIT 65520
#define ERR_NOT_BOUND 7500

/* ---------------------------------------------------------------------------------------
 * Reporting.
 * ------------------------------------------------------------------------------------- */
static int g_failures;
static int g_pending;

static void Fail(const char *what, unsigned long got, unsigned long expected) {
  printf("FAIL %s: got %lu (0x%lX), expected %lu (0x%lX)\n", what, got, got, expected, expected);
  ++g_failures;
}

static void Expect(const char *what, unsigned long got, unsigned long expected) {
  if (got != expected) Fail(what, got, expected);
}

static void Pending(const char *what) {
  printf("pending %s: the library refuses it with clean arguments\n", what);
  ++g_pending;
}

/* A boolean result: 1 or 0 in the low byte. Returns it as 1 or 0. */
static int Bool(const char *what, uint32_t result) {
  const uint32_t low = result & 0xFF;
  if (low > 1) Fail(what, low, 1);
  return low == 1;
}

static unsigned Get16(const uint8_t *p, unsigned offset) { return (unsigned)p[offset] | ((unsigned)p[offset + 1] << 8); }

static unsigned long Get32(const uint8_t *p, unsigned offset) {
  return (unsigned long)Get16(p, offset) | ((unsigned long)Get16(p, offset + 2) << 16);
}

/* ---------------------------------------------------------------------------------------
 * Stack discipline: call `fn` with `count` 32-bit arguments pushed right to left, and return
 * how far the stack pointer moved across the call (0 when the callee removed exactly its
 * arguments, as the standard calling convention requires).
 * ------------------------------------------------------------------------------------- */
static int32_t StackImbalance(FARPROC fn, const uint32_t *args, uint32_t count) {
  uint32_t result;
  int32_t moved;
  __asm__ volatile(
      "movl %%esp, %%esi\n\t"
      "testl %%ecx, %%ecx\n\t"
      "jz 2f\n"
      "1:\n\t"
      "pushl -4(%%edx,%%ecx,4)\n\t"
      "decl %%ecx\n\t"
      "jnz 1b\n"
      "2:\n\t"
      "call *%%eax\n\t"
      "movl %%esp, %%edx\n\t"
      "subl %%esi, %%edx\n\t"
      "movl %%esi, %%esp\n\t"
      : "=a"(result), "=d"(moved), "+c"(count)
      : "0"(fn), "1"(args)
      : "esi", "memory", "cc");
  (void)result;
  return moved;
}

/* ---------------------------------------------------------------------------------------
 * The virtual board's control API (HWLINK32.DLL, by name; C calling convention).
 * ------------------------------------------------------------------------------------- */
typedef void (*MakeGeometryFn)(uint16_t, uint16_t, uint16_t, uint16_t, VBoardGeometry *);
typedef int (*CreateFn)(const VBoardGeometry *);
typedef void (*GetGeometryFn)(VBoardGeometry *);
typedef int (*PeekFn)(uint32_t, uint32_t, uint32_t, uint8_t *);
typedef uint16_t (*GetWatchdogFn)(void);

static GetGeometryFn g_board_geometry;
static PeekFn g_board_peek;
static GetWatchdogFn g_board_watchdog;

static int LoadBoardControl(HMODULE transport) {
  MakeGeometryFn make = (MakeGeometryFn)(void *)GetProcAddress(transport, "VBoardMakeGeometry");
  CreateFn create = (CreateFn)(void *)GetProcAddress(transport, "VBoardCreate");
  VBoardGeometry geometry;
  g_board_geometry = (GetGeometryFn)(void *)GetProcAddress(transport, "VBoardGetGeometry");
  g_board_peek = (PeekFn)(void *)GetProcAddress(transport, "VBoardPeek");
  g_board_watchdog = (GetWatchdogFn)(void *)GetProcAddress(transport, "VBoardGetWatchdog");
  if (!make || !create || !g_board_geometry || !g_board_peek || !g_board_watchdog) {
    printf("FAIL HWLINK32.DLL lacks the virtual board's control API\n");
    return 0;
  }
  /* A fresh board whose data area is too large for the 16-bit size field and whose log
   * area is not, so that both forms of a size reach the caller. */
  memset(&geometry, 0, sizeof geometry);
  make(24, 300, 20, 512, &geometry);
  if (!create(&geometry)) {
    printf("FAIL VBoardCreate refused the board\n");
    return 0;
  }
  return 1;
}

/* ---------------------------------------------------------------------------------------
 * The checks.
 * ------------------------------------------------------------------------------------- */

/* Every export by name and by ordinal: the same address. The names are plain, without
 * stdcall decoration. */
static int CheckExportTable(HMODULE library) {
  unsigned i;
  char decorated[64];
  for (i = 0; i < EXPORT_COUNT; ++i) {
    FARPROC by_name = GetProcAddress(library, kExports[i].name);
    FARPROC by_ordinal = GetProcAddress(library, MAKEINTRESOURCEA(kExports[i].ordinal));
    if (by_name == NULL || by_name != by_ordinal) {
      printf("FAIL export %s: by name %p, by ordinal %u %p\n", kExports[i].name, (void *)by_name,
             kExports[i].ordinal, (void *)by_ordinal);
      ++g_failures;
    }
    snprintf(decorated, sizeof decorated, "%s@%u", kExports[i].name, kExports[i].arg_bytes);
    if (GetProcAddress(library, decorated) != NULL) {
      printf("FAIL export %s is also exported decorated\n", decorated);
      ++g_failures;
    }
    g_export[kExports[i].ordinal] = by_ordinal;
  }
  return g_failures == 0;
}

static void GetErrorState(uint16_t *bind_error, uint16_t *last_error, uint16_t *device_status) {
  CALL3(ORDINAL_GET_ERROR_STATE, ADDR(bind_error), ADDR(last_error), ADDR(device_status));
}

/* Before binding: every export removes exactly its arguments, and a forwarding export
 * records BindError 7500 and leaves the caller's buffer alone. */
static void CheckUnbound(void) {
  static uint8_t scratch[8][512];
  uint32_t args[5];
  uint8_t info[INFO_SIZE];
  uint16_t bind_error = 0, last_error = 1, device_status = 1;
  unsigned i, k;

  memset(info, 0xCC, sizeof info);
  Expect("KLIAGetInfo before binding", CALL1(25, ADDR(info)) & 0xFF, 0);
  GetErrorState(&bind_error, &last_error, &device_status);
  Expect("BindError after a call before binding", bind_error, ERR_NOT_BOUND);
  for (i = 0; i < INFO_SIZE; ++i) {
    if (info[i] != 0xCC) {
      Fail("KLIAGetInfo before binding wrote the record at byte", i, 0);
      break;
    }
  }

  for (i = 0; i < EXPORT_COUNT; ++i) {
    char what[80];
    if (kExports[i].ordinal == ORDINAL_DRIVER_PRESENT) continue; /* would bind */
    for (k = 0; k < 5; ++k) args[k] = ADDR(scratch[k]);
    snprintf(what, sizeof what, "stack movement across %s", kExports[i].name);
    Expect(what, (unsigned long)StackImbalance(g_export[kExports[i].ordinal], args, kExports[i].arg_bytes / 4), 0);
  }
}

/* Binding and the information record against the board's geometry. */
static int CheckBindAndInfo(void) {
  uint8_t info[INFO_SIZE];
  VBoardGeometry geometry;
  static const uint8_t kSignature[11] = {0x0A, 0x80, 0xAA, 0xAA, 0xAE, 0xE0, 0xA4, 0x2D, 0x41, 0x56, 0x52};
  unsigned long data_size, log_size;
  int32_t moved;

  moved = StackImbalance(g_export[ORDINAL_DRIVER_PRESENT], NULL, 0);
  Expect("stack movement across KLIADriverPresent", (unsigned long)moved, 0);
  if (!Bool("KLIADriverPresent", CALL0(ORDINAL_DRIVER_PRESENT))) {
    Fail("KLIADriverPresent against a fresh board", 0, 1);
    return 0;
  }
  memset(info, 0xCC, sizeof info);
  if (!Bool("KLIAGetInfo", CALL1(25, ADDR(info)))) {
    Fail("KLIAGetInfo against a fresh board", 0, 1);
    return 0;
  }
  if (memcmp(info, kSignature, sizeof kSignature) != 0) Fail("InfoRecord signature", 0, 1);

  g_board_geometry(&geometry);
  data_size = (unsigned long)geometry.data_page_count * geometry.page_size;
  log_size = (unsigned long)geometry.log_page_count * geometry.page_size;
  Expect("InfoRecord user count", Get16(info, INFO_USER_COUNT), geometry.user_count);
  Expect("InfoRecord version", Get16(info, INFO_VERSION), geometry.version);
  Expect("InfoRecord devices", info[INFO_DEVICES], geometry.device_count);
  Expect("InfoRecord byte 30", info[INFO_BYTE30], 0xFF);
  Expect("InfoRecord word 34", Get16(info, INFO_WORD34), 128);
  Expect("InfoRecord check word of an erased board", Get16(info, INFO_CHECK_WORD), 0);
  Expect("InfoRecord data area size (16-bit)", Get16(info, INFO_DATA_SIZE), data_size <= SIZE_PAIR_LIMIT ? data_size : 0);
  Expect("InfoRecord data area size (32-bit)", Get32(info, INFO_DATA_SIZE_EX), data_size <= SIZE_PAIR_LIMIT ? 0 : data_size);
  Expect("InfoRecord log area size (16-bit)", Get16(info, INFO_LOG_SIZE), log_size <= SIZE_PAIR_LIMIT ? log_size : 0);
  Expect("InfoRecord log area size (32-bit)", Get32(info, INFO_LOG_SIZE_EX), log_size <= SIZE_PAIR_LIMIT ? 0 : log_size);
  /* Bytes the operation does not write read 0 through the export. */
  Expect("InfoRecord bytes 11-20", (unsigned long)(memcmp(info + 11, "\0\0\0\0\0\0\0\0\0\0", 10) != 0), 0);
  Expect("InfoRecord bytes 28-29", Get16(info, 28), 0);
  return 1;
}

/* Data areas: area and count are 8 and 16 bits wide, the plain forms' offset 16 bits. */
static void CheckDataAreas(void) {
  uint8_t written[16], clean[16], dirty[16], on_board[16];
  uint16_t done_clean = 0, done_dirty = 0;
  VBoardGeometry geometry;
  unsigned i;
  int ok_clean, ok_dirty;

  for (i = 0; i < sizeof written; ++i) written[i] = (uint8_t)(0x30 + i);
  ok_clean = Bool("KLIAWriteDataEx", CALL5(16, AREA_DATA, ADDR(written), 16, 16, ADDR(&done_clean)));
  if (!ok_clean) {
    Pending("KLIAWriteDataEx / KLIAReadDataEx with narrow arguments");
    return;
  }
  Expect("KLIAWriteDataEx done count", done_clean, 16);
  /* The same write with garbage above the area's 8 and the count's 16 bits. */
  ok_dirty = Bool("KLIAWriteDataEx (dirty)",
                  CALL5(16, 0xABCD0000u | AREA_DATA, ADDR(written), 16, 0x12340000u | 16, ADDR(&done_dirty)));
  Expect("KLIAWriteDataEx with garbage high bits", (unsigned long)ok_dirty, 1);
  Expect("KLIAWriteDataEx (dirty) done count", done_dirty, 16);
  CALL0(15); /* KLIAFlush */

  g_board_geometry(&geometry);
  g_board_peek((uint32_t)geometry.user_count + 8, 16, sizeof on_board, on_board);
  Expect("data area 2 bytes on the board after KLIAFlush", (unsigned long)memcmp(on_board, written, 16), 0);

  memset(clean, 0, sizeof clean);
  memset(dirty, 0, sizeof dirty);
  done_clean = done_dirty = 0;
  Bool("KLIAReadDataEx", CALL5(18, AREA_DATA, ADDR(clean), 16, 16, ADDR(&done_clean)));
  Bool("KLIAReadData (dirty)",
       CALL5(19, 0xFFFFFF00u | AREA_DATA, ADDR(dirty), 0xFFFF0000u | 16, 0xFFFF0000u | 16, ADDR(&done_dirty)));
  Expect("KLIAReadDataEx bytes", (unsigned long)memcmp(clean, written, 16), 0);
  Expect("KLIAReadData with garbage high bits: bytes", (unsigned long)memcmp(dirty, written, 16), 0);
  Expect("KLIAReadData with garbage high bits: done count", done_dirty, 16);
}

/* The watchdog timeout is 16 bits wide. */
static void CheckWatchdog(void) {
  uint16_t timeout = 0;
  if (!Bool("KLIASetWDTimeout", CALL1(5, 0x0123))) {
    Pending("KLIASetWDTimeout / KLIAGetWDTimeout");
    return;
  }
  Expect("KLIASetWDTimeout with garbage high bits", (unsigned long)Bool("KLIASetWDTimeout", CALL1(5, 0xDEAD0000u | 0x0456)), 1);
  Expect("watchdog on the board", g_board_watchdog(), 0x0456);
  Expect("KLIAGetWDTimeout", (unsigned long)Bool("KLIAGetWDTimeout", CALL1(6, ADDR(&timeout))), 1);
  Expect("KLIAGetWDTimeout value", timeout, 0x0456);
}

/* The hardware step is 8 bits wide. */
static void CheckHwStep(void) {
  uint8_t step = 0;
  if (!Bool("KLIAWriteHwStep", CALL1(11, 0x11))) {
    Pending("KLIAWriteHwStep / KLIAReadHwStep");
    return;
  }
  Expect("KLIAWriteHwStep with garbage high bits", (unsigned long)Bool("KLIAWriteHwStep", CALL1(11, 0xFFFFFF00u | 0x42)), 1);
  Expect("KLIAReadHwStep", (unsigned long)Bool("KLIAReadHwStep", CALL1(10, ADDR(&step))), 1);
  Expect("KLIAReadHwStep value", step, 0x42);
}

/* The XID's data length is 16 bits wide. */
static void CheckUserXid(void) {
  static const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t clean[4] = {0}, dirty[4] = {0};
  if (!Bool("KLIAMakeUserXID", CALL3(2, 8, ADDR(data), ADDR(clean)))) {
    Pending("KLIAMakeUserXID");
    return;
  }
  Expect("KLIAMakeUserXID with garbage high bits",
         (unsigned long)Bool("KLIAMakeUserXID", CALL3(2, 0x55550000u | 8, ADDR(data), ADDR(dirty))), 1);
  Expect("KLIAMakeUserXID result", (unsigned long)memcmp(clean, dirty, 4), 0);
}

/* The user number is 16 bits wide. */
static void CheckUserRecords(void) {
  static uint8_t clean[256], dirty[256];
  if (!Bool("KLIAReadUserData", CALL2(21, 1, ADDR(clean)))) {
    Pending("KLIAReadUserData");
    return;
  }
  memcpy(dirty, clean, sizeof dirty);
  Expect("KLIAReadUserData with garbage high bits",
         (unsigned long)Bool("KLIAReadUserData", CALL2(21, 0xABCD0000u | 1, ADDR(dirty))), 1);
  Expect("KLIAReadUserData record", (unsigned long)memcmp(clean, dirty, sizeof clean), 0);
}

/* The clock round-trips through the board. */
static void CheckClock(void) {
  uint8_t set[8], got[8];
  const int32_t day = 154212; /* 21 March 2022: days since 1 January 1600 */
  const int32_t time = 13 * 3600 + 45 * 60 + 7;
  long seconds_apart;
  memcpy(set, &day, 4);
  memcpy(set + 4, &time, 4);
  if (!Bool("KLIASetRTCDateTime", CALL1(3, ADDR(set)))) {
    Pending("KLIASetRTCDateTime / KLIAGetRTCDateTime");
    return;
  }
  Expect("KLIAGetRTCDateTime", (unsigned long)Bool("KLIAGetRTCDateTime", CALL1(4, ADDR(got))), 1);
  Expect("KLIAGetRTCDateTime day", Get32(got, 0), (unsigned long)day);
  seconds_apart = (long)Get32(got, 4) - time;
  if (seconds_apart < 0 || seconds_apart > 5) Fail("KLIAGetRTCDateTime time", Get32(got, 4), (unsigned long)time);
}

/* Today: a day number between 1 January 2020 (153402) and 1 January 2100 (182622). */
static void CheckToday(void) {
  const int32_t today = (int32_t)CALL0(1);
  if (today == 0 || today == -1) {
    Pending("Today");
    return;
  }
  if (today < 153402 || today > 182622) Fail("Today", (unsigned long)today, 153402);
}

/* ---------------------------------------------------------------------------------------
 * Flush at process exit.
 * ------------------------------------------------------------------------------------- */
typedef int (*OpenImageFn)(const char *, const VBoardGeometry *);

static const uint8_t kExitPattern[16] = {0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7,
                                         0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF};
#define WRITER_WROTE 0
#define WRITER_SETUP_FAILED 2
#define WRITER_WRITE_REFUSED 3
#define WRITER_WROTE_THROUGH 4

/* Serves the board in `image` from a freshly loaded HWLINK32.DLL; 0 when it cannot. */
static HMODULE OpenBoardImage(const char *image, VBoardGeometry *geometry) {
  HMODULE transport = LoadLibraryA("HWLINK32.DLL");
  OpenImageFn open_image;
  if (transport == NULL) return NULL;
  open_image = (OpenImageFn)(void *)GetProcAddress(transport, "VBoardOpenImage");
  g_board_geometry = (GetGeometryFn)(void *)GetProcAddress(transport, "VBoardGetGeometry");
  g_board_peek = (PeekFn)(void *)GetProcAddress(transport, "VBoardPeek");
  if (!open_image || !g_board_geometry || !g_board_peek || !open_image(image, NULL)) return NULL;
  g_board_geometry(geometry);
  return transport;
}

/* The second process: bind, write 16 bytes at the start of data area 2, and exit with the
 * page still modified in the library's cache. */
static int WriteAndExit(const char *image) {
  VBoardGeometry geometry;
  HMODULE library;
  uint8_t on_board[16];
  uint16_t done = 0;
  if (OpenBoardImage(image, &geometry) == NULL) return WRITER_SETUP_FAILED;
  library = LoadLibraryA("mviahlp.dll");
  if (library == NULL) return WRITER_SETUP_FAILED;
  g_export[ORDINAL_DRIVER_PRESENT] = GetProcAddress(library, MAKEINTRESOURCEA(ORDINAL_DRIVER_PRESENT));
  g_export[16] = GetProcAddress(library, MAKEINTRESOURCEA(16));
  if (!(CALL0(ORDINAL_DRIVER_PRESENT) & 0xFF)) return WRITER_SETUP_FAILED;
  if (!(CALL5(16, AREA_DATA, ADDR(kExitPattern), 0, sizeof kExitPattern, ADDR(&done)) & 0xFF)) return WRITER_WRITE_REFUSED;
  g_board_peek((uint32_t)geometry.user_count + 8, 0, sizeof on_board, on_board);
  if (memcmp(on_board, kExitPattern, sizeof on_board) == 0) return WRITER_WROTE_THROUGH;
  return WRITER_WROTE; /* no KLIAFlush, no FreeLibrary */
}

static void CheckFlushAtProcessExit(void) {
  char self[MAX_PATH], directory[MAX_PATH], image[MAX_PATH], command[3 * MAX_PATH];
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  DWORD exit_code = 1;
  VBoardGeometry geometry;
  HMODULE transport;
  uint8_t on_board[16];

  if (!GetModuleFileNameA(NULL, self, sizeof self) || !GetTempPathA(sizeof directory, directory) ||
      !GetTempFileNameA(directory, "vbd", 0, image)) {
    Fail("flush at process exit: no temporary file", 0, 1);
    return;
  }
  DeleteFileA(image); /* the board creates its image there */
  snprintf(command, sizeof command, "\"%s\" --write-and-exit \"%s\"", self, image);
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    Fail("flush at process exit: CreateProcess error", GetLastError(), 0);
    return;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  if (exit_code == WRITER_WRITE_REFUSED) {
    Pending("flush at process exit");
  } else if (exit_code != WRITER_WROTE) {
    Fail("flush at process exit: the writing process ended with", exit_code, WRITER_WROTE);
  } else if ((transport = OpenBoardImage(image, &geometry)) == NULL) {
    Fail("flush at process exit: cannot open the board image", 0, 1);
  } else {
    g_board_peek((uint32_t)geometry.user_count + 8, 0, sizeof on_board, on_board);
    Expect("flush at process exit: page on the board", (unsigned long)memcmp(on_board, kExitPattern, 16), 0);
    FreeLibrary(transport);
  }
  DeleteFileA(image);
}

int main(int argc, char **argv) {
  HMODULE library, transport;

  if (argc == 3 && strcmp(argv[1], "--write-and-exit") == 0) return WriteAndExit(argv[2]);

  library = LoadLibraryA("mviahlp.dll");
  if (library == NULL) {
    printf("FAIL LoadLibraryA(\"mviahlp.dll\"): error %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  transport = GetModuleHandleA("HWLINK32.DLL");
  if (transport == NULL) {
    printf("FAIL mviahlp.dll did not load HWLINK32.DLL\n");
    return 1;
  }
  if (!CheckExportTable(library) || !LoadBoardControl(transport)) return 1;

  CheckToday();
  CheckUnbound();
  if (CheckBindAndInfo()) {
    CheckDataAreas();
    CheckWatchdog();
    CheckHwStep();
    CheckUserXid();
    CheckUserRecords();
    CheckClock();
  }
  if (!FreeLibrary(library)) Fail("FreeLibrary", 0, 1);
  CheckFlushAtProcessExit();

  printf("%d failed, %d pending\n", g_failures, g_pending);
  return g_failures == 0 ? 0 : 1;
}

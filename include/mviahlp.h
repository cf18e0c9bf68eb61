/*
 * mviahlp.h - interface of the identification and authentication (IA) board library.
 *
 * The library talks to an access-control board through the board transport HWLINK32.DLL.
 * A caller binds it once with KLIADriverPresent(), then reads the board's information,
 * logs users on and off, reads and writes user records, data areas and the event log,
 * formats the board's database, and keeps the clock, the watchdog, a configuration
 * record and a hardware-step value.
 *
 * Conventions that hold for every function below:
 *  - Calling convention: KLIA_CALL, the Windows standard calling convention (__stdcall)
 *    on 32-bit Windows and the platform's C convention elsewhere. Every argument takes a
 *    32-bit slot; of an 8-bit or 16-bit argument only the low 8 or 16 bits count.
 *  - Boolean results (KLIA_BOOL) are 1 for success and 0 for failure, in the low byte:
 *    test `result & 0xFF`.
 *  - Nothing is thrown and no error code is returned. A failure is a 0 result plus a code
 *    in the library's error state, which KLIAGetErrorState() hands out:
 *      BindError     KLIA_ERR_NOT_BOUND once a function was called before binding; never
 *                    cleared afterwards;
 *      LastError     0 after success; after a failure one of the KLIA_ERR_ codes below or,
 *                    where a function says so, the board's raw status (1..255;
 *                    KLIA_STATUS_TRANSPORT_FAILED = the transport call itself failed);
 *      DeviceStatus  the board's raw status of the board command behind the last failure,
 *                    where a function records one (each function says what it does).
 *    A function that does not say otherwise sets LastError (and DeviceStatus) to 0 when it
 *    succeeds.
 *  - Records are byte arrays with the layouts given below: packed, little-endian, no
 *    alignment required. Every address must point to caller memory of the stated size;
 *    the library keeps no address after a call returns.
 *  - A null address where a function must read or write a record or a count is refused:
 *    the result is 0, LastError is KLIA_ERR_OUT_OF_RANGE and nothing is sent to the board.
 *    (The null addresses that have a meaning are listed with their functions.)
 *  - Calls are not thread-safe: the library has one process-wide state; callers
 *    serialise their calls.
 *  - Until KLIADriverPresent() has bound the library, every KLIA function except
 *    KLIADriverPresent and KLIAGetErrorState sets BindError to KLIA_ERR_NOT_BOUND, returns
 *    0 (or nothing) and touches no buffer, with one exception: KLIAReadHwStep sets *step to
 *    255, as for any failed area read. Today() works bound or not.
 *  - Writes to data areas 0, 1, 2 and 5 go through a one-page cache in the library: they
 *    reach the board at KLIAFlush(), when a later request moves the cache to another page,
 *    or when the library unloads (FreeLibrary, process exit). KLIAWriteConfigData and
 *    KLIAWriteHwStep flush before they return.
 *
 * Exported names and ordinals (mviahlp.dll, ordinal base 1) are fixed; see each function.
 * mviahlp.dll imports HWLINK32.DLL by ordinal (1000 and 1002) and nothing else but system
 * DLLs.
 */
#ifndef MVIAHLP_H
#define MVIAHLP_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define KLIA_CALL __stdcall
#else
#define KLIA_CALL
#endif

#if defined(_WIN32)
#define KLIA_EXPORT
#else
#define KLIA_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Version of this library (the build checks that it matches the project's version). */
#define MVIAHLP_VERSION_MAJOR 1
#define MVIAHLP_VERSION_MINOR 0
#define MVIAHLP_VERSION_PATCH 0
#define MVIAHLP_VERSION_STRING "1.0.0"

typedef uint32_t KLIA_BOOL; /* 1 = success, 0 = failure, in the low byte */

/* ------------------------------------------------------------------------------------------
 * Error codes
 * ---------------------------------------------------------------------------------------- */
#define KLIA_ERR_NOT_BOUND 7500      /* BindError: called before KLIADriverPresent bound the library */
#define KLIA_ERR_LOGON_UNKNOWN 7504  /* KLIALogin: board status 0x50; password change: no such user */
#define KLIA_ERR_LOGON_REFUSED 7505  /* KLIALogin: board status 0x60 */
#define KLIA_ERR_OUT_OF_RANGE 7506   /* a null address, a user number that names no user, a
                                        request outside its data area, an XID length above 255 */
#define KLIA_ERR_PAGE_FAILED 7507    /* the board refused a page read or write (data areas, user
                                        read, flush, formatting's page test) */
#define KLIA_ERR_WRITE_FAILED 7508   /* a user write or a formatting stage failed */
#define KLIA_ERR_LOGON_BLOCKED 7511  /* KLIALogin: board status 0x61 */

/* Board status meaning that the transport call itself failed (no exchange took place). */
#define KLIA_STATUS_TRANSPORT_FAILED 255

/* ------------------------------------------------------------------------------------------
 * InfoRecord: 58 bytes, filled by KLIAGetInfo. All numbers little-endian.
 * ---------------------------------------------------------------------------------------- */
#define KLIA_INFO_RECORD_SIZE 58
#define KLIA_INFO_SIGNATURE 0        /* 11 bytes: 0A 80 AA AA AE E0 A4 2D 41 56 52 ("...AVR") */
#define KLIA_INFO_SIGNATURE_SIZE 11
#define KLIA_INFO_CHECK_WORD 21      /* u16: the check word KLIAFormatDatabase stored; 0 none (not
                                        formatted), 0xFFFF the board refused to read it */
#define KLIA_INFO_STATE_CLASS 23     /* u8: 1 not formatted (check word 0), 2 ready, 4 a user logged
                                        on, 0/3 as the board says (any other board state gives 1) */
#define KLIA_INFO_CURRENT_USER 24    /* u16: logged-on user; bit 15 set when the user's flag is set */
#define KLIA_INFO_USER_COUNT 26      /* u16: number of user records */
#define KLIA_INFO_BYTE30 30          /* u8: always 0xFF */
#define KLIA_INFO_DEVICES 31         /* u8: number of devices (board version 0x123 and later) */
#define KLIA_INFO_DATA_AREA_SIZE 32  /* u16: size of data area 2 when <= 65520, else 0 */
#define KLIA_INFO_WORD34 34          /* u16: always 128 */
#define KLIA_INFO_LOG_AREA_SIZE 36   /* u16: size of the log area when <= 65520, else 0 */
#define KLIA_INFO_LOG_USED 38        /* u16: bytes of the log in use when <= 65520, else 0 */
#define KLIA_INFO_EXT_LOW 40         /* u16: low byte of the board's extension word */
#define KLIA_INFO_VERSION 42         /* u16: board version */
#define KLIA_INFO_DATA_AREA_SIZE_EX 44 /* u32: size of data area 2 when > 65520, else 0 */
#define KLIA_INFO_LOG_AREA_SIZE_EX 48  /* u32: size of the log area when > 65520, else 0 */
#define KLIA_INFO_LOG_USED_EX 52       /* u32: bytes of the log in use when > 65520, else 0 */
#define KLIA_INFO_EXT_HIGH 56          /* u16: bits 8-15 of the extension word (version 0x123 on) */
/* Bytes 11-20 and 28-29 are 0. A size is reported in exactly one of its two fields: the
 * 16-bit one when it is at most 65520 (0xFFF0), the 32-bit one otherwise (the other field is
 * 0). While the log has no write position (a board not formatted), "log used" reports the
 * whole log area. On a board older than version 0x123, DEVICES and EXT_HIGH are 0. */
#define KLIA_SIZE_PAIR_LIMIT 65520

/* ------------------------------------------------------------------------------------------
 * UserRecord: at least 189 bytes, read and written by KLIAReadUserData / KLIAWriteUserData.
 * Strings are short strings: a length byte, then up to 12 characters (code page 866); a
 * longer string is stored cut to 12. Flags are bytes: any nonzero value sets them; reading
 * gives 1 or 0. Fields named DATA are kept by the board as the caller wrote them. A user
 * whose record was never written (erased memory) reads with every DATA byte 0xFF.
 * ---------------------------------------------------------------------------------------- */
#define KLIA_USER_RECORD_SIZE 189
#define KLIA_USER_STRING_MAX 12
#define KLIA_USER_NAME 0            /* 13 bytes: first short string, cut to 12 characters */
#define KLIA_USER_NAME2 13          /* 13 bytes: second short string, cut to 12 characters */
#define KLIA_USER_FLAG26 26         /* u8 flag */
#define KLIA_USER_FLAG27 27         /* u8 flag */
#define KLIA_USER_DATA28 28         /* u32 DATA */
#define KLIA_USER_DATA32 32         /* u32 DATA */
#define KLIA_USER_DATA36 36         /* u32 DATA */
#define KLIA_USER_DATA40 40         /* u32 DATA */
#define KLIA_USER_DATA44 44         /* 64 bytes DATA */
#define KLIA_USER_DATA108 108       /* u32 DATA */
#define KLIA_USER_DATA112 112       /* u8 DATA */
#define KLIA_USER_FLAG113 113       /* u8 flag */
#define KLIA_USER_FLAG114 114       /* u8 flag (an erased record reads 0) */
#define KLIA_USER_NIBBLE115 115     /* u8, only bits 0-3 are kept (an erased record reads 0) */
#define KLIA_USER_DATA116 116       /* u8 DATA */
#define KLIA_USER_DATA117 117       /* u8 DATA */
#define KLIA_USER_DATA118 118       /* u8 DATA */
#define KLIA_USER_DATA119 119       /* 42 bytes DATA */
#define KLIA_USER_DATA161 161       /* u32 DATA */
#define KLIA_USER_DATA165 165       /* u16 DATA */
#define KLIA_USER_DATA167 167       /* u8 DATA */
#define KLIA_USER_DATA168 168       /* u32 DATA */
#define KLIA_USER_ACCESS_WORD 172   /* u16 DeviceAccessWord: bits 0-7 device mask, bit 15 a flag;
                                       reads back as bits 0-7, plus bit 15 when bits 8-15 were set */
#define KLIA_USER_DATA174 174       /* u8 DATA */
#define KLIA_USER_DATA175 175       /* u8 DATA */
#define KLIA_USER_UNUSED176 176     /* u8: never read or written */
#define KLIA_USER_FLAGS177 177      /* 8 bytes: eight flags, one per byte */
#define KLIA_USER_DATA185 185       /* u32 DATA */

/* ------------------------------------------------------------------------------------------
 * ConfigRecord: 14 bytes, kept by KLIAReadConfigData / KLIAWriteConfigData.
 * ---------------------------------------------------------------------------------------- */
/* The board stores it in 12 bytes with two CRC-8 check bytes (1-Wire polynomial) at offset 0
 * of data area 0; fields not listed as flags are kept exactly. */
#define KLIA_CONFIG_RECORD_SIZE 14
#define KLIA_CONFIG_BYTE0 0   /* u8 */
#define KLIA_CONFIG_FLAG1 1   /* u8 flag */
#define KLIA_CONFIG_BYTE2 2   /* u8; a stored 255 reads back as 20 */
#define KLIA_CONFIG_BYTE3 3   /* u8; a stored 255 reads back as 20 */
#define KLIA_CONFIG_BYTE4 4   /* u8 */
#define KLIA_CONFIG_FLAG5 5   /* u8 flag */
#define KLIA_CONFIG_FLAG6 6   /* u8 flag */
#define KLIA_CONFIG_FLAG7 7   /* u8 flag */
#define KLIA_CONFIG_FLAG8 8   /* u8 flag */
#define KLIA_CONFIG_WORD9 9   /* u16 */
#define KLIA_CONFIG_FLAG11 11 /* u8 flag */
#define KLIA_CONFIG_BYTE12 12 /* u8 */
#define KLIA_CONFIG_BYTE13 13 /* u8 */

/* ------------------------------------------------------------------------------------------
 * DateTimeRecord: 8 bytes, for KLIAGetRTCDateTime / KLIASetRTCDateTime.
 * ---------------------------------------------------------------------------------------- */
#define KLIA_DATETIME_RECORD_SIZE 8
#define KLIA_DATETIME_DAY_NUMBER 0  /* i32: days since 1 January 1600 (day 0, Gregorian calendar);
                                       -1 = no date */
#define KLIA_DATETIME_TIME_OF_DAY 4 /* i32: seconds since midnight, 0-86399; -1 = no time */

/* ------------------------------------------------------------------------------------------
 * Data areas, for KLIAReadData[Ex] / KLIAWriteData[Ex]. Offsets are bytes from the start of
 * the area; a request must lie inside the area. An area is a run of the board's memory
 * pages (PageSize bytes each, as the board reports it). Areas 4 and 6-127 have no pages;
 * bit 7 of the area number does not change the pages (0x83 reaches the log through the
 * cache).
 * ---------------------------------------------------------------------------------------- */
#define KLIA_AREA_CONFIG 0   /* pages 1-2; the configuration record at offset 0 */
#define KLIA_AREA_1 1        /* pages 4-6 */
#define KLIA_AREA_DATA 2     /* pages UserCount+8 on: the data area whose size KLIAGetInfo reports */
#define KLIA_AREA_LOG 3      /* the event log's pages, read and written directly, not cached */
#define KLIA_AREA_HWSTEP 5   /* page 0; the hardware-step record at offset 8 */
#define KLIA_APPEND_OFFSET 0xFFFF /* with KLIA_AREA_LOG: KLIAWriteData appends a log record */

/* Progress procedure of KLIAFormatDatabase: receives a short string in code page 866
 * (a length byte, then up to 255 characters, with CR and LF laid out for a text console),
 * valid only during the call. It is called on the caller's thread, between board commands;
 * it should not call the library. */
typedef void(KLIA_CALL *KLIA_PROGRESS_PROC)(const uint8_t *message);

/* ------------------------------------------------------------------------------------------
 * Functions, by ordinal: 1-26 the board library's interface, 27 this library's extension.
 * ---------------------------------------------------------------------------------------- */

/* 1. Day number of the current local date (days since 1 January 1600), as in a
 *    DateTimeRecord. Works bound or not, sends nothing, leaves the error state alone. */
KLIA_EXPORT int32_t KLIA_CALL Today(void);

/* 2. Has the board derive a 4-byte user identifier into `xid4` from `length` (0-255) bytes
 *    at `data` (which may be null when `length` is 0).
 *    LastError: the board's raw status; KLIA_ERR_OUT_OF_RANGE for a length above 255 (nothing
 *    is sent). DeviceStatus: 0. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAMakeUserXID(uint16_t length, const void *data, void *xid4);

/* 3. Sets the board's clock from a DateTimeRecord (8 bytes). The board's clock holds the
 *    years 2000-2099 only: a date in another year is sent with the year byte 0xFF, which is
 *    no year (never a year of another century). The virtual board refuses it with status
 *    0x05; what a real board does with it is up to the board, so check the date first.
 *    LastError: the board's raw status. DeviceStatus: 0 after success, else left as the
 *    previous function left it. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIASetRTCDateTime(const void *date_time8);

/* 4. Reads the board's clock into a DateTimeRecord (8 bytes). A date the board holds that is
 *    not a valid date gives day -1. On failure both fields are -1.
 *    LastError: the board's raw status. DeviceStatus: 0 after success, else left as the
 *    previous function left it. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAGetRTCDateTime(void *date_time8);

/* 5. Sets the board's watchdog timeout (in the board's units; 0 as the board defines).
 *    LastError: the board's raw status. DeviceStatus: 0. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIASetWDTimeout(uint16_t timeout);

/* 6. Reads the board's watchdog timeout into *timeout.
 *    LastError: the board's raw status. DeviceStatus: 0. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAGetWDTimeout(uint16_t *timeout);

/* 7. Has the board clear the event log; 1 when the board did. Leaves LastError and
 *    DeviceStatus as they were, success or not. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAClearLog(void);

/* 8. Stores a ConfigRecord (14 bytes) at offset 0 of data area 0, with two CRC-8 check
 *    bytes, and flushes it to the board; 0 when it did not reach the board.
 *    LastError: KLIA_ERR_OUT_OF_RANGE (area not available, e.g. before the board's geometry
 *    is known), KLIA_ERR_PAGE_FAILED (DeviceStatus: the board's status). */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteConfigData(const void *config14);

/* 9. Reads the ConfigRecord (14 bytes). A stored 255 in bytes 2 and 3 reads as 20.
 *    0 when the area read fails (LastError as KLIAReadDataEx), and 0 with LastError 0 when
 *    no record is stored or its check bytes do not match; the caller's record is then left
 *    unchanged. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadConfigData(void *config14);

/* 10. Reads the hardware step into *step. On failure *step is 255 when the area read
 *     failed (LastError as KLIAReadDataEx) or 254 when no step is stored (LastError 0). */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadHwStep(uint8_t *step);

/* 11. Stores the hardware step at offset 8 of data area 5 (the tag "WH", 0x57 0x48, then the
 *     step) and flushes it to the board; 0 when it did not reach the board.
 *     LastError as KLIAWriteConfigData. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteHwStep(uint8_t step);

/* 12. Hands an IA result to the board. `record` is a UserRecord: kind 2 sends its bytes
 *     0-31, kind 4 its bytes 0-12 (the first name); kind 255 sends nothing and keeps the
 *     record's DeviceAccessWord (offset 172) for the board's device-access sequence; other
 *     kinds do nothing and succeed (`record` may then be null).
 *     LastError: 0, or the board's raw status when it refuses. DeviceStatus: 0. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIASetIaResult(uint8_t kind, const void *record);

/* 13. Changes a user's password with a 16-byte block, sent to the board unchanged (the
 *     virtual board takes the current password in bytes 0-7, the new one in 8-15). `user`
 *     (1..UserCount, 0 = the logged-on user) only decides whether the board is asked.
 *     LastError: KLIA_ERR_LOGON_UNKNOWN when `user` names no user (or 0 with nobody logged
 *     on), else the board's raw status. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAChangeUserPassword(uint16_t user, const void *block16);

/* 14. Formats the board's database and stores `check_word` as its check word (reported by
 *     KLIAGetInfo; use a nonzero value other than 0xFFFF). Stages: a modified cached page is
 *     written back (its failure does not stop formatting), the board initialises its memory,
 *     every page is read once as a test (slow on a large board), the board reconnects its
 *     database, the log position is checked, and the check word is written last, only when
 *     every stage succeeded. The cache is empty afterwards, with one exception: when the
 *     board refuses both the write-back of a modified cached page and the initialisation,
 *     nothing has changed on the board and the page stays cached and modified for a later
 *     KLIAFlush. `progress`, if not null, gets
 *     messages in Russian (code page 866): the name of each stage as it starts, OK when it
 *     succeeded, before every page a line (begun with CR alone, so that it overwrites the
 *     previous one on a console) with the page's number and the page count, and an error
 *     line with the board's status or the failing page when a stage fails.
 *     LastError: KLIA_ERR_WRITE_FAILED when the board refused to initialise its memory
 *     (DeviceStatus: its status), when its database is not ready after an initialisation,
 *     when the log has no position or the check word was refused (DeviceStatus 0);
 *     KLIA_ERR_PAGE_FAILED when a page read failed (DeviceStatus: the board's status). */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAFormatDatabase(uint16_t check_word, KLIA_PROGRESS_PROC progress);

/* 15. Writes a modified cached page back to the board. Also done when the library unloads.
 *     Sends nothing when no page is modified, and leaves the error state alone on success.
 *     When the board refuses, the page stays modified for the next flush, LastError is
 *     KLIA_ERR_PAGE_FAILED and DeviceStatus the board's status. */
KLIA_EXPORT void KLIA_CALL KLIAFlush(void);

/* 16. Writes `count` bytes from `data` into data area `area` at byte `offset`; *done receives
 *     the bytes written (after a failure: those of the pages completed before it). Areas 0,
 *     1, 2, 5 are written into the page cache (see the conventions above); area 3 goes to
 *     the board page by page. A count of 0 succeeds with *done 0 and sends nothing.
 *     A null `data` only flushes the cache (0 when the cached page could not be written).
 *     Area 3 (exactly) with offset 0xFFFF (KLIA_APPEND_OFFSET) appends `count` bytes as a log
 *     record: *done is not written (`done` may be null), the result is whether the board
 *     accepted it, and LastError stays 0.
 *     LastError: KLIA_ERR_OUT_OF_RANGE (nothing sent) when the request does not lie inside
 *     the area, the offset is negative, the area has no pages, or the board's geometry is not
 *     known yet; KLIA_ERR_PAGE_FAILED (DeviceStatus: the board's status) when the board
 *     refused a page read or write. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteDataEx(uint8_t area, const void *data, int32_t offset, uint16_t count,
                                                uint16_t *done);

/* 17. KLIAWriteDataEx with a 16-bit offset (0-65535; 0xFFFF with area 3 appends). */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteData(uint8_t area, const void *data, uint16_t offset, uint16_t count,
                                              uint16_t *done);

/* 18. Reads `count` bytes of data area `area` at byte `offset` into `data`; *done receives
 *     the bytes read (after a failure: those of the pages completed before it). Areas 0, 1,
 *     2, 5 are read through the page cache, so they show the caller's unflushed writes; the
 *     cache holds the request's last page afterwards. Pages are read into `data` straight
 *     from the board where they can be, so after a failure the bytes of the page that failed
 *     (those from *done on, up to the end of that page) are undefined; bytes after it are
 *     left as they were. `data` may be null when `count` is 0. LastError as
 *     KLIAWriteDataEx. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadDataEx(uint8_t area, void *data, int32_t offset, uint16_t count,
                                               uint16_t *done);

/* 19. KLIAReadDataEx with a 16-bit offset (0-65535). */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadData(uint8_t area, void *data, uint16_t offset, uint16_t count,
                                             uint16_t *done);

/* 20. Writes a UserRecord (bytes 0-188, byte 176 is not read) for user 1..UserCount
 *     (0 = the logged-on user), straight to the board (not cached). Every field is
 *     replaced.
 *     LastError: KLIA_ERR_OUT_OF_RANGE when `user` names no user (or 0 with nobody logged
 *     on); KLIA_ERR_WRITE_FAILED (DeviceStatus: the board's status) when the board refused. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteUserData(uint16_t user, const void *record);

/* 21. Reads a UserRecord for user 1..UserCount (0 = the logged-on user), straight from the
 *     board. Byte 176 and the bytes past each string's length are left as the caller's
 *     record held them.
 *     LastError: KLIA_ERR_OUT_OF_RANGE when `user` names no user (or 0 with nobody logged
 *     on); KLIA_ERR_PAGE_FAILED (DeviceStatus: the board's status) when the board refused. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadUserData(uint16_t user, void *record);

/* 22. Ends the board's logon. The board's answer is not reported: LastError and
 *     DeviceStatus become 0. */
KLIA_EXPORT void KLIA_CALL KLIALogout(void);

/* 23. Logs a user on with two 8-byte logon blocks, sent to the board unchanged (the virtual
 *     board compares them with bytes 28-35 and 36-43 of the user records); `unused` has no
 *     effect.
 *     LastError: KLIA_ERR_LOGON_UNKNOWN, KLIA_ERR_LOGON_REFUSED, KLIA_ERR_LOGON_BLOCKED for
 *     the board's statuses 0x50, 0x60, 0x61, else the board's raw status.
 *     DeviceStatus: the board's status (0 on success). */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIALogin(const void *first8, const void *second8, uint8_t unused);

/* 24. Reads the logged-on user into *user (0 when none) and its flag (1 or 0) into *flag.
 *     When the board's information cannot be read, the result is 0 and the values are those
 *     of the information last read.
 *     LastError and DeviceStatus: the board's raw status (0 on success). */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAGetCurrentUser(uint16_t *user, uint8_t *flag);

/* 25. Reads the board's information into an InfoRecord (58 bytes, zeroed first). Also
 *     learns the board's geometry, which the data-area functions need.
 *     LastError: the board's raw status (0 on success). DeviceStatus: the board's status
 *     after a failure; left alone on success. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAGetInfo(void *info58);

/* 26. Binds the library to the board and probes it with a KLIAGetInfo; the result, LastError
 *     and DeviceStatus are the probe's. Call it first; calling it again binds and probes
 *     again. The library stays bound even when the probe fails: the other functions then
 *     reach the board and report its statuses. */
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIADriverPresent(void);

/* 27. Hands out the error state: BindError, LastError and DeviceStatus. A null address is
 *     skipped. Works bound or not, sends nothing to the board and changes nothing.
 *     An extension of this library: the 26 functions above are the board library's fixed
 *     interface, and a caller written for them does not need this one. */
KLIA_EXPORT void KLIA_CALL KLIAGetErrorState(uint16_t *bind_error, uint16_t *last_error, uint16_t *device_status);

#ifdef __cplusplus
}
#endif

#endif /* MVIAHLP_H */

/*
 * vboard.h - control interface of the virtual board.
 *
 * The virtual board stands in for the board transport HWLINK32.DLL and the board behind it.
 * It serves HwTransfer (ordinal 1000) and HwTransferEx (ordinal 1002) like the real
 * transport, and adds these functions, which tests and tools use to set up a board, look at
 * it and make it fail. The library itself never calls them.
 *
 * Which board is served:
 *  - a board made with VBoardCreate / VBoardCreateRaw / VBoardOpenImage, else
 *  - at the first command, the image file named by the environment variable
 *    HWLINK_VBOARD_IMAGE (created when missing only if HWLINK_VBOARD_CREATE asks for it and
 *    HWLINK_VBOARD_READ_ONLY does not ask for it to be served read-only; with the geometry of
 *    HWLINK_VBOARD_GEOMETRY or the default one), else
 *  - a fresh in-memory board of the default geometry.
 *
 * See vboard/README.md for what every board command does.
 */
#ifndef VBOARD_H
#define VBOARD_H

#include <stdint.h>

#if defined(_WIN32)
#define VBOARD_API
#else
#define VBOARD_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Geometry of a board, as its information block (board command 16) reports it. The board's
 * memory holds pages 0 to page_count, each page_size bytes. */
typedef struct VBoardGeometry {
  uint16_t version;         /* BoardInfo.Version, e.g. 0x123 */
  uint16_t user_count;      /* users 1..user_count live in pages 8..user_count+7 */
  uint16_t page_count;      /* last page number; formatting tests pages 1..page_count */
  uint16_t data_page_count; /* data area 2: pages user_count+8 onward */
  uint16_t log_first_page;  /* event log: first page */
  uint16_t log_page_count;  /* event log: number of pages */
  uint16_t page_size;       /* bytes per page */
  uint8_t device_count;     /* BoardInfo.BoardDeviceCount */
  uint8_t reserved;         /* 0 */
  uint32_t ext_info;        /* BoardInfo.ExtInfo */
} VBoardGeometry;

/* The standard layout: fixed pages 0-7, users, data area 2, then the log; version 0x123. */
VBOARD_API void VBoardMakeGeometry(uint16_t user_count, uint16_t data_page_count, uint16_t log_page_count,
                                   uint16_t page_size, VBoardGeometry *geometry);
/* The default board: 32 users, 200 data pages, 16 log pages, 256-byte pages, 4 devices. */
VBOARD_API void VBoardDefaultGeometry(VBoardGeometry *geometry);

/* Replaces the served board by a fresh in-memory board: memory erased (0xFF), state 0, log
 * position not initialised, nobody logged on, clock running from the host's time. Clears
 * the trace and the faults. Returns 0 when the geometry is unusable (memory above 64 MiB). */
VBOARD_API int VBoardCreate(const VBoardGeometry *geometry);

/* An in-memory board whose command 16 answers exactly `info` (51 bytes) every time, with
 * `memory_pages` pages of `memory_page_size` bytes. For hostile-board tests. */
VBOARD_API int VBoardCreateRaw(const uint8_t info[51], uint32_t memory_pages, uint16_t memory_page_size);

/* Serves the image file at `path`, creating it with `geometry` (or the default one when
 * null) when it does not exist, readable by its owner only. Returns 0 when the file cannot be opened or is not an image. */
VBOARD_API int VBoardOpenImage(const char *path, const VBoardGeometry *geometry);

/* Resets the served board as VBoardCreate would, keeping its geometry. */
VBOARD_API void VBoardReset(void);

/* The geometry of the served board. */
VBOARD_API void VBoardGetGeometry(VBoardGeometry *geometry);

/* Direct access to board memory, bypassing trace and faults. Return 0 when out of range. */
VBOARD_API int VBoardPeek(uint32_t page, uint32_t offset, uint32_t length, uint8_t *data);
VBOARD_API int VBoardPoke(uint32_t page, uint32_t offset, uint32_t length, const uint8_t *data);

/* The 51 bytes that board command 16 would answer now. */
VBOARD_API void VBoardGetInfoBlock(uint8_t info[51]);

/* Live board state. */
VBOARD_API void VBoardSetState(uint8_t state);
VBOARD_API void VBoardSetLogon(uint16_t user, uint8_t flags); /* user 0: nobody; else State 4 */
VBOARD_API void VBoardSetLogPosition(uint16_t page, uint16_t offset);
VBOARD_API void VBoardSetErrorPage(uint16_t page);
/* Stops the clock at this clock block (second, minute, hour, day, month, year; BCD, sent
 * as is, even when invalid) until the next set-clock command. */
VBOARD_API void VBoardFreezeClock(const uint8_t block[6]);
/* The clock block that a get-clock command would answer now. */
VBOARD_API void VBoardGetClock(uint8_t block[6]);
VBOARD_API uint16_t VBoardGetWatchdog(void);

/* Overrides byte `offset` (0-50) of the answers to board command 16: answers number
 * `first` to `first` + `count` - 1, counted from 1 from this call on, carry `value` there.
 * `count` 0 means every answer from `first` on. */
VBOARD_API void VBoardPatchInfo(uint8_t offset, uint8_t value, uint32_t first, uint32_t count);

/* Fault injection. A fault fires for the nth command counted from when it was added (only
 * commands with code `command` count when that is not 0; nth 0 means every such command),
 * at most `times` times (0 = without limit). A fired command has no effect on the board. */
typedef struct VBoardFault {
  uint32_t nth;
  uint8_t command;         /* 0 = any command */
  uint8_t status;          /* the status the board answers (ignored when transport_fails) */
  uint8_t transport_fails; /* nonzero: the transport call returns false, no exchange */
  uint8_t scribble;        /* nonzero: fill the incoming buffer (and the status byte when
                              transport_fails) with 0xA5 before returning */
  uint32_t times;
} VBoardFault;
VBOARD_API void VBoardAddFault(const VBoardFault *fault);
VBOARD_API void VBoardClearFaults(void);

/* Unplugs the board after `calls` more transport calls: every later call returns false (no
 * exchange) without reaching the board, as with a board that lost its power or its cable,
 * until this is called again. 0 keeps the board plugged in; a new board starts plugged in.
 * VBoardClearFaults leaves it as it is. */
VBOARD_API void VBoardUnplugAfter(uint32_t calls);

/* The trace: one entry per transport call, in order. */
typedef struct VBoardTraceEntry {
  uint8_t command;
  uint8_t extended;       /* 1 for HwTransferEx */
  uint8_t param_length;   /* as passed (low 8 bits) */
  uint8_t param[16];      /* the first 16 parameter bytes */
  uint16_t out_length;    /* as passed */
  const uint8_t *out;     /* copy of the outgoing bytes, valid until the trace is cleared */
  uint16_t in_length;     /* as passed */
  uint8_t status;         /* the status answered (0xA5 or anything when transport_ok is 0) */
  uint8_t transport_ok;   /* the call's result */
} VBoardTraceEntry;
VBOARD_API uint32_t VBoardTraceCount(void);
VBOARD_API int VBoardTraceGet(uint32_t index, VBoardTraceEntry *entry);
VBOARD_API void VBoardTraceClear(void);
VBOARD_API void VBoardTraceEnable(int enabled); /* on after create */

/* Records every transport call from now on as a board trace (the JSON Lines format of
 * trace/README.md, the same as the transport spy's) appended to the file at `path`, created
 * readable by its owner only when missing; each call to this function starts a new session
 * header. NULL or "" stops recording. Returns 0 when the file cannot be opened or written.
 * Recording goes on across new boards. Without this call, HWLINK_VBOARD_TRACE names the file
 * at the first transport call. Nothing is withheld: the virtual board holds no secrets. */
VBOARD_API int VBoardTraceRecord(const char *path);

/* Nonzero while the board serves a transport call (allocation counters skip the board). */
VBOARD_API int VBoardInCommand(void);

#ifdef __cplusplus
}
#endif

#endif /* VBOARD_H */

// The board transport, HWLINK32.DLL. The library imports exactly two entry points, by
// ordinal: HwTransfer (1000) and HwTransferEx (1002). One call carries one board command:
// a parameter block, at most one outgoing and one incoming data block, and returns when the
// board's answer is in.
//
// What the library relies on: the result is false (low byte 0) only when no exchange took
// place; when true, *status holds the board's status; on status 0 exactly `in_length` bytes
// have been written at `in`; exactly `param_length` and `out_length` bytes are read; at most
// one byte is written through `aux`. Of the narrow arguments only the low 8 or 16 bits count.
#pragma once

#include <stdint.h>

#include "mviahlp.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define HWLINK_API
#else
#define HWLINK_API __attribute__((visibility("default")))
#endif

// Ordinal 1000: 8-bit data lengths.
HWLINK_API uint32_t KLIA_CALL HwTransfer(uint8_t command, uint8_t param_length, const void *param,
                                         uint8_t out_length, const void *out, uint8_t in_length, void *in,
                                         uint8_t *status, uint8_t *aux);

// Ordinal 1002: 16-bit data lengths.
HWLINK_API uint32_t KLIA_CALL HwTransferEx(uint8_t command, uint8_t param_length, const void *param,
                                           uint16_t out_length, const void *out, uint16_t in_length, void *in,
                                           uint8_t *status, uint8_t *aux);

#ifdef __cplusplus
}
#endif

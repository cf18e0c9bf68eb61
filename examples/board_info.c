/* Binds the library to the board and prints the board's information record. */
#include <stdio.h>

#include "mviahlp.h"

static unsigned get16(const uint8_t *record, int offset) {
  return (unsigned)record[offset] | ((unsigned)record[offset + 1] << 8);
}

static unsigned long get32(const uint8_t *record, int offset) {
  return (unsigned long)get16(record, offset) | ((unsigned long)get16(record, offset + 2) << 16);
}

int main(void) {
  uint8_t info[KLIA_INFO_RECORD_SIZE];
  uint16_t bind_error = 0, last_error = 0, device_status = 0;
  int i;

  if (!(KLIADriverPresent() & 0xFF) || !(KLIAGetInfo(info) & 0xFF)) {
    KLIAGetErrorState(&bind_error, &last_error, &device_status);
    fprintf(stderr, "board not available: BindError %u, LastError %u, DeviceStatus %u\n", bind_error, last_error,
            device_status);
    return 1;
  }
  printf("signature      ");
  for (i = 0; i < KLIA_INFO_SIGNATURE_SIZE; ++i) printf(" %02X", info[KLIA_INFO_SIGNATURE + i]);
  printf("\nversion         0x%04X\n", get16(info, KLIA_INFO_VERSION));
  printf("check word      0x%04X\n", get16(info, KLIA_INFO_CHECK_WORD));
  printf("state class     %u\n", info[KLIA_INFO_STATE_CLASS]);
  printf("current user    0x%04X\n", get16(info, KLIA_INFO_CURRENT_USER));
  printf("user count      %u\n", get16(info, KLIA_INFO_USER_COUNT));
  printf("devices         %u\n", info[KLIA_INFO_DEVICES]);
  printf("data area       %u / %lu bytes\n", get16(info, KLIA_INFO_DATA_AREA_SIZE),
         get32(info, KLIA_INFO_DATA_AREA_SIZE_EX));
  printf("log area        %u / %lu bytes\n", get16(info, KLIA_INFO_LOG_AREA_SIZE),
         get32(info, KLIA_INFO_LOG_AREA_SIZE_EX));
  printf("log used        %u / %lu bytes\n", get16(info, KLIA_INFO_LOG_USED), get32(info, KLIA_INFO_LOG_USED_EX));
  printf("extension       %u, %u\n", get16(info, KLIA_INFO_EXT_LOW), get16(info, KLIA_INFO_EXT_HIGH));
  return 0;
}

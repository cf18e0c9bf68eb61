/* A caller of an installed mviahlp: binds to the board, reads its information and checks
 * what every board reports the same way. Exits with 0 when all holds. EXPECTED_VERSION is
 * the version the package (CMake or pkg-config) states; the header must state it too. */
#include <stdio.h>
#include <string.h>

#include <mviahlp.h>

static unsigned get16(const uint8_t *record, int offset) {
  return (unsigned)record[offset] | ((unsigned)record[offset + 1] << 8);
}

int main(void) {
  static const uint8_t signature[KLIA_INFO_SIGNATURE_SIZE] = {0x0A, 0x80, 0xAA, 0xAA, 0xAE, 0xE0,
                                                              0xA4, 0x2D, 0x41, 0x56, 0x52};
  uint8_t info[KLIA_INFO_RECORD_SIZE];
  uint16_t bind_error = 0, last_error = 0, device_status = 0;

  if (strcmp(MVIAHLP_VERSION_STRING, EXPECTED_VERSION) != 0) {
    fprintf(stderr, "header version %s, package version %s\n", MVIAHLP_VERSION_STRING, EXPECTED_VERSION);
    return 1;
  }
  if (!(KLIADriverPresent() & 0xFF) || !(KLIAGetInfo(info) & 0xFF)) {
    KLIAGetErrorState(&bind_error, &last_error, &device_status);
    fprintf(stderr, "board not available: BindError %u, LastError %u, DeviceStatus %u\n", bind_error, last_error,
            device_status);
    return 1;
  }
  if (memcmp(info + KLIA_INFO_SIGNATURE, signature, sizeof signature) != 0 || info[KLIA_INFO_BYTE30] != 0xFF ||
      get16(info, KLIA_INFO_WORD34) != 128 || get16(info, KLIA_INFO_USER_COUNT) == 0) {
    fprintf(stderr, "unexpected information record\n");
    return 1;
  }
  printf("mviahlp %s: board version 0x%04X, %u users, state class %u\n", MVIAHLP_VERSION_STRING,
         get16(info, KLIA_INFO_VERSION), get16(info, KLIA_INFO_USER_COUNT), (unsigned)info[KLIA_INFO_STATE_CLASS]);
  return 0;
}

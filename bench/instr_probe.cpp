// instr_probe: calls one export N times on a bound in-memory virtual board, for instruction
// counting under callgrind. The set-up (board, binding, the first load of the page) runs
// before the counted calls; scripts/perf-figures collects only inside the export
// (--toggle-collect) and takes the transport's own share out.
//
//   instr_probe read1 N     KLIAReadDataEx, 1 byte of a cached page of data area 2
//   instr_probe write4 N    KLIAWriteDataEx, 4 bytes into a cached page of data area 2
//   instr_probe getinfo N   KLIAGetInfo (one board command 16 and two 21 each)
//   instr_probe stream N    KLIAReadDataEx of all of data area 2 (200 pages of 256 bytes)
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mviahlp.h"
#include "vboard.h"

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: instr_probe read1|write4|getinfo|stream N\n");
    return 2;
  }
  const char *what = argv[1];
  const long n = std::strtol(argv[2], nullptr, 10);

  VBoardGeometry geometry{};
  VBoardDefaultGeometry(&geometry);
  if (!VBoardCreate(&geometry) || (KLIADriverPresent() & 0xFF) == 0) {
    std::fprintf(stderr, "instr_probe: no board\n");
    return 1;
  }
  VBoardTraceEnable(0);

  static uint8_t buffer[200 * 256];
  uint16_t done = 0;
  // The page of the counted accesses is in the cache before the first of them.
  KLIAReadDataEx(KLIA_AREA_DATA, buffer, 96, 1, &done);

  unsigned ok = 1;
  if (std::strcmp(what, "read1") == 0) {
    for (long i = 0; i < n; ++i) ok &= KLIAReadDataEx(KLIA_AREA_DATA, buffer, 100, 1, &done) & 0xFF;
  } else if (std::strcmp(what, "write4") == 0) {
    for (long i = 0; i < n; ++i) ok &= KLIAWriteDataEx(KLIA_AREA_DATA, buffer, 100, 4, &done) & 0xFF;
  } else if (std::strcmp(what, "getinfo") == 0) {
    for (long i = 0; i < n; ++i) ok &= KLIAGetInfo(buffer) & 0xFF;
  } else if (std::strcmp(what, "stream") == 0) {
    for (long i = 0; i < n; ++i) ok &= KLIAReadDataEx(KLIA_AREA_DATA, buffer, 0, sizeof buffer, &done) & 0xFF;
  } else {
    std::fprintf(stderr, "instr_probe: unknown case %s\n", what);
    return 2;
  }
  if (!ok) {
    std::fprintf(stderr, "instr_probe: a call failed\n");
    return 1;
  }
  return 0;
}
